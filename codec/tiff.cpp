#include "codec/tiff.h"

#include <tiffio.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <exception>
#include <limits>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <unordered_set>
#include <vector>

#include "codec/bytes.h"
#include "codec/library_io.h"

namespace codec {
namespace {

using Kind = DecodeError::Kind;

[[noreturn]] void Damaged(const std::string& detail) { throw DecodeError(Kind::kDamaged, detail); }
[[noreturn]] void Unsupported(const std::string& detail) { throw DecodeError(Kind::kUnsupported, detail); }

// ---------------------------------------------------------------------------
// The chain of directories, walked without libtiff

struct Header {
    bool little = true;
    bool big = false;  // BigTIFF: 8-byte offsets and counts
    std::uint64_t firstDirectory = 0;
};

class Reader {
public:
    explicit Reader(const RandomAccess& file) : file_(file) {}

    // Exactly size bytes at offset, or damage.
    void At(std::uint64_t offset, std::uint8_t* buffer, std::size_t size, const char* what) const {
        if (offset > file_.size || size > file_.size - offset) Damaged(std::string(what) + " lies past the end of the file");
        if (ReadUpTo(file_, offset, buffer, size) < size) Damaged("the file ends before the end of the picture");
    }

private:
    const RandomAccess& file_;
};

std::uint64_t Unsigned(const std::uint8_t* p, int bytes, bool little) {
    switch (bytes) {
    case 2: return little ? Le16(p) : Be16(p);
    case 4: return little ? Le32(p) : Be32(p);
    default:
        return little ? (std::uint64_t{Le32(p + 4)} << 32) | Le32(p) : (std::uint64_t{Be32(p)} << 32) | Be32(p + 4);
    }
}

Header ReadHeader(const Reader& in) {
    std::uint8_t bytes[16];
    in.At(0, bytes, 8, "the header");
    Header header;
    if (bytes[0] == 'I' && bytes[1] == 'I') {
        header.little = true;
    } else if (bytes[0] == 'M' && bytes[1] == 'M') {
        header.little = false;
    } else {
        Damaged("the file does not start with a tiff header");
    }
    const std::uint64_t magic = Unsigned(bytes + 2, 2, header.little);
    if (magic == 42) {
        header.firstDirectory = Unsigned(bytes + 4, 4, header.little);
    } else if (magic == 43) {
        header.big = true;
        in.At(8, bytes + 8, 8, "the header");
        if (Unsigned(bytes + 4, 2, header.little) != 8 || Unsigned(bytes + 6, 2, header.little) != 0)
            Damaged("the bigtiff header is not valid");
        header.firstDirectory = Unsigned(bytes + 8, 8, header.little);
    } else {
        Damaged("the file does not start with a tiff header");
    }
    return header;
}

// The offsets of the chain's directories, checked: each lies inside the
// file past the header, holds at least one entry, and is met once. The
// chain is walked here, and not left to libtiff, because a broken chain is
// refused whatever page is asked for, and the page's declared size is
// checked against the limit, before libtiff is given the file and
// allocates for what its directory declares.
std::vector<std::uint64_t> WalkDirectories(const RandomAccess& file, Header& header) {
    const Reader in(file);
    header = ReadHeader(in);
    const int countBytes = header.big ? 8 : 2;
    const int entryBytes = header.big ? 20 : 12;
    const int offsetBytes = header.big ? 8 : 4;
    const std::uint64_t headerBytes = header.big ? 16 : 8;
    std::vector<std::uint64_t> directories;
    std::unordered_set<std::uint64_t> seen;
    for (std::uint64_t at = header.firstDirectory; at != 0;) {
        const std::string page = "page " + std::to_string(directories.size() + 1);
        if (at < headerBytes) Damaged("the directory of " + page + " overlaps the header");
        if (!seen.insert(at).second) Damaged("the chain of pages loops back after " + page.substr(5) + " pages");
        if (directories.size() == kMaxTiffPages)
            Unsupported("the file has more than " + std::to_string(kMaxTiffPages) + " pages");
        directories.push_back(at);
        std::uint8_t bytes[8];
        in.At(at, bytes, static_cast<std::size_t>(countBytes), ("the directory of " + page).c_str());
        const std::uint64_t entries = Unsigned(bytes, countBytes, header.little);
        if (entries == 0) Damaged("the directory of " + page + " is empty");
        const std::uint64_t room = file.size / static_cast<std::uint64_t>(entryBytes);
        if (entries > room) Damaged("the directory of " + page + " lies past the end of the file");
        const std::uint64_t next = at + static_cast<std::uint64_t>(countBytes) + entries * entryBytes;
        in.At(next, bytes, static_cast<std::size_t>(offsetBytes), ("the directory of " + page).c_str());
        at = Unsigned(bytes, offsetBytes, header.little);
    }
    if (directories.empty()) Damaged("the file has no pages");
    return directories;
}

// The size a directory declares, read from its entries before libtiff sees
// them (libtiff gives up on some huge sizes with a message of its own); 0
// for a side it does not give as one SHORT, LONG or LONG8.
std::pair<std::uint64_t, std::uint64_t> DeclaredSides(const RandomAccess& file, const Header& header, std::uint64_t at) {
    const Reader in(file);
    const int countBytes = header.big ? 8 : 2;
    const std::size_t entryBytes = header.big ? 20 : 12;
    std::uint8_t bytes[20];
    in.At(at, bytes, static_cast<std::size_t>(countBytes), "a directory");
    const std::uint64_t entries = std::min<std::uint64_t>(Unsigned(bytes, countBytes, header.little), 4096);
    std::uint64_t sides[2] = {0, 0};
    for (std::uint64_t i = 0; i < entries; ++i) {
        in.At(at + static_cast<std::uint64_t>(countBytes) + i * entryBytes, bytes, entryBytes, "a directory");
        const std::uint64_t tag = Unsigned(bytes, 2, header.little);
        if (tag > TIFFTAG_IMAGELENGTH) break;  // entries are sorted by tag
        if (tag < TIFFTAG_IMAGEWIDTH) continue;
        const std::uint64_t type = Unsigned(bytes + 2, 2, header.little);
        const std::uint64_t count = Unsigned(bytes + 4, header.big ? 8 : 4, header.little);
        const std::uint8_t* value = bytes + (header.big ? 12 : 8);
        if (count != 1) continue;
        if (type == TIFF_SHORT) sides[tag - TIFFTAG_IMAGEWIDTH] = Unsigned(value, 2, header.little);
        else if (type == TIFF_LONG) sides[tag - TIFFTAG_IMAGEWIDTH] = Unsigned(value, 4, header.little);
        else if (type == TIFF_LONG8 && header.big) sides[tag - TIFFTAG_IMAGEWIDTH] = Unsigned(value, 8, header.little);
    }
    return {sides[0], sides[1]};
}

// ---------------------------------------------------------------------------
// libtiff's side: the file, messages, memory

// While a directory is read, libtiff reports what it finds wrong with single
// tags (an unknown tag, a value out of range, a wrong type or count) and
// goes on without them: those reports concern tags only, and the directory
// fails as a whole only when libtiff cannot do without a tag. While the
// page's layout is worked out, an error ends the decode; while pixels
// decode, so does a warning.
enum class Phase { kDirectory, kLayout, kPixels };

// Everything libtiff's callbacks share with the decoder.
struct TiffState {
    const RandomAccess* file = nullptr;
    std::uint64_t position = 0;
    KeptError kept;  // from file.read, thrown again once libtiff has returned
    Phase phase = Phase::kDirectory;
    bool failed = false;        // an error, or a warning while pixels decode
    bool tagError = false;      // an error about a tag while a directory was read
    bool outOfMemory = false;
    char message[200] = {};
};

// The state of the decode running on this thread, for messages that libtiff
// sends to its process-wide handlers with the file's handle.
thread_local TiffState* tActive = nullptr;

// Warnings while pixels decode that lose no pixel: a JPEG-compressed last
// strip that holds more rows than the picture has left, and libjpeg skipping
// stray bytes before a marker.
bool Harmless(const char* format, const char* text) {
    return std::strncmp(format, "JPEG strip size exceeds expected dimensions", 43) == 0 ||
           (std::strncmp(text, "Corrupt JPEG data: ", 19) == 0 && std::strstr(text, "extraneous bytes before marker") != nullptr);
}

// libtiff's words for an allocation that failed (not for one its memory
// cap refused, which it words as "beyond the ... limit").
bool MeansNoMemory(const char* text) {
    return std::strstr(text, "Out of memory") != nullptr || std::strstr(text, "Failed to allocate") != nullptr ||
           std::strstr(text, "Cannot allocate") != nullptr;
}

void Record(TiffState& state, bool error, const char* format, va_list arguments) {
    if (!error && state.phase != Phase::kPixels) return;
    if (state.failed || (state.phase == Phase::kDirectory && state.tagError)) return;  // the first one tells
    char text[sizeof state.message];
    std::vsnprintf(text, sizeof text, format, arguments);
    if (!error && Harmless(format, text)) return;
    std::snprintf(state.message, sizeof state.message, "%s", text);
    if (state.phase == Phase::kDirectory) {
        state.tagError = true;
        return;
    }
    state.failed = true;
    state.outOfMemory = MeansNoMemory(text);
}

extern "C" int OnTiffError(TIFF*, void* user, const char*, const char* format, va_list arguments) {
    Record(*static_cast<TiffState*>(user), true, format, arguments);
    return 1;  // handled: the process-wide handlers are not called
}

extern "C" int OnTiffWarning(TIFF*, void* user, const char*, const char* format, va_list arguments) {
    Record(*static_cast<TiffState*>(user), false, format, arguments);
    return 1;
}

// libtiff sends a few messages past the file's own handlers (with the file's
// handle, or none): they count for the decode they belong to and are
// otherwise dropped, so nothing is printed.
extern "C" void OnGlobalError(thandle_t handle, const char*, const char* format, va_list arguments) {
    if (tActive != nullptr && handle == tActive) Record(*tActive, true, format, arguments);
}
extern "C" void OnGlobalWarning(thandle_t handle, const char*, const char* format, va_list arguments) {
    if (tActive != nullptr && handle == tActive) Record(*tActive, false, format, arguments);
}

void QuietLibtiff() {
    static std::once_flag once;
    std::call_once(once, [] {
        TIFFSetErrorHandler(nullptr);
        TIFFSetWarningHandler(nullptr);
        TIFFSetErrorHandlerExt(OnGlobalError);
        TIFFSetWarningHandlerExt(OnGlobalWarning);
    });
}

extern "C" tmsize_t OnRead(thandle_t handle, void* buffer, tmsize_t size) {
    auto& state = *static_cast<TiffState*>(handle);
    if (size <= 0 || state.kept) return size == 0 ? 0 : -1;
    const std::optional<std::size_t> done =
        ReadKeepingError(*state.file, state.position, static_cast<std::uint8_t*>(buffer), static_cast<std::size_t>(size),
                         state.kept, [&state](const std::uint8_t*, std::size_t count) { state.position += count; });
    return done ? static_cast<tmsize_t>(*done) : -1;
}

extern "C" tmsize_t OnWrite(thandle_t, void*, tmsize_t) { return -1; }

extern "C" toff_t OnSeek(thandle_t handle, toff_t offset, int whence) {
    auto& state = *static_cast<TiffState*>(handle);
    std::uint64_t base = 0;
    if (whence == SEEK_CUR) base = state.position;
    else if (whence == SEEK_END) base = state.file->size;
    state.position = base + offset;
    return state.position;
}

extern "C" int OnClose(thandle_t) { return 0; }
extern "C" toff_t OnSize(thandle_t handle) { return static_cast<TiffState*>(handle)->file->size; }
extern "C" int OnMap(thandle_t, void**, toff_t*) { return 0; }
extern "C" void OnUnmap(thandle_t, void*, toff_t) {}

struct CloseTiff {
    void operator()(TIFF* tif) const { TIFFClose(tif); }
};
struct FreeOptions {
    void operator()(TIFFOpenOptions* options) const { TIFFOpenOptionsFree(options); }
};

// Makes the current decode the one the process-wide handlers report to.
class ActiveState {
public:
    explicit ActiveState(TiffState& state) : previous_(tActive) { tActive = &state; }
    ~ActiveState() { tActive = previous_; }
    ActiveState(const ActiveState&) = delete;
    ActiveState& operator=(const ActiveState&) = delete;

private:
    TiffState* previous_;
};

std::string Detail(const char* text) {
    std::string detail(text);
    if (!detail.empty()) detail[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(detail[0])));
    return detail;
}

// After each call into libtiff: what the file's reads threw comes back as
// it was; an error libtiff reported ends the decode.
void Check(const TiffState& state) {
    state.kept.Rethrow();
    if (state.outOfMemory) throw DecodeError(Kind::kNoMemory, "not enough memory to decode the tiff picture");
    if (state.failed) Damaged("the tiff data is damaged: " + Detail(state.message));
}

// A directory libtiff could not read: the first error it gave says why.
[[noreturn]] void DirectoryFailed(const TiffState& state) {
    state.kept.Rethrow();
    const char* text = state.message;
    if (MeansNoMemory(text)) throw DecodeError(Kind::kNoMemory, "not enough memory to decode the tiff picture");
    Damaged(text[0] != '\0' ? "the tiff data is damaged: " + Detail(text) : "the tiff directory cannot be read");
}

// ---------------------------------------------------------------------------
// The page's layout

enum class Colour { kMinIsBlack, kMinIsWhite, kRgb, kPalette, kCmyk };
enum class Alpha { kNone, kUnassociated, kAssociated };

struct Layout {
    std::uint32_t width = 0, height = 0;
    int bits = 0;
    int samples = 0;    // a pixel's samples, colour and extra
    int channels = 0;   // colour samples: 1, 3 or 4
    bool planar = false;
    Colour colour = Colour::kMinIsBlack;
    Alpha alpha = Alpha::kNone;
    int alphaSample = -1;
    bool compressed = false;
    bool tiled = false;
    std::uint32_t blockWidth = 0, blockHeight = 0;  // a tile, or a strip (the picture's width)
    std::uint64_t blockRowBytes = 0;                // a row of one plane of a block
    std::array<std::vector<std::uint16_t>, 3> palette;  // red, green, blue at 16 bits
    Orientation orientation = Orientation::kNormal;
    Resolution resolution;  // as stored
    // Without alpha, gray, RGB and palette samples show through a table:
    // the 8-bit level of each sample value (gray, RGB), or the blue, green,
    // red of each index (palette).
    std::vector<std::uint8_t> shown;
};

std::uint16_t Field16(TIFF* tif, ttag_t tag, std::uint16_t fallback) {
    std::uint16_t value = fallback;
    if (TIFFGetFieldDefaulted(tif, tag, &value) != 1) return fallback;
    return value;
}

bool SupportedCompression(std::uint16_t compression) {
    switch (compression) {
    case COMPRESSION_NONE:
    case COMPRESSION_LZW:
    case COMPRESSION_ADOBE_DEFLATE:
    case COMPRESSION_DEFLATE:
    case COMPRESSION_PACKBITS:
    case COMPRESSION_CCITTRLE:
    case COMPRESSION_CCITTFAX3:
    case COMPRESSION_CCITTFAX4:
    case COMPRESSION_JPEG: return true;
    default: return false;
    }
}

// A tile this many bytes (all planes) or smaller is always taken; a larger
// one must not be more than 16 pixels past the picture each way.
constexpr std::uint64_t kSmallTileBytes = std::uint64_t{4} << 20;

Layout Inspect(TIFF* tif, TiffState& state, std::uint64_t maxPixels) {
    Layout layout;
    std::uint32_t width = 0, height = 0;
    if (TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &width) != 1 || TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &height) != 1)
        Damaged("the page has no size");
    if (width == 0 || height == 0) Damaged("the picture has no pixels");
    if (std::uint64_t{width} * height > maxPixels || width > std::numeric_limits<int>::max() ||
        height > std::numeric_limits<int>::max())
        throw DecodeError(Kind::kTooLarge, "", width, height);
    layout.width = width;
    layout.height = height;

    const std::uint16_t orientation = Field16(tif, TIFFTAG_ORIENTATION, ORIENTATION_TOPLEFT);
    if (orientation >= 1 && orientation <= 8) layout.orientation = static_cast<Orientation>(orientation);

    // XResolution and YResolution (RATIONAL, which libtiff gives as float)
    // in the ResolutionUnit, inch when the tag is missing; unit 1 (none)
    // gives an aspect ratio only.
    float across = 0, down = 0;
    if (TIFFGetField(tif, TIFFTAG_XRESOLUTION, &across) == 1 && TIFFGetField(tif, TIFFTAG_YRESOLUTION, &down) == 1) {
        const std::uint16_t unit = Field16(tif, TIFFTAG_RESOLUTIONUNIT, RESUNIT_INCH);
        if (unit == RESUNIT_INCH || unit == RESUNIT_CENTIMETER)
            layout.resolution = PerMetre(across, down, unit == RESUNIT_INCH ? ResolutionUnit::kInch : ResolutionUnit::kCentimetre);
    }

    const std::uint16_t compression = Field16(tif, TIFFTAG_COMPRESSION, COMPRESSION_NONE);
    if (!SupportedCompression(compression) || TIFFIsCODECConfigured(compression) == 0)
        Unsupported("tiff compression " + std::to_string(compression) + " is not one this program reads");
    layout.compressed = compression != COMPRESSION_NONE;

    layout.bits = Field16(tif, TIFFTAG_BITSPERSAMPLE, 1);
    layout.samples = Field16(tif, TIFFTAG_SAMPLESPERPIXEL, 1);
    const int format = Field16(tif, TIFFTAG_SAMPLEFORMAT, SAMPLEFORMAT_UINT);
    if (format != SAMPLEFORMAT_UINT && format != SAMPLEFORMAT_VOID)
        Unsupported("tiff samples that are signed or floating-point are not read by this program");
    if (layout.bits != 1 && layout.bits != 2 && layout.bits != 4 && layout.bits != 8 && layout.bits != 16)
        Unsupported("tiff samples of " + std::to_string(layout.bits) + " bits are not read by this program");
    if (layout.samples < 1 || layout.samples > kMaxTiffSamples)
        Unsupported("tiff pixels of " + std::to_string(layout.samples) + " samples are not read by this program");
    layout.planar = Field16(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG) == PLANARCONFIG_SEPARATE;
    // Only LZW and Deflate have the Predictor tag; libtiff cannot be asked
    // for it under other codecs.
    const bool predicts =
        compression == COMPRESSION_LZW || compression == COMPRESSION_ADOBE_DEFLATE || compression == COMPRESSION_DEFLATE;
    const int predictor = predicts ? Field16(tif, TIFFTAG_PREDICTOR, PREDICTOR_NONE) : PREDICTOR_NONE;
    if (predictor != PREDICTOR_NONE && !(predictor == PREDICTOR_HORIZONTAL && layout.bits >= 8))
        Unsupported("tiff prediction " + std::to_string(predictor) + " is not read for " + std::to_string(layout.bits) +
                    "-bit samples");

    std::uint16_t photometric = 0;
    if (TIFFGetField(tif, TIFFTAG_PHOTOMETRIC, &photometric) != 1) Damaged("the page has no photometric tag");
    switch (photometric) {
    case PHOTOMETRIC_MINISBLACK: layout.colour = Colour::kMinIsBlack, layout.channels = 1; break;
    case PHOTOMETRIC_MINISWHITE: layout.colour = Colour::kMinIsWhite, layout.channels = 1; break;
    case PHOTOMETRIC_RGB: layout.colour = Colour::kRgb, layout.channels = 3; break;
    case PHOTOMETRIC_PALETTE: layout.colour = Colour::kPalette, layout.channels = 1; break;
    case PHOTOMETRIC_SEPARATED:
        if (Field16(tif, TIFFTAG_INKSET, INKSET_CMYK) != INKSET_CMYK)
            Unsupported("tiff inks other than cmyk are not read by this program");
        layout.colour = Colour::kCmyk, layout.channels = 4;
        break;
    case PHOTOMETRIC_YCBCR:
        if (compression != COMPRESSION_JPEG || layout.planar)
            Unsupported("tiff ycbcr is read only when it is jpeg-compressed with interleaved samples");
        // libjpeg converts to RGB and undoes the subsampling.
        if (TIFFSetField(tif, TIFFTAG_JPEGCOLORMODE, JPEGCOLORMODE_RGB) != 1) Check(state);
        layout.colour = Colour::kRgb, layout.channels = 3;
        break;
    default: Unsupported("tiff photometric " + std::to_string(photometric) + " is not read by this program");
    }
    if (compression == COMPRESSION_JPEG && layout.bits != 8)
        Unsupported("jpeg-compressed tiff of " + std::to_string(layout.bits) + "-bit samples is not read by this program");
    if (layout.samples < layout.channels) Damaged("the pixels have fewer samples than their colour needs");

    std::uint16_t extraCount = 0;
    std::uint16_t* extraKinds = nullptr;
    if (TIFFGetField(tif, TIFFTAG_EXTRASAMPLES, &extraCount, &extraKinds) == 1 && extraKinds != nullptr) {
        for (int i = 0; i < extraCount && layout.channels + i < layout.samples; ++i) {
            if (extraKinds[i] == EXTRASAMPLE_ASSOCALPHA || extraKinds[i] == EXTRASAMPLE_UNASSALPHA) {
                layout.alpha = extraKinds[i] == EXTRASAMPLE_ASSOCALPHA ? Alpha::kAssociated : Alpha::kUnassociated;
                layout.alphaSample = layout.channels + i;
                break;
            }
        }
    }

    if (layout.colour == Colour::kPalette) {
        std::uint16_t *red = nullptr, *green = nullptr, *blue = nullptr;
        if (TIFFGetField(tif, TIFFTAG_COLORMAP, &red, &green, &blue) != 1 || red == nullptr || green == nullptr ||
            blue == nullptr)
            Damaged("the palette picture has no colour map");
        const std::size_t entries = std::size_t{1} << layout.bits;
        bool eightBit = true;
        for (const std::uint16_t* map : {red, green, blue})
            eightBit = eightBit && std::all_of(map, map + entries, [](std::uint16_t v) { return v < 256; });
        const std::uint16_t* maps[3] = {red, green, blue};
        for (int c = 0; c < 3; ++c) {
            layout.palette[c].assign(maps[c], maps[c] + entries);
            if (eightBit)
                for (std::uint16_t& v : layout.palette[c]) v = static_cast<std::uint16_t>(v * 257);
        }
    }

    const std::uint64_t planeSamples = layout.planar ? 1 : static_cast<std::uint64_t>(layout.samples);
    layout.tiled = TIFFIsTiled(tif) != 0;
    if (layout.tiled) {
        std::uint32_t tileWidth = 0, tileHeight = 0;
        if (TIFFGetField(tif, TIFFTAG_TILEWIDTH, &tileWidth) != 1 || TIFFGetField(tif, TIFFTAG_TILELENGTH, &tileHeight) != 1 ||
            tileWidth == 0 || tileHeight == 0)
            Damaged("the tiles have no size");
        layout.blockWidth = tileWidth;
        layout.blockHeight = tileHeight;
    } else {
        std::uint32_t rows = height;
        TIFFGetFieldDefaulted(tif, TIFFTAG_ROWSPERSTRIP, &rows);
        layout.blockWidth = width;
        layout.blockHeight = std::clamp<std::uint32_t>(rows, 1, height);
    }
    layout.blockRowBytes = (std::uint64_t{layout.blockWidth} * planeSamples * static_cast<std::uint64_t>(layout.bits) + 7) / 8;
    // At most 2^32 * 16 * 2 bytes a row and 2^32 rows: worked out in floating
    // point, which cannot overflow here.
    const double blockBytes = static_cast<double>(layout.blockRowBytes) * layout.blockHeight * (layout.planar ? layout.samples : 1);
    if (layout.tiled && blockBytes > static_cast<double>(kSmallTileBytes) &&
        (layout.blockWidth > (std::uint64_t{width} + 15) / 16 * 16 || layout.blockHeight > (std::uint64_t{height} + 15) / 16 * 16))
        Damaged("the tiles are far larger than the picture");
    if (blockBytes > static_cast<double>(std::numeric_limits<std::size_t>::max() / 16))
        throw DecodeError(Kind::kNoMemory, "not enough memory to decode the tiff picture");
    // libtiff's own idea of a block must be the one the pixels are cut from.
    const std::uint64_t libtiffRow = layout.tiled ? TIFFTileRowSize64(tif) : TIFFScanlineSize64(tif);
    Check(state);
    if (libtiffRow != layout.blockRowBytes) Unsupported("a tiff sample layout this program does not read");
    return layout;
}

