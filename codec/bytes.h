// Reading little- and big-endian integers out of a file's bytes. Callers
// check that the bytes are there; these only put them together.
#pragma once

#include <cstdint>

namespace codec {

constexpr std::uint32_t Le16(const std::uint8_t* p) { return p[0] | (std::uint32_t{p[1]} << 8); }
constexpr std::uint32_t Le32(const std::uint8_t* p) {
    return p[0] | (std::uint32_t{p[1]} << 8) | (std::uint32_t{p[2]} << 16) | (std::uint32_t{p[3]} << 24);
}
constexpr std::uint32_t Be16(const std::uint8_t* p) { return (std::uint32_t{p[0]} << 8) | p[1]; }
constexpr std::uint32_t Be32(const std::uint8_t* p) {
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) | p[3];
}

}  // namespace codec
