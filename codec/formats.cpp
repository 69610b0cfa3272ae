#include "codec/formats.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "codec/tiff.h"

namespace codec {

namespace {

using Kind = DecodeError::Kind;

[[noreturn]] void Damaged(const std::string& detail) { throw DecodeError(Kind::kDamaged, detail); }
[[noreturn]] void Unsupported(const std::string& detail) { throw DecodeError(Kind::kUnsupported, detail); }

void CheckLimit(std::uint64_t width, std::uint64_t height, std::uint64_t maxPixels) {
    // Sides are at most about 2^40 here, so the product cannot wrap.
    if (width != 0 && height > maxPixels / width) throw DecodeError(Kind::kTooLarge, "", width, height);
}

bool IsSpace(int c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }
bool IsDigit(int c) { return c >= '0' && c <= '9'; }
bool IsHex(int c) { return IsDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

bool StartsWith(std::span<const std::uint8_t> bytes, std::string_view prefix) {
    return bytes.size() >= prefix.size() && std::memcmp(bytes.data(), prefix.data(), prefix.size()) == 0;
}

// The file's bytes in order through a fixed buffer.
class Input {
public:
    explicit Input(const ByteSource& source) : source_(source) {}

    // The next byte, or -1 at the end of the file.
    int Get() {
        if (pos_ == len_ && !Fill()) return -1;
        ++offset_;
        return buffer_[pos_++];
    }
    // The next byte; the end of the file is damage described by `where`.
    std::uint8_t Need(const char* where) {
        const int c = Get();
        if (c < 0) Damaged(std::string("the file ends ") + where);
        return static_cast<std::uint8_t>(c);
    }
    void Read(std::uint8_t* out, std::size_t size, const char* where) {
        for (std::size_t i = 0; i < size; ++i) out[i] = Need(where);
    }
    // Skips size bytes; false when the file ends first.
    bool Skip(std::uint64_t size) {
        while (size > 0) {
            if (pos_ == len_ && !Fill()) return false;
            const std::size_t step = static_cast<std::size_t>(std::min<std::uint64_t>(size, len_ - pos_));
            pos_ += step;
            offset_ += step;
            size -= step;
        }
        return true;
    }
    void NeedSkip(std::uint64_t size, const char* where) {
        if (!Skip(size)) Damaged(std::string("the file ends ") + where);
    }
    // Bytes available without another read, for scanning runs quickly.
    std::span<const std::uint8_t> Peek() {
        if (pos_ == len_) Fill();
        return {buffer_.data() + pos_, len_ - pos_};
    }
    std::uint64_t Offset() const { return offset_; }

private:
    bool Fill() {
        pos_ = 0;
        len_ = source_(buffer_.data(), buffer_.size());
        return len_ > 0;
    }

    const ByteSource& source_;
    std::array<std::uint8_t, 16384> buffer_{};
    std::size_t pos_ = 0;
    std::size_t len_ = 0;
    std::uint64_t offset_ = 0;
};

std::uint32_t Le16(const std::uint8_t* p) { return p[0] | (std::uint32_t{p[1]} << 8); }
std::uint32_t Le32(const std::uint8_t* p) {
    return p[0] | (std::uint32_t{p[1]} << 8) | (std::uint32_t{p[2]} << 16) | (std::uint32_t{p[3]} << 24);
}
std::uint32_t Be32(const std::uint8_t* p) {
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) | p[3];
}

// GIF -----------------------------------------------------------------------
//
// Qt allocates the logical screen (or, when the screen is 0 wide or high,
// left + width of the first frame) and fills in the first frame as its LZW
// codes arrive. When the file ends inside the frame, it returns what it has:
// the rest is background. So the check runs the same LZW code table as Qt,
// keeping only each code's string length, and counts that the first frame's
// codes yield at least width * height pixels before the end code or the end
// of the sub-blocks; and that the sub-block chain is terminated. The first
// image is all Qt reads: a file that ends after it without a trailer is
// accepted, as Qt reads it completely.

// Skips a chain of sub-blocks up to and including the empty one.
void SkipSubBlocks(Input& in, const char* where) {
    for (;;) {
        const std::uint8_t size = in.Need(where);
        if (size == 0) return;
        in.NeedSkip(size, where);
    }
}

DeclaredSize CheckGif(Input& in, std::uint64_t maxPixels) {
    std::uint8_t head[13];
    in.Read(head, sizeof head, "inside the header");
    if (std::memcmp(head, "GIF87a", 6) != 0 && std::memcmp(head, "GIF89a", 6) != 0) Damaged("not a GIF file");
    std::uint32_t screenWidth = Le16(head + 6);
    std::uint32_t screenHeight = Le16(head + 8);
    const bool globalTable = (head[10] & 0x80) != 0;
    const unsigned globalColours = 2u << (head[10] & 7);
    if (globalTable) in.NeedSkip(3u * globalColours, "inside the colour table");

    for (;;) {
        const std::uint8_t introducer = in.Need("before the first image");
        if (introducer == 0x21) {
            const std::uint8_t label = in.Need("inside an extension");
            // Qt reads the first sub-block of these two as their fixed part
            // and skips sub-blocks after it, so an empty first block would
            // shift Qt's reading by one block.
            if (label == 0xF9 || label == 0xFF) {
                const std::uint8_t size = in.Need("inside an extension");
                if (size == 0) Damaged("an extension has no data");
                in.NeedSkip(size, "inside an extension");
            }
            SkipSubBlocks(in, "inside an extension");
            continue;
        }
        if (introducer == 0x3B) Damaged("the file holds no image");
        if (introducer != 0x2C) Damaged("a block of an unknown kind comes before the first image");

        std::uint8_t desc[9];
        in.Read(desc, sizeof desc, "inside an image descriptor");
        const std::uint32_t left = Le16(desc), top = Le16(desc + 2);
        const std::uint32_t width = Le16(desc + 4), height = Le16(desc + 6);
        if (screenWidth == 0) screenWidth = left + width;
        if (screenHeight == 0) screenHeight = top + height;
        CheckLimit(screenWidth, screenHeight, maxPixels);
        CheckLimit(width, height, maxPixels);
        // Qt refuses screens of 16384 x 16384 pixels and more.
        if (std::uint64_t{screenWidth} * screenHeight >= std::uint64_t{16384} * 16384)
            Unsupported("the picture is too large for the GIF reader");
        if (width == 0 || height == 0) Damaged("the first image has no pixels");
        const bool localTable = (desc[8] & 0x80) != 0;
        const unsigned localColours = 2u << (desc[8] & 7);
        if (localTable) in.NeedSkip(3u * localColours, "inside the colour table");
        if (!localTable && !globalTable) Damaged("the image has no colour table");
        const unsigned colours = localTable ? localColours : globalColours;

        const int minCodeSize = in.Need("before the image data");
        if (minCodeSize < 2 || minCodeSize > 8) Damaged("the image data has an invalid code size");

        constexpr int kMaxCodes = 4096;
        std::array<std::uint16_t, kMaxCodes> length{};  // string length of each code
        const int clearCode = 1 << minCodeSize;
        const int endCode = clearCode + 1;
        int codeSize = minCodeSize + 1;
        int nextCode = clearCode + 2;
        int codeLimit = 2 * clearCode;
        for (int i = 0; i < clearCode; ++i) length[i] = 1;
        bool needFirst = true;
        int previous = 0;
        bool finished = false;  // the end code came, or all pixels did
        const std::uint64_t pixels = std::uint64_t{width} * height;
        std::uint64_t produced = 0;
        std::uint32_t accumulator = 0;
        int bits = 0;

        for (;;) {
            const std::uint8_t size = in.Need("inside the image data");
            if (size == 0) break;
            for (int b = 0; b < size; ++b) {
                const std::uint8_t byte = in.Need("inside the image data");
                if (finished) continue;
                accumulator |= std::uint32_t{byte} << bits;
                bits += 8;
                while (bits >= codeSize && !finished) {
                    const int code = static_cast<int>(accumulator & ((1u << codeSize) - 1));
                    accumulator >>= codeSize;
                    bits -= codeSize;
                    if (code == clearCode) {
                        codeSize = minCodeSize + 1;
                        codeLimit = 2 * clearCode;
                        nextCode = clearCode + 2;
                        needFirst = true;
                        continue;
                    }
                    if (code == endCode) {
                        finished = true;
                        break;
                    }
                    if (needFirst) {
                        if (code > clearCode) Damaged("the image data starts with an undefined code");
                        if (static_cast<unsigned>(code) >= colours) Damaged("a pixel is outside the colour table");
                        produced += 1;
                        previous = code;
                        needFirst = false;
                    } else {
                        if (code > nextCode || (code == nextCode && nextCode == kMaxCodes))
                            Damaged("the image data holds an undefined code");
                        if (code < clearCode && static_cast<unsigned>(code) >= colours)
                            Damaged("a pixel is outside the colour table");
                        const std::uint32_t stringLength =
                            code < nextCode ? length[code] : std::uint32_t{length[previous]} + 1;
                        if (nextCode < kMaxCodes) {
                            length[nextCode] = static_cast<std::uint16_t>(length[previous] + 1);
                            ++nextCode;
                            if (nextCode >= codeLimit && codeLimit < kMaxCodes) {
                                codeLimit *= 2;
                                ++codeSize;
                            }
                        }
                        produced += stringLength;
                        previous = code;
                    }
                    if (produced >= pixels) finished = true;
                }
            }
        }
        if (produced < pixels) Damaged("the image data ends before the last pixel");
        return {screenWidth, screenHeight};
    }
}

// PNM -----------------------------------------------------------------------
//
// Numbers are read as Qt reads them: white space and '#' comment lines are
// skipped before a number; the character after its digits is taken with it
// (and when it is '#', the rest of that line). The raster of P4/P5/P6 starts
// right after that character. Qt itself fails on short rasters and missing
// samples; the check also refuses samples above the maximum value, which Qt
// would wrap or clip into colours the file does not hold. An ASCII file must not
// end right after the digits of its last sample, which Qt would take as
// complete however many digits were cut.

constexpr std::uint64_t kNumberCap = std::uint64_t{1} << 40;

void SkipLine(Input& in) {
    for (int c = in.Get(); c >= 0 && c != '\n'; c = in.Get()) {
    }
}

// A number, or -1 when something else (or the end of the file) comes first.
// *cut is set when the file ends right after the digits.
std::int64_t ReadPnmNumber(Input& in, bool* cut = nullptr) {
    std::int64_t value = -1;
    for (;;) {
        const int c = in.Get();
        if (c < 0) {
            if (cut) *cut = value >= 0;
            return value;
        }
        if (value >= 0) {
            if (IsDigit(c)) {
                value = std::min<std::int64_t>(value * 10 + (c - '0'), static_cast<std::int64_t>(kNumberCap));
                continue;
            }
            if (c == '#') SkipLine(in);
            return value;
        }
        if (IsDigit(c)) value = c - '0';
        else if (IsSpace(c)) continue;
        else if (c == '#') SkipLine(in);
        else return -1;
    }
}

DeclaredSize CheckPnm(Input& in, std::uint64_t maxPixels) {
    std::uint8_t magic[3];
    in.Read(magic, 3, "inside the header");
    if (magic[0] != 'P' || magic[1] < '1' || magic[1] > '6' || !IsSpace(magic[2])) Damaged("not a PNM file");
    const int type = magic[1] - '0';
    const std::int64_t width = ReadPnmNumber(in);
    const std::int64_t height = ReadPnmNumber(in);
    const bool bitmap = type == 1 || type == 4;
    const std::int64_t maxValue = bitmap ? 1 : ReadPnmNumber(in);
    if (width < 0 || height < 0 || maxValue < 0) Damaged("the header is incomplete or not made of numbers");
    if (width == 0 || height == 0) Damaged("the picture has no pixels");
    CheckLimit(static_cast<std::uint64_t>(width), static_cast<std::uint64_t>(height), maxPixels);
    if (width > 32767 || height > 32767) Unsupported("the picture is wider or higher than 32767 pixels");
    if (maxValue == 0 || maxValue > 65535) Damaged("the maximum sample value is outside 1 to 65535");

    const std::uint64_t w = static_cast<std::uint64_t>(width), h = static_cast<std::uint64_t>(height);
    const int channels = (type == 3 || type == 6) ? 3 : 1;
    if (type >= 4) {
        if (type == 4) {
            in.NeedSkip(h * ((w + 7) / 8), "inside the pixel data");
        } else if (maxValue > 255) {
            std::uint8_t sample[2];
            for (std::uint64_t i = 0; i < w * h * channels; ++i) {
                in.Read(sample, 2, "inside the pixel data");
                if ((sample[0] << 8 | sample[1]) > maxValue) Damaged("a sample is above the maximum value");
            }
        } else if (maxValue == 255) {
            in.NeedSkip(w * h * channels, "inside the pixel data");
        } else {
            for (std::uint64_t i = 0; i < w * h * channels; ++i) {
                if (in.Need("inside the pixel data") > maxValue) Damaged("a sample is above the maximum value");
            }
        }
    } else {
        for (std::uint64_t i = 0; i < w * h * channels; ++i) {
            bool cut = false;
            const std::int64_t sample = ReadPnmNumber(in, &cut);
            if (sample < 0) Damaged("the pixel data ends early or holds something other than numbers");
            if (sample > maxValue) Damaged("a sample is above the maximum value");
            // Digits running into the end of the file may be the start of a
            // longer number that was cut off: nothing tells the two apart.
            if (cut) Damaged("the file ends inside the last sample");
        }
    }
    return {w, h};
}

// XPM -----------------------------------------------------------------------
//
// Qt takes every "..." in the file in order, comments or not: the values
// string, ncolors colour strings, then height pixel strings. A pixel string
// shorter than width * cpp characters is padded with colour 0, and a pixel
// whose characters name no colour gets colour 0: both are refused here.
// Qt looks colours up by the last four characters of their key, so keys
// are kept that way and two keys alike there are refused. A colour must be
// "none", #rgb hexadecimal (4 to 16 bits a channel) or a name Qt knows:
// anything else Qt paints black.

constexpr std::size_t kMaxXpmColours = 65536;
constexpr std::size_t kMaxColourString = 4096;

// Skips to the next '"'; false at the end of the file.
bool OpenString(Input& in) {
    for (;;) {
        const auto run = in.Peek();
        if (run.empty()) return false;
        const auto quote = std::find(run.begin(), run.end(), std::uint8_t{'"'});
        in.Skip(static_cast<std::uint64_t>(quote - run.begin()));
        if (quote != run.end()) {
            in.Get();
            return true;
        }
    }
}

// The next string's characters up to `limit`; the rest up to the closing
// quote is skipped and counted in *total.
std::string ReadString(Input& in, std::size_t limit, std::uint64_t* total, const char* what) {
    if (!OpenString(in)) Damaged(std::string("the file ends before ") + what);
    std::string text;
    std::uint64_t count = 0;
    for (;;) {
        const int c = in.Get();
        if (c < 0) Damaged(std::string("the file ends inside ") + what);
        if (c == '"') break;
        if (text.size() < limit) text.push_back(static_cast<char>(c));
        ++count;
    }
    if (total) *total = count;
    return text;
}

std::uint32_t XpmKey(const char* key, std::size_t size) {
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < size; ++i) value = (value << 8) + static_cast<std::uint8_t>(key[i]);
    return value;
}

bool ValidHexColour(std::string value) {
    // Qt drops the alpha digits that some writers add (#rrggbbaa).
    if ((value.size() - 1) % 3 != 0) value.resize((value.size() - 1) / 4 * 3 + 1);
    const std::size_t digits = value.size() - 1;
    if (digits != 3 && digits != 6 && digits != 9 && digits != 12) return false;
    return std::all_of(value.begin() + 1, value.end(), [](char c) { return IsHex(static_cast<std::uint8_t>(c)); });
}

// The X11 colour names (lower case, without spaces) that Qt's XPM reader
// knows; any other name it paints black.
constexpr std::string_view kColourNames[] = {
    "aliceblue", "antiquewhite", "antiquewhite1", "antiquewhite2", "antiquewhite3", "antiquewhite4", "aquamarine",
    "aquamarine1", "aquamarine2", "aquamarine3", "aquamarine4", "azure", "azure1", "azure2", "azure3", "azure4",
    "beige", "bisque", "bisque1", "bisque2", "bisque3", "bisque4", "black", "blanchedalmond", "blue", "blue1",
    "blue2", "blue3", "blue4", "blueviolet", "brown", "brown1", "brown2", "brown3", "brown4", "burlywood",
    "burlywood1", "burlywood2", "burlywood3", "burlywood4", "cadetblue", "cadetblue1", "cadetblue2", "cadetblue3",
    "cadetblue4", "chartreuse", "chartreuse1", "chartreuse2", "chartreuse3", "chartreuse4", "chocolate", "chocolate1",
    "chocolate2", "chocolate3", "chocolate4", "coral", "coral1", "coral2", "coral3", "coral4", "cornflowerblue",
    "cornsilk", "cornsilk1", "cornsilk2", "cornsilk3", "cornsilk4", "cyan", "cyan1", "cyan2", "cyan3", "cyan4",
    "darkblue", "darkcyan", "darkgoldenrod", "darkgoldenrod1", "darkgoldenrod2", "darkgoldenrod3", "darkgoldenrod4",
    "darkgray", "darkgreen", "darkgrey", "darkkhaki", "darkmagenta", "darkolivegreen", "darkolivegreen1",
    "darkolivegreen2", "darkolivegreen3", "darkolivegreen4", "darkorange", "darkorange1", "darkorange2",
    "darkorange3", "darkorange4", "darkorchid", "darkorchid1", "darkorchid2", "darkorchid3", "darkorchid4", "darkred",
    "darksalmon", "darkseagreen", "darkseagreen1", "darkseagreen2", "darkseagreen3", "darkseagreen4", "darkslateblue",
    "darkslategray", "darkslategray1", "darkslategray2", "darkslategray3", "darkslategray4", "darkslategrey",
    "darkturquoise", "darkviolet", "deeppink", "deeppink1", "deeppink2", "deeppink3", "deeppink4", "deepskyblue",
    "deepskyblue1", "deepskyblue2", "deepskyblue3", "deepskyblue4", "dimgray", "dimgrey", "dodgerblue", "dodgerblue1",
    "dodgerblue2", "dodgerblue3", "dodgerblue4", "firebrick", "firebrick1", "firebrick2", "firebrick3", "firebrick4",
    "floralwhite", "forestgreen", "gainsboro", "ghostwhite", "gold", "gold1", "gold2", "gold3", "gold4", "goldenrod",
    "goldenrod1", "goldenrod2", "goldenrod3", "goldenrod4", "gray", "gray0", "gray1", "gray10", "gray100", "gray11",
    "gray12", "gray13", "gray14", "gray15", "gray16", "gray17", "gray18", "gray19", "gray2", "gray20", "gray21",
    "gray22", "gray23", "gray24", "gray25", "gray26", "gray27", "gray28", "gray29", "gray3", "gray30", "gray31",
    "gray32", "gray33", "gray34", "gray35", "gray36", "gray37", "gray38", "gray39", "gray4", "gray40", "gray41",
    "gray42", "gray43", "gray44", "gray45", "gray46", "gray47", "gray48", "gray49", "gray5", "gray50", "gray51",
    "gray52", "gray53", "gray54", "gray55", "gray56", "gray57", "gray58", "gray59", "gray6", "gray60", "gray61",
    "gray62", "gray63", "gray64", "gray65", "gray66", "gray67", "gray68", "gray69", "gray7", "gray70", "gray71",
    "gray72", "gray73", "gray74", "gray75", "gray76", "gray77", "gray78", "gray79", "gray8", "gray80", "gray81",
    "gray82", "gray83", "gray84", "gray85", "gray86", "gray87", "gray88", "gray89", "gray9", "gray90", "gray91",
    "gray92", "gray93", "gray94", "gray95", "gray96", "gray97", "gray98", "gray99", "green", "green1", "green2",
    "green3", "green4", "greenyellow", "grey", "grey0", "grey1", "grey10", "grey100", "grey11", "grey12", "grey13",
    "grey14", "grey15", "grey16", "grey17", "grey18", "grey19", "grey2", "grey20", "grey21", "grey22", "grey23",
    "grey24", "grey25", "grey26", "grey27", "grey28", "grey29", "grey3", "grey30", "grey31", "grey32", "grey33",
    "grey34", "grey35", "grey36", "grey37", "grey38", "grey39", "grey4", "grey40", "grey41", "grey42", "grey43",
    "grey44", "grey45", "grey46", "grey47", "grey48", "grey49", "grey5", "grey50", "grey51", "grey52", "grey53",
    "grey54", "grey55", "grey56", "grey57", "grey58", "grey59", "grey6", "grey60", "grey61", "grey62", "grey63",
    "grey64", "grey65", "grey66", "grey67", "grey68", "grey69", "grey7", "grey70", "grey71", "grey72", "grey73",
    "grey74", "grey75", "grey76", "grey77", "grey78", "grey79", "grey8", "grey80", "grey81", "grey82", "grey83",
    "grey84", "grey85", "grey86", "grey87", "grey88", "grey89", "grey9", "grey90", "grey91", "grey92", "grey93",
    "grey94", "grey95", "grey96", "grey97", "grey98", "grey99", "honeydew", "honeydew1", "honeydew2", "honeydew3",
    "honeydew4", "hotpink", "hotpink1", "hotpink2", "hotpink3", "hotpink4", "indianred", "indianred1", "indianred2",
    "indianred3", "indianred4", "ivory", "ivory1", "ivory2", "ivory3", "ivory4", "khaki", "khaki1", "khaki2",
    "khaki3", "khaki4", "lavender", "lavenderblush", "lavenderblush1", "lavenderblush2", "lavenderblush3",
    "lavenderblush4", "lawngreen", "lemonchiffon", "lemonchiffon1", "lemonchiffon2", "lemonchiffon3", "lemonchiffon4",
    "lightblue", "lightblue1", "lightblue2", "lightblue3", "lightblue4", "lightcoral", "lightcyan", "lightcyan1",
    "lightcyan2", "lightcyan3", "lightcyan4", "lightgoldenrod", "lightgoldenrod1", "lightgoldenrod2",
    "lightgoldenrod3", "lightgoldenrod4", "lightgoldenrodyellow", "lightgray", "lightgreen", "lightgrey", "lightpink",
    "lightpink1", "lightpink2", "lightpink3", "lightpink4", "lightsalmon", "lightsalmon1", "lightsalmon2",
    "lightsalmon3", "lightsalmon4", "lightseagreen", "lightskyblue", "lightskyblue1", "lightskyblue2",
    "lightskyblue3", "lightskyblue4", "lightslateblue", "lightslategray", "lightslategrey", "lightsteelblue",
    "lightsteelblue1", "lightsteelblue2", "lightsteelblue3", "lightsteelblue4", "lightyellow", "lightyellow1",
    "lightyellow2", "lightyellow3", "lightyellow4", "limegreen", "linen", "magenta", "magenta1", "magenta2",
    "magenta3", "magenta4", "maroon", "maroon1", "maroon2", "maroon3", "maroon4", "mediumaquamarine", "mediumblue",
    "mediumorchid", "mediumorchid1", "mediumorchid2", "mediumorchid3", "mediumorchid4", "mediumpurple",
    "mediumpurple1", "mediumpurple2", "mediumpurple3", "mediumpurple4", "mediumseagreen", "mediumslateblue",
    "mediumspringgreen", "mediumturquoise", "mediumvioletred", "midnightblue", "mintcream", "mistyrose", "mistyrose1",
    "mistyrose2", "mistyrose3", "mistyrose4", "moccasin", "navajowhite", "navajowhite1", "navajowhite2",
    "navajowhite3", "navajowhite4", "navy", "navyblue", "oldlace", "olivedrab", "olivedrab1", "olivedrab2",
    "olivedrab3", "olivedrab4", "orange", "orange1", "orange2", "orange3", "orange4", "orangered", "orangered1",
    "orangered2", "orangered3", "orangered4", "orchid", "orchid1", "orchid2", "orchid3", "orchid4", "palegoldenrod",
    "palegreen", "palegreen1", "palegreen2", "palegreen3", "palegreen4", "paleturquoise", "paleturquoise1",
    "paleturquoise2", "paleturquoise3", "paleturquoise4", "palevioletred", "palevioletred1", "palevioletred2",
    "palevioletred3", "palevioletred4", "papayawhip", "peachpuff", "peachpuff1", "peachpuff2", "peachpuff3",
    "peachpuff4", "peru", "pink", "pink1", "pink2", "pink3", "pink4", "plum", "plum1", "plum2", "plum3", "plum4",
    "powderblue", "purple", "purple1", "purple2", "purple3", "purple4", "red", "red1", "red2", "red3", "red4",
    "rosybrown", "rosybrown1", "rosybrown2", "rosybrown3", "rosybrown4", "royalblue", "royalblue1", "royalblue2",
    "royalblue3", "royalblue4", "saddlebrown", "salmon", "salmon1", "salmon2", "salmon3", "salmon4", "sandybrown",
    "seagreen", "seagreen1", "seagreen2", "seagreen3", "seagreen4", "seashell", "seashell1", "seashell2", "seashell3",
    "seashell4", "sienna", "sienna1", "sienna2", "sienna3", "sienna4", "skyblue", "skyblue1", "skyblue2", "skyblue3",
    "skyblue4", "slateblue", "slateblue1", "slateblue2", "slateblue3", "slateblue4", "slategray", "slategray1",
    "slategray2", "slategray3", "slategray4", "slategrey", "snow", "snow1", "snow2", "snow3", "snow4", "springgreen",
    "springgreen1", "springgreen2", "springgreen3", "springgreen4", "steelblue", "steelblue1", "steelblue2",
    "steelblue3", "steelblue4", "tan", "tan1", "tan2", "tan3", "tan4", "thistle", "thistle1", "thistle2", "thistle3",
    "thistle4", "tomato", "tomato1", "tomato2", "tomato3", "tomato4", "turquoise", "turquoise1", "turquoise2",
    "turquoise3", "turquoise4", "violet", "violetred", "violetred1", "violetred2", "violetred3", "violetred4",
    "wheat", "wheat1", "wheat2", "wheat3", "wheat4", "white", "whitesmoke", "yellow", "yellow1", "yellow2", "yellow3",
    "yellow4", "yellowgreen",
};

void CheckColourLine(const std::string& line) {
    std::vector<std::string> tokens;
    std::string token;
    for (char c : line) {
        if (IsSpace(static_cast<std::uint8_t>(c))) {
            if (!token.empty()) tokens.push_back(token);
            token.clear();
        } else {
            token.push_back(static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c));
        }
    }
    if (!token.empty()) tokens.push_back(token);
    auto isPrefix = [](const std::string& t) { return t == "c" || t == "g" || t == "g4" || t == "m" || t == "s"; };
    std::size_t at = tokens.size();
    for (const char* key : {"c", "g", "g4", "m"}) {
        const auto found = std::find(tokens.begin(), tokens.end(), key);
        if (found != tokens.end()) {
            at = static_cast<std::size_t>(found - tokens.begin());
            break;
        }
    }
    if (at == tokens.size()) Damaged("a colour has no c, g or m value");
    std::string value;
    for (std::size_t i = at + 1; i < tokens.size() && !isPrefix(tokens[i]); ++i) value += tokens[i];
    if (value.empty()) Damaged("a colour has no value");
    if (value[0] == '#') {
        if (!ValidHexColour(value)) Damaged("a colour value is not a valid hexadecimal colour");
    } else if (value != "none" && !std::binary_search(std::begin(kColourNames), std::end(kColourNames), value)) {
        Damaged("a colour name is unknown");
    }
}

