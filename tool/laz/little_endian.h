// Little-endian loads and stores: LAS and LAZ fix the byte order whatever
// the host's. Compilers turn each into a single move on x86.
#pragma once

#include <cstdint>

namespace velaseg::laz {

inline std::uint16_t load16(const std::uint8_t* at)
{
    return static_cast<std::uint16_t>(at[0] | (at[1] << 8));
}

inline std::uint32_t load32(const std::uint8_t* at)
{
    return std::uint32_t(at[0]) | (std::uint32_t(at[1]) << 8) | (std::uint32_t(at[2]) << 16) |
           (std::uint32_t(at[3]) << 24);
}

inline std::uint64_t load64(const std::uint8_t* at)
{
    return std::uint64_t(load32(at)) | (std::uint64_t(load32(at + 4)) << 32);
}

inline void store16(std::uint8_t* at, std::uint32_t v)
{
    at[0] = static_cast<std::uint8_t>(v);
    at[1] = static_cast<std::uint8_t>(v >> 8);
}

inline void store32(std::uint8_t* at, std::uint32_t v)
{
    store16(at, v);
    store16(at + 2, v >> 16);
}

inline void store64(std::uint8_t* at, std::uint64_t v)
{
    store32(at, static_cast<std::uint32_t>(v));
    store32(at + 4, static_cast<std::uint32_t>(v >> 32));
}

}  // namespace velaseg::laz