// ---------------------------------------------------------------------------
// Pixels

// Sample `index` of a row of Bits-bit samples, packed from the high bits.
template <int Bits>
std::uint32_t SampleAt(const std::uint8_t* row, std::size_t index) {
    if constexpr (Bits == 8) {
        return row[index];
    } else if constexpr (Bits == 16) {
        std::uint16_t value;
        std::memcpy(&value, row + 2 * index, 2);
        return value;
    } else {
        const std::size_t bit = index * Bits;
        return (row[bit >> 3] >> (8 - Bits - (bit & 7))) & ((1u << Bits) - 1);
    }
}

constexpr std::uint32_t To8(std::uint32_t value16) { return (value16 * 255 + 32767) / 65535; }

// Where a run of pixels' samples are: sample s of pixel x is sample
// x * step + s * shift of the row at rows[planar ? s : 0].
struct Run {
    const std::uint8_t* const* rows;
    bool planar;
    int samples;
};

// The table of Layout::shown, built once a page.
void BuildShown(Layout& layout) {
    if (layout.alpha != Alpha::kNone || layout.colour == Colour::kCmyk) return;
    const std::uint32_t values = 1u << layout.bits;
    const std::uint32_t unit = 65535 / (values - 1);
    if (layout.colour == Colour::kPalette) {
        layout.shown.resize(3 * std::size_t{values});
        for (std::uint32_t i = 0; i < values; ++i)
            for (int c = 0; c < 3; ++c) layout.shown[3 * i + 2 - c] = static_cast<std::uint8_t>(To8(layout.palette[c][i]));
        return;
    }
    layout.shown.resize(values);
    for (std::uint32_t v = 0; v < values; ++v)
        layout.shown[v] = static_cast<std::uint8_t>(To8(layout.colour == Colour::kMinIsWhite ? 65535 - v * unit : v * unit));
}

