// TIFF files for tests, written with libtiff from random samples, with the
// picture a reader must show for them worked out from those samples; and a
// patcher that rewrites the tags of a written file to make it hostile.
#pragma once

#include <tiffio.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include <unistd.h>

namespace tifftest {

using Bytes = std::vector<std::uint8_t>;

// A picture as 3 * width bytes per row, blue green red.
struct Picture {
    int width = 0;
    int height = 0;
    Bytes bgr;
    bool operator==(const Picture&) const = default;
};

struct Page {
    int width = 47, height = 33;
    int bits = 8;
    int samples = 1;  // colour samples; an extra sample comes on top
    std::uint16_t photometric = PHOTOMETRIC_MINISBLACK;
    std::uint16_t compression = COMPRESSION_NONE;
    bool planar = false;
    std::uint32_t tileWidth = 0, tileHeight = 0;  // 0: strips
    std::uint32_t rowsPerStrip = 0;               // 0: libtiff's default
    int extra = -1;                               // EXTRASAMPLE_*, or none
    bool extraTag = true;                         // write the ExtraSamples tag
    int orientation = 0;                          // 0: no tag
    bool bigTiff = false, bigEndian = false;
    bool predictor = false, group3TwoD = false, ycbcr = false;
    bool smooth = false;       // a gradient rather than noise (for JPEG)
    bool eightBitMap = false;  // colour map values below 256
    std::uint16_t fillOrder = 0;
    std::uint32_t seed = 1;
    std::function<void(TIFF*)> moreTags;
};

struct File {
    Bytes bytes;
    std::vector<Picture> expected;  // one a page
};

inline std::uint64_t RoundDivide(std::uint64_t numerator, std::uint64_t denominator) {
    return (2 * numerator + denominator) / (2 * denominator);
}

// What a page's samples show as, by the reader's documented formulas: in
// 8-bit terms where every input is exact at 8 bits, else in 16-bit terms.
inline Picture Expected(const Page& page, const std::vector<std::uint32_t>& samples,
                        const std::vector<std::uint16_t> (&map)[3]) {
    const int total = page.samples + (page.extra >= 0 ? 1 : 0);
    const std::uint32_t max = (1u << page.bits) - 1;
    const bool alpha = page.extra == EXTRASAMPLE_ASSOCALPHA || page.extra == EXTRASAMPLE_UNASSALPHA;
    const bool associated = page.extra == EXTRASAMPLE_ASSOCALPHA;
    Picture picture{page.width, page.height, {}};
    for (int i = 0; i < page.width * page.height; ++i) {
        const std::uint32_t* s = samples.data() + static_cast<std::size_t>(i) * total;
        std::uint64_t rgb16[3];  // 0..65535
        switch (page.photometric) {
        case PHOTOMETRIC_MINISBLACK: rgb16[0] = rgb16[1] = rgb16[2] = s[0] * 65535ull / max; break;
        case PHOTOMETRIC_MINISWHITE: rgb16[0] = rgb16[1] = rgb16[2] = (max - s[0]) * 65535ull / max; break;
        case PHOTOMETRIC_PALETTE:
            for (int c = 0; c < 3; ++c) rgb16[c] = page.eightBitMap ? map[c][s[0]] * 257ull : map[c][s[0]];
            break;
        case PHOTOMETRIC_SEPARATED:
            for (int c = 0; c < 3; ++c)
                rgb16[c] = RoundDivide((max - s[c]) * 65535ull / max * ((max - s[3]) * 65535ull / max), 65535);
            break;
        default:
            for (int c = 0; c < 3; ++c) rgb16[c] = s[c] * 65535ull / max;
            break;
        }
        const bool eightBitExact = page.bits <= 8 && page.photometric != PHOTOMETRIC_SEPARATED &&
                                   (page.photometric != PHOTOMETRIC_PALETTE || page.eightBitMap);
        std::uint8_t out[3];
        for (int c = 0; c < 3; ++c) {
            if (eightBitExact) {
                // round(v * 255 / (2^n - 1)), laid over white: round((v * a +
                // 255 * (255 - a)) / 255), or v + 255 - a when premultiplied.
                const std::uint64_t v = rgb16[c] / 257;
                const std::uint64_t a = alpha ? RoundDivide(s[page.samples] * 255ull, max) : 255;
                out[c] = static_cast<std::uint8_t>(
                    !alpha       ? v
                    : associated ? std::min<std::uint64_t>(255, v + 255 - a)
                                 : RoundDivide(v * a + 255 * (255 - a), 255));
            } else {
                const std::uint64_t v = rgb16[c];
                const std::uint64_t a = alpha ? s[page.samples] * 65535ull / max : 65535;
                const std::uint64_t shown = !alpha       ? RoundDivide(v * 255, 65535)
                                            : associated ? RoundDivide(std::min<std::uint64_t>(65535, v + 65535 - a) * 255, 65535)
                                                         : RoundDivide((v * a + 65535 * (65535 - a)) * 255, 65535ull * 65535);
                out[c] = static_cast<std::uint8_t>(shown);
            }
        }
        picture.bgr.insert(picture.bgr.end(), {out[2], out[1], out[0]});
    }
    return picture;
}

// Packs samples high bits first, each row starting on a byte.
inline void PackRow(const std::uint32_t* values, std::size_t count, std::size_t step, int bits, std::uint8_t* out) {
    if (bits == 16) {
        for (std::size_t i = 0; i < count; ++i) {
            const auto v = static_cast<std::uint16_t>(values[i * step]);
            std::memcpy(out + 2 * i, &v, 2);
        }
        return;
    }
    std::fill(out, out + (count * bits + 7) / 8, 0);
    for (std::size_t i = 0; i < count; ++i) {
        const std::size_t bit = i * bits;
        out[bit / 8] |= static_cast<std::uint8_t>(values[i * step] << (8 - bits - bit % 8));
    }
}

inline Bytes ReadAndRemove(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    Bytes bytes((std::istreambuf_iterator<char>(in)), {});
    std::remove(path.c_str());
    return bytes;
}

inline void WritePage(TIFF* tif, const Page& page, File& file) {
    const int total = page.samples + (page.extra >= 0 ? 1 : 0);
    const std::uint32_t max = (1u << page.bits) - 1;
    std::mt19937 random(page.seed);
    std::vector<std::uint32_t> samples(static_cast<std::size_t>(page.width) * page.height * total);
    for (int y = 0; y < page.height; ++y)
        for (int x = 0; x < page.width; ++x)
            for (int k = 0; k < total; ++k) {
                std::uint32_t& v = samples[(static_cast<std::size_t>(y) * page.width + x) * total + k];
                v = page.smooth ? static_cast<std::uint32_t>(std::min(255, x * 2 + y * 2 + k * 30)) * max / 255 : random() % (max + 1);
            }
    std::vector<std::uint16_t> map[3];
    if (page.photometric == PHOTOMETRIC_PALETTE)
        for (auto& m : map) {
            m.resize(std::size_t{1} << page.bits);
            for (auto& v : m) v = static_cast<std::uint16_t>(page.eightBitMap ? random() % 256 : random() % 65536);
        }

    TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, page.width);
    TIFFSetField(tif, TIFFTAG_IMAGELENGTH, page.height);
    TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, page.bits);
    TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, total);
    TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, page.ycbcr ? PHOTOMETRIC_YCBCR : page.photometric);
    TIFFSetField(tif, TIFFTAG_COMPRESSION, page.compression);
    TIFFSetField(tif, TIFFTAG_PLANARCONFIG, page.planar ? PLANARCONFIG_SEPARATE : PLANARCONFIG_CONTIG);
    if (page.orientation != 0) TIFFSetField(tif, TIFFTAG_ORIENTATION, page.orientation);
    if (page.extra >= 0 && page.extraTag) {
        const std::uint16_t kind = static_cast<std::uint16_t>(page.extra);
        TIFFSetField(tif, TIFFTAG_EXTRASAMPLES, 1, &kind);
    }
    if (page.photometric == PHOTOMETRIC_PALETTE) TIFFSetField(tif, TIFFTAG_COLORMAP, map[0].data(), map[1].data(), map[2].data());
    if (page.photometric == PHOTOMETRIC_SEPARATED) TIFFSetField(tif, TIFFTAG_INKSET, INKSET_CMYK);
    if (page.predictor) TIFFSetField(tif, TIFFTAG_PREDICTOR, PREDICTOR_HORIZONTAL);
    if (page.group3TwoD) TIFFSetField(tif, TIFFTAG_GROUP3OPTIONS, GROUP3OPT_2DENCODING);
    if (page.fillOrder != 0) TIFFSetField(tif, TIFFTAG_FILLORDER, page.fillOrder);
    if (page.compression == COMPRESSION_JPEG) TIFFSetField(tif, TIFFTAG_JPEGQUALITY, 95);
    if (page.ycbcr) TIFFSetField(tif, TIFFTAG_JPEGCOLORMODE, JPEGCOLORMODE_RGB);
    if (page.moreTags) page.moreTags(tif);

    const bool tiled = page.tileWidth > 0;
    const std::uint32_t blockWidth = tiled ? page.tileWidth : static_cast<std::uint32_t>(page.width);
    std::uint32_t blockHeight = page.tileHeight;
    if (tiled) {
        TIFFSetField(tif, TIFFTAG_TILEWIDTH, page.tileWidth);
        TIFFSetField(tif, TIFFTAG_TILELENGTH, page.tileHeight);
    } else {
        blockHeight = page.rowsPerStrip ? page.rowsPerStrip
                      : page.compression == COMPRESSION_JPEG ? 16
                                                             : TIFFDefaultStripSize(tif, 0);
        TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, blockHeight);
    }
    const int planes = page.planar ? total : 1;
    const std::size_t perRow = page.planar ? 1 : static_cast<std::size_t>(total);
    const std::size_t rowBytes = (blockWidth * perRow * page.bits + 7) / 8;
    const std::uint32_t across = (page.width + blockWidth - 1) / blockWidth;
    const std::uint32_t down = (page.height + blockHeight - 1) / blockHeight;
    for (int p = 0; p < planes; ++p)
        for (std::uint32_t by = 0; by < down; ++by)
            for (std::uint32_t bx = 0; bx < across; ++bx) {
                const std::uint32_t rows = tiled ? blockHeight : std::min(blockHeight, page.height - by * blockHeight);
                Bytes block(rowBytes * rows, 0);
                std::vector<std::uint32_t> row(blockWidth * perRow, 0);
                for (std::uint32_t y = 0; y < rows; ++y) {
                    const std::uint32_t py = by * blockHeight + y;
                    std::fill(row.begin(), row.end(), 0);
                    for (std::uint32_t x = 0; x < blockWidth && py < static_cast<std::uint32_t>(page.height); ++x) {
                        const std::uint32_t px = bx * blockWidth + x;
                        if (px >= static_cast<std::uint32_t>(page.width)) break;
                        const std::uint32_t* s = samples.data() + (static_cast<std::size_t>(py) * page.width + px) * total;
                        for (std::size_t k = 0; k < perRow; ++k) row[x * perRow + k] = s[page.planar ? p : k];
                    }
                    PackRow(row.data(), row.size(), 1, page.bits, block.data() + y * rowBytes);
                }
                const std::uint32_t index = static_cast<std::uint32_t>(p) * across * down + by * across + bx;
                const tmsize_t wrote = tiled ? TIFFWriteEncodedTile(tif, index, block.data(), static_cast<tmsize_t>(block.size()))
                                             : TIFFWriteEncodedStrip(tif, index, block.data(), static_cast<tmsize_t>(block.size()));
                if (wrote < 0) throw std::runtime_error("libtiff could not write a test block");
            }
    if (!TIFFWriteDirectory(tif)) throw std::runtime_error("libtiff could not write a test directory");
    file.expected.push_back(Expected(page, samples, map));
}