DeclaredSize CheckXpm(Input& in, std::uint64_t maxPixels) {
    std::uint8_t magic[6];
    in.Read(magic, sizeof magic, "inside the header");
    if (std::memcmp(magic, "/* XPM", 6) != 0) Damaged("not an XPM file");
    // Qt reads the first line (at most 199 characters) before it looks for strings.
    for (int i = 6; i < 199; ++i) {
        const int c = in.Get();
        if (c < 0 || c == '\n') break;
    }

    const std::string values = ReadString(in, 256, nullptr, "the values string");
    std::int64_t numbers[4] = {};
    std::size_t at = 0;
    for (std::int64_t& number : numbers) {
        while (at < values.size() && IsSpace(static_cast<std::uint8_t>(values[at]))) ++at;
        const bool negative = at < values.size() && values[at] == '-';
        if (at < values.size() && (values[at] == '-' || values[at] == '+')) ++at;
        if (at == values.size() || !IsDigit(static_cast<std::uint8_t>(values[at])))
            Damaged("the values string does not hold four numbers");
        number = 0;
        while (at < values.size() && IsDigit(static_cast<std::uint8_t>(values[at])))
            number = std::min<std::int64_t>(number * 10 + (values[at++] - '0'), static_cast<std::int64_t>(kNumberCap));
        if (negative) number = -number;
    }
    const std::int64_t width = numbers[0], height = numbers[1], colours = numbers[2], cpp = numbers[3];
    if (width <= 0 || height <= 0) Damaged("the picture has no pixels");
    CheckLimit(static_cast<std::uint64_t>(width), static_cast<std::uint64_t>(height), maxPixels);
    if (width > 32767 || height > 32767) Unsupported("the picture is wider or higher than 32767 pixels");
    if (cpp <= 0 || cpp > 15) Damaged("the characters per pixel are outside 1 to 15");
    if (colours <= 0) Damaged("the picture has no colours");
    if (static_cast<std::uint64_t>(colours) > kMaxXpmColours) Unsupported("the picture has more than 65536 colours");

    const std::size_t keySize = static_cast<std::size_t>(cpp);
    const std::size_t hashed = std::min<std::size_t>(keySize, 4);
    std::vector<std::uint32_t> keys;
    keys.reserve(static_cast<std::size_t>(colours));
    for (std::int64_t i = 0; i < colours; ++i) {
        std::uint64_t total = 0;
        const std::string line = ReadString(in, kMaxColourString, &total, "the colour table");
        if (total > kMaxColourString) Damaged("a colour string is too long");
        if (line.size() < keySize) Damaged("a colour string is shorter than its key");
        keys.push_back(XpmKey(line.data() + keySize - hashed, hashed));
        CheckColourLine(line.substr(keySize));
    }
    std::sort(keys.begin(), keys.end());
    if (std::adjacent_find(keys.begin(), keys.end()) != keys.end()) Damaged("two colours have the same key");

    const std::uint64_t rowChars = static_cast<std::uint64_t>(width) * keySize;
    std::array<char, 16> key{};
    for (std::int64_t y = 0; y < height; ++y) {
        if (!OpenString(in)) Damaged("the file ends before the last row of pixels");
        std::uint64_t got = 0;
        std::size_t inKey = 0;
        for (;;) {
            const int c = in.Get();
            if (c < 0) Damaged("the file ends inside a row of pixels");
            if (c == '"') break;
            if (got < rowChars) {
                key[inKey++] = static_cast<char>(c);
                if (inKey == keySize) {
                    if (!std::binary_search(keys.begin(), keys.end(), XpmKey(key.data() + keySize - hashed, hashed)))
                        Damaged("a pixel names no colour");
                    inKey = 0;
                }
            }
            ++got;
        }
        if (got < rowChars) Damaged("a row of pixels is too short");
    }
    return {static_cast<std::uint64_t>(width), static_cast<std::uint64_t>(height)};
}