template <int Bits>
void Compose(const Layout& layout, const Run& run, std::uint32_t count, std::uint8_t* out) {
    constexpr std::uint32_t kUnit = 65535 / ((1u << Bits) - 1);
    const auto sample = [&](std::uint32_t x, int s) {
        return run.planar ? SampleAt<Bits>(run.rows[s], x) : SampleAt<Bits>(run.rows[0], std::size_t{x} * run.samples + s);
    };
    if (!layout.shown.empty()) {
        const std::uint8_t* shown = layout.shown.data();
        switch (layout.colour) {
        case Colour::kPalette:
            for (std::uint32_t x = 0; x < count; ++x, out += 3) std::memcpy(out, shown + 3 * sample(x, 0), 3);
            return;
        case Colour::kRgb:
            for (std::uint32_t x = 0; x < count; ++x, out += 3) {
                out[0] = shown[sample(x, 2)];
                out[1] = shown[sample(x, 1)];
                out[2] = shown[sample(x, 0)];
            }
            return;
        default:
            for (std::uint32_t x = 0; x < count; ++x, out += 3) out[0] = out[1] = out[2] = shown[sample(x, 0)];
            return;
        }
    }
    for (std::uint32_t x = 0; x < count; ++x, out += 3) {
        std::uint32_t rgb[3] = {};
        switch (layout.colour) {
        case Colour::kMinIsBlack: rgb[0] = rgb[1] = rgb[2] = sample(x, 0) * kUnit; break;
        case Colour::kMinIsWhite: rgb[0] = rgb[1] = rgb[2] = 65535 - sample(x, 0) * kUnit; break;
        case Colour::kRgb:
            for (int c = 0; c < 3; ++c) rgb[c] = sample(x, c) * kUnit;
            break;
        case Colour::kPalette: {
            const std::uint32_t index = sample(x, 0);
            for (int c = 0; c < 3; ++c) rgb[c] = layout.palette[c][index];
            break;
        }
        case Colour::kCmyk: {
            const std::uint32_t black = 65535 - sample(x, 3) * kUnit;
            for (int c = 0; c < 3; ++c)
                rgb[c] = static_cast<std::uint32_t>(
                    (std::uint64_t{65535 - sample(x, c) * kUnit} * black + 32767) / 65535);
            break;
        }
        }
        switch (layout.alpha) {
        case Alpha::kNone:
            for (int c = 0; c < 3; ++c) out[2 - c] = static_cast<std::uint8_t>(To8(rgb[c]));
            break;
        case Alpha::kUnassociated: {
            const std::uint32_t alpha = sample(x, layout.alphaSample) * kUnit;
            for (int c = 0; c < 3; ++c) out[2 - c] = OverWhite16(rgb[c], alpha);
            break;
        }
        case Alpha::kAssociated: {
            const std::uint32_t paper = 65535 - sample(x, layout.alphaSample) * kUnit;
            for (int c = 0; c < 3; ++c) out[2 - c] = static_cast<std::uint8_t>(To8(std::min<std::uint32_t>(65535, rgb[c] + paper)));
            break;
        }
        }
    }
}

