#include "fuzz/mutator.h"

#include <cfloat>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

namespace fuzz {
namespace {

using Random = std::mt19937_64;

// Values that break arithmetic: zero, signs, type limits, counts that do
// not fit the file, coordinates beyond float and beyond the 32-bit offset.
const std::uint64_t kInts[] = {0,          1,          2,          3,          7,          12,
                               16,         20,         24,         34,         227,        255,
                               375,        0x7F,       0x80,       0xFF,       0xFFFF,     0x7FFF,
                               0x8000,     0x40000000, 1000000000, 0x7FFFFFFF, 0x80000000, 0xFFFFFFFF,
                               1ull << 32, 1ull << 63, ~0ull};
const double kReals[] = {0.0,     -0.0,    1.0,     -1.0,    1e-9,     0.001,   1e9,     2.2e9,
                         1e12,    1e30,    -1e30,   1e39,    1e300,    DBL_MAX, DBL_MIN, 4.9e-324,
                         FLT_MAX, 1e-45,   std::numeric_limits<double>::quiet_NaN(),
                         std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::infinity()};
const char* const kWords[] = {"0",          "-1",         "1",          "3",         "-2147483648",
                              "2147483647", "2147483648", "4294967295", "4294967296", "1073741824",
                              "1000000000", "18446744073709551616",     "1e30",      "1e39",
                              "-1e300",     "nan",        "inf",        "-inf",      "1e-7",
                              "2.2e9",      "1e12",       "0.5",        "",          "abc",
                              "0x10",       "1e",         "12abc",      "F",         "U",
                              "I",          "Q",          "binary",     "binary_compressed",
                              "ascii",      "x",          "_"};
const char* const kLines[] = {"POINTS 1000000000",    "SIZE -1 4 4",           "SIZE 4 4 2147483647",
                              "COUNT 1 1 1073741824", "COUNT 1 1 -1",          "DATA",
                              "DATA binary",          "DATA binary_compressed", "FIELDS a b c",
                              "FIELDS x y z w",       "TYPE Q",                "HEIGHT 0",
                              "WIDTH 4294967295",     "VIEWPOINT 1",           "   ",
                              "\r",                   "# c",                   "[PARA]",
                              "kappa=1e30",           "tau=nan",               "delta=inf",
                              "delta=",               "phid=",                 "theta=-5",
                              "gamma=0",              "kappa=0",               "kappa=-5",
                              "phic=1e300",           "epsilon=-1e300",        "kappa=2147483647",
                              "tau=1e-300",           "gamma=1e30",             "element vertex 1000000000",
                              "element vertex -1",    "property double x",     "property list uchar int x",
                              "format binary_big_endian 1.0",                  "end_header",
                              "1e39 0 0",             "0,0,1e300,255,255,255", "nan nan nan"};

template <typename T, std::size_t N>
const T& pick(Random& random, const T (&values)[N])
{
    return values[random() % N];
}

std::size_t below(Random& random, std::size_t n) { return n == 0 ? 0 : static_cast<std::size_t>(random() % n); }

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '=' || c == '[' || c == ']'; }

// The bytes being mutated and how far their text reaches.
struct Input {
    std::string bytes;
    std::size_t textBytes;

    void replace(std::size_t at, std::size_t length, const std::string& with)
    {
        bytes.replace(at, length, with);
        if (at < textBytes) textBytes = textBytes + with.size() - std::min(length, textBytes - at);
        textBytes = std::min(textBytes, bytes.size());
    }
};

void writeField(Input& in, const Field& field, Random& random)
{
    if (field.offset + static_cast<std::size_t>(field.width) > in.bytes.size()) return;
    char* at = &in.bytes[field.offset];
    if (field.real && field.width == 8) {
        const double v = pick(random, kReals);
        std::memcpy(at, &v, 8);
    } else if (field.real) {
        const float v = static_cast<float>(pick(random, kReals));
        std::memcpy(at, &v, 4);
    } else {
        const std::uint64_t v = pick(random, kInts);
        std::memcpy(at, &v, static_cast<std::size_t>(field.width));  // little-endian low bytes
    }
}

// Start and end of a random word, or of a random line, inside the text.
std::pair<std::size_t, std::size_t> randomWord(const Input& in, Random& random)
{
    std::size_t at = below(random, in.textBytes);
    while (at > 0 && !isBlank(in.bytes[at - 1])) --at;
    std::size_t end = at;
    while (end < in.textBytes && !isBlank(in.bytes[end])) ++end;
    return {at, end};
}

std::pair<std::size_t, std::size_t> randomLine(const Input& in, Random& random)
{
    std::size_t at = below(random, in.textBytes);
    while (at > 0 && in.bytes[at - 1] != '\n') --at;
    std::size_t end = at;
    while (end < in.textBytes && in.bytes[end] != '\n') ++end;
    return {at, end < in.textBytes ? end + 1 : end};
}

void mutateOnce(Input& in, const Seed& seed, Random& random)
{
    const std::size_t n = in.bytes.size();
    const bool text = in.textBytes > 0;
    switch (random() % (text ? 12 : 7)) {
    case 0:
        if (n > 0) in.bytes[below(random, n)] ^= static_cast<char>(1u << (random() % 8));
        break;
    case 1:
        if (n > 0) in.bytes[below(random, n)] = static_cast<char>(pick(random, kInts));
        break;
    case 2:
    case 3:
        if (!seed.fields.empty()) {
            writeField(in, seed.fields[below(random, seed.fields.size())], random);
        } else if (n >= 8) {
            writeField(in, Field{below(random, n - 7), random() % 2 ? 8 : 4, random() % 2 == 0}, random);
        }
        break;
    case 4: {  // drop a chunk
        const std::size_t at = below(random, n);
        in.replace(at, 1 + below(random, std::min<std::size_t>(n - at, 64)), "");
        break;
    }
    case 5: {  // copy a chunk elsewhere
        const std::size_t from = below(random, n);
        const std::string chunk = in.bytes.substr(from, 1 + below(random, 128));
        in.replace(below(random, n + 1), 0, chunk);
        break;
    }
    case 6:
        in.replace(below(random, n + 1), std::string::npos, "");
        break;
    case 7:
    case 8: {
        const auto word = randomWord(in, random);
        in.replace(word.first, word.second - word.first, pick(random, kWords));
        break;
    }
    case 9: {
        const auto line = randomLine(in, random);
        in.replace(line.first, line.second - line.first, "");
        break;
    }
    case 10: {
        const auto line = randomLine(in, random);
        const std::string copy = in.bytes.substr(line.first, line.second - line.first);
        const auto other = randomLine(in, random);
        in.replace(other.first, 0, copy);
        break;
    }
    default: {
        const auto line = randomLine(in, random);
        in.replace(line.first, 0, std::string(pick(random, kLines)) + "\n");
        break;
    }
    }
}

}  // namespace

std::string mutate(const Seed& seed, std::uint64_t runSeed, std::uint64_t index)
{
    std::seed_seq sequence{static_cast<std::uint32_t>(runSeed), static_cast<std::uint32_t>(runSeed >> 32),
                           static_cast<std::uint32_t>(index), static_cast<std::uint32_t>(index >> 32)};
    Random random(sequence);
    Input in{seed.bytes, seed.textBytes};
    const int rounds = 1 + static_cast<int>(random() % 4);
    for (int r = 0; r < rounds; ++r) mutateOnce(in, seed, random);
    return in.bytes;
}

}  // namespace fuzz
