#include "codec/png.h"

#include <png.h>
#include <zlib.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "codec/bytes.h"
#include "codec/exif.h"
#include "codec/library_io.h"

namespace codec {
namespace {

// The longest chunk libpng accepts: the format's own maximum. libpng checks
// every chunk's length against this, skipped ones too, so anything less
// would refuse valid files with large metadata; the chunks it does keep
// (PLTE, tRNS) have their own small limits, and image data is streamed.
constexpr png_alloc_size_t kMaxChunkBytes = PNG_UINT_31_MAX;

// Ancillary chunks libpng knows and would otherwise read (and for zTXt,
// iTXt and iCCP decompress). None of them changes the pixels shown, so
// libpng skips them unread; eXIf, and the text chunk of ImageMagick's raw
// EXIF profile, are read on their way past (ExifWatch), not through libpng.
// tRNS is not in the list: it decides transparent pixels; nor is pHYs,
// whose nine bytes give the resolution.
constexpr png_byte kSkippedChunks[] =
    "bKGD\0cHRM\0eXIf\0gAMA\0hIST\0iCCP\0iTXt\0oFFs\0pCAL\0sBIT\0sCAL\0sPLT\0sTER\0sRGB\0tEXt\0tIME\0zTXt";
constexpr int kSkippedChunkCount = 17;

// The most of an eXIf chunk kept for its orientation: the first image
// directory, where the tag lies, comes first in any EXIF block.
constexpr std::size_t kMaxExifBytes = 64 * 1024;

// ImageMagick writes a picture's EXIF block as hex text (see
// RawProfileExifOrientation in codec/exif.h) into a tEXt, zTXt or iTXt
// chunk of this keyword, followed by the zero that ends a keyword. The most
// of such a chunk's data kept, and of its text once inflated: room for the
// hex of the first kMaxRawProfileBlockBytes of the block, its line breaks
// and the lines before it.
constexpr std::string_view kRawExifKey("Raw profile type exif\0", 22);
constexpr std::size_t kMaxProfileBytes = 4 * kMaxRawProfileBlockBytes;

bool IsTextChunk(const std::uint8_t* type) {
    return std::memcmp(type, "tEXt", 4) == 0 || std::memcmp(type, "zTXt", 4) == 0 || std::memcmp(type, "iTXt", 4) == 0;
}

// Up to `most` bytes of the zlib stream's inflated data; nothing for data
// that is not a zlib stream. A stream cut short gives what it holds.
std::optional<std::string> Inflated(std::span<const std::uint8_t> data, std::size_t most) {
    z_stream stream{};
    if (inflateInit(&stream) != Z_OK) return std::nullopt;
    std::string text(most, '\0');
    stream.next_in = const_cast<Bytef*>(data.data());
    stream.avail_in = static_cast<uInt>(data.size());
    stream.next_out = reinterpret_cast<Bytef*>(text.data());
    stream.avail_out = static_cast<uInt>(text.size());
    const int status = inflate(&stream, Z_FINISH);
    text.resize(text.size() - stream.avail_out);
    inflateEnd(&stream);
    if (status != Z_STREAM_END && status != Z_BUF_ERROR) return std::nullopt;
    return text;
}

// The orientation a text chunk gives, from its type and the first
// kMaxProfileBytes of its data, when it holds ImageMagick's raw EXIF
// profile: kNormal when that is damaged (zTXt or iTXt data that does not
// inflate, an unknown compression method). Nothing for any other chunk.
std::optional<Orientation> RawProfileOrientation(const std::uint8_t* type, std::span<const std::uint8_t> data) {
    if (data.size() < kRawExifKey.size() || std::memcmp(data.data(), kRawExifKey.data(), kRawExifKey.size()) != 0)
        return std::nullopt;
    data = data.subspan(kRawExifKey.size());
    bool compressed = false;
    if (std::memcmp(type, "zTXt", 4) == 0) {
        // The compression method (0, zlib), then the compressed text.
        if (data.empty() || data[0] != 0) return Orientation::kNormal;
        data = data.subspan(1);
        compressed = true;
    } else if (std::memcmp(type, "iTXt", 4) == 0) {
        // The compression flag and method, the language tag and the
        // translated keyword (each ended by a zero), then the text.
        if (data.size() < 2 || data[0] > 1 || (data[0] == 1 && data[1] != 0)) return Orientation::kNormal;
        compressed = data[0] == 1;
        data = data.subspan(2);
        for (int field = 0; field < 2; ++field) {
            const auto end = std::find(data.begin(), data.end(), std::uint8_t{0});
            if (end == data.end()) return Orientation::kNormal;
            data = data.subspan(static_cast<std::size_t>(end - data.begin()) + 1);
        }
    }
    if (!compressed)
        return RawProfileExifOrientation(std::string_view(reinterpret_cast<const char*>(data.data()), data.size()));
    const std::optional<std::string> text = Inflated(data, kMaxProfileBytes);
    return text ? RawProfileExifOrientation(*text) : Orientation::kNormal;
}

// libpng's warnings that lose no pixel, and its benign errors that do not
// (set to come as warnings), by the chunk libpng names before the message
// ("" for none) and the message without the dots some start with. Every
// other warning, or benign error, is damage.
struct Harmless {
    std::string_view chunk;
    std::string_view message;
    const char* why;
};

constexpr Harmless kHarmless[] = {
    {"tRNS", "invalid",
     "a tRNS chunk of the wrong length for the colour type, or longer than the palette: libpng drops it "
     "and every pixel shows opaque, as stored"},
    {"tRNS", "invalid with alpha channel", "tRNS where the pixels have alpha: dropped, the alpha decides"},
    {"tRNS", "out of place", "tRNS after the image data or before the palette: dropped, pixels show opaque"},
    {"tRNS", "duplicate", "a second tRNS chunk: dropped, the first one decides"},
    {"", "tRNS chunk has out-of-range samples for bit_depth",
     "a transparent colour no sample can have: no pixel is transparent (the decoder drops the chunk, "
     "where libpng would take the colour's low bits)"},
    {"pHYs", "invalid", "a pHYs chunk of the wrong length: dropped, the picture declares no resolution"},
    {"pHYs", "out of place", "pHYs after the image data: dropped, the resolution is the one before it or none"},
    {"pHYs", "duplicate", "a second pHYs chunk: dropped, the first one decides"},
    {"IDAT", "Extra compressed data", "bytes after the end of the compressed image: never part of a pixel"},
    {"IDAT", "Too much image data", "the compressed image holds more than the picture's rows: the excess is dropped"},
    {"IDAT", "Too many IDATs found", "image data chunks after the image is complete: skipped"},
};

bool LosesPixels(std::string_view text) {
    std::string_view chunk;
    if (text.size() > 6 && text.substr(4, 2) == ": ") {
        chunk = text.substr(0, 4);
        text.remove_prefix(6);
    }
    while (!text.empty() && text.front() == '.') text.remove_prefix(1);
    for (const Harmless& harmless : kHarmless)
        if (harmless.chunk == chunk && harmless.message == text) return false;
    return true;
}

// Follows the chunks in the bytes handed to libpng, to keep the start of
// the first eXIf chunk's data as it passes, and the orientation of the
// first text chunk of ImageMagick's raw EXIF profile; libpng itself skips
// these chunks (checking their CRC, so a damaged one fails the decode).
class ExifWatch {
public:
    explicit ExifWatch(std::uint8_t* keep) : keep_(keep) {}