void ComposeRun(const Layout& layout, const Run& run, std::uint32_t count, std::uint8_t* out) {
    switch (layout.bits) {
    case 1: return Compose<1>(layout, run, count, out);
    case 2: return Compose<2>(layout, run, count, out);
    case 4: return Compose<4>(layout, run, count, out);
    case 8: return Compose<8>(layout, run, count, out);
    default: return Compose<16>(layout, run, count, out);
    }
}

// Reads one strip or tile's compressed bytes and has libtiff decode them
// into block, which holds rows * blockRowBytes bytes.
class BlockReader {
public:
    BlockReader(TIFF* tif, TiffState& state, const RandomAccess& file) : tif_(tif), state_(state), file_(file) {}

    void Decode(std::uint32_t strile, std::uint8_t* block, std::uint64_t bytes, std::uint32_t rows, bool compressed) {
        int failed = 0;
        const std::uint64_t offset = TIFFGetStrileOffsetWithErr(tif_, strile, &failed);
        const std::uint64_t count = failed ? 0 : TIFFGetStrileByteCountWithErr(tif_, strile, &failed);
        Check(state_);
        if (failed) Damaged("the place of a strip or tile cannot be read");
        if (count == 0) Damaged("a strip or tile has no data");
        if (offset > file_.size || count > file_.size - offset) Damaged("the file ends before the end of the picture");
        // Uncompressed data needs exactly its bytes; a codec never needs
        // more than 8 bytes a decoded byte (Group 3 and 4 on the worst
        // noise take 6), a few bytes a row, and room for tables. Data that
        // runs short is found short by the codec.
        const std::uint64_t limit = compressed ? bytes * 8 + std::uint64_t{rows} * 4 + (64 << 10) : bytes;
        const std::uint64_t take = std::min(count, limit);
        if (take > std::numeric_limits<std::size_t>::max() / 2) throw DecodeError(Kind::kNoMemory, "");
        raw_.resize(static_cast<std::size_t>(take));
        const Reader in(file_);
        in.At(offset, raw_.data(), raw_.size(), "a strip or tile");
        const int decoded = TIFFReadFromUserBuffer(tif_, strile, raw_.data(), static_cast<tmsize_t>(raw_.size()), block,
                                                   static_cast<tmsize_t>(bytes));
        Check(state_);
        if (decoded != 1) Damaged("a strip or tile does not decode");
    }

private:
    TIFF* tif_;
    TiffState& state_;
    const RandomAccess& file_;
    std::vector<std::uint8_t> raw_;
};

