// Small picture files made for the decoder tests: GIF through giflib's own
// encoder, PNG through libpng's, and icon bitmaps and icon directories byte
// by byte.
#pragma once

#include <gif_lib.h>
#include <png.h>

#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "tests/codec_test_support.h"

namespace codec_test {

// Distinct colours, none of them white, for palettes.
inline Bgr Colour(int i) {
    return {static_cast<std::uint8_t>((i * 37 + 11) % 251), static_cast<std::uint8_t>((i * 91 + 5) % 241),
            static_cast<std::uint8_t>((250 - i * 13) & 0xFF)};
}

// A varied pattern of n values with runs, so that compressors build long
// strings.
inline int Pattern(int x, int y, int n) { return ((x / 3) + (y / 2) * 5 + (x * y) % 3) % n; }

inline void PutLe16(Bytes& b, std::uint32_t v) {
    b.push_back(static_cast<std::uint8_t>(v));
    b.push_back(static_cast<std::uint8_t>(v >> 8));
}
inline void PutLe32(Bytes& b, std::uint32_t v) {
    PutLe16(b, v & 0xFFFF);
    PutLe16(b, v >> 16);
}
inline void SetLe32(Bytes& b, std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(v >> (8 * i));
}

// GIF ---------------------------------------------------------------------------

// Writes a GIF into memory with giflib: the screen, then extensions and
// frames in the order they are added, then the trailer.
class GifWriter {
public:
    // A screen of the given size with a global table of `colours` entries
    // Colour(0), Colour(1), ... (0: no global table).
    GifWriter(int width, int height, int colours) {
        int error = 0;
        gif_ = EGifOpen(&bytes_, Write, &error);
        if (gif_ == nullptr) throw std::runtime_error("EGifOpen failed");
        EGifSetGifVersion(gif_, true);
        ColorMapObject* map = colours > 0 ? Map(colours, 0) : nullptr;
        const int status = EGifPutScreenDesc(gif_, width, height, 8, 0, map);
        GifFreeMapObject(map);
        Check(status);
    }
    ~GifWriter() {
        if (gif_ != nullptr) EGifCloseFile(gif_, nullptr);
    }
    GifWriter(const GifWriter&) = delete;
    GifWriter& operator=(const GifWriter&) = delete;

    // A graphic control block: with transparent >= 0, that index is transparent.
    GifWriter& Control(int transparent) {
        const std::uint8_t block[4] = {static_cast<std::uint8_t>(transparent >= 0 ? 1 : 0), 10, 0,
                                       static_cast<std::uint8_t>(transparent >= 0 ? transparent : 0)};
        Check(EGifPutExtension(gif_, GRAPHICS_EXT_FUNC_CODE, 4, block));
        return *this;
    }
    GifWriter& Comment(const char* text) {
        Check(EGifPutComment(gif_, text));
        return *this;
    }
    GifWriter& Looping() {
        Check(EGifPutExtensionLeader(gif_, APPLICATION_EXT_FUNC_CODE));
        Check(EGifPutExtensionBlock(gif_, 11, "NETSCAPE2.0"));
        const std::uint8_t loop[3] = {1, 0, 0};
        Check(EGifPutExtensionBlock(gif_, 3, loop));
        Check(EGifPutExtensionTrailer(gif_));
        return *this;
    }
    // A frame whose index at (x, y) of the frame is index(x, y); with
    // localColours > 0 it has its own table of Colour(localBase + i).
    // Interlaced rows are written in the interlaced order.
    GifWriter& Frame(int left, int top, int width, int height, const std::function<int(int, int)>& index,
                     bool interlace = false, int localColours = 0, int localBase = 100) {
        ColorMapObject* map = localColours > 0 ? Map(localColours, localBase) : nullptr;
        const int status = EGifPutImageDesc(gif_, left, top, width, height, interlace, map);
        GifFreeMapObject(map);
        Check(status);
        std::vector<int> rows;
        if (interlace) {
            for (const auto& [start, step] : {std::pair{0, 8}, std::pair{4, 8}, std::pair{2, 4}, std::pair{1, 2}})
                for (int y = start; y < height; y += step) rows.push_back(y);
        } else {
            for (int y = 0; y < height; ++y) rows.push_back(y);
        }
        std::vector<GifPixelType> line(static_cast<std::size_t>(width));
        for (const int y : rows) {
            for (int x = 0; x < width; ++x) line[static_cast<std::size_t>(x)] = static_cast<GifPixelType>(index(x, y));
            Check(EGifPutLine(gif_, line.data(), width));
        }
        return *this;
    }
    // The whole file, trailer included.
    Bytes Finish() {
        int error = 0;
        const int status = EGifCloseFile(gif_, &error);
        gif_ = nullptr;
        if (status == GIF_ERROR) throw std::runtime_error("EGifCloseFile failed");
        return bytes_;
    }

private:
    static int Write(GifFileType* gif, const GifByteType* data, int size) {
        auto* bytes = static_cast<Bytes*>(gif->UserData);
        bytes->insert(bytes->end(), data, data + size);
        return size;
    }
    static ColorMapObject* Map(int colours, int base) {
        std::vector<GifColorType> entries(static_cast<std::size_t>(colours));
        for (int i = 0; i < colours; ++i) {
            const Bgr c = Colour(base + i);
            entries[static_cast<std::size_t>(i)] = {c[2], c[1], c[0]};
        }
        return GifMakeMapObject(colours, entries.data());
    }
    void Check(int status) {
        if (status == GIF_ERROR) throw std::runtime_error("giflib refused to write: error " + std::to_string(gif_->Error));
    }

