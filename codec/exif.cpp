#include "codec/exif.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "codec/bytes.h"

namespace codec {
namespace {

constexpr std::uint32_t kOrientationTag = 0x0112;
constexpr std::uint32_t kShortType = 3;
constexpr std::size_t kHeaderBytes = 8;  // byte order, 42, first directory's offset
constexpr std::size_t kEntryBytes = 12;  // tag, type, count, value or offset

bool IsSpace(char c) { return c == ' ' || c == '\n' || c == '\r' || c == '\t'; }

// The value of a hex digit, or -1.
int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

constexpr std::uint32_t kXResolutionTag = 0x011A;
constexpr std::uint32_t kYResolutionTag = 0x011B;
constexpr std::uint32_t kResolutionUnitTag = 0x0128;
constexpr std::uint32_t kRationalType = 5;

}  // namespace

Resolution ExifResolution(std::span<const std::uint8_t> tiff) {
    if (tiff.size() < kHeaderBytes) return {};
    const std::uint8_t* const bytes = tiff.data();
    bool little = false;
    if (bytes[0] == 'I' && bytes[1] == 'I')
        little = true;
    else if (!(bytes[0] == 'M' && bytes[1] == 'M'))
        return {};
    const auto u16 = [little](const std::uint8_t* p) { return little ? Le16(p) : Be16(p); };
    const auto u32 = [little](const std::uint8_t* p) { return little ? Le32(p) : Be32(p); };
    if (u16(bytes + 2) != 42) return {};

    const std::uint64_t size = tiff.size();
    const std::uint64_t directory = u32(bytes + 4);
    if (directory < kHeaderBytes || directory + 2 > size) return {};
    const std::uint64_t entries = u16(bytes + directory);
    double across = -1, down = -1;
    std::uint32_t unit = 2;
    for (std::uint64_t i = 0; i < entries; ++i) {
        const std::uint64_t at = directory + 2 + i * kEntryBytes;
        if (at + kEntryBytes > size) return {};
        const std::uint8_t* entry = bytes + at;
        const std::uint32_t tag = u16(entry);
        if (tag == kResolutionUnitTag) {
            if (u16(entry + 2) != kShortType || u32(entry + 4) != 1) return {};
            unit = u16(entry + 8);
        } else if (tag == kXResolutionTag || tag == kYResolutionTag) {
            // A RATIONAL's 8 bytes stand at the offset the entry gives.
            if (u16(entry + 2) != kRationalType || u32(entry + 4) != 1) return {};
            const std::uint64_t value = u32(entry + 8);
            if (value < kHeaderBytes || value + 8 > size) return {};
            const std::uint32_t numerator = u32(bytes + value), denominator = u32(bytes + value + 4);
            if (denominator == 0) return {};
            (tag == kXResolutionTag ? across : down) = static_cast<double>(numerator) / denominator;
        }
    }
    if (across < 0 || down < 0) return {};
    if (unit == 2) return PerMetre(across, down, ResolutionUnit::kInch);
    if (unit == 3) return PerMetre(across, down, ResolutionUnit::kCentimetre);
    return {};
}

Orientation ExifOrientation(std::span<const std::uint8_t> tiff) {
    if (tiff.size() < kHeaderBytes) return Orientation::kNormal;
    const std::uint8_t* const bytes = tiff.data();
    bool little = false;
    if (bytes[0] == 'I' && bytes[1] == 'I')
        little = true;
    else if (!(bytes[0] == 'M' && bytes[1] == 'M'))
        return Orientation::kNormal;
    const auto u16 = [little](const std::uint8_t* p) { return little ? Le16(p) : Be16(p); };
    const auto u32 = [little](const std::uint8_t* p) { return little ? Le32(p) : Be32(p); };
    if (u16(bytes + 2) != 42) return Orientation::kNormal;

    // Sizes in 64 bits, so that no offset or count in the block can wrap.
    const std::uint64_t size = tiff.size();
    const std::uint64_t directory = u32(bytes + 4);
    if (directory < kHeaderBytes || directory + 2 > size) return Orientation::kNormal;
    const std::uint64_t entries = u16(bytes + directory);
    for (std::uint64_t i = 0; i < entries; ++i) {
        const std::uint64_t at = directory + 2 + i * kEntryBytes;
        if (at + kEntryBytes > size) return Orientation::kNormal;
        const std::uint8_t* entry = bytes + at;
        if (u16(entry) != kOrientationTag) continue;
        // A SHORT of count 1 sits in the first two bytes of the value field.
        if (u16(entry + 2) != kShortType || u32(entry + 4) != 1) return Orientation::kNormal;
        const std::uint32_t value = u16(entry + 8);
        if (value < 1 || value > 8) return Orientation::kNormal;
        return static_cast<Orientation>(value);
    }
    return Orientation::kNormal;
}

Orientation RawProfileExifOrientation(std::string_view text) {
    // "\n", the name, "\n".
    if (text.empty() || text.front() != '\n') return Orientation::kNormal;
    text.remove_prefix(1);
    const std::size_t nameEnd = text.find('\n');
    if (nameEnd == std::string_view::npos || text.substr(0, nameEnd) != "exif") return Orientation::kNormal;
    text.remove_prefix(nameEnd + 1);
    // The length, then "\n".
    while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
    std::uint64_t length = 0;
    std::size_t digits = 0;
    for (; digits < text.size() && text[digits] >= '0' && text[digits] <= '9'; ++digits) {
        length = length * 10 + static_cast<std::uint64_t>(text[digits] - '0');
        if (length > 0xFFFFFFFFu) return Orientation::kNormal;
    }
    if (digits == 0 || digits >= text.size() || text[digits] != '\n') return Orientation::kNormal;
    text.remove_prefix(digits + 1);
    // The bytes, as pairs of hex digits.
    const std::size_t wanted = static_cast<std::size_t>(std::min<std::uint64_t>(length, kMaxRawProfileBlockBytes));
    std::vector<std::uint8_t> block;
    block.reserve(wanted);
    int high = -1;
    for (const char c : text) {
        if (block.size() == wanted) break;
        if (IsSpace(c)) continue;
        const int value = HexValue(c);
        if (value < 0) return Orientation::kNormal;
        if (high < 0) {
            high = value;
        } else {
            block.push_back(static_cast<std::uint8_t>(high << 4 | value));
            high = -1;
        }
    }
    if (block.size() < wanted) return Orientation::kNormal;
    std::span<const std::uint8_t> tiff(block);
    if (tiff.size() >= sizeof kExifSignature && std::memcmp(tiff.data(), kExifSignature, sizeof kExifSignature) == 0)
        tiff = tiff.subspan(sizeof kExifSignature);
    return ExifOrientation(tiff);
}

}  // namespace codec
