// Tests of format sniffing and of the checks run before Qt reads GIF, PNM,
// XPM, XBM and ICO files: small files built here byte by byte pass with the
// right size and are read by Qt to the pixels they hold; sizes over the
// limit and damaged data are refused; and no cut-short copy of a valid file
// that passes the check makes Qt return pixels the complete file does not.
#include "codec/formats.h"

#include <gtest/gtest.h>

#include <QBuffer>
#include <QByteArray>
#include <QImage>
#include <QImageReader>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <sys/resource.h>

namespace {

using codec::DecodeError;
using codec::Format;
using Bytes = std::vector<std::uint8_t>;
using Kind = DecodeError::Kind;

constexpr std::uint64_t kLimit = std::uint64_t{1} << 28;

// A picture as Qt gives it, converted to red, green, blue bytes.
struct Picture {
    int width = 0, height = 0;
    Bytes rgb;
    bool operator==(const Picture&) const = default;
};

struct Rgb {
    std::uint8_t r, g, b;
};

Picture Blank(int w, int h) { return {w, h, Bytes(static_cast<std::size_t>(w) * h * 3)}; }
void Set(Picture& p, int x, int y, Rgb c) {
    const std::size_t at = (static_cast<std::size_t>(y) * p.width + x) * 3;
    p.rgb[at] = c.r;
    p.rgb[at + 1] = c.g;
    p.rgb[at + 2] = c.b;
}

// A varied pattern with runs, so that LZW builds long strings.
int Pattern(int x, int y, int n) { return ((x / 3) + (y / 2) * 5 + (x * y) % 3) % n; }
Rgb PatternRgb(int x, int y) {
    return {static_cast<std::uint8_t>(x * 5 + y), static_cast<std::uint8_t>(y * 7 + 3), static_cast<std::uint8_t>((x ^ y) * 9)};
}
Rgb PaletteColour(int i) {
    return {static_cast<std::uint8_t>(i * 37 + 11), static_cast<std::uint8_t>(i * 91 + 5), static_cast<std::uint8_t>(250 - i * 13)};
}

void Append(Bytes& b, std::string_view s) { b.insert(b.end(), s.begin(), s.end()); }
void Le16(Bytes& b, std::uint32_t v) {
    b.push_back(static_cast<std::uint8_t>(v));
    b.push_back(static_cast<std::uint8_t>(v >> 8));
}
void Le32(Bytes& b, std::uint32_t v) {
    Le16(b, v & 0xFFFF);
    Le16(b, v >> 16);
}
void Be32(Bytes& b, std::uint32_t v) {
    for (int s = 24; s >= 0; s -= 8) b.push_back(static_cast<std::uint8_t>(v >> s));
}

// Running the check and Qt --------------------------------------------------

struct Checked {
    bool passed = false;
    codec::DeclaredSize size;
    Kind kind = Kind::kDamaged;
    std::string detail;
    std::uint64_t width = 0, height = 0;  // from a refusal
};

// Hands out the file in pieces of 1 to 97 bytes, to cross the check's buffer.
Checked Check(Format format, const Bytes& file, std::uint64_t limit = kLimit) {
    std::size_t at = 0, step = 0;
    codec::ByteSource source = [&](std::uint8_t* out, std::size_t size) {
        step = step % 97 + 1;
        const std::size_t n = std::min({size, step, file.size() - at});
        if (n > 0) std::memcpy(out, file.data() + at, n);
        at += n;
        return n;
    };
    Checked result;
    try {
        result.size = codec::CheckForQt(format, source, limit);
        result.passed = true;
    } catch (const DecodeError& error) {
        result.kind = error.kind();
        result.detail = error.what();
        result.width = error.width();
        result.height = error.height();
    }
    return result;
}

// Reads the file with the Qt reader the check was made for.
std::optional<Picture> QtRead(Format format, const Bytes& file) {
    QBuffer buffer;
    buffer.setData(QByteArray(reinterpret_cast<const char*>(file.data()), static_cast<qsizetype>(file.size())));
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer, codec::QtReaderName(format));
    reader.setAutoDetectImageFormat(false);
    reader.setAllocationLimit(static_cast<int>(kLimit * 4 / (1024 * 1024)));
    const QImage image = reader.read();
    if (image.isNull()) return std::nullopt;
    const QImage rgb = image.convertToFormat(QImage::Format_RGB888);
    Picture p = Blank(rgb.width(), rgb.height());
    for (int y = 0; y < rgb.height(); ++y)
        std::memcpy(p.rgb.data() + static_cast<std::size_t>(y) * rgb.width() * 3, rgb.constScanLine(y),
                    static_cast<std::size_t>(rgb.width()) * 3);
    return p;
}

const char* KindName(Kind kind) {
    switch (kind) {
    case Kind::kDamaged: return "damaged";
    case Kind::kTooLarge: return "too large";
    case Kind::kUnsupported: return "unsupported";
    case Kind::kNoMemory: return "no memory";
    }
    return "?";
}

// GIF files -------------------------------------------------------------------

// LZW as GIF encoders write it: a clear code first, codes one bit wider once
// the decoder's table reaches the next power of two, a clear code when full.
Bytes LzwEncode(const std::vector<int>& pixels, int minCodeSize) {
    Bytes out;
    std::uint32_t accumulator = 0;
    int bits = 0;
    int codeSize = minCodeSize + 1;
    auto putCode = [&](int code) {
        accumulator |= static_cast<std::uint32_t>(code) << bits;
        bits += codeSize;
        while (bits >= 8) {
            out.push_back(static_cast<std::uint8_t>(accumulator));
            accumulator >>= 8;
            bits -= 8;
        }
    };
    const int clear = 1 << minCodeSize;
    std::map<std::pair<int, int>, int> table;
    int next = clear + 2;
    putCode(clear);
    if (!pixels.empty()) {
        int current = pixels[0];
        for (std::size_t i = 1; i < pixels.size(); ++i) {
            const auto found = table.find({current, pixels[i]});
            if (found != table.end()) {
                current = found->second;
                continue;
            }
            putCode(current);
            // The decoder adds its entry for this code one code later, so it
            // widens its codes only now.
            if (next >= (1 << codeSize) && codeSize < 12) ++codeSize;
            if (next < 4096) {
                table[{current, pixels[i]}] = next++;
            } else {
                putCode(clear);
                table.clear();
                next = clear + 2;
                codeSize = minCodeSize + 1;
            }
            current = pixels[i];
        }
        putCode(current);
        if (next >= (1 << codeSize) && codeSize < 12) ++codeSize;
    }
    putCode(clear + 1);
    if (bits > 0) out.push_back(static_cast<std::uint8_t>(accumulator));
    return out;
}