    Bytes bytes_;
    GifFileType* gif_ = nullptr;
};

// PNG ---------------------------------------------------------------------------

// A PNG of the picture, 8-bit RGB, or RGBA with alpha(x, y), through libpng.
inline Bytes EncodePng(const Picture& picture, const std::function<std::uint8_t(int, int)>& alpha = nullptr) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    image.width = static_cast<png_uint_32>(picture.width);
    image.height = static_cast<png_uint_32>(picture.height);
    image.format = alpha ? PNG_FORMAT_RGBA : PNG_FORMAT_RGB;
    const int channels = alpha ? 4 : 3;
    Bytes raw;
    for (int y = 0; y < picture.height; ++y)
        for (int x = 0; x < picture.width; ++x) {
            const Bgr& c = picture.at(x, y);
            raw.insert(raw.end(), {c[2], c[1], c[0]});
            if (alpha) raw.push_back(alpha(x, y));
        }
    png_alloc_size_t size = 0;
    if (!png_image_write_to_memory(&image, nullptr, &size, 0, raw.data(), channels * picture.width, nullptr))
        throw std::runtime_error("libpng cannot size the png");
    Bytes png(size);
    if (!png_image_write_to_memory(&image, png.data(), &size, 0, raw.data(), channels * picture.width, nullptr))
        throw std::runtime_error("libpng cannot write the png");
    png.resize(size);
    return png;
}

// Icons -----------------------------------------------------------------------

// An icon's bitmap: 40-byte info header with twice the height, palette,
// colour rows and mask rows, bottom-up.
struct IconBitmapSpec {
    int width = 1;
    int height = 1;
    int bits = 24;  // 1, 4, 8, 24 or 32
    // Palette index (1/4/8 bits) or Colour() index (24/32 bits) of a pixel.
    std::function<int(int, int)> index = [](int x, int y) { return Pattern(x, y, 2); };
    std::function<std::uint8_t(int, int)> alpha = [](int, int) { return std::uint8_t{255}; };  // 32 bits
    std::function<bool(int, int)> masked = [](int, int) { return false; };                    // AND bit set
    std::uint32_t compression = 0;
    int heightFactor = 2;  // the header's height is this times the picture's
};