// XBM -----------------------------------------------------------------------
//
// Qt reads the file in lines of at most 299 bytes: lines not starting with
// '#' are skipped (within the first 4 KiB), then the first "#define name N"
// line gives the width and the very next line the height. The bytes are the
// "0x" pairs of hex digits from the first line holding "0x" on; when they
// run out Qt keeps the rest of the picture blank, so here they are counted.

class LineReader {
public:
    explicit LineReader(Input& in) : in_(in) {}
    // The next piece as Qt's readLine(buffer, 300) gives it: up to and
    // including '\n', at most 299 bytes. Empty at the end of the file.
    const std::string& Next() {
        line_.clear();
        while (line_.size() < 299) {
            const int c = in_.Get();
            if (c < 0) break;
            if (c == 0) Damaged("the file holds a zero byte");
            line_.push_back(static_cast<char>(c));
            if (c == '\n') break;
        }
        return line_;
    }

private:
    Input& in_;
    std::string line_;
};

// The number of "#define name N", or -1 when the line is not one.
std::int64_t DefineValue(const std::string& piece) {
    std::string line = piece.substr(0, piece.size() - 1);  // Qt drops the last byte
    if (line.compare(0, 7, "#define") != 0) return -1;
    std::size_t at = 7;
    auto spaces = [&] {
        const std::size_t from = at;
        while (at < line.size() && (line[at] == ' ' || line[at] == '\t')) ++at;
        return at > from;
    };
    if (!spaces()) return -1;
    const std::size_t name = at;
    while (at < line.size() && (std::isalnum(static_cast<unsigned char>(line[at])) || line[at] == '.' || line[at] == '_'))
        ++at;
    if (at == name || !spaces()) return -1;
    std::size_t end = line.size();
    while (end > at && IsSpace(static_cast<std::uint8_t>(line[end - 1]))) --end;
    if (at == end) return -1;
    std::int64_t value = 0;
    for (std::size_t i = at; i < end; ++i) {
        if (!IsDigit(static_cast<std::uint8_t>(line[i]))) return -1;
        value = std::min<std::int64_t>(value * 10 + (line[i] - '0'), static_cast<std::int64_t>(kNumberCap));
    }
    return value;
}