void SubBlocks(Bytes& file, const Bytes& data) {
    for (std::size_t at = 0; at < data.size(); at += 255) {
        const std::size_t n = std::min<std::size_t>(255, data.size() - at);
        file.push_back(static_cast<std::uint8_t>(n));
        file.insert(file.end(), data.begin() + static_cast<std::ptrdiff_t>(at),
                    data.begin() + static_cast<std::ptrdiff_t>(at + n));
    }
    file.push_back(0);
}

struct GifLayout {
    const char* name;
    int screenWidth, screenHeight;  // 0: the frame's
    int left, top, width, height;
    int colourBits;  // table of 2^bits colours
    bool localTable;
    bool interlace;
    bool extensions;   // graphic control, comment and application extensions first
    bool secondFrame;  // another frame after the first
    bool trailer;
};

// The first frame's indices in the order they are stored.
std::vector<int> GifIndices(const GifLayout& s, int colours) {
    std::vector<int> rows;
    if (s.interlace) {
        for (int start : {0, 4, 2, 1})
            for (int y = start; y < s.height; y += (start == 0 ? 8 : start == 4 ? 8 : start == 2 ? 4 : 2)) rows.push_back(y);
    } else {
        for (int y = 0; y < s.height; ++y) rows.push_back(y);
    }
    std::vector<int> pixels;
    for (int y : rows)
        for (int x = 0; x < s.width; ++x) pixels.push_back(Pattern(x, y, colours));
    return pixels;
}

Bytes MakeGif(const GifLayout& s, Picture* expected, std::optional<std::vector<int>> override = std::nullopt) {
    const int colours = 1 << s.colourBits;
    const int screenW = s.screenWidth ? s.screenWidth : s.left + s.width;
    const int screenH = s.screenHeight ? s.screenHeight : s.top + s.height;
    constexpr int kBackground = 1;
    Bytes file;
    Append(file, "GIF89a");
    Le16(file, static_cast<std::uint32_t>(s.screenWidth));
    Le16(file, static_cast<std::uint32_t>(s.screenHeight));
    file.push_back(static_cast<std::uint8_t>(s.localTable ? 0x70 : 0xF0 | (s.colourBits - 1)));
    file.push_back(kBackground);
    file.push_back(0);
    if (!s.localTable)
        for (int i = 0; i < colours; ++i) {
            const Rgb c = PaletteColour(i);
            file.insert(file.end(), {c.r, c.g, c.b});
        }
    if (s.extensions) {
        file.insert(file.end(), {0x21, 0xF9, 4, 0, 10, 0, 0, 0});  // graphic control, no transparency
        file.insert(file.end(), {0x21, 0xFE, 5, 'h', 'e', 'l', 'l', 'o', 0});
        file.insert(file.end(), {0x21, 0xFF, 11});
        Append(file, "NETSCAPE2.0");
        file.insert(file.end(), {3, 1, 0, 0, 0});
    }
    auto frame = [&](const std::vector<int>& pixels, int left, int top, int w, int h, bool interlace) {
        file.push_back(0x2C);
        Le16(file, static_cast<std::uint32_t>(left));
        Le16(file, static_cast<std::uint32_t>(top));
        Le16(file, static_cast<std::uint32_t>(w));
        Le16(file, static_cast<std::uint32_t>(h));
        file.push_back(static_cast<std::uint8_t>((s.localTable ? 0x80 | (s.colourBits - 1) : 0) | (interlace ? 0x40 : 0)));
        if (s.localTable)
            for (int i = 0; i < colours; ++i) {
                const Rgb c = PaletteColour(i);
                file.insert(file.end(), {c.r, c.g, c.b});
            }
        const int minCodeSize = std::max(2, s.colourBits);
        file.push_back(static_cast<std::uint8_t>(minCodeSize));
        SubBlocks(file, LzwEncode(pixels, minCodeSize));
    };
    frame(override ? *override : GifIndices(s, colours), s.left, s.top, s.width, s.height, s.interlace);
    if (s.secondFrame) {
        std::vector<int> other(static_cast<std::size_t>(s.width) * s.height, colours - 1);
        frame(other, s.left, s.top, s.width, s.height, false);
    }
    if (s.trailer) file.push_back(0x3B);

    if (expected) {
        *expected = Blank(screenW, screenH);
        for (int y = 0; y < screenH; ++y)
            for (int x = 0; x < screenW; ++x) {
                const bool inside = x >= s.left && x < s.left + s.width && y >= s.top && y < s.top + s.height;
                Set(*expected, x, y, PaletteColour(inside ? Pattern(x - s.left, y - s.top, colours) : kBackground));
            }
    }
    return file;
}

// PNM files -------------------------------------------------------------------

Bytes MakePnm(int type, int w, int h, int maxValue, Picture* expected) {
    Bytes file;
    Append(file, "P" + std::to_string(type) + "\n# made by the test\n" + std::to_string(w) + " " + std::to_string(h) + "\n");
    if (type != 1 && type != 4) Append(file, std::to_string(maxValue) + "\n");
    *expected = Blank(w, h);
    const bool wide = maxValue > 255;
    auto raw = [&](int sample) {  // sample 0..255; 16 bits as 257 * sample, exactly sample in 8 bits
        if (wide) file.insert(file.end(), {static_cast<std::uint8_t>(sample), static_cast<std::uint8_t>(sample)});
        else file.push_back(static_cast<std::uint8_t>(sample));
    };
    int column = 0;
    auto text = [&](int sample) {
        Append(file, std::to_string(sample));
        Append(file, ++column % 11 == 0 ? "\n" : " ");
    };
    for (int y = 0; y < h; ++y) {
        std::uint8_t bits = 0;
        for (int x = 0; x < w; ++x) {
            const Rgb c = PatternRgb(x, y);
            const int bit = Pattern(x, y, 2);
            switch (type) {
            case 1: text(bit); break;
            case 4:
                bits = static_cast<std::uint8_t>(bits | (bit << (7 - x % 8)));
                if (x % 8 == 7 || x == w - 1) {
                    file.push_back(bits);
                    bits = 0;
                }
                break;
            case 2: text(c.g); break;
            case 5: raw(c.g); break;
            case 3: text(c.r), text(c.g), text(c.b); break;
            case 6: raw(c.r), raw(c.g), raw(c.b); break;
            }
            if (type == 1 || type == 4) Set(*expected, x, y, bit ? Rgb{0, 0, 0} : Rgb{255, 255, 255});
            else if (type == 2 || type == 5) Set(*expected, x, y, {c.g, c.g, c.g});
            else Set(*expected, x, y, c);
        }
    }
    return file;
}