// The pages in one file, in the byte order and form of the first page.
inline File Write(const std::vector<Page>& pages) {
    char path[] = "/tmp/workbench-tiff-test-XXXXXX";
    const int fd = ::mkstemp(path);
    if (fd < 0) throw std::runtime_error("no temporary file");
    ::close(fd);
    std::string mode = "w";
    if (pages[0].bigTiff) mode += "8";
    mode += pages[0].bigEndian ? "b" : "l";
    File file;
    TIFF* tif = TIFFOpen(path, mode.c_str());
    if (tif == nullptr) throw std::runtime_error("libtiff could not open a test file");
    for (const Page& page : pages) WritePage(tif, page, file);
    TIFFClose(tif);
    file.bytes = ReadAndRemove(path);
    return file;
}

// Rewrites the entries of one directory of a classic little-endian file.
class Patcher {
public:
    explicit Patcher(Bytes& file, int page = 0) : file_(file) {
        directory_ = Le32(4);
        for (int k = 0; k < page; ++k) directory_ = Le32(directory_ + 2 + 12 * Le16(directory_));
    }

    std::uint32_t directory() const { return directory_; }
    std::uint32_t NextAt() const { return directory_ + 2 + 12 * Le16(directory_); }

    // Sets a tag the directory has to one value of the given type (SHORT
    // or LONG).
    void Set(std::uint16_t tag, std::uint32_t value, std::uint16_t type = TIFF_LONG) {
        const std::uint32_t entry = Find(tag);
        Put16(entry + 2, type);
        Put32(entry + 4, 1);
        Put32(entry + 8, type == TIFF_SHORT ? value & 0xffff : value);
    }