    void See(const std::uint8_t* bytes, std::size_t size) {
        while (size > 0 && !done_) {
            if (left_ > 0) {  // signature, chunk data or CRC
                const std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(left_, size));
                if (inData_) Keep(bytes, take);
                bytes += take;
                size -= take;
                left_ -= take;
                if (left_ > 0) break;
                if (inData_) {
                    EndOfData();
                } else if (inExif_) {
                    done_ = true;
                }
                continue;
            }
            header_[headerBytes_++] = *bytes++;
            --size;
            if (headerBytes_ < sizeof header_) continue;
            headerBytes_ = 0;
            inExif_ = std::memcmp(header_ + 4, "eXIf", 4) == 0;
            inText_ = !profile_ && IsTextChunk(header_ + 4);
            inData_ = true;
            left_ = Be32(header_);
            if (left_ == 0) EndOfData();
        }
    }

    // The orientation of the first eXIf chunk, once all of it has passed;
    // else that of the first raw EXIF profile that has passed; else kNormal.
    Orientation orientation() const {
        if (done_) return ExifOrientation(std::span<const std::uint8_t>(keep_, kept_));
        return profile_.value_or(Orientation::kNormal);
    }

private:
    void Keep(const std::uint8_t* bytes, std::size_t count) {
        if (inExif_ && kept_ < kMaxExifBytes) {
            const std::size_t keep = std::min(count, kMaxExifBytes - kept_);
            std::memcpy(keep_ + kept_, bytes, keep);
            kept_ += keep;
        }
        if (inText_) {
            const std::size_t keep = std::min(count, kMaxProfileBytes - text_.size());
            text_.insert(text_.end(), bytes, bytes + keep);
            // Any other text chunk is let pass as soon as its keyword differs.
            const std::size_t known = std::min(text_.size(), kRawExifKey.size());
            if (std::memcmp(text_.data(), kRawExifKey.data(), known) != 0) {
                inText_ = false;
                text_.clear();
            }
        }
    }