// XPM and XBM files -------------------------------------------------------------

// Keys differ in their last characters; with `varyFirst`, in their first
// ones (which Qt ignores past the last four).
std::string XpmKeyOf(int i, int cpp, bool varyFirst) {
    static const char kChars[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789.#";
    std::string key;
    for (int k = 0; k < cpp; ++k, i /= 64) key.push_back(kChars[i % 64]);
    if (!varyFirst) std::reverse(key.begin(), key.end());
    return key;
}

Bytes MakeXpm(int w, int h, int colours, int cpp, Picture* expected, bool varyFirst = false) {
    std::string s = "/* XPM */\nstatic char *picture[] = {\n/* columns rows colours chars-per-pixel */\n\"" +
                    std::to_string(w) + " " + std::to_string(h) + " " + std::to_string(colours) + " " +
                    std::to_string(cpp) + "\",\n";
    // Colour 2 by its X11 name, written with spaces and capitals.
    auto colour = [](int i) { return i == 2 ? Rgb{47, 79, 79} : PaletteColour(i); };
    for (int i = 0; i < colours; ++i) {
        const Rgb c = colour(i);
        char hex[16];
        std::snprintf(hex, sizeof hex, "#%02X%02x%02X", c.r, c.g, c.b);
        s += "\"" + XpmKeyOf(i, cpp, varyFirst) + (i % 2 ? "\tc " : " s name c ") + (i == 2 ? "Dark Slate Gray" : hex) +
             "\",\n";
    }
    *expected = Blank(w, h);
    for (int y = 0; y < h; ++y) {
        s += "\"";
        for (int x = 0; x < w; ++x) {
            const int i = Pattern(x, y, colours);
            s += XpmKeyOf(i, cpp, varyFirst);
            Set(*expected, x, y, colour(i));
        }
        s += y + 1 < h ? "\",\n" : "\"\n";
    }
    s += "};\n";
    return Bytes(s.begin(), s.end());
}

Bytes MakeXbm(int w, int h, Picture* expected) {
    std::string s = "/* a bitmap */\n#define picture_width " + std::to_string(w) + "\n#define picture_height " +
                    std::to_string(h) + "\nstatic unsigned char picture_bits[] = {\n";
    *expected = Blank(w, h);
    int count = 0;
    const int rowBytes = (w + 7) / 8;
    for (int y = 0; y < h; ++y)
        for (int b = 0; b < rowBytes; ++b) {
            int byte = 0;
            for (int k = 0; k < 8 && b * 8 + k < w; ++k) {
                const int bit = Pattern(b * 8 + k, y, 2);
                byte |= bit << k;
                Set(*expected, b * 8 + k, y, bit ? Rgb{0, 0, 0} : Rgb{255, 255, 255});
            }
            char hex[8];
            std::snprintf(hex, sizeof hex, "0x%02x", byte);
            s += (count % 12 == 0 ? "   " : "") + std::string(hex) +
                 (y == h - 1 && b == rowBytes - 1 ? " };\n" : count % 12 == 11 ? ",\n" : ", ");
            ++count;
        }
    return Bytes(s.begin(), s.end());
}

// ICO files -------------------------------------------------------------------

std::uint32_t Crc32(const std::uint8_t* data, std::size_t size, std::uint32_t crc = 0) {
    crc = ~crc;
    for (std::size_t i = 0; i < size; ++i) {
        crc ^= data[i];
        for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1)));
    }
    return ~crc;
}

void PngChunk(Bytes& png, const char* type, const Bytes& data) {
    Be32(png, static_cast<std::uint32_t>(data.size()));
    const std::size_t start = png.size();
    Append(png, std::string_view(type, 4));
    png.insert(png.end(), data.begin(), data.end());
    Be32(png, Crc32(png.data() + start, png.size() - start));
}

// A zlib stream of stored (uncompressed) deflate blocks.
Bytes ZlibStored(const Bytes& raw) {
    Bytes z = {0x78, 0x01};
    std::size_t at = 0;
    do {
        const std::size_t n = std::min<std::size_t>(65535, raw.size() - at);
        z.push_back(at + n == raw.size() ? 1 : 0);
        Le16(z, static_cast<std::uint32_t>(n));
        Le16(z, static_cast<std::uint32_t>(~n & 0xFFFF));
        z.insert(z.end(), raw.begin() + static_cast<std::ptrdiff_t>(at), raw.begin() + static_cast<std::ptrdiff_t>(at + n));
        at += n;
    } while (at < raw.size());
    std::uint32_t a = 1, b = 0;
    for (std::uint8_t byte : raw) {
        a = (a + byte) % 65521;
        b = (b + a) % 65521;
    }
    Be32(z, (b << 16) | a);
    return z;
}