DeclaredSize CheckXbm(Input& in, std::uint64_t maxPixels) {
    LineReader lines(in);
    std::uint64_t total = 0;
    std::string piece;
    for (;;) {
        piece = lines.Next();
        if (piece.empty()) Damaged("the file ends before the size");
        if (piece.size() >= 299) Unsupported("a line before the size is too long");
        total += piece.size();
        if (total >= 4096) Damaged("no size within the first 4096 bytes");
        if (piece[0] == '#') break;
    }
    const std::int64_t width = DefineValue(piece);
    const std::string second = lines.Next();
    const std::int64_t height = second.empty() ? -1 : DefineValue(second);
    if (width < 0 || height < 0) Damaged("the width and height defines are missing");
    if (width == 0 || height == 0) Damaged("the picture has no pixels");
    CheckLimit(static_cast<std::uint64_t>(width), static_cast<std::uint64_t>(height), maxPixels);
    if (width > 32767 || height > 32767) Unsupported("the picture is wider or higher than 32767 pixels");

    const std::uint64_t needed = static_cast<std::uint64_t>(height) * ((static_cast<std::uint64_t>(width) + 7) / 8);
    std::uint64_t found = 0;
    bool started = false;
    while (found < needed) {
        const std::string& line = lines.Next();
        if (line.empty()) Damaged("the file ends before the last byte of the bitmap");
        std::size_t at = 0;
        if (!started) {
            at = line.find("0x");
            if (at == std::string::npos) continue;
            started = true;
        }
        for (at = line.find("0x", at); at != std::string::npos && found < needed; at = line.find("0x", at)) {
            if (at + 3 >= line.size() && line.size() == 299 && line.back() != '\n')
                Unsupported("a line of the bitmap is too long");  // the byte runs into Qt's next piece
            if (at + 3 >= line.size() || !IsHex(static_cast<std::uint8_t>(line[at + 2])) ||
                !IsHex(static_cast<std::uint8_t>(line[at + 3])))
                Damaged("a byte of the bitmap is not two hexadecimal digits");
            ++found;
            at += 2;
        }
        // A byte split across Qt's 299-byte pieces would be lost or misread.
        if (line.size() == 299 && line.back() != '\n' && found < needed) {
            const std::size_t n = line.size();
            if (line[n - 1] == '0' || (n >= 2 && line.compare(n - 2, 2, "0x") == 0) ||
                (n >= 3 && line.compare(n - 3, 2, "0x") == 0))
                Unsupported("a line of the bitmap is too long");
        }
    }
    return {static_cast<std::uint64_t>(width), static_cast<std::uint64_t>(height)};
}

