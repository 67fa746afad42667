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

// The exact decimal expansion of a double in [1e-4, 2^63) comes from 64-bit
// integer and 128-bit fraction arithmetic: v = m * 2^e with m below 2^53 and
// e at least -66 there, so the fraction has at most 66 bits. Rounding to 20 digits is decided on the exact remainder,
// ties to even, as the general formatter does. Map coordinates, metres and
// the offsets of a local frame all lie in this range; anything else goes to
// std::to_chars.
bool inFastRange(double magnitude) { return magnitude >= 1e-4 && magnitude < 9.2e18; }

// The 20 significant digits of `magnitude` (in the fast range), rounded, and
// the decimal exponent of the first of them.
int significantDigits(double magnitude, char digits[kDigits])
{
    std::uint64_t bits;
    std::memcpy(&bits, &magnitude, sizeof bits);
    const std::uint64_t m = (bits & ((std::uint64_t(1) << 52) - 1)) | (std::uint64_t(1) << 52);
    const int e = static_cast<int>((bits >> 52) & 0x7ff) - 1075;

    std::uint64_t whole = 0;
    unsigned __int128 fraction = 0;  // over 2^k
    int k = 0;
    if (e >= 0) {
        whole = m << e;
    } else {
        k = -e;
        whole = k >= 64 ? 0 : m >> k;
        fraction = static_cast<unsigned __int128>(m) & ((static_cast<unsigned __int128>(1) << k) - 1);
    }
    const unsigned __int128 mask = (static_cast<unsigned __int128>(1) << k) - 1;

    int count = 0, exponent = -1;
    if (whole > 0) {
        // At most 19 digits below 2^63: room is left for the fraction's.
        count = static_cast<int>(std::to_chars(digits, digits + kDigits, whole).ptr - digits);
        exponent = count - 1;
    } else {
        // Leading zeros of a number below 1 (at most three), then its first digit.
        int d = 0;
        for (;;) {
            fraction *= 10;
            d = static_cast<int>(fraction >> k);
            fraction &= mask;
            if (d != 0) break;
            --exponent;
        }
        digits[count++] = static_cast<char>('0' + d);
    }
    // The other digits up to 18 at a time: a fraction below 2^66 times 10^18
    // stays below 2^126.
    while (count < kDigits) {
        const int n = kDigits - count < 18 ? kDigits - count : 18;
        fraction *= kPowersOfTen[n];
        std::uint64_t chunk = static_cast<std::uint64_t>(fraction >> k);
        fraction &= mask;
        for (int i = count + n - 1; i >= count; --i, chunk /= 10) digits[i] = static_cast<char>('0' + chunk % 10);
        count += n;
    }

    // What is left, against half a unit of the last digit.
    const unsigned __int128 twice = fraction << 1;
    const unsigned __int128 one = static_cast<unsigned __int128>(1) << k;
    const bool up = k > 0 && (twice > one || (twice == one && (digits[kDigits - 1] - '0') % 2 == 1));
    if (up) {
        int i = kDigits - 1;
        while (i >= 0 && digits[i] == '9') digits[i--] = '0';
        if (i >= 0) {
            ++digits[i];
        } else {  // 99...9 became 100...0
            digits[0] = '1';
            ++exponent;
        }
    }
    return exponent;
}

}  // namespace

char* writeTwentyDigits(char* first, double v)
{
    const double magnitude = std::fabs(v);
    if (!inFastRange(magnitude)) return std::to_chars(first, first + kTwentyDigitsRoom, v, std::chars_format::general, kDigits).ptr;

    char digits[kDigits];
    const int exponent = significantDigits(magnitude, digits);
    int count = kDigits;
    while (count > 1 && digits[count - 1] == '0') --count;  // %g drops trailing zeros

    char* out = first;
    if (v < 0) *out++ = '-';
    // Fixed notation throughout: the exponent stays within -4 .. 19.
    if (exponent >= 0) {
        const int whole = exponent + 1;
        for (int i = 0; i < whole; ++i) *out++ = i < count ? digits[i] : '0';
        if (count > whole) {
            *out++ = '.';
            for (int i = whole; i < count; ++i) *out++ = digits[i];
        }
    } else {
        *out++ = '0';
        *out++ = '.';
        for (int i = -1; i > exponent; --i) *out++ = '0';
        for (int i = 0; i < count; ++i) *out++ = digits[i];
    }
    return out;
}

}  // namespace velaseg