// An 8-bit RGB PNG with stored (uncompressed) deflate blocks, and
// `textChunks` zTXt chunks of `textSize` bytes each.
Bytes MakePng(int w, int h, Picture* expected, int textChunks = 0, int textSize = 0) {
    Bytes png = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
    Bytes ihdr;
    Be32(ihdr, static_cast<std::uint32_t>(w));
    Be32(ihdr, static_cast<std::uint32_t>(h));
    ihdr.insert(ihdr.end(), {8, 2, 0, 0, 0});
    PngChunk(png, "IHDR", ihdr);
    for (int i = 0; i < textChunks; ++i) {
        Bytes text = {'C', 'o', 'm', 'm', 'e', 'n', 't', 0, 0};
        const Bytes z = ZlibStored(Bytes(static_cast<std::size_t>(std::max(0, textSize - 20)), 'a'));
        text.insert(text.end(), z.begin(), z.end());
        PngChunk(png, "zTXt", text);
    }
    Bytes raw;
    if (expected) *expected = Blank(w, h);
    for (int y = 0; y < h; ++y) {
        raw.push_back(0);
        for (int x = 0; x < w; ++x) {
            const Rgb c = PatternRgb(x, y);
            raw.insert(raw.end(), {c.r, c.g, c.b});
            if (expected) Set(*expected, x, y, c);
        }
    }
    const Bytes z = ZlibStored(raw);
    PngChunk(png, "IDAT", z);
    PngChunk(png, "IEND", {});
    return png;
}

struct IcoImage {
    int width, height;
    int bits;  // 1, 4, 8, 24 or 32; 0 for PNG
};

// The image's bytes as stored in the file: a BMP info header, palette,
// rows bottom-up and an all-opaque mask; or a PNG.
Bytes IcoImageBytes(const IcoImage& image, Picture* expected) {
    if (image.bits == 0) return MakePng(image.width, image.height, expected);
    const int w = image.width, h = image.height, bits = image.bits;
    Bytes b;
    Le32(b, 40);
    Le32(b, static_cast<std::uint32_t>(w));
    Le32(b, static_cast<std::uint32_t>(2 * h));
    Le16(b, 1);
    Le16(b, static_cast<std::uint32_t>(bits));
    Le32(b, 0);
    Le32(b, 0);
    Le32(b, 0);
    Le32(b, 0);
    Le32(b, 0);
    Le32(b, 0);
    const int colours = bits <= 8 ? 1 << bits : 0;
    for (int i = 0; i < colours; ++i) {
        const Rgb c = PaletteColour(i);
        b.insert(b.end(), {c.b, c.g, c.r, 0});
    }
    if (expected) *expected = Blank(w, h);
    const std::size_t rowBytes = (static_cast<std::size_t>(w) * bits + 31) / 32 * 4;
    for (int y = h - 1; y >= 0; --y) {
        Bytes row(rowBytes, 0);
        for (int x = 0; x < w; ++x) {
            Rgb c{};
            if (bits <= 8) {
                const int i = Pattern(x, y, colours);
                c = PaletteColour(i);
                const std::size_t bit = static_cast<std::size_t>(x) * bits;
                row[bit / 8] = static_cast<std::uint8_t>(row[bit / 8] | (i << (8 - bits - bit % 8)));
            } else {
                c = PatternRgb(x, y);
                const std::size_t at = static_cast<std::size_t>(x) * (bits / 8);
                row[at] = c.b, row[at + 1] = c.g, row[at + 2] = c.r;
                if (bits == 32) row[at + 3] = 255;
            }
            if (expected) Set(*expected, x, y, c);
        }
        b.insert(b.end(), row.begin(), row.end());
    }
    b.resize(b.size() + static_cast<std::size_t>(h) * ((w + 31) / 32 * 4), 0);
    return b;
}

Bytes MakeIco(const std::vector<IcoImage>& images, Picture* expectedFirst, int type = 1) {
    Bytes file;
    Le16(file, 0);
    Le16(file, static_cast<std::uint32_t>(type));
    Le16(file, static_cast<std::uint32_t>(images.size()));
    std::vector<Bytes> data;
    for (std::size_t i = 0; i < images.size(); ++i) data.push_back(IcoImageBytes(images[i], i == 0 ? expectedFirst : nullptr));
    std::uint32_t offset = static_cast<std::uint32_t>(6 + 16 * images.size());
    for (std::size_t i = 0; i < images.size(); ++i) {
        const IcoImage& image = images[i];
        file.push_back(static_cast<std::uint8_t>(image.width < 256 ? image.width : 0));
        file.push_back(static_cast<std::uint8_t>(image.height < 256 ? image.height : 0));
        file.push_back(0);
        file.push_back(0);
        Le16(file, type == 1 ? 1 : 0);
        Le16(file, type == 1 ? static_cast<std::uint32_t>(image.bits ? image.bits : 32) : 0);
        Le32(file, static_cast<std::uint32_t>(data[i].size()));
        Le32(file, offset);
        offset += static_cast<std::uint32_t>(data[i].size());
    }
    for (const Bytes& d : data) file.insert(file.end(), d.begin(), d.end());
    return file;
}

void Put32(Bytes& b, std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(v >> (8 * i));
}
std::size_t IcoImageOffset(const Bytes& ico, int entry) {
    const std::size_t at = 6 + 16 * static_cast<std::size_t>(entry) + 12;
    return ico[at] | (ico[at + 1] << 8) | (ico[at + 2] << 16) | (static_cast<std::size_t>(ico[at + 3]) << 24);
}

// The valid files -------------------------------------------------------------

struct ValidFile {
    std::string name;
    Format format;
    Bytes bytes;
    Picture picture;  // what Qt must read
};