// ICO / CUR -------------------------------------------------------------------
//
// Qt reads the first directory entry's image. For a BMP image it takes the
// width and height from the entry's bytes (0 meaning: from the info header,
// width and height / 2), reads the palette right after a 40-byte header and
// the rows and the mask without looking at the compression. For a PNG image
// it hands the entry's bytes to its PNG reader, which inflates every
// compressed text chunk in full. Every entry is checked for its size and for
// lying inside the file; the first one also for everything Qt reads of it.

constexpr std::uint64_t kCompressedTextBudget = 64 * 1024;

struct IcoEntry {
    std::uint32_t offset;
    std::uint32_t size;
    std::uint16_t index;
    std::uint8_t width, height;  // 0 means: from the image's own header
};

// Walks an embedded PNG's chunks after its header chunk (`used` bytes of
// the entry's `size` read) up to IEND, all within the entry.
void CheckIcoPngChunks(Input& in, std::uint64_t size, std::uint64_t used) {
    std::uint64_t text = 0;
    for (;;) {
        if (used + 12 > size) Damaged("an icon's PNG data ends before its last chunk");
        std::uint8_t chunk[8];
        in.Read(chunk, 8, "inside an icon's PNG data");
        const std::uint32_t length = Be32(chunk);
        if (length > 0x7FFFFFFFu) Damaged("an icon's PNG data has an invalid chunk");
        if (used + 12 + length > size) Damaged("an icon's PNG data ends inside a chunk");
        const std::uint8_t* type = chunk + 4;
        if (std::memcmp(type, "zTXt", 4) == 0 || std::memcmp(type, "iTXt", 4) == 0 || std::memcmp(type, "iCCP", 4) == 0) {
            text += length;
            if (text > kCompressedTextBudget)
                Unsupported("an icon's PNG data holds more compressed text than this program reads");
        }
        in.NeedSkip(std::uint64_t{length} + 4, "inside an icon's PNG data");
        used += 12 + std::uint64_t{length};
        if (std::memcmp(type, "IEND", 4) == 0) return;
    }
}

