#include "codec/exif.h"

#include "codec/bytes.h"

namespace codec {
namespace {

constexpr std::uint32_t kOrientationTag = 0x0112;
constexpr std::uint32_t kShortType = 3;
constexpr std::size_t kHeaderBytes = 8;  // byte order, 42, first directory's offset
constexpr std::size_t kEntryBytes = 12;  // tag, type, count, value or offset

}  // namespace

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

}  // namespace codec
