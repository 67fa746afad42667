// LAS and LAZ fields are little-endian whatever the host. Assembling a
// value byte by byte is portable; compilers turn it into a single load or
// store on little-endian hosts.
#pragma once

#include <cstdint>
#include <cstring>

namespace velaseg {

inline std::uint16_t u16At(const std::uint8_t* at)
{
    return static_cast<std::uint16_t>(at[0] | (at[1] << 8));
}

inline std::uint32_t u32At(const std::uint8_t* at)
{
    return std::uint32_t(at[0]) | (std::uint32_t(at[1]) << 8) | (std::uint32_t(at[2]) << 16) |
           (std::uint32_t(at[3]) << 24);
}

inline std::uint64_t u64At(const std::uint8_t* at)
{
    return std::uint64_t(u32At(at)) | (std::uint64_t(u32At(at + 4)) << 32);
}

inline std::int32_t i32At(const std::uint8_t* at)
{
    const std::uint32_t bits = u32At(at);
    std::int32_t value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

inline double f64At(const std::uint8_t* at)
{
    const std::uint64_t bits = u64At(at);
    double value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

inline void put16(std::uint8_t* at, std::uint16_t value)
{
    at[0] = static_cast<std::uint8_t>(value);
    at[1] = static_cast<std::uint8_t>(value >> 8);
}

inline void put32(std::uint8_t* at, std::uint32_t value)
{
    for (int i = 0; i < 4; ++i) {
        at[i] = static_cast<std::uint8_t>(value >> (8 * i));
    }
}

inline void put64(std::uint8_t* at, std::uint64_t value)
{
    put32(at, static_cast<std::uint32_t>(value));
    put32(at + 4, static_cast<std::uint32_t>(value >> 32));
}

inline void putF64(std::uint8_t* at, double value)
{
    std::uint64_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    put64(at, bits);
}

}  // namespace velaseg