    // Points a tag at count values of type LONG stored at offset.
    void SetArray(std::uint16_t tag, std::uint32_t count, std::uint32_t offset) {
        const std::uint32_t entry = Find(tag);
        Put16(entry + 2, TIFF_LONG);
        Put32(entry + 4, count);
        Put32(entry + 8, offset);
    }

    // The values of a SHORT or LONG tag.
    std::vector<std::uint32_t> Get(std::uint16_t tag) const {
        const std::uint32_t entry = Find(tag);
        const std::uint32_t type = Le16(entry + 2), count = Le32(entry + 4);
        const std::uint32_t size = type == TIFF_SHORT ? 2 : 4;
        const std::uint32_t at = count * size <= 4 ? entry + 8 : Le32(entry + 8);
        std::vector<std::uint32_t> values;
        for (std::uint32_t i = 0; i < count; ++i) values.push_back(size == 2 ? Le16(at + 2 * i) : Le32(at + 4 * i));
        return values;
    }

    // Rewrites the values of a SHORT or LONG tag in place (same count).
    void Put(std::uint16_t tag, const std::vector<std::uint32_t>& values) {
        const std::uint32_t entry = Find(tag);
        const std::uint32_t type = Le16(entry + 2), count = Le32(entry + 4);
        if (values.size() != count) throw std::logic_error("a patch must keep the count");
        const std::uint32_t size = type == TIFF_SHORT ? 2 : 4;
        const std::uint32_t at = count * size <= 4 ? entry + 8 : Le32(entry + 8);
        for (std::uint32_t i = 0; i < count; ++i) size == 2 ? Put16(at + 2 * i, values[i]) : Put32(at + 4 * i, values[i]);
    }