std::vector<ValidFile> ValidFiles() {
    std::vector<ValidFile> files;
    auto add = [&](std::string name, Format format, auto make) {
        ValidFile f{std::move(name), format, {}, {}};
        f.bytes = make(&f.picture);
        files.push_back(std::move(f));
    };
    const GifLayout gifs[] = {
        {"gif 1x1", 0, 0, 0, 0, 1, 1, 1, false, false, false, false, true},
        {"gif 47x33", 47, 33, 0, 0, 47, 33, 3, false, false, false, false, true},
        {"gif 47x33 interlaced, local table, extensions", 47, 33, 0, 0, 47, 33, 4, true, true, true, false, true},
        {"gif 47x33 frame in a 60x41 screen", 60, 41, 5, 3, 47, 33, 2, false, false, false, false, true},
        {"gif 47x33 zero screen, offset frame", 0, 0, 4, 2, 47, 33, 8, false, false, false, false, true},
        {"gif 47x33 two frames", 47, 33, 0, 0, 47, 33, 3, false, false, true, true, true},
        {"gif 47x33 no trailer", 47, 33, 0, 0, 47, 33, 3, false, false, false, false, false},
        {"gif 300x200, table full", 300, 200, 0, 0, 300, 200, 8, false, false, false, false, true},
    };
    for (const GifLayout& s : gifs) add(s.name, Format::kGif, [&](Picture* p) { return MakeGif(s, p); });
    for (int type = 1; type <= 6; ++type)
        for (auto [w, h] : {std::pair{1, 1}, std::pair{47, 33}})
            add("P" + std::to_string(type) + " " + std::to_string(w) + "x" + std::to_string(h), Format::kPnm,
                [&](Picture* p) { return MakePnm(type, w, h, 255, p); });
    add("P5 47x33 16-bit", Format::kPnm, [](Picture* p) { return MakePnm(5, 47, 33, 65535, p); });
    add("P6 47x33 16-bit", Format::kPnm, [](Picture* p) { return MakePnm(6, 47, 33, 65535, p); });
    add("xpm 1x1", Format::kXpm, [](Picture* p) { return MakeXpm(1, 1, 1, 1, p); });
    add("xpm 47x33 5 colours", Format::kXpm, [](Picture* p) { return MakeXpm(47, 33, 5, 1, p); });
    add("xpm 47x33 300 colours, 2 chars", Format::kXpm, [](Picture* p) { return MakeXpm(47, 33, 300, 2, p); });
    add("xpm 9x4 6 chars a pixel", Format::kXpm, [](Picture* p) { return MakeXpm(9, 4, 3, 6, p); });
    add("xbm 1x1", Format::kXbm, [](Picture* p) { return MakeXbm(1, 1, p); });
    add("xbm 47x33", Format::kXbm, [](Picture* p) { return MakeXbm(47, 33, p); });
    for (int bits : {1, 4, 8, 24, 32, 0})
        for (auto [w, h] : {std::pair{1, 1}, std::pair{47, 33}})
            add("ico " + std::to_string(w) + "x" + std::to_string(h) + (bits ? " " + std::to_string(bits) + "-bit" : " png"),
                Format::kIco, [&](Picture* p) { return MakeIco({{w, h, bits}}, p); });
    add("ico 256x256 png then 47x33 8-bit", Format::kIco,
        [](Picture* p) { return MakeIco({{256, 256, 0}, {47, 33, 8}}, p); });
    add("ico 47x33 24-bit then 16x16 png", Format::kIco, [](Picture* p) { return MakeIco({{47, 33, 24}, {16, 16, 0}}, p); });
    add("cur 47x33 32-bit", Format::kIco, [](Picture* p) { return MakeIco({{47, 33, 32}}, p, 2); });
    add("ico png with a little compressed text", Format::kIco, [](Picture* p) {
        Bytes png = MakePng(5, 3, p, 2, 100);
        Bytes ico = MakeIco({{5, 3, 0}}, nullptr);
        ico.resize(22);
        Put32(ico, 14, static_cast<std::uint32_t>(png.size()));
        ico.insert(ico.end(), png.begin(), png.end());
        return ico;
    });
    return files;
}

// Tests -------------------------------------------------------------------------

TEST(FormatsTest, ValidFilesPassWithTheirSizeAndQtReadsTheirPixels) {
    for (const ValidFile& f : ValidFiles()) {
        SCOPED_TRACE(f.name);
        if (const char* dir = std::getenv("FORMATS_TEST_DUMP")) {
            std::string path = std::string(dir) + "/" + f.name;
            std::replace(path.begin() + static_cast<std::ptrdiff_t>(std::strlen(dir)) + 1, path.end(), ' ', '_');
            std::replace(path.begin() + static_cast<std::ptrdiff_t>(std::strlen(dir)) + 1, path.end(), ',', '_');
            if (FILE* out = std::fopen(path.c_str(), "wb")) {
                std::fwrite(f.bytes.data(), 1, f.bytes.size(), out);
                std::fclose(out);
            }
        }
        EXPECT_EQ(codec::SniffFormat(f.bytes), f.format);
        const Checked checked = Check(f.format, f.bytes);
        if (!checked.passed) {
            ADD_FAILURE() << KindName(checked.kind) << ": " << checked.detail;
            continue;
        }
        EXPECT_EQ(checked.size.width, static_cast<std::uint64_t>(f.picture.width));
        EXPECT_EQ(checked.size.height, static_cast<std::uint64_t>(f.picture.height));
        const std::optional<Picture> read = QtRead(f.format, f.bytes);
        if (!read) {
            ADD_FAILURE() << "Qt cannot read it";
            continue;
        }
        EXPECT_TRUE(*read == f.picture) << "Qt read " << read->width << "x" << read->height;
    }
}

// Every cut-short copy (every length for small files, many for larger ones)
// is either refused as damaged by the check or, when it passes, read by Qt
// to exactly the complete file's pixels or not at all.
TEST(FormatsTest, CutFilesNeverGiveInventedPixels) {
    for (const ValidFile& f : ValidFiles()) {
        SCOPED_TRACE(f.name);
        const std::size_t size = f.bytes.size();
        const std::size_t step = size <= 6000 ? 1 : size / 3000;
        for (std::size_t cut = 0; cut < size; cut += (cut + 64 >= size || cut < 64) ? 1 : step) {
            const Bytes part(f.bytes.begin(), f.bytes.begin() + static_cast<std::ptrdiff_t>(cut));
            const Checked checked = Check(f.format, part);
            if (!checked.passed) {
                EXPECT_EQ(checked.kind, Kind::kDamaged) << "cut at " << cut << ": " << checked.detail;
                continue;
            }
            const std::optional<Picture> read = QtRead(f.format, part);
            if (read) {
                EXPECT_TRUE(*read == f.picture) << "cut at " << cut << " passed and Qt invented pixels";
            }
        }
    }
}