// The pixels of a page, a band at a time: a strip, or a row of tiles. It
// holds one decoded block (all its planes) and one block's compressed data.
class BandDecoder {
public:
    BandDecoder(TIFF* tif, TiffState& state, const RandomAccess& file, const Layout& layout)
        : layout_(layout), reader_(tif, state, file) {
        const int planes = layout.planar ? layout.samples : 1;
        // Left as allocated, not cleared: a block costs only what its codec
        // writes, so a file that claims a huge strip and ends early costs little.
        const std::uint64_t blockBytes = layout.blockRowBytes * layout.blockHeight;
        blocks_.resize(static_cast<std::size_t>(planes));
        for (auto& block : blocks_) block.reset(new std::uint8_t[static_cast<std::size_t>(blockBytes)]);
        across_ = (layout.width - 1) / layout.blockWidth + 1;
        down_ = (layout.height - 1) / layout.blockHeight + 1;
        perPlane_ = across_ * down_;
        const std::uint64_t striles = layout.tiled ? TIFFNumberOfTiles(tif) : TIFFNumberOfStrips(tif);
        Check(state);
        if (striles < std::uint64_t{perPlane_} * static_cast<std::uint64_t>(planes))
            Damaged("the page has too few strips or tiles");
        rowPointers_.resize(static_cast<std::size_t>(planes));
        state.phase = Phase::kPixels;
    }