    void EndOfData() {
        inData_ = false;
        left_ = 4;  // the CRC
        if (inText_) profile_ = RawProfileOrientation(header_ + 4, text_);
        inText_ = false;
        text_ = {};
    }

    std::uint8_t* keep_;         // kMaxExifBytes
    std::uint64_t left_ = 8;     // bytes still to pass of the signature, a chunk's data or its CRC
    std::uint8_t header_[8] = {};  // a chunk's length and type
    std::size_t headerBytes_ = 0;
    bool inData_ = false;
    bool inExif_ = false;
    bool inText_ = false;  // a text chunk that may be the raw EXIF profile
    bool done_ = false;
    std::size_t kept_ = 0;
    std::vector<std::uint8_t> text_;  // the data of that text chunk so far
    std::optional<Orientation> profile_;
};

enum class Outcome { kDone, kFailed, kTooLarge };

// Everything the C callbacks share with the decoder. It lives on the heap,
// owned by a PngRowDecoder, outside the frames that call setjmp.
struct PngState {
    ByteSource source;
    png_structp png = nullptr;
    png_infop info = nullptr;
    KeptError kept;  // from source, thrown again once libpng has returned
    std::uint64_t maxPixels = 0;
    std::uint64_t position = 0;  // bytes of the file given to libpng
    bool sizeChecked = false;
    bool tooLarge = false;
    bool endOfFile = false;
    int paletteSize = 0;
    std::uint8_t palette[256][3] = {};  // blue, green, red, laid over white where tRNS makes them transparent
    ExifWatch* exif = nullptr;
    bool outOfMemory = false;
    bool damaged = false;
    char message[160] = {};
    std::uint64_t width = 0;
    std::uint64_t height = 0;
    int passes = 1;
    Resolution resolution;  // from pHYs, when its unit is the metre
};

void Remember(PngState& state, const char* text) {
    if (state.message[0] != '\0' || text == nullptr) return;
    std::strncpy(state.message, text, sizeof state.message - 1);
}

extern "C" void OnPngError(png_structp png, png_const_charp text) {
    Remember(*static_cast<PngState*>(png_get_error_ptr(png)), text);
    png_longjmp(png, 1);
}

// A warning means libpng met something outside the format's rules and went
// on. One that loses pixels fails the decode once the library is back in a
// safe state; one that loses none (kHarmless) is passed over.
extern "C" void OnPngWarning(png_structp png, png_const_charp text) {
    auto& state = *static_cast<PngState*>(png_get_error_ptr(png));
    if (text != nullptr && !LosesPixels(text)) return;
    state.damaged = true;
    Remember(state, text);
}

extern "C" png_voidp OnPngMalloc(png_structp png, png_alloc_size_t size) {
    void* block = std::malloc(size);
    if (block == nullptr) static_cast<PngState*>(png_get_mem_ptr(png))->outOfMemory = true;
    return block;
}

extern "C" void OnPngFree(png_structp, png_voidp block) { std::free(block); }

// The signature and IHDR take the first 33 bytes; libpng has checked IHDR
// before it asks for more, so the size is refused there, before anything
// else in the file is read.
constexpr std::uint64_t kHeaderBytes = 33;

extern "C" void OnPngRead(png_structp png, png_bytep buffer, size_t size) {
    auto& state = *static_cast<PngState*>(png_get_io_ptr(png));
    if (!state.sizeChecked && state.position >= kHeaderBytes) {
        state.sizeChecked = true;
        state.width = png_get_image_width(png, state.info);
        state.height = png_get_image_height(png, state.info);
        if (state.width == 0 || state.height == 0) png_error(png, "the picture has no pixels");
        if (state.width * state.height > state.maxPixels) {
            state.tooLarge = true;
            png_error(png, "too large");
        }
    }
    state.position += size;
    const std::optional<std::size_t> done =
        ReadKeepingError(state.source, buffer, size, state.kept,
                         [&state](const std::uint8_t* piece, std::size_t count) { state.exif->See(piece, count); });
    if (done && *done < size) state.endOfFile = true;
    if (!done || *done < size) png_error(png, "the file ends early");
}

// Palette indices (one byte each after png_set_packing) to blue, green, red,
// from the last pixel back so the row can grow in place. An index past the
// palette is damage: there is no colour to show.
extern "C" void ExpandPalette(png_structp png, png_row_infop row, png_bytep data) {
    auto& state = *static_cast<PngState*>(png_get_user_transform_ptr(png));
    if (row->bit_depth != 8 || row->channels != 1) png_error(png, "unexpected palette row layout");
    for (png_uint_32 x = row->width; x-- > 0;) {
        const unsigned index = data[x];
        if (index >= static_cast<unsigned>(state.paletteSize)) png_error(png, "a pixel's palette index is past the palette");
        std::memcpy(data + 3 * std::size_t{x}, state.palette[index], 3);
    }
    row->color_type = PNG_COLOR_TYPE_RGB;
    row->channels = 3;
    row->pixel_depth = 24;
    row->rowbytes = 3 * std::size_t{row->width};
}

// Colour rows with alpha (RGBA, 8 or 16 bits a sample, as libpng gives
// them after expanding gray and tRNS) laid over white paper into blue,
// green, red, in place, from the first pixel on: pixel x's three bytes end
// before pixel x + 1 begins. 16-bit samples are laid over white before they
// are reduced to 8 bits, rounded once.
extern "C" void LayOverWhite(png_structp png, png_row_infop row, png_bytep data) {
    if (row->channels != 4 || (row->bit_depth != 8 && row->bit_depth != 16))
        png_error(png, "unexpected row layout with alpha");
    std::uint8_t* out = data;
    if (row->bit_depth == 8) {
        for (png_uint_32 x = 0; x < row->width; ++x, data += 4, out += 3) {
            const std::uint32_t red = data[0], green = data[1], blue = data[2], alpha = data[3];
            out[0] = OverWhite(blue, alpha);
            out[1] = OverWhite(green, alpha);
            out[2] = OverWhite(red, alpha);
        }
    } else {
        for (png_uint_32 x = 0; x < row->width; ++x, data += 8, out += 3) {
            const std::uint32_t red = Be16(data), green = Be16(data + 2), blue = Be16(data + 4), alpha = Be16(data + 6);
            out[0] = OverWhite16(blue, alpha);
            out[1] = OverWhite16(green, alpha);
            out[2] = OverWhite16(red, alpha);
        }
    }
    row->color_type = PNG_COLOR_TYPE_RGB;
    row->channels = 3;
    row->bit_depth = 8;
    row->pixel_depth = 24;
    row->rowbytes = 3 * std::size_t{row->width};
}

// True when a gray or colour picture's tRNS colour is one its samples can
// have; libpng would otherwise match only the colour's low bits.
bool TransparentColourInRange(const png_color_16& colour, int colorType, int depth) {
    if (depth >= 16) return true;
    const unsigned most = (1u << depth) - 1;
    if (colorType == PNG_COLOR_TYPE_GRAY) return colour.gray <= most;
    return colour.red <= most && colour.green <= most && colour.blue <= most;
}

// The functions that run libpng: nothing in them has a destructor, so the
// jump back from an error skips no cleanup; the structs are freed by their
// owner on every path.

// Reads the chunks up to the image data and sets up the transforms that
// make 8-bit blue, green, red of every variant.
Outcome Header(PngState& state, std::uint64_t maxPixels) {
    png_structp png = state.png;
    png_infop info = state.info;
    if (setjmp(png_jmpbuf(png))) return Outcome::kFailed;

    png_set_benign_errors(png, 1);  // as warnings, which OnPngWarning sorts
    png_set_check_for_invalid_index(png, 1);
    png_set_user_limits(png, PNG_UINT_31_MAX, PNG_UINT_31_MAX);  // the pixel limit below decides
    png_set_chunk_malloc_max(png, kMaxChunkBytes);
    png_set_chunk_cache_max(png, 1);
    png_set_keep_unknown_chunks(png, PNG_HANDLE_CHUNK_NEVER, nullptr, 0);
    png_set_keep_unknown_chunks(png, PNG_HANDLE_CHUNK_NEVER, kSkippedChunks, kSkippedChunkCount);
    png_set_read_fn(png, &state, OnPngRead);

    state.maxPixels = maxPixels;
    png_read_info(png, info);
    png_uint_32 width = 0, height = 0;
    int depth = 0, colorType = 0, interlace = 0;
    png_get_IHDR(png, info, &width, &height, &depth, &colorType, &interlace, nullptr, nullptr);
    if (width == 0 || height == 0) png_error(png, "the picture has no pixels");
    state.width = width;
    state.height = height;
    if (std::uint64_t{width} * height > maxPixels) return Outcome::kTooLarge;
    if (state.damaged) return Outcome::kFailed;

    // pHYs stands before the image data; unit 0 gives an aspect ratio only.
    png_uint_32 across = 0, down = 0;
    int unit = PNG_RESOLUTION_UNKNOWN;
    if (png_get_pHYs(png, info, &across, &down, &unit) != 0 && unit == PNG_RESOLUTION_METER)
        state.resolution = PerMetre(across, down, ResolutionUnit::kMetre);

    png_bytep transAlpha = nullptr;
    int transCount = 0;
    png_color_16p transColor = nullptr;
    const bool trns = png_get_tRNS(png, info, &transAlpha, &transCount, &transColor) != 0;

    if (colorType == PNG_COLOR_TYPE_PALETTE) {
        png_colorp entries = nullptr;
        int count = 0;
        if (png_get_PLTE(png, info, &entries, &count) == 0 || count <= 0 || count > 256)
            png_error(png, "the palette is missing");
        state.paletteSize = count;
        for (int i = 0; i < count; ++i) {
            const std::uint32_t alpha = trns && transAlpha != nullptr && i < transCount ? transAlpha[i] : 255;
            state.palette[i][0] = OverWhite(entries[i].blue, alpha);
            state.palette[i][1] = OverWhite(entries[i].green, alpha);
            state.palette[i][2] = OverWhite(entries[i].red, alpha);
        }
        png_set_packing(png);
        png_set_read_user_transform_fn(png, ExpandPalette);
        png_set_user_transform_info(png, &state, 8, 3);
    } else {
        const bool transparentColour =
            trns && transColor != nullptr && TransparentColourInRange(*transColor, colorType, depth);
        if (transparentColour || (colorType & PNG_COLOR_MASK_ALPHA) != 0) {
            // Gray becomes colour and tRNS an alpha channel; LayOverWhite
            // then makes 8-bit blue, green, red of every row.
            if (transparentColour) png_set_expand(png);
            if ((colorType & PNG_COLOR_MASK_COLOR) == 0) png_set_gray_to_rgb(png);
            png_set_read_user_transform_fn(png, LayOverWhite);
            png_set_user_transform_info(png, &state, 8, 3);
        } else {
            if (colorType == PNG_COLOR_TYPE_GRAY && depth < 8) png_set_expand_gray_1_2_4_to_8(png);
            if (depth == 16) png_set_scale_16(png);
            if ((colorType & PNG_COLOR_MASK_COLOR) == 0) png_set_gray_to_rgb(png);
            png_set_bgr(png);
        }
    }
    const int passes = png_set_interlace_handling(png);
    png_read_update_info(png, info);
    if (png_get_rowbytes(png, info) != 3 * std::size_t{width} || png_get_bit_depth(png, info) != 8)
        png_error(png, "unexpected row layout");
    state.passes = passes;
    return Outcome::kDone;
}

// Every pass of every row, into rows of the picture's size.
Outcome AllRows(PngState& state, const ops::RowView& rows) {
    if (setjmp(png_jmpbuf(state.png))) return Outcome::kFailed;
    for (int pass = 0; pass < state.passes; ++pass)
        for (int y = 0; y < rows.height; ++y) png_read_row(state.png, rows.row(y), nullptr);
    return state.damaged ? Outcome::kFailed : Outcome::kDone;
}

// The next row of a picture that is not interlaced. A warning that loses
// pixels fails the row it came with.
Outcome OneRow(PngState& state, std::uint8_t* row) {
    if (setjmp(png_jmpbuf(state.png))) return Outcome::kFailed;
    png_read_row(state.png, row, nullptr);
    return state.damaged ? Outcome::kFailed : Outcome::kDone;
}

// The chunks after the image data, up to IEND.
Outcome End(PngState& state) {
    if (setjmp(png_jmpbuf(state.png))) return Outcome::kFailed;
    png_read_end(state.png, nullptr);
    return state.damaged ? Outcome::kFailed : Outcome::kDone;
}

std::string Lower(const char* text) {
    std::string result(text);
    for (char& c : result) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return result;
}

}  // namespace

