#include <gtest/gtest.h>

#include <cstdlib>
#include <thread>

#include "vela_plane.h"

namespace {

int hardware()
{
    return static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
}

int threadsWith(const char* value)
{
    if (value == nullptr) {
        ::unsetenv("VELASEG_THREADS");
    } else {
        ::setenv("VELASEG_THREADS", value, 1);
    }
    const int threads = VELA::VELA_ThreadCount();
    ::unsetenv("VELASEG_THREADS");
    return threads;
}

TEST(ThreadCount, variable_sets_the_count_and_its_absence_means_every_hardware_thread)
{
    EXPECT_EQ(threadsWith(nullptr), hardware());
    EXPECT_EQ(threadsWith(""), hardware());
    EXPECT_EQ(threadsWith("1"), 1);
    EXPECT_EQ(threadsWith("7"), 7);
    EXPECT_EQ(threadsWith("100000"), 256);
}

TEST(ThreadCount, unusable_value_falls_back_to_the_hardware_and_is_reported_once)
{
    testing::internal::CaptureStderr();
    EXPECT_EQ(threadsWith("0"), hardware());
    EXPECT_EQ(threadsWith("two"), hardware());
    EXPECT_EQ(threadsWith("-3"), hardware());
    EXPECT_EQ(threadsWith("4x"), hardware());
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err, "velaseg: VELASEG_THREADS=\"0\" is not a positive number; using " + std::to_string(hardware()) +
                       " threads\n");
}

}  // namespace