    // Band by (top to bottom) into rows, which start at the band's first
    // picture row and hold its rows.
    void Decode(std::uint32_t by, const ops::RowView& rows) {
        const int planes = static_cast<int>(blocks_.size());
        const Run run{rowPointers_.data(), layout_.planar, layout_.samples};
        const std::uint32_t top = by * layout_.blockHeight;
        const std::uint32_t height = std::min(layout_.blockHeight, layout_.height - top);
        // A strip holds only the picture's rows; a tile always holds its own.
        const std::uint32_t decodedRows = layout_.tiled ? layout_.blockHeight : height;
        for (std::uint32_t bx = 0; bx < across_; ++bx) {
            const std::uint32_t left = bx * layout_.blockWidth;
            const std::uint32_t width = std::min(layout_.blockWidth, layout_.width - left);
            for (int p = 0; p < planes; ++p)
                reader_.Decode(static_cast<std::uint32_t>(p) * perPlane_ + by * across_ + bx, blocks_[p].get(),
                               layout_.blockRowBytes * decodedRows, decodedRows, layout_.compressed);
            for (std::uint32_t y = 0; y < height; ++y) {
                for (int p = 0; p < planes; ++p) rowPointers_[p] = blocks_[p].get() + layout_.blockRowBytes * y;
                ComposeRun(layout_, run, width, rows.row(static_cast<int>(y)) + 3 * std::size_t{left});
            }
        }
    }

private:
    const Layout& layout_;
    BlockReader reader_;
    std::vector<std::unique_ptr<std::uint8_t[]>> blocks_;
    std::vector<const std::uint8_t*> rowPointers_;
    std::uint32_t across_ = 0, down_ = 0, perPlane_ = 0;
};

