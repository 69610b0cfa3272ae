#include "codec/pnm.h"

#include <algorithm>
#include <array>
#include <climits>
#include <string>
#include <vector>

namespace codec {
namespace {

using Kind = DecodeError::Kind;

[[noreturn]] void Damaged(const std::string& detail) { throw DecodeError(Kind::kDamaged, detail); }

bool IsSpace(int c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }
bool IsDigit(int c) { return c >= '0' && c <= '9'; }

// Numbers larger than this are kept at this value: any such width or height
// is over every limit, and any such sample over every maxval.
constexpr std::uint64_t kNumberCap = std::uint64_t{1} << 40;

// The file's bytes in order through a fixed buffer.
class Reader {
public:
    explicit Reader(const ByteSource& source) : source_(source) {}

    // The next byte, or -1 at the end of the file.
    int Get() {
        if (pos_ == len_ && !Fill()) return -1;
        return buffer_[pos_++];
    }

    // The next character where white space may stand: a comment, from "#"
    // to the end of its line, reads as the line end that closes it.
    int GetSkippingComment() {
        int c = Get();
        if (c != '#') return c;
        do c = Get();
        while (c != '\n' && c != '\r' && c != -1);
        return c;
    }

    // The first character after white space and comments.
    int SkipSpace() {
        int c = GetSkippingComment();
        while (IsSpace(c)) c = GetSkippingComment();
        return c;
    }

    // A decimal number after white space and comments, and the character
    // that ended it (already read). `what` names it in messages.
    std::uint64_t Number(const char* what, int* ended) {
        int c = SkipSpace();
        if (c == -1) Damaged(std::string("the file ends before the ") + what);
        if (!IsDigit(c)) Damaged(std::string("the ") + what + " is not a number");
        std::uint64_t value = 0;
        for (; IsDigit(c); c = GetSkippingComment()) value = std::min(value * 10 + static_cast<unsigned>(c - '0'), kNumberCap);
        *ended = c;
        return value;
    }

    // Fills out with exactly size bytes; false when the file ends first.
    bool Read(std::uint8_t* out, std::size_t size) {
        while (size > 0) {
            if (pos_ == len_ && !Fill()) return false;
            const std::size_t step = std::min(size, len_ - pos_);
            std::copy_n(buffer_.data() + pos_, step, out);
            pos_ += step;
            out += step;
            size -= step;
        }
        return true;
    }

private:
    bool Fill() {
        pos_ = 0;
        len_ = ReadOnce(source_, buffer_.data(), buffer_.size());
        return len_ > 0;
    }