bool LooksLikePng(std::span<const std::uint8_t> first) {
    static constexpr std::uint8_t kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
    return first.size() >= 8 && std::memcmp(first.data(), kSignature, 8) == 0;
}

struct PngRowDecoder::State {
    PngState png;
    std::unique_ptr<std::uint8_t[]> kept = std::make_unique<std::uint8_t[]>(kMaxExifBytes);
    ExifWatch exif{kept.get()};
    bool haveInfo = false;
    std::exception_ptr failure;  // the first failure, thrown again by every later call
    std::uint64_t rowsRead = 0;
    bool finished = false;
};

namespace {

// What a run of libpng that did not end well means, as the exception the
// decoder throws: what the source threw, or a DecodeError.
std::exception_ptr FailureOf(const PngState& state, Outcome outcome, bool haveInfo) {
    if (state.kept) return state.kept.exception();
    using Kind = DecodeError::Kind;
    if (outcome == Outcome::kTooLarge || state.tooLarge)
        return std::make_exception_ptr(DecodeError(Kind::kTooLarge, "", state.width, state.height));
    if (state.outOfMemory || !haveInfo)
        return std::make_exception_ptr(DecodeError(Kind::kNoMemory, "not enough memory to decode the png picture"));
    if (state.endOfFile)
        return std::make_exception_ptr(DecodeError(Kind::kDamaged, "the file ends before the end of the picture"));
    return std::make_exception_ptr(DecodeError(
        Kind::kDamaged, "the png data is damaged" + (state.message[0] != '\0' ? ": " + Lower(state.message) : "")));
}

}  // namespace

