// Orientation: the eight EXIF values turning stored rows into shown rows,
// and the value read out of EXIF blocks, whole, damaged or hostile.
#include "codec/exif.h"
#include "codec/orient.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "tests/picture_files.h"

namespace {

using codec::Orientation;
using testfiles::Bytes;

// ---------------------------------------------------------------- turning rows

struct TurnCase {
    std::string name;
    Orientation orientation;
    int width, height;
};

void PrintTo(const TurnCase& c, std::ostream* out) { *out << c.name; }

class Turn : public testing::TestWithParam<TurnCase> {};

// Every stored pixel (its place written into its bytes) lands where the
// EXIF definition of the value puts it, and nothing past each shown row's
// pixels is touched.
TEST_P(Turn, PutsEveryPixelWhereExifSays) {
    const TurnCase& c = GetParam();
    constexpr int kPad = 4;
    std::vector<std::uint8_t> stored(static_cast<std::size_t>((3 * c.width + kPad) * c.height));
    const ops::RowView from{stored.data(), c.width, c.height, 3 * c.width + kPad};
    for (int y = 0; y < c.height; ++y)
        for (int x = 0; x < c.width; ++x) {
            std::uint8_t* p = from.row(y) + 3 * x;
            p[0] = static_cast<std::uint8_t>(x), p[1] = static_cast<std::uint8_t>(y), p[2] = static_cast<std::uint8_t>(x >> 8 | (y >> 8) << 4);
        }
    const codec::ShownSize size = codec::ShownSizeOf({std::uint64_t(c.width), std::uint64_t(c.height), c.orientation});
    const int width = static_cast<int>(size.width), height = static_cast<int>(size.height);
    std::vector<std::uint8_t> shown(static_cast<std::size_t>((3 * width + kPad) * height), 0xee);
    const ops::RowView to{shown.data(), width, height, 3 * width + kPad};
    codec::Orient(from, to, c.orientation);

    int wrong = 0;
    for (int y = 0; y < c.height; ++y)
        for (int x = 0; x < c.width; ++x) {
            const testfiles::Place place = testfiles::ShownPlace(c.orientation, c.width, c.height, x, y);
            const std::uint8_t* p = to.row(place.y) + 3 * place.x;
            wrong += p[0] != static_cast<std::uint8_t>(x) || p[1] != static_cast<std::uint8_t>(y) ||
                     p[2] != static_cast<std::uint8_t>(x >> 8 | (y >> 8) << 4);
        }
    EXPECT_EQ(wrong, 0);
    for (int y = 0; y < height; ++y)
        for (int k = 0; k < kPad; ++k) EXPECT_EQ(to.row(y)[3 * width + k], 0xee) << "row " << y;
}

std::vector<TurnCase> TurnCases() {
    struct Size {
        int width, height;
    };
    std::vector<TurnCase> cases;
    for (int value = 1; value <= 8; ++value)
        for (const Size size : {Size{1, 1}, Size{47, 33}, Size{1, 70}, Size{300, 2}, Size{130, 67}}) {
            const auto orientation = static_cast<Orientation>(value);
            cases.push_back({testfiles::OrientationName(orientation) + "_" + std::to_string(size.width) + "x" +
                                 std::to_string(size.height),
                             orientation, size.width, size.height});
        }
    return cases;
}

INSTANTIATE_TEST_SUITE_P(Orientations, Turn, testing::ValuesIn(TurnCases()),
                         [](const testing::TestParamInfo<TurnCase>& info) { return info.param.name; });

TEST(TurnRows, ShownRowsOfAnotherSizeAreRefused) {
    std::vector<std::uint8_t> a(3 * 6), b(3 * 6);
    const ops::RowView stored{a.data(), 3, 2, 9}, same{b.data(), 3, 2, 9}, swapped{b.data(), 2, 3, 6};
    EXPECT_THROW(codec::Orient(stored, same, Orientation::kTurned90), std::logic_error);
    EXPECT_THROW(codec::Orient(stored, swapped, Orientation::kMirrored), std::logic_error);
    EXPECT_NO_THROW(codec::Orient(stored, swapped, Orientation::kTransposed));
}

// ---------------------------------------------------------------- EXIF blocks

struct ExifCase {
    std::string name;
    Bytes block;
    Orientation expected;
};

void PrintTo(const ExifCase& c, std::ostream* out) { *out << c.name; }

class ExifBlock : public testing::TestWithParam<ExifCase> {};

TEST_P(ExifBlock, GivesTheOrientation) {
    EXPECT_EQ(codec::ExifOrientation(GetParam().block), GetParam().expected);
}

// A block in the given byte order whose first directory holds the given
// entries (tag, type, count, value), then the next directory's offset.
struct Entry {
    std::uint16_t tag, type;
    std::uint32_t count, value;
};

Bytes Block(bool bigEndian, const std::vector<Entry>& entries, std::uint32_t directory = 8) {
    testfiles::TiffWriter out(bigEndian);
    out.Header(directory);
    out.Pad(directory);
    out.U16(static_cast<std::uint16_t>(entries.size()));
    for (const Entry& e : entries) {
        out.U16(e.tag);
        out.U16(e.type);
        out.U32(e.count);
        if (e.type == 3 && e.count == 1)
            out.U16(static_cast<std::uint16_t>(e.value)), out.U16(0);
        else
            out.U32(e.value);
    }
    out.U32(0);
    return out.bytes;
}

std::vector<ExifCase> ExifCases() {
    std::vector<ExifCase> cases;
    for (const bool big : {false, true}) {
        const std::string order = big ? "motorola_" : "intel_";
        for (int value = 1; value <= 8; ++value)
            cases.push_back({order + std::to_string(value), testfiles::ExifBlock(static_cast<Orientation>(value), big),
                             static_cast<Orientation>(value)});
        // Other tags before and after the orientation, as cameras write them.
        cases.push_back({order + "among_other_tags",
                         Block(big, {{0x010f, 2, 4, 100}, {0x0110, 2, 4, 104}, {0x0112, 3, 1, 6}, {0x011a, 5, 1, 108}}),
                         Orientation::kTurned90});
        cases.push_back({order + "value_0", Block(big, {{0x0112, 3, 1, 0}}), Orientation::kNormal});
        cases.push_back({order + "value_9", Block(big, {{0x0112, 3, 1, 9}}), Orientation::kNormal});
        cases.push_back({order + "value_65535", Block(big, {{0x0112, 3, 1, 65535}}), Orientation::kNormal});
        cases.push_back({order + "type_long", Block(big, {{0x0112, 4, 1, 6}}), Orientation::kNormal});
        cases.push_back({order + "count_2", Block(big, {{0x0112, 3, 2, 6}}), Orientation::kNormal});
        cases.push_back({order + "no_orientation", Block(big, {{0x0110, 2, 4, 0}}), Orientation::kNormal});
        cases.push_back({order + "directory_far_on", Block(big, {{0x0112, 3, 1, 8}}, 40), Orientation::kTurned270});
    }
    const Bytes good = testfiles::ExifBlock(Orientation::kTurned90, false);
    // Cut anywhere before the end of the orientation's entry: no value.
    for (const std::size_t length : {0, 1, 2, 4, 7, 8, 9, 10, 15, 19, 21}) {
        cases.push_back({"cut_at_" + std::to_string(length), Bytes(good.begin(), good.begin() + length),
                         Orientation::kNormal});
    }
    Bytes wrongMark = good;
    wrongMark[2] = 43;
    cases.push_back({"wrong_mark", wrongMark, Orientation::kNormal});
    Bytes mixedOrder = good;
    mixedOrder[1] = 'M';
    cases.push_back({"mixed_byte_order", mixedOrder, Orientation::kNormal});
    Bytes pointsOutside = good;
    pointsOutside[4] = 0xf0, pointsOutside[5] = 0xff, pointsOutside[6] = 0xff, pointsOutside[7] = 0xff;
    cases.push_back({"directory_past_the_end", pointsOutside, Orientation::kNormal});
    Bytes pointsIntoHeader = good;
    pointsIntoHeader[4] = 2;
    cases.push_back({"directory_in_the_header", pointsIntoHeader, Orientation::kNormal});
    Bytes tooManyEntries = good;
    tooManyEntries[8] = 0xff, tooManyEntries[9] = 0xff;  // 65535 entries: the orientation is still the first
    cases.push_back({"entry_count_past_the_end_orientation_first", tooManyEntries, Orientation::kTurned90});
    Bytes lateTag = Block(false, {{0x0110, 2, 4, 0}, {0x0112, 3, 1, 3}});
    lateTag[8] = 0xff, lateTag[9] = 0xff;
    lateTag.resize(lateTag.size() - 10);  // the second entry cut
    cases.push_back({"entry_count_past_the_end_orientation_cut", lateTag, Orientation::kNormal});
    // A directory whose next-directory offset points back at itself: only
    // the first directory is read, so the loop costs nothing.
    Bytes loop = Block(true, {{0x0110, 2, 4, 0}});
    loop[loop.size() - 1] = 8;
    cases.push_back({"directory_loop", loop, Orientation::kNormal});
    return cases;
}

INSTANTIATE_TEST_SUITE_P(Exif, ExifBlock, testing::ValuesIn(ExifCases()),
                         [](const testing::TestParamInfo<ExifCase>& info) { return info.param.name; });

// ---------------------------------------------------------------- ImageMagick's raw profile text

struct RawProfileCase {
    std::string name;
    std::string text;
    Orientation expected;
};

void PrintTo(const RawProfileCase& c, std::ostream* out) { *out << c.name; }

class RawProfile : public testing::TestWithParam<RawProfileCase> {};

TEST_P(RawProfile, GivesTheOrientationOfTheBlockItHolds) {
    EXPECT_EQ(codec::RawProfileExifOrientation(GetParam().text), GetParam().expected);
}

std::string Upper(std::string text) {
    for (char& c : text) c = static_cast<char>(c >= 'a' && c <= 'f' ? c - 'a' + 'A' : c);
    return text;
}

std::vector<RawProfileCase> RawProfileCases() {
    const Bytes block = testfiles::ExifSegment(testfiles::ExifBlock(Orientation::kTurned90, false));
    const std::string text = testfiles::RawProfileText(block);
    const std::string header = "\nexif\n" + std::to_string(block.size()) + "\n";
    std::string hex;
    for (const std::uint8_t b : block) {
        static constexpr char kDigits[] = "0123456789abcdef";
        hex += kDigits[b >> 4];
        hex += kDigits[b & 15];
    }
    Bytes longBlock = block;
    longBlock.resize(100000, 0x77);  // past the bytes decoded
    std::vector<RawProfileCase> cases = {
        {"as_imagemagick_writes_it", text, Orientation::kTurned90},
        {"motorola_block", testfiles::RawProfileText(testfiles::ExifSegment(testfiles::ExifBlock(Orientation::kMirrored, true))),
         Orientation::kMirrored},
        {"without_the_exif_signature", testfiles::RawProfileText(testfiles::ExifBlock(Orientation::kTurned270, false)),
         Orientation::kTurned270},
        {"length_without_spaces_digits_on_one_line", header + hex, Orientation::kTurned90},
        {"upper_case_digits", header + Upper(hex), Orientation::kTurned90},
        {"white_space_among_the_digits", header + hex.substr(0, 5) + " \r\n\t" + hex.substr(5), Orientation::kTurned90},
        {"digits_after_the_length_unread", header + hex + "zz", Orientation::kTurned90},
        {"longer_than_the_bytes_decoded", testfiles::RawProfileText(longBlock), Orientation::kTurned90},
        {"another_profile", testfiles::RawProfileText(block, "iptc"), Orientation::kNormal},
        {"no_line_break_first", text.substr(1), Orientation::kNormal},
        {"no_length", "\nexif\n\n" + hex, Orientation::kNormal},
        {"length_past_32_bits", "\nexif\n4294967296\n" + hex, Orientation::kNormal},
        {"fewer_digits_than_the_length", header + hex.substr(0, hex.size() - 2), Orientation::kNormal},
        {"odd_count_of_digits", header + hex.substr(0, hex.size() - 1), Orientation::kNormal},
        {"not_a_hex_digit", header + "g" + hex, Orientation::kNormal},
        {"empty", "", Orientation::kNormal},
    };
    return cases;
}

INSTANTIATE_TEST_SUITE_P(Exif, RawProfile, testing::ValuesIn(RawProfileCases()),
                         [](const testing::TestParamInfo<RawProfileCase>& info) { return info.param.name; });

}  // namespace