    void Put32(std::uint32_t at, std::uint32_t value) {
        for (int i = 0; i < 4; ++i) file_.at(at + i) = static_cast<std::uint8_t>(value >> (8 * i));
    }
    void Put16(std::uint32_t at, std::uint32_t value) {
        file_.at(at) = static_cast<std::uint8_t>(value);
        file_.at(at + 1) = static_cast<std::uint8_t>(value >> 8);
    }

private:
    std::uint32_t Le16(std::uint32_t at) const { return file_.at(at) | (file_.at(at + 1) << 8); }
    std::uint32_t Le32(std::uint32_t at) const { return Le16(at) | (Le16(at + 2) << 16); }

    std::uint32_t Find(std::uint16_t tag) const {
        const std::uint32_t count = Le16(directory_);
        for (std::uint32_t i = 0; i < count; ++i)
            if (Le16(directory_ + 2 + 12 * i) == tag) return directory_ + 2 + 12 * i;
        throw std::logic_error("no such tag to patch: " + std::to_string(tag));
    }

    Bytes& file_;
    std::uint32_t directory_ = 0;
};

// An 8-bit gray 47 x 33 file with its first directory patched.
inline Bytes PatchedGray8(const std::function<void(Patcher&)>& patch, Page page = {}) {
    Bytes bytes = Write({page}).bytes;
    Patcher patcher(bytes);
    patch(patcher);
    return bytes;
}

}  // namespace tifftest