PngRowDecoder::PngRowDecoder(ByteSource source, std::uint64_t maxPixels) : state_(std::make_unique<State>()) {
    PngState& png = state_->png;
    png.source = std::move(source);
    png.exif = &state_->exif;
    png.png = png_create_read_struct_2(PNG_LIBPNG_VER_STRING, &png, OnPngError, OnPngWarning, &png, OnPngMalloc,
                                       OnPngFree);
    if (png.png == nullptr) throw DecodeError(DecodeError::Kind::kNoMemory, "not enough memory for the png decoder");
    png.info = png_create_info_struct(png.png);
    state_->haveInfo = png.info != nullptr;
    const Outcome outcome = state_->haveInfo ? Header(png, maxPixels) : Outcome::kFailed;
    if (outcome != Outcome::kDone) {
        const std::exception_ptr failure = FailureOf(png, outcome, state_->haveInfo);
        png_destroy_read_struct(&png.png, state_->haveInfo ? &png.info : nullptr, nullptr);
        std::rethrow_exception(failure);
    }
}

PngRowDecoder::~PngRowDecoder() {
    PngState& png = state_->png;
    png_destroy_read_struct(&png.png, state_->haveInfo ? &png.info : nullptr, nullptr);
}

std::uint64_t PngRowDecoder::width() const { return state_->png.width; }
std::uint64_t PngRowDecoder::height() const { return state_->png.height; }
bool PngRowDecoder::interlaced() const { return state_->png.passes > 1; }
Orientation PngRowDecoder::orientation() const { return state_->exif.orientation(); }
Resolution PngRowDecoder::resolution() const { return state_->png.resolution; }