// Checks one entry's image; `in` is at its offset. Returns Qt's size for it.
DeclaredSize CheckIcoImage(Input& in, const IcoEntry& entry, bool deep, std::uint64_t maxPixels) {
    std::uint8_t head[40];
    if (entry.size < 8) Damaged("an icon's data is too short");
    in.Read(head, 8, "inside an icon");
    static const std::uint8_t kPng[8] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
    if (std::memcmp(head, kPng, 8) == 0) {
        if (entry.size < 33) Damaged("an icon's PNG data is too short");
        in.Read(head + 8, 25, "inside an icon");
        if (Be32(head + 8) != 13 || std::memcmp(head + 12, "IHDR", 4) != 0)
            Damaged("an icon's PNG data does not start with its header");
        const DeclaredSize size{Be32(head + 16), Be32(head + 20)};
        CheckLimit(size.width, size.height, maxPixels);
        if (size.width == 0 || size.height == 0) Damaged("an icon has no pixels");
        if (deep) CheckIcoPngChunks(in, entry.size, 33);
        return size;
    }

    if (entry.size < 40) Damaged("an icon's data is too short");
    in.Read(head + 8, 32, "inside an icon");
    const std::uint32_t headerWidth = Le32(head + 4);
    const std::uint32_t headerHeight = Le32(head + 8);
    const std::uint64_t width = entry.width != 0 ? entry.width : headerWidth;
    const std::uint64_t height = entry.height != 0 ? entry.height : headerHeight / 2;
    CheckLimit(width, height, maxPixels);
    if (width == 0 || height == 0) Damaged("an icon has no pixels");
    if (!deep) return {width, height};

    const std::uint32_t bitCount = Le16(head + 14);
    const std::uint32_t compression = Le32(head + 16);
    const std::uint32_t coloursUsed = Le32(head + 32);
    if (Le32(head) != 40) Unsupported("an icon's bitmap header is not the 40-byte kind");
    if (bitCount != 1 && bitCount != 4 && bitCount != 8 && bitCount != 24 && bitCount != 32)
        Unsupported("an icon has " + std::to_string(bitCount) + " bits per pixel");
    if (compression != 0) Unsupported("an icon's pixels are compressed");
    std::uint64_t colours = 0;
    if (bitCount <= 8) {
        colours = coloursUsed != 0 ? coloursUsed : (1u << bitCount);
        if (colours > (1u << bitCount)) Damaged("an icon's palette is larger than its pixels can address");
        if (bitCount == 1 && colours != 2) Unsupported("a two-colour icon with another palette size");
    }
    const std::uint64_t rowBytes = (width * bitCount + 31) / 32 * 4;
    const std::uint64_t maskRowBytes = (width + 31) / 32 * 4;
    const std::uint64_t needed = 40 + 4 * colours + height * (rowBytes + maskRowBytes);
    if (needed > entry.size) Damaged("an icon's data is shorter than its pixels");
    in.NeedSkip(4 * colours, "inside an icon's palette");
    if (bitCount == 4 || bitCount == 8) {
        // Indices past the palette would read as black.
        for (std::uint64_t y = 0; y < height; ++y) {
            for (std::uint64_t x = 0; x < rowBytes; ++x) {
                const std::uint8_t byte = in.Need("inside an icon's pixels");
                const std::uint64_t pixel = bitCount == 8 ? x : 2 * x;
                if (pixel >= width) continue;
                if (bitCount == 8 ? byte >= colours
                                  : ((byte >> 4) >= colours || (pixel + 1 < width && (byte & 15) >= colours)))
                    Damaged("an icon's pixel is outside its palette");
            }
        }
    } else {
        in.NeedSkip(height * rowBytes, "inside an icon's pixels");
    }
    in.NeedSkip(height * maskRowBytes, "inside an icon's mask");
    return {width, height};
}