    const ByteSource& source_;
    std::array<std::uint8_t, 16384> buffer_{};
    std::size_t pos_ = 0;
    std::size_t len_ = 0;
};

struct Header {
    int type = 0;  // 1 to 6
    std::uint64_t width = 0;
    std::uint64_t height = 0;
    std::uint32_t maxval = 1;
};

Header ReadHeader(Reader& in) {
    Header header;
    if (in.Get() != 'P') Damaged("not a Netpbm file");
    const int digit = in.Get();
    if (digit < '1' || digit > '6') Damaged("not a Netpbm file");
    header.type = digit - '0';
    int ended = in.GetSkippingComment();
    if (!IsSpace(ended)) Damaged("the magic number is not followed by white space");
    const bool bitmap = header.type == 1 || header.type == 4;
    header.width = in.Number("width", &ended);
    header.height = in.Number("height", &ended);
    if (!bitmap) {
        const std::uint64_t maxval = in.Number("maximum value", &ended);
        if (maxval == 0 || maxval > 65535)
            Damaged("the maximum value " + std::to_string(maxval) + " is outside 1 to 65535");
        header.maxval = static_cast<std::uint32_t>(maxval);
    }
    if (!IsSpace(ended)) Damaged("the header does not end with white space");
    return header;
}

// Samples from 0 to maxval scaled to 8 bits: round(v * 255 / maxval).
std::vector<std::uint8_t> ScaleTable(std::uint32_t maxval) {
    std::vector<std::uint8_t> table(maxval + std::size_t{1});
    for (std::uint32_t v = 0; v <= maxval; ++v)
        table[v] = static_cast<std::uint8_t>((std::uint64_t{v} * 255 + maxval / 2) / maxval);
    return table;
}

[[noreturn]] void EndsEarly() { Damaged("the file ends before the last pixel"); }
[[noreturn]] void AboveMaxval() { Damaged("a sample is above the maximum value"); }

// One row of a plain file: samples or bits as text.
void ReadPlainRow(Reader& in, const Header& header, const std::vector<std::uint8_t>& scale, std::uint8_t* out,
                  int width) {
    if (header.type == 1) {
        for (int x = 0; x < width; ++x, out += 3) {
            const int c = in.SkipSpace();
            if (c == -1) EndsEarly();
            if (c != '0' && c != '1') Damaged("a bit is neither 0 nor 1");
            const std::uint8_t level = c == '1' ? 0 : 255;
            out[0] = out[1] = out[2] = level;
        }
        return;
    }
    const int samples = header.type == 3 ? 3 : 1;
    for (int x = 0; x < width; ++x, out += 3) {
        std::uint8_t value[3];
        for (int s = 0; s < samples; ++s) {
            int ended = 0;
            const int c = in.SkipSpace();
            if (c == -1) EndsEarly();
            if (!IsDigit(c)) Damaged("a sample is not a number");
            std::uint64_t v = static_cast<unsigned>(c - '0');
            for (ended = in.GetSkippingComment(); IsDigit(ended); ended = in.GetSkippingComment())
                v = std::min(v * 10 + static_cast<unsigned>(ended - '0'), kNumberCap);
            // Only white space after its digits shows that a number is whole.
            if (ended == -1) EndsEarly();
            if (!IsSpace(ended)) Damaged("a sample is not a number");
            if (v > header.maxval) AboveMaxval();
            value[s] = scale[v];
        }
        if (samples == 1) {
            out[0] = out[1] = out[2] = value[0];
        } else {
            out[0] = value[2];
            out[1] = value[1];
            out[2] = value[0];
        }
    }
}

// One row of a raw file, its bytes already read into `row`.
void DecodeRawRow(const Header& header, const std::vector<std::uint8_t>& scale, const std::uint8_t* row,
                  std::uint8_t* out, int width) {
    if (header.type == 4) {
        for (int x = 0; x < width; ++x, out += 3) {
            const bool black = (row[x >> 3] >> (7 - (x & 7))) & 1;
            out[0] = out[1] = out[2] = black ? 0 : 255;
        }
        return;
    }
    const bool wide = header.maxval > 255;
    const int samples = header.type == 6 ? 3 : 1;
    std::uint8_t value[3];
    for (int x = 0; x < width; ++x, out += 3) {
        for (int s = 0; s < samples; ++s, row += wide ? 2 : 1) {
            const std::uint32_t v = wide ? (std::uint32_t{row[0]} << 8) | row[1] : row[0];
            if (v > header.maxval) AboveMaxval();
            value[s] = scale[v];
        }
        if (samples == 1) {
            out[0] = out[1] = out[2] = value[0];
        } else {
            out[0] = value[2];
            out[1] = value[1];
            out[2] = value[0];
        }
    }
}

}  // namespace

bool LooksLikePnm(std::span<const std::uint8_t> first) {
    return first.size() >= 3 && first[0] == 'P' && first[1] >= '1' && first[1] <= '6' &&
           (IsSpace(first[2]) || first[2] == '#');
}

DeclaredSize DecodePnm(const ByteSource& source, const AllocateRows& allocate, std::uint64_t maxPixels) {
    Reader in(source);
    const Header header = ReadHeader(in);
    if (header.width > INT_MAX || header.height > INT_MAX || header.width * header.height > maxPixels)
        throw DecodeError(Kind::kTooLarge, "", header.width, header.height);
    if (header.width == 0 || header.height == 0) Damaged("the picture has no pixels");

    const int width = static_cast<int>(header.width);
    const int height = static_cast<int>(header.height);
    const std::vector<std::uint8_t> scale = ScaleTable(header.maxval);
    const bool plain = header.type <= 3;
    std::size_t rowBytes = 0;
    if (!plain) {
        const std::size_t sampleBytes = header.maxval > 255 ? 2 : 1;
        rowBytes = header.type == 4   ? (header.width + 7) / 8
                   : header.type == 5 ? header.width * sampleBytes
                                      : 3 * header.width * sampleBytes;
    }
    std::vector<std::uint8_t> row(rowBytes);

    const ops::RowView rows = AllocateFitting(allocate, width, height);
    for (int y = 0; y < height; ++y) {
        if (plain) {
            ReadPlainRow(in, header, scale, rows.row(y), width);
        } else {
            if (!in.Read(row.data(), row.size())) EndsEarly();
            DecodeRawRow(header, scale, row.data(), rows.row(y), width);
        }
    }
    return {header.width, header.height};
}

}  // namespace codec