namespace {

// Keeps the failure of a run of libpng for every later call, and throws it.
void Check(PngRowDecoder::State& state, Outcome outcome) {
    if (outcome == Outcome::kDone) return;
    state.failure = FailureOf(state.png, outcome, true);
    std::rethrow_exception(state.failure);
}

}  // namespace

void PngRowDecoder::ReadRow(std::uint8_t* bgr) {
    if (state_->failure) std::rethrow_exception(state_->failure);
    if (interlaced() || state_->rowsRead >= height())
        throw std::logic_error("no next row to read of the png picture");
    Check(*state_, OneRow(state_->png, bgr));
    ++state_->rowsRead;
}

void PngRowDecoder::ReadAll(const ops::RowView& rows) {
    if (state_->failure) std::rethrow_exception(state_->failure);
    if (state_->rowsRead != 0 || static_cast<std::uint64_t>(rows.width) != width() ||
        static_cast<std::uint64_t>(rows.height) != height())
        throw std::logic_error("the rows given do not fit the png picture");
    Check(*state_, AllRows(state_->png, rows));
    state_->rowsRead = height();
}

void PngRowDecoder::Finish() {
    if (state_->failure) std::rethrow_exception(state_->failure);
    if (state_->rowsRead != height()) throw std::logic_error("the png picture has rows not read yet");
    if (state_->finished) return;
    Check(*state_, End(state_->png));
    state_->finished = true;
}