TEST(FormatsTest, DeclaredSizesOverTheLimitAreTooLarge) {
    struct Case {
        const char* name;
        Format format;
        Bytes file;
        std::uint64_t width, height;
    };
    std::vector<Case> cases;
    {
        Bytes gif = {'G', 'I', 'F', '8', '9', 'a', 0xFF, 0xFF, 0xFF, 0xFF, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0x2C, 0, 0, 0, 0,
                     1, 0, 1, 0, 0, 2, 2, 0x4C, 0x01, 0, 0x3B};
        cases.push_back({"gif screen 65535x65535", Format::kGif, gif, 65535, 65535});
        Bytes frame = gif;
        frame[6] = 10, frame[7] = 0, frame[8] = 10, frame[9] = 0;
        frame[24] = 0xFF, frame[25] = 0xFF, frame[26] = 0xFF, frame[27] = 0xFF;
        cases.push_back({"gif frame 65535x65535 in a 10x10 screen", Format::kGif, frame, 65535, 65535});
        Bytes zero = frame;
        zero[6] = zero[7] = zero[8] = zero[9] = 0;
        zero[20] = 0x10;  // left 16
        cases.push_back({"gif zero screen: left + width", Format::kGif, zero, 65535 + 16, 65535});
    }
    auto text = [](const std::string& s) { return Bytes(s.begin(), s.end()); };
    cases.push_back({"ppm 20000x20000 in 30 bytes", Format::kPnm, text("P6\n20000 20000\n255\n\x01\x02\x03\x04\x05\x06"),
                     20000, 20000});
    cases.push_back({"pbm 99999999x99999999", Format::kPnm, text("P4 99999999 99999999\n\xff"), 99999999, 99999999});
    cases.push_back({"pgm ascii 40000x40000", Format::kPnm, text("P2\n40000 40000 255\n1 2 3"), 40000, 40000});
    cases.push_back({"xpm 30000x30000", Format::kXpm, text("/* XPM */\n\"30000 30000 1 1\",\n\"a c #ff0000\",\n\"a\""),
                     30000, 30000});
    cases.push_back({"xpm 2000000x2000000", Format::kXpm, text("/* XPM */\n\"2000000 2000000 1 1\",\n\"a c red\""),
                     2000000, 2000000});
    cases.push_back({"xbm 30000x30000", Format::kXbm,
                     text("#define a_width 30000\n#define a_height 30000\nstatic char a_bits[] = { 0x00 };\n"), 30000,
                     30000});
    {
        Bytes ico = MakeIco({{16, 16, 24}}, nullptr);
        ico[6] = 0, ico[7] = 0;  // sizes from the info header
        const std::size_t at = IcoImageOffset(ico, 0);
        Put32(ico, at + 4, 100000);
        Put32(ico, at + 8, 2 * 50000);
        cases.push_back({"ico 24-bit 100000x50000", Format::kIco, ico, 100000, 50000});
        Bytes png = MakeIco({{16, 16, 0}}, nullptr);
        const std::size_t p = IcoImageOffset(png, 0);
        png[p + 16] = 0x00, png[p + 17] = 0x01, png[p + 18] = 0x00, png[p + 19] = 0x00;  // width 65536
        png[p + 20] = 0x00, png[p + 21] = 0x01, png[p + 22] = 0x00, png[p + 23] = 0x00;
        cases.push_back({"ico png 65536x65536", Format::kIco, png, 65536, 65536});
        Bytes second = MakeIco({{8, 8, 8}, {16, 16, 24}}, nullptr);
        second[22] = 0, second[23] = 0;
        const std::size_t s = IcoImageOffset(second, 1);
        Put32(second, s + 4, 70000);
        Put32(second, s + 8, 2 * 70000);
        cases.push_back({"ico second image 70000x70000", Format::kIco, second, 70000, 70000});
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(codec::SniffFormat(c.file), c.format);
        const Checked checked = Check(c.format, c.file);
        ASSERT_FALSE(checked.passed);
        EXPECT_EQ(checked.kind, Kind::kTooLarge) << checked.detail;
        EXPECT_EQ(checked.width, c.width);
        EXPECT_EQ(checked.height, c.height);
    }
    // At the limit itself: passes.
    Picture p;
    const Bytes exact = MakePnm(6, 47, 33, 255, &p);
    EXPECT_TRUE(Check(Format::kPnm, exact, 47 * 33).passed);
    EXPECT_EQ(Check(Format::kPnm, exact, 47 * 33 - 1).kind, Kind::kTooLarge);
}