inline Bytes IconBitmap(const IconBitmapSpec& s) {
    Bytes b;
    PutLe32(b, 40);
    PutLe32(b, static_cast<std::uint32_t>(s.width));
    PutLe32(b, static_cast<std::uint32_t>(s.heightFactor * s.height));
    PutLe16(b, 1);
    PutLe16(b, static_cast<std::uint32_t>(s.bits));
    PutLe32(b, s.compression);
    for (int i = 0; i < 5; ++i) PutLe32(b, 0);
    const int colours = s.bits <= 8 ? 1 << s.bits : 0;
    for (int i = 0; i < colours; ++i) {
        const Bgr c = Colour(i);
        b.insert(b.end(), {c[0], c[1], c[2], 0});
    }
    const std::size_t rowBytes = (static_cast<std::size_t>(s.width) * s.bits + 31) / 32 * 4;
    for (int y = s.height - 1; y >= 0; --y) {
        Bytes row(rowBytes, 0);
        for (int x = 0; x < s.width; ++x) {
            const int i = s.index(x, y);
            if (s.bits <= 8) {
                const std::size_t bit = static_cast<std::size_t>(x) * s.bits;
                row[bit / 8] = static_cast<std::uint8_t>(row[bit / 8] | (i << (8 - s.bits - bit % 8)));
            } else {
                const Bgr c = Colour(i);
                const std::size_t at = static_cast<std::size_t>(x) * (s.bits / 8);
                row[at] = c[0], row[at + 1] = c[1], row[at + 2] = c[2];
                if (s.bits == 32) row[at + 3] = s.alpha(x, y);
            }
        }
        b.insert(b.end(), row.begin(), row.end());
    }
    const std::size_t maskBytes = (static_cast<std::size_t>(s.width) + 31) / 32 * 4;
    for (int y = s.height - 1; y >= 0; --y) {
        Bytes row(maskBytes, 0);
        for (int x = 0; x < s.width; ++x)
            if (s.masked(x, y)) row[static_cast<std::size_t>(x) / 8] |= static_cast<std::uint8_t>(0x80 >> (x % 8));
        b.insert(b.end(), row.begin(), row.end());
    }
    return b;
}

// The picture an icon bitmap shows: palette or Colour() entries, the mask
// white unless a 32-bit icon has alpha somewhere (then laid over white).
inline Picture IconBitmapPicture(const IconBitmapSpec& s) {
    bool anyAlpha = false;
    for (int y = 0; y < s.height && s.bits == 32; ++y)
        for (int x = 0; x < s.width; ++x) anyAlpha |= s.alpha(x, y) != 0;
    Picture p(s.width, s.height);
    for (int y = 0; y < s.height; ++y)
        for (int x = 0; x < s.width; ++x) {
            Bgr c = Colour(s.index(x, y));
            if (anyAlpha) {
                for (std::uint8_t& v : c) v = codec::OverWhite(v, s.alpha(x, y));
            } else if (s.masked(x, y)) {
                c = kWhite;
            }
            p.at(x, y) = c;
        }
    return p;
}

// One image of an icon file and what its directory entry says of it.
struct IconEntry {
    Bytes data;
    int width = 0, height = 0;  // the directory's bytes (0 stands for 256)
    int bits = 0;
};

// An ICO (type 1) or CUR (type 2) file: the directory, then the images in
// order. A cursor's entries carry a hot spot where an icon's carry planes
// and bits.
inline Bytes IconFile(const std::vector<IconEntry>& entries, int type = 1) {
    Bytes file;
    PutLe16(file, 0);
    PutLe16(file, static_cast<std::uint32_t>(type));
    PutLe16(file, static_cast<std::uint32_t>(entries.size()));
    std::uint32_t offset = static_cast<std::uint32_t>(6 + 16 * entries.size());
    for (const IconEntry& e : entries) {
        file.push_back(static_cast<std::uint8_t>(e.width));
        file.push_back(static_cast<std::uint8_t>(e.height));
        file.push_back(0);
        file.push_back(0);
        PutLe16(file, type == 1 ? 1 : 3);                                    // planes, or hot spot x
        PutLe16(file, type == 1 ? static_cast<std::uint32_t>(e.bits) : 5);  // bits, or hot spot y
        PutLe32(file, static_cast<std::uint32_t>(e.data.size()));
        PutLe32(file, offset);
        offset += static_cast<std::uint32_t>(e.data.size());
    }
    for (const IconEntry& e : entries) file.insert(file.end(), e.data.begin(), e.data.end());
    return file;
}

}  // namespace codec_test
