#include "decimal_text.h"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>

namespace velaseg {
namespace {

constexpr int kDigits = 20;

constexpr std::uint64_t kPowersOfTen[19] = {1,
                                            10,
                                            100,
                                            1000,
                                            10000,
                                            100000,
                                            1000000,
                                            10000000,
                                            100000000,
                                            1000000000,
                                            10000000000,
                                            100000000000,
                                            1000000000000,
                                            10000000000000,
                                            100000000000000,
                                            1000000000000000,
                                            10000000000000000,
                                            100000000000000000,
                                            1000000000000000000};

// "00" to "99": digits are made two at a time, halving the divisions.
constexpr char kDigitPairs[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

// The exact decimal expansion of a double in [1e-4, 2^63) comes from 64-bit
// integer and 128-bit fraction arithmetic: v = m * 2^e with m below 2^53 and
// e at least -66 there, so the fraction has at most 66 bits. Rounding to 20
// digits is decided on the exact remainder, ties to even, as the general
// formatter does. Map coordinates, metres and the offsets of a local frame
// all lie in this range; anything else goes to std::to_chars.
bool inFastRange(double magnitude) { return magnitude >= 1e-4 && magnitude < 9.2e18; }

// A magnitude of the fast range as whole + fraction / 2^k.
struct Parts {
    std::uint64_t whole = 0;
    unsigned __int128 fraction = 0;
    int k = 0;
};

Parts partsOf(double magnitude)
{
    std::uint64_t bits;
    std::memcpy(&bits, &magnitude, sizeof bits);
    const std::uint64_t m = (bits & ((std::uint64_t(1) << 52) - 1)) | (std::uint64_t(1) << 52);
    const int e = static_cast<int>((bits >> 52) & 0x7ff) - 1075;
    Parts parts;
    if (e >= 0) {
        parts.whole = m << e;
    } else {
        parts.k = -e;
        parts.whole = parts.k >= 64 ? 0 : m >> parts.k;
        parts.fraction = static_cast<unsigned __int128>(m) & ((static_cast<unsigned __int128>(1) << parts.k) - 1);
    }
    return parts;
}

// The `count` digits of `value` (below 10^count), leading zeros included;
// 32-bit arithmetic once nine digits are split off.
void writeFixedDigits(char* out, std::uint64_t value, int count)
{
    char* p = out + count;
    if (count > 9) {
        std::uint32_t low = static_cast<std::uint32_t>(value % 1000000000u);
        value /= 1000000000u;
        for (int i = 0; i < 4; ++i, low /= 100) {
            p -= 2;
            std::memcpy(p, kDigitPairs + 2 * (low % 100), 2);
        }
        *--p = static_cast<char>('0' + low);
        count -= 9;
    }
    std::uint32_t rest = static_cast<std::uint32_t>(value);
    for (; count >= 2; count -= 2, rest /= 100) {
        p -= 2;
        std::memcpy(p, kDigitPairs + 2 * (rest % 100), 2);
    }
    if (count == 1) *--p = static_cast<char>('0' + rest);
}

// Adds one unit of the last digit before `end`, passing over the point;
// false when every digit was a nine (all are zeros now).
bool roundUp(char* begin, char* end)
{
    for (char* p = end; p-- != begin;) {
        if (*p == '.') continue;
        if (*p != '9') {
            ++*p;
            return true;
        }
        *p = '0';
    }
    return false;
}

}  // namespace

char* writeTwentyDigits(char* first, double v)
{
    const double magnitude = std::fabs(v);
    if (!inFastRange(magnitude)) return std::to_chars(first, first + kTwentyDigitsRoom, v, std::chars_format::general, kDigits).ptr;
    Parts parts = partsOf(magnitude);
    const int k = parts.k;
    unsigned __int128& fraction = parts.fraction;
    const unsigned __int128 mask = (static_cast<unsigned __int128>(1) << k) - 1;

    // Fixed notation throughout, as %.20g has it for exponents -4 to 19. The
    // digits are written where they go: the whole part, or "0." and the
    // zeros after the point, then the rest of the 20 digits.
    char* out = first;
    if (v < 0) *out++ = '-';
    char* const lead = out;
    char* digits = out;  // the first significant one
    int count = 0;
    if (parts.whole > 0) {
        // At most 19 digits below 2^63: at least one comes from the fraction.
        out = std::to_chars(out, out + kDigits, parts.whole).ptr;
        count = static_cast<int>(out - digits);
        *out++ = '.';
    } else {
        *out++ = '0';
        *out++ = '.';
        // Leading zeros (at most three), then the first digit.
        int d = 0;
        for (;;) {
            fraction *= 10;
            d = static_cast<int>(fraction >> k);
            fraction &= mask;
            if (d != 0) break;
            *out++ = '0';
        }
        digits = out;
        *out++ = static_cast<char>('0' + d);
        count = 1;
    }
    const int wholeDigits = parts.whole > 0 ? count : 0;
    // Up to 18 digits at a time: a fraction below 2^66 times 10^18 stays
    // below 2^126.
    while (count < kDigits) {
        const int n = kDigits - count < 18 ? kDigits - count : 18;
        fraction *= kPowersOfTen[n];
        writeFixedDigits(out, static_cast<std::uint64_t>(fraction >> k), n);
        fraction &= mask;
        out += n;
        count += n;
    }

    // What is left, against half a unit of the last digit.
    const unsigned __int128 twice = fraction << 1;
    const unsigned __int128 one = static_cast<unsigned __int128>(1) << k;
    const bool up = k > 0 && (twice > one || (twice == one && (out[-1] - '0') % 2 == 1));
    if (up && !roundUp(digits, out)) {
        // 99...9 became 100...0: a digit more before the point, none after.
        if (wholeDigits > 0) {
            *digits = '1';
            digits[wholeDigits] = '0';
            return digits + wholeDigits + 1;
        }
        if (digits - lead == 2) {  // 0.99...9 became 1
            *lead = '1';
            return lead + 1;
        }
        digits[-1] = '1';
        return digits;
    }
    // %g drops trailing zeros, and the point with them.
    while (out[-1] == '0') --out;
    if (out[-1] == '.') --out;
    return out;
}

}  // namespace velaseg