// Damage and variants that would make Qt fill pixels the file does not hold,
// misread it, or spend memory the file does not justify.
TEST(FormatsTest, DamagedAndUnsupportedFilesAreRefused) {
    struct Case {
        std::string name;
        Format format;
        Bytes file;
        Kind kind;
    };
    std::vector<Case> cases;
    auto text = [](const std::string& s) { return Bytes(s.begin(), s.end()); };
    auto replaced = [](Bytes b, const std::string& from, const std::string& to) {
        std::string s(b.begin(), b.end());
        const std::size_t at = s.find(from);
        EXPECT_NE(at, std::string::npos) << from;
        s.replace(at, from.size(), to);
        return Bytes(s.begin(), s.end());
    };
    Picture ignored;
    {
        const GifLayout layout{"", 47, 33, 0, 0, 47, 33, 3, false, false, false, false, true};
        std::vector<int> fewer = GifIndices(layout, 8);
        fewer.resize(fewer.size() - 1);
        cases.push_back({"gif: end code one pixel early", Format::kGif, MakeGif(layout, nullptr, fewer), Kind::kDamaged});
        // Minimum code size 3 with a four-colour table: index 6 has no colour.
        Bytes wide = {'G', 'I', 'F', '8', '9', 'a', 2, 0, 1, 0, 0x81, 0, 0, 0, 0, 0, 1, 1, 1, 2, 2, 2, 3, 3, 3,
                      0x2C, 0, 0, 0, 0, 2, 0, 1, 0, 0};
        wide.push_back(3);
        const Bytes codes = LzwEncode({1, 6}, 3);
        SubBlocks(wide, codes);
        wide.push_back(0x3B);
        cases.push_back({"gif: pixel outside the colour table", Format::kGif, wide, Kind::kDamaged});
        // Clear, literal 0, then code 7 while the next free code is 6.
        Bytes undefined = {'G', 'I', 'F', '8', '9', 'a', 4, 0, 1, 0, 0x81, 0, 0, 0, 0, 0, 1, 1, 1, 2, 2, 2, 3, 3, 3,
                           0x2C, 0, 0, 0, 0, 4, 0, 1, 0, 0, 2, 2, 0xC4, 0x01, 0, 0x3B};
        cases.push_back({"gif: undefined code", Format::kGif, undefined, Kind::kDamaged});
        Bytes noTable = MakeGif({"", 3, 3, 0, 0, 3, 3, 2, true, false, false, false, true}, nullptr);
        noTable[22] &= 0x7F;  // drop the local table flag (the table bytes stay as image data)
        cases.push_back({"gif: no colour table", Format::kGif, noTable, Kind::kDamaged});
        Bytes emptyGce = MakeGif({"", 3, 3, 0, 0, 3, 3, 2, false, false, false, false, true}, nullptr);
        emptyGce.insert(emptyGce.begin() + 25, {0x21, 0xF9, 0, 0});
        cases.push_back({"gif: empty graphic control block", Format::kGif, emptyGce, Kind::kDamaged});
    }
    cases.push_back({"pgm: sample above maxval", Format::kPnm, text("P2\n2 1\n100\n100 101\n"), Kind::kDamaged});
    cases.push_back({"pbm: sample 2", Format::kPnm, text("P1\n2 1\n1 2\n"), Kind::kDamaged});
    cases.push_back({"ppm raw: byte above maxval", Format::kPnm, text("P6\n1 1\n100\n\x10\xC8\x10"), Kind::kDamaged});
    cases.push_back({"ppm: letters in the samples", Format::kPnm, text("P3\n1 1\n255\n1 x 3\n"), Kind::kDamaged});
    cases.push_back({"ppm: maxval 70000", Format::kPnm, text("P6\n1 1\n70000\n123456"), Kind::kDamaged});
    cases.push_back({"pgm: 1x40000", Format::kPnm, [] {
                         Bytes b{'P', '5', ' ', '1', ' ', '4', '0', '0', '0', '0', ' ', '2', '5', '5', '\n'};
                         b.resize(b.size() + 40000, 7);
                         return b;
                     }(),
                     Kind::kUnsupported});
    {
        const Bytes xpm = MakeXpm(4, 2, 2, 1, &ignored);
        cases.push_back({"xpm: short row", Format::kXpm, replaced(xpm, "\"aaab\"", "\"aaa\""), Kind::kDamaged});
        cases.push_back({"xpm: pixel with no colour", Format::kXpm, replaced(xpm, "\"aaab\"", "\"aazb\""), Kind::kDamaged});
        cases.push_back({"xpm: two colours with one key", Format::kXpm, replaced(xpm, "\"b\tc", "\"a\tc"), Kind::kDamaged});
        cases.push_back({"xpm: bad hexadecimal colour", Format::kXpm, replaced(xpm, "#0B05FA", "#0B05ZA"), Kind::kDamaged});
        cases.push_back({"xpm: 6-character keys alike in their last four", Format::kXpm,
                         MakeXpm(9, 4, 3, 6, &ignored, /*varyFirst=*/true), Kind::kDamaged});
        cases.push_back({"xpm: unknown colour name", Format::kXpm, replaced(xpm, "#0B05FA", "Dark Bleu"), Kind::kDamaged});
        cases.push_back({"xpm: colour without c", Format::kXpm, replaced(xpm, " s name c #0B05FA", " #0B05FA"),
                         Kind::kDamaged});
        cases.push_back({"xpm: 70000 colours", Format::kXpm, replaced(xpm, "\"4 2 2 1\"", "\"4 2 70000 3\""),
                         Kind::kUnsupported});
        cases.push_back({"xpm: 40000 wide", Format::kXpm, replaced(xpm, "\"4 2 2 1\"", "\"40000 2 2 1\""),
                         Kind::kUnsupported});
    }
    {
        const Bytes xbm = MakeXbm(9, 2, &ignored);
        cases.push_back({"xbm: not hexadecimal", Format::kXbm, replaced(xbm, "0x", "0xz"), Kind::kDamaged});
        cases.push_back({"xbm: a byte short", Format::kXbm, replaced(xbm, ", 0x", " 0y"), Kind::kDamaged});
        cases.push_back({"xbm: no height line", Format::kXbm, replaced(xbm, "#define picture_height", "#define"),
                         Kind::kDamaged});
        // Valid, but a byte straddles the end of one of Qt's 299-byte pieces.
        std::string oneLine = "#define a_width 16\n#define a_height 40\nstatic char a_bits[] = {\n   ";
        for (int i = 0; i < 80; ++i) oneLine += i == 79 ? "0x55 };\n" : "0x55, ";
        cases.push_back({"xbm: a byte across a long line's pieces", Format::kXbm, Bytes(oneLine.begin(), oneLine.end()),
                         Kind::kUnsupported});
    }
    {
        Bytes outside = MakeIco({{4, 4, 24}}, nullptr);
        Put32(outside, 14, 1000);
        cases.push_back({"ico: image data past the end", Format::kIco, outside, Kind::kDamaged});
        Bytes overlap = MakeIco({{4, 4, 24}}, nullptr);
        Put32(overlap, 18, 10);
        cases.push_back({"ico: image over the directory", Format::kIco, overlap, Kind::kDamaged});
        Bytes rle = MakeIco({{4, 4, 8}}, nullptr);
        Put32(rle, IcoImageOffset(rle, 0) + 16, 1);
        cases.push_back({"ico: run-length compressed", Format::kIco, rle, Kind::kUnsupported});
        Bytes sixteen = MakeIco({{4, 4, 24}}, nullptr);
        sixteen[IcoImageOffset(sixteen, 0) + 14] = 16;
        cases.push_back({"ico: 16 bits per pixel", Format::kIco, sixteen, Kind::kUnsupported});
        Bytes palette = MakeIco({{4, 4, 4}}, nullptr);
        Put32(palette, IcoImageOffset(palette, 0) + 32, 2);  // two colours used, indices up to 15 stored
        cases.push_back({"ico: pixel outside the palette", Format::kIco, palette, Kind::kDamaged});
        Bytes small = MakeIco({{4, 4, 24}}, nullptr);
        Put32(small, 14, 60);
        cases.push_back({"ico: entry shorter than its pixels", Format::kIco, small, Kind::kDamaged});
        Bytes text = MakePng(5, 3, nullptr, 200, 1024);
        Bytes ico = MakeIco({{5, 3, 0}}, nullptr);
        ico.resize(22);
        Put32(ico, 14, static_cast<std::uint32_t>(text.size()));
        ico.insert(ico.end(), text.begin(), text.end());
        cases.push_back({"ico: png with 200 KiB of compressed text", Format::kIco, ico, Kind::kUnsupported});
        Bytes cutPng = MakeIco({{5, 3, 0}}, nullptr);
        cutPng.resize(cutPng.size() - 12);  // IEND gone
        Put32(cutPng, 14, static_cast<std::uint32_t>(cutPng.size() - 22));
        cases.push_back({"ico: png without IEND", Format::kIco, cutPng, Kind::kDamaged});
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Checked checked = Check(c.format, c.file);
        ASSERT_FALSE(checked.passed);
        EXPECT_EQ(checked.kind, c.kind) << KindName(checked.kind) << ": " << checked.detail;
        EXPECT_FALSE(checked.detail.empty());
    }
}