std::unique_ptr<TIFF, CloseTiff> Open(TiffState& state) {
    std::unique_ptr<TIFFOpenOptions, FreeOptions> options(TIFFOpenOptionsAlloc());
    if (!options) throw DecodeError(Kind::kNoMemory, "not enough memory for the tiff decoder");
    TIFFOpenOptionsSetMaxSingleMemAlloc(options.get(), static_cast<tmsize_t>(kTiffLibraryMemory));
    TIFFOpenOptionsSetErrorHandlerExtR(options.get(), OnTiffError, &state);
    TIFFOpenOptionsSetWarningHandlerExtR(options.get(), OnTiffWarning, &state);
    // "m": no memory mapping (there is no file to map); "O": strip and tile
    // offsets are read when needed, never whole arrays of them.
    std::unique_ptr<TIFF, CloseTiff> tif(TIFFClientOpenExt("tiff", "rmO", &state, OnRead, OnWrite, OnSeek, OnClose,
                                                           OnSize, OnMap, OnUnmap, options.get()));
    if (!tif) DirectoryFailed(state);
    return tif;
}

}  // namespace

bool LooksLikeTiff(std::span<const std::uint8_t> first) {
    if (first.size() < 4) return false;
    return (first[0] == 'I' && first[1] == 'I' && (first[2] == 42 || first[2] == 43) && first[3] == 0) ||
           (first[0] == 'M' && first[1] == 'M' && first[2] == 0 && (first[3] == 42 || first[3] == 43));
}

std::uint32_t CountTiffPages(const RandomAccess& file) {
    Header header;
    return static_cast<std::uint32_t>(WalkDirectories(file, header).size());
}

