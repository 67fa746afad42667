#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "decimal_text.h"

namespace {

std::string literal(double v)
{
    char text[64];
    return std::string(text, std::to_chars(text, text + sizeof text, v, std::chars_format::general, 20).ptr);
}

std::string fast(double v)
{
    char text[velaseg::kTwentyDigitsRoom];
    return std::string(text, velaseg::writeTwentyDigits(text, v));
}

// Counts the values whose text differs, naming the first few.
int mismatches(const std::vector<double>& values)
{
    int wrong = 0;
    for (double v : values)
        for (double s : {v, -v})
            if (fast(s) != literal(s) && ++wrong <= 5) ADD_FAILURE() << literal(s) << " written as " << fast(s);
    return wrong;
}

TEST(TwentyDigits, coordinates_frames_and_random_bit_patterns_give_the_general_formatter_text)
{
    std::vector<double> values;
    std::mt19937_64 gen(7);
    // Millimetre coordinates in local frames and in map projections.
    std::uniform_int_distribution<std::int64_t> mm(-5'000'000'000, 5'000'000'000);
    for (int i = 0; i < 200000; ++i) values.push_back(static_cast<double>(mm(gen)) / 1000.0);
    for (int i = 0; i < 100000; ++i) values.push_back(6.0e6 + static_cast<double>(mm(gen) % 1'000'000) / 1000.0);
    // Floats widened, as points of a single-precision frame come back.
    std::uniform_real_distribution<float> f(-1000.0f, 1000.0f);
    for (int i = 0; i < 100000; ++i) values.push_back(static_cast<double>(f(gen)));
    // Any double: every exponent, both sides of the fast range included.
    for (int i = 0; i < 300000; ++i) {
        const std::uint64_t bits = gen();
        double v;
        std::memcpy(&v, &bits, sizeof v);
        values.push_back(v);
    }
    EXPECT_EQ(mismatches(values), 0);
}

// Exact ties at the 21st digit round to even; nines carry into a new digit;
// the ends of the range handled here, zeros and non-numbers.
TEST(TwentyDigits, ties_carries_and_range_ends_give_the_general_formatter_text)
{
    std::vector<double> values;
    for (double whole : {123456789012345.0, 100000000000001.0, 999999999999999.0})
        for (int j = 0; j < 64; ++j) values.push_back(whole + j / 64.0);  // 21 exact digits
    for (int j = 1; j < 4096; j += 2) values.push_back(std::ldexp(static_cast<double>(j), -60) + 0.001);
    for (double v : {1e-4, 9.2e18, 1.0, 10.0, 1e18, 1e19, 0.1, 0.5, 9.999999999999999999e-5,
                     99999999999999999999.0, 9.99999999999999999999, 0.00099999999999999999999}) {
        values.push_back(v);
        values.push_back(std::nextafter(v, 0.0));
        values.push_back(std::nextafter(v, HUGE_VAL));
    }
    for (double v : {0.0, HUGE_VAL, std::nan(""), 5e-324, 1.7976931348623157e308}) values.push_back(v);
    EXPECT_EQ(mismatches(values), 0);
}

}  // namespace