// A 256 MiB file made up as it is read: the check streams through the
// whole raster and holds none of it.
TEST(FormatsTest, LargeFilesAreCheckedWithoutHoldingThem) {
    const std::string header = "P5\n16384 16384\n255\n";
    const std::uint64_t fileSize = header.size() + (std::uint64_t{1} << 28);
    std::uint64_t served = 0;
    codec::ByteSource file = [&](std::uint8_t* out, std::size_t size) {
        const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(size, fileSize - served));
        for (std::size_t i = 0; i < n; ++i)
            out[i] = served + i < header.size() ? static_cast<std::uint8_t>(header[served + i]) : static_cast<std::uint8_t>(i);
        served += n;
        return n;
    };
    rusage before{};
    getrusage(RUSAGE_SELF, &before);
    const codec::DeclaredSize size = codec::CheckForQt(Format::kPnm, file, kLimit);
    rusage after{};
    getrusage(RUSAGE_SELF, &after);
    EXPECT_EQ(size.width, 16384u);
    EXPECT_EQ(size.height, 16384u);
    EXPECT_EQ(served, fileSize);
    EXPECT_LT(after.ru_maxrss - before.ru_maxrss, 16 * 1024) << "kilobytes more at the peak";
}

TEST(FormatsTest, SniffingNeedsOnlyTheHead) {
    struct Case {
        const char* name;
        std::string head;
        Format format;
    };
    const std::string png("\x89PNG\r\n\x1a\n", 8);
    const std::string ico("\0\0\1\0\1\0\x10\x10\0\0\1\0\x20\0\x68\4\0\0\x16\0\0\0", 22);
    const std::string cur("\0\0\2\0\1\0\x10\x10\0\0\5\0\7\0\x68\4\0\0\x16\0\0\0", 22);
    const Case cases[] = {
        {"bmp", "BM\x36\0\0\0", Format::kBmp},
        {"png", png + "\0\0\0\rIHDR", Format::kPng},
        {"png signature cut", png.substr(0, 7), Format::kUnknown},
        {"jpeg", "\xFF\xD8\xFF\xE0", Format::kJpeg},
        {"jpeg without the marker", "\xFF\xD8\x00", Format::kUnknown},
        {"gif87a", "GIF87a\1\0", Format::kGif},
        {"gif89a", "GIF89a", Format::kGif},
        {"gif88a", "GIF88a", Format::kUnknown},
        {"P1 newline", "P1\n1 1\n1", Format::kPnm},
        {"P6 space", "P6 1 1 255 ", Format::kPnm},
        {"P4 tab", "P4\t", Format::kPnm},
        {"P7", "P7\n", Format::kUnknown},
        {"P6 without white space", "P6#", Format::kUnknown},
        {"xpm", "/* XPM */\nstatic", Format::kXpm},
        {"xpm after white space (Qt refuses it)", "  /* XPM */", Format::kUnknown},
        {"xbm", "#define a_width 1\n", Format::kXbm},
        {"xbm after a comment", "/* made\n by hand */\n  \n#define a_width 1\n", Format::kXbm},
        {"xbm comment not closed in the head", "/* " + std::string(600, 'x') + "*/\n#define", Format::kUnknown},
        {"define mid-line", "int x; #define", Format::kUnknown},
        {"ico", ico, Format::kIco},
        {"cur", cur, Format::kIco},
        {"ico with no image", std::string(ico).replace(4, 1, std::string(1, '\0')), Format::kUnknown},
        {"ico reserved byte set", std::string(ico).replace(9, 1, "\1"), Format::kUnknown},
        {"ico entry under 40 bytes", std::string(ico).replace(14, 2, std::string("\x27\0", 2)), Format::kUnknown},
        {"ico head cut", ico.substr(0, 21), Format::kUnknown},
        {"empty", "", Format::kUnknown},
        {"text", "hello, world\n", Format::kUnknown},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Bytes head(c.head.begin(), c.head.end());
        EXPECT_EQ(codec::SniffFormat(head), c.format);
    }
    EXPECT_STREQ(codec::FormatName(Format::kIco), "ICO");
    EXPECT_STREQ(codec::FormatName(Format::kUnknown), "unknown");

    // 64 MB of zeros and of garbage: the head alone says unknown, so the
    // rest is never read.
    for (const bool zeros : {true, false}) {
        SCOPED_TRACE(zeros ? "zeros" : "garbage");
        std::mt19937 random(7);
        std::uint64_t served = 0;
        const std::uint64_t fileSize = std::uint64_t{64} << 20;
        codec::ByteSource file = [&](std::uint8_t* out, std::size_t size) {
            const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(size, fileSize - served));
            for (std::size_t i = 0; i < n; ++i) out[i] = zeros ? 0 : static_cast<std::uint8_t>(random());
            served += n;
            return n;
        };
        Bytes head(codec::kSniffBytes);
        head.resize(file(head.data(), head.size()));
        EXPECT_EQ(codec::SniffFormat(head), Format::kUnknown);
        EXPECT_EQ(served, codec::kSniffBytes);
    }
}

}  // namespace