DeclaredSize DecodePng(const ByteSource& source, const AllocateRows& allocate, std::uint64_t maxPixels) {
    PngRowDecoder decoder([&source](std::uint8_t* buffer, std::size_t size) { return source(buffer, size); }, maxPixels);
    const ops::RowView rows = AllocateFitting(allocate, static_cast<int>(decoder.width()), static_cast<int>(decoder.height()));
    decoder.ReadAll(rows);
    decoder.Finish();
    return {decoder.width(), decoder.height(), decoder.orientation(), decoder.resolution()};
}

namespace {

// A small window on the file, so that walking many short chunks costs one
// read for many of their headers.
class ChunkWalk {
public:
    explicit ChunkWalk(const RandomAccess& file) : file_(file) {}

    // The 8 bytes of length and type of the chunk at offset, or nullptr
    // where the file ends first.
    const std::uint8_t* HeaderAt(std::uint64_t offset) {
        if (offset < base_ || offset + 8 > base_ + filled_) {
            base_ = offset;
            filled_ = ReadUpTo(file_, offset, window_, sizeof window_);
        }
        return offset + 8 <= base_ + filled_ ? window_ + (offset - base_) : nullptr;
    }

private:
    const RandomAccess& file_;
    std::uint8_t window_[4096] = {};
    std::uint64_t base_ = 0;
    std::size_t filled_ = 0;
};

bool IsChunk(const std::uint8_t* header, const char* type) { return std::memcmp(header + 4, type, 4) == 0; }

// Whether the CRC stored after the chunk at offset matches its type and
// data, read through in pieces. A chunk that the file cuts off counts as
// matching: the decoder finds the end of the file itself.
bool CrcHolds(const RandomAccess& file, std::uint64_t offset, std::uint64_t length) {
    const std::uint64_t crcAt = offset + 8 + length;
    std::uint8_t stored[4];
    if (ReadUpTo(file, crcAt, stored, 4) != 4) return true;
    std::vector<std::uint8_t> piece(static_cast<std::size_t>(std::min<std::uint64_t>(length + 4, 64 * 1024)));
    uLong crc = crc32(0, nullptr, 0);
    for (std::uint64_t at = offset + 4; at < crcAt;) {
        const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(piece.size(), crcAt - at));
        if (ReadUpTo(file, at, piece.data(), want) != want) return true;
        crc = crc32(crc, piece.data(), static_cast<uInt>(want));
        at += want;
    }
    return crc == Be32(stored);
}

}  // namespace