DeclaredSize CheckIco(Input& in, std::uint64_t maxPixels) {
    std::uint8_t head[6];
    in.Read(head, 6, "inside the header");
    if (Le16(head) != 0 || (Le16(head + 2) != 1 && Le16(head + 2) != 2)) Damaged("not an ICO file");
    const std::uint32_t count = Le16(head + 4);
    if (count == 0) Damaged("the file holds no image");
    std::vector<IcoEntry> entries(count);
    for (std::uint32_t i = 0; i < count; ++i) {
        std::uint8_t raw[16];
        in.Read(raw, 16, "inside the directory");
        entries[i] = {Le32(raw + 12), Le32(raw + 8), static_cast<std::uint16_t>(i), raw[0], raw[1]};
    }
    const std::uint64_t directoryEnd = 6 + 16 * std::uint64_t{count};
    std::sort(entries.begin(), entries.end(), [](const IcoEntry& a, const IcoEntry& b) { return a.offset < b.offset; });
    DeclaredSize first;
    std::uint64_t end = directoryEnd;
    for (const IcoEntry& entry : entries) {
        if (entry.offset < end) Damaged("an icon's data overlaps the directory or another icon");
        in.NeedSkip(entry.offset - in.Offset(), "before an icon's data");
        const DeclaredSize size = CheckIcoImage(in, entry, entry.index == 0, maxPixels);
        if (entry.index == 0) first = size;
        end = std::uint64_t{entry.offset} + entry.size;
        if (in.Offset() > end) Damaged("an icon's data is shorter than its pixels");
        in.NeedSkip(end - in.Offset(), "inside an icon's data");
    }
    return first;
}

}  // namespace

