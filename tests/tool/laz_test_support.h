// Helpers shared by the LAS and LAZ reader tests: the test files, file bytes,
// records read through the reader, captured messages, scoped thread counts.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <unistd.h>

#include "las_reader.h"

namespace laz_test {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

inline fs::path lazDir()
{
    return fs::path(VELASEG_DATA_DIR) / "laz";
}

// Skips the calling test when the shared data is not there.
#define SKIP_WITHOUT_LAZ_DATA()                                                   \
    if (!fs::is_directory(laz_test::lazDir())) {                                  \
        GTEST_SKIP() << "no LAZ test data at " << laz_test::lazDir();             \
    }

inline Bytes loadBytes(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void saveBytes(const std::string& path, const Bytes& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

template <typename T>
void poke(Bytes& bytes, std::size_t at, T value)
{
    for (std::size_t i = 0; i < sizeof(T); ++i) {
        bytes[at + i] = static_cast<std::uint8_t>(static_cast<std::uint64_t>(value) >> (8 * i));
    }
}

template <typename T>
T peek(const Bytes& bytes, std::size_t at)
{
    std::uint64_t v = 0;
    for (std::size_t i = 0; i < sizeof(T); ++i) {
        v |= std::uint64_t(bytes[at + i]) << (8 * i);
    }
    return static_cast<T>(v);
}

// All records of a file as the reader hands them over, with its messages.
struct Records {
    velaseg::LasReadStatus status = velaseg::LasReadStatus::refused;
    velaseg::LasHeader header;
    Bytes bytes;
    std::size_t count = 0;
    std::string out;
    std::string err;

    const std::uint8_t* record(std::size_t i) const { return bytes.data() + i * header.recordLength; }
};

inline Records readRecords(const std::string& path, velaseg::LasFields fields = velaseg::LasFields::all)
{
    Records r;
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    r.status = velaseg::readLasRecords(path, fields, r.header, [&r](const std::uint8_t* records, std::size_t count) {
        r.bytes.insert(r.bytes.end(), records, records + count * r.header.recordLength);
        r.count += count;
    });
    r.out = testing::internal::GetCapturedStdout();
    r.err = testing::internal::GetCapturedStderr();
    return r;
}

// Sets VELASEG_THREADS for the lifetime of the object.
class ScopedThreads {
public:
    explicit ScopedThreads(int threads) { ::setenv("VELASEG_THREADS", std::to_string(threads).c_str(), 1); }
    ~ScopedThreads() { ::unsetenv("VELASEG_THREADS"); }
    ScopedThreads(const ScopedThreads&) = delete;
    ScopedThreads& operator=(const ScopedThreads&) = delete;
};

// A private directory per test, removed afterwards.
class TempDir {
public:
    TempDir()
    {
        const std::string name = testing::UnitTest::GetInstance()->current_test_info()->name();
        dir_ = fs::temp_directory_path() / ("velaseg_laz_" + std::to_string(::getpid()) + "_" + name);
        fs::create_directories(dir_);
    }
    ~TempDir() { fs::remove_all(dir_); }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    std::string path(const std::string& name) const { return (dir_ / name).string(); }

private:
    fs::path dir_;
};

}  // namespace laz_test