Orientation PngOrientationOf(const RandomAccess& file) {
    ChunkWalk walk(file);
    std::optional<Orientation> profile;  // of the first raw EXIF profile
    for (std::uint64_t at = 8;;) {
        const std::uint8_t* header = walk.HeaderAt(at);
        if (header == nullptr || IsChunk(header, "IEND")) return profile.value_or(Orientation::kNormal);
        const std::uint64_t length = Be32(header);
        if (IsChunk(header, "eXIf")) {
            std::vector<std::uint8_t> data(static_cast<std::size_t>(std::min<std::uint64_t>(length, kMaxExifBytes)));
            if (ReadUpTo(file, at + 8, data.data(), data.size()) != data.size()) return Orientation::kNormal;
            return ExifOrientation(data);
        }
        if (!profile && IsTextChunk(header + 4) && length >= kRawExifKey.size()) {
            std::uint8_t type[4];
            std::memcpy(type, header + 4, 4);
            std::vector<std::uint8_t> data(kRawExifKey.size());
            if (ReadUpTo(file, at + 8, data.data(), data.size()) == data.size() &&
                std::memcmp(data.data(), kRawExifKey.data(), kRawExifKey.size()) == 0) {
                data.resize(static_cast<std::size_t>(std::min<std::uint64_t>(length, kMaxProfileBytes)));
                const std::size_t rest = data.size() - kRawExifKey.size();
                if (ReadUpTo(file, at + 8 + kRawExifKey.size(), data.data() + kRawExifKey.size(), rest) == rest)
                    profile = RawProfileOrientation(type, data);
            }
        }
        at += 12 + length;
    }
}

ByteSource PngCheckedSource(RandomAccess file) {
    struct Walk {
        RandomAccess file;
        ChunkWalk chunks{file};
        std::uint64_t position = 0;   // of the next byte handed out
        std::uint64_t nextChunk = 8;  // where the next chunk not yet looked at starts
        bool following = true;        // false past IEND, or where the chunks cannot be followed
    };
    auto walk = std::make_shared<Walk>();
    walk->file = std::move(file);
    return [walk](std::uint8_t* buffer, std::size_t size) -> std::size_t {
        Walk& w = *walk;
        while (w.following && w.nextChunk < w.position + size) {
            const std::uint8_t* header = w.chunks.HeaderAt(w.nextChunk);
            if (header == nullptr) {
                w.following = false;
                break;
            }
            const std::uint64_t length = Be32(header);
            if (IsChunk(header, "IEND")) w.following = false;
            if (IsChunk(header, "IDAT") && !CrcHolds(w.file, w.nextChunk, length))
                throw DecodeError(DecodeError::Kind::kDamaged, "the png data is damaged: idat: crc error");
            w.nextChunk += 12 + length;
        }
        const std::size_t got = ReadUpTo(w.file, w.position, buffer, size);
        w.position += got;
        return got;
    };
}

}  // namespace codec