struct TiffRowDecoder::State {
    RandomAccess file;
    TiffState tiff;
    std::unique_ptr<TIFF, CloseTiff> tif;
    Layout layout;
    std::unique_ptr<BandDecoder> bands;  // from the first band on
    std::uint32_t nextBand = 0;
    std::uint32_t pages = 0;
    std::exception_ptr failure;  // the first failure, thrown again by every later call
};

namespace {

// Runs a step of the decode, with the state's messages going to it; what
// the file's reads threw comes back as itself, whatever it led to, and
// memory that runs out is reported as such.
template <class Step>
void Guarded(TiffState& state, Step step) {
    const ActiveState active(state);
    try {
        step();
    } catch (const std::bad_alloc&) {
        state.kept.Rethrow();
        throw DecodeError(Kind::kNoMemory, "not enough memory to decode the tiff picture");
    } catch (...) {
        state.kept.Rethrow();
        throw;
    }
}

}  // namespace

TiffRowDecoder::TiffRowDecoder(RandomAccess file, std::uint64_t maxPixels, std::uint32_t page)
    : state_(std::make_unique<State>()) {
    State& s = *state_;
    s.file = std::move(file);
    Header header;
    const std::vector<std::uint64_t> directories = WalkDirectories(s.file, header);
    s.pages = static_cast<std::uint32_t>(directories.size());
    if (page >= directories.size()) throw NoSuchPage(s.pages);
    const auto [width, height] = DeclaredSides(s.file, header, directories[page]);
    if (width > 0xffffffffu || height > 0xffffffffu || width * height > maxPixels)
        throw DecodeError(Kind::kTooLarge, "", width, height);
    QuietLibtiff();
    s.tiff.file = &s.file;
    // What the file's reads threw comes back as itself, whatever it led to.
    const ActiveState active(s.tiff);
    try {
        s.tif = Open(s.tiff);
        if (page > 0) {
            if (TIFFSetDirectory(s.tif.get(), static_cast<tdir_t>(page)) != 1) DirectoryFailed(s.tiff);
        }
        s.tiff.phase = Phase::kLayout;
        s.layout = Inspect(s.tif.get(), s.tiff, maxPixels);
        BuildShown(s.layout);
    } catch (...) {
        s.tiff.kept.Rethrow();
        throw;
    }
}

TiffRowDecoder::~TiffRowDecoder() {
    // libtiff may report as it closes; the messages go to this decode.
    const ActiveState active(state_->tiff);
    state_->bands.reset();
    state_->tif.reset();
}

std::uint64_t TiffRowDecoder::width() const { return state_->layout.width; }
std::uint64_t TiffRowDecoder::height() const { return state_->layout.height; }
Orientation TiffRowDecoder::orientation() const { return state_->layout.orientation; }
Resolution TiffRowDecoder::resolution() const { return state_->layout.resolution; }
std::uint32_t TiffRowDecoder::pages() const { return state_->pages; }
std::uint32_t TiffRowDecoder::bandHeight() const { return state_->layout.blockHeight; }

std::uint64_t TiffRowDecoder::bandBytes() const {
    const Layout& layout = state_->layout;
    const std::uint64_t planes = layout.planar ? static_cast<std::uint64_t>(layout.samples) : 1;
    const std::uint64_t block = layout.blockRowBytes * layout.blockHeight;
    // The decoded block of every plane, the compressed data of one block
    // (counted as large as decoded: the codecs read here rarely need more,
    // and however much a strip's byte count claims, what is read is bounded
    // as BlockReader says), and the band's 24-bit rows.
    return (planes + 1) * block + 3 * std::uint64_t{layout.width} * layout.blockHeight;
}

std::uint32_t TiffRowDecoder::ReadBand(const ops::RowView& rows) {
    State& s = *state_;
    if (s.failure) std::rethrow_exception(s.failure);
    const std::uint32_t top = s.nextBand * s.layout.blockHeight;
    if (top >= s.layout.height) throw std::logic_error("no next band to read of the tiff picture");
    const std::uint32_t count = std::min(s.layout.blockHeight, s.layout.height - top);
    if (static_cast<std::uint64_t>(rows.width) != s.layout.width || static_cast<std::uint32_t>(rows.height) < count)
        throw std::logic_error("the rows given do not fit the tiff band");
    try {
        Guarded(s.tiff, [&] {
            if (!s.bands) s.bands = std::make_unique<BandDecoder>(s.tif.get(), s.tiff, s.file, s.layout);
            s.bands->Decode(s.nextBand, rows);
        });
    } catch (...) {
        s.failure = std::current_exception();
        throw;
    }
    ++s.nextBand;
    return count;
}

DeclaredSize DecodeTiff(const RandomAccess& file, const AllocateRows& allocate, std::uint64_t maxPixels,
                        std::uint32_t page) {
    TiffRowDecoder decoder(file, maxPixels, page);
    const ops::RowView rows = AllocateFitting(allocate, static_cast<int>(decoder.width()), static_cast<int>(decoder.height()));
    for (int top = 0; top < rows.height;) {
        const ops::RowView band{rows.row(top), rows.width, rows.height - top, rows.stride};
        top += static_cast<int>(decoder.ReadBand(band));
    }
    return {decoder.width(), decoder.height(), decoder.orientation(), decoder.resolution()};
}

}  // namespace codec