Format SniffFormat(std::span<const std::uint8_t> head) {
    if (head.size() > kSniffBytes) head = head.first(kSniffBytes);
    static const std::uint8_t kPng[8] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
    if (head.size() >= 8 && std::memcmp(head.data(), kPng, 8) == 0) return Format::kPng;
    if (head.size() >= 3 && head[0] == 0xFF && head[1] == 0xD8 && head[2] == 0xFF) return Format::kJpeg;
    if (StartsWith(head, "GIF87a") || StartsWith(head, "GIF89a")) return Format::kGif;
    if (StartsWith(head, "BM")) return Format::kBmp;
    if (LooksLikeTiff(head)) return Format::kTiff;
    if (head.size() >= 3 && head[0] == 'P' && head[1] >= '1' && head[1] <= '6' && IsSpace(head[2])) return Format::kPnm;
    if (StartsWith(head, "/* XPM")) return Format::kXpm;
    if (head.size() >= 22 && head[0] == 0 && head[1] == 0 && (head[2] == 1 || head[2] == 2) && head[3] == 0 &&
        Le16(head.data() + 4) != 0 && head[9] == 0 && Le32(head.data() + 14) >= 40 &&
        (head[2] == 2 || (Le16(head.data() + 10) <= 1 && Le16(head.data() + 12) <= 32)))
        return Format::kIco;
    // XBM: "#define" after white space and complete C comments.
    std::size_t at = 0;
    for (;;) {
        while (at < head.size() && IsSpace(head[at])) ++at;
        if (at + 1 < head.size() && head[at] == '/' && head[at + 1] == '*') {
            std::size_t close = at + 2;
            while (close + 1 < head.size() && !(head[close] == '*' && head[close + 1] == '/')) ++close;
            if (close + 1 >= head.size()) return Format::kUnknown;
            at = close + 2;
            continue;
        }
        break;
    }
    // Qt skips lines not starting with '#': the define must begin a line.
    if ((at == 0 || head[at - 1] == '\n') && StartsWith(head.subspan(at), "#define")) return Format::kXbm;
    return Format::kUnknown;
}

const char* FormatName(Format format) {
    switch (format) {
    case Format::kBmp: return "BMP";
    case Format::kPng: return "PNG";
    case Format::kJpeg: return "JPEG";
    case Format::kGif: return "GIF";
    case Format::kPnm: return "PNM";
    case Format::kXpm: return "XPM";
    case Format::kXbm: return "XBM";
    case Format::kIco: return "ICO";
    case Format::kTiff: return "TIFF";
    case Format::kUnknown: break;
    }
    return "unknown";
}

const char* QtReaderName(Format format) {
    switch (format) {
    case Format::kGif: return "gif";
    case Format::kPnm: return "ppm";
    case Format::kXpm: return "xpm";
    case Format::kXbm: return "xbm";
    case Format::kIco: return "ico";
    default: return "";
    }
}

bool CheckedForQt(Format format) {
    return format == Format::kGif || format == Format::kPnm || format == Format::kXpm || format == Format::kXbm ||
           format == Format::kIco;
}

DeclaredSize CheckForQt(Format format, const ByteSource& source, std::uint64_t maxPixels) {
    Input in(source);
    try {
        switch (format) {
        case Format::kGif: return CheckGif(in, maxPixels);
        case Format::kPnm: return CheckPnm(in, maxPixels);
        case Format::kXpm: return CheckXpm(in, maxPixels);
        case Format::kXbm: return CheckXbm(in, maxPixels);
        case Format::kIco: return CheckIco(in, maxPixels);
        default: break;
        }
    } catch (const std::bad_alloc&) {
        throw DecodeError(Kind::kNoMemory, "");
    }
    throw std::invalid_argument(std::string("CheckForQt: ") + FormatName(format) + " is not read by Qt");
}

}  // namespace codec
