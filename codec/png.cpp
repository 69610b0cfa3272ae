#include "codec/png.h"

#include <png.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <stdexcept>
#include <string>

namespace codec {
namespace {

// The longest chunk libpng accepts: the format's own maximum. libpng checks
// every chunk's length against this, skipped ones too, so anything less
// would refuse valid files with large metadata; the chunks it does keep
// (PLTE, tRNS) have their own small limits, and image data is streamed.
constexpr png_alloc_size_t kMaxChunkBytes = PNG_UINT_31_MAX;

// Ancillary chunks libpng knows and would otherwise read (and for zTXt,
// iTXt and iCCP decompress). None of them changes the pixels shown, so
// they are skipped unread. tRNS is not in the list: it decides black pixels
// in gray pictures.
constexpr png_byte kSkippedChunks[] =
    "bKGD\0cHRM\0eXIf\0gAMA\0hIST\0iCCP\0iTXt\0oFFs\0pCAL\0pHYs\0sBIT\0sCAL\0sPLT\0sTER\0sRGB\0tEXt\0tIME\0zTXt";
constexpr int kSkippedChunkCount = 18;

enum class Outcome { kDone, kFailed, kTooLarge };

// Everything the C callbacks share with the decoder. It lives in the frame
// of DecodePng, outside the one that calls setjmp.
struct PngState {
    const ByteSource* source = nullptr;
    const AllocateRows* allocate = nullptr;
    png_structp png = nullptr;
    png_infop info = nullptr;
    ops::RowView rows;
    std::exception_ptr thrown;  // from source or allocate, rethrown after cleanup
    std::uint64_t maxPixels = 0;
    std::uint64_t position = 0;  // bytes of the file given to libpng
    bool sizeChecked = false;
    bool tooLarge = false;
    bool endOfFile = false;
    bool badIndex = false;
    int paletteSize = 0;
    std::uint8_t palette[256][3] = {};  // blue, green, red
    bool outOfMemory = false;
    bool warned = false;
    char message[160] = {};
    std::uint64_t width = 0;
    std::uint64_t height = 0;
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
// on; the decode fails once the library is back in a safe state.
extern "C" void OnPngWarning(png_structp png, png_const_charp text) {
    auto& state = *static_cast<PngState*>(png_get_error_ptr(png));
    state.warned = true;
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
    bool failed = false;
    try {
        while (size > 0) {
            const std::size_t got = (*state.source)(buffer, size);
            if (got == 0) {
                state.endOfFile = true;
                failed = true;
                break;
            }
            if (got > size) throw std::logic_error("the byte source gave more bytes than asked for");
            buffer += got;
            size -= got;
        }
    } catch (...) {
        state.thrown = std::current_exception();
        failed = true;
    }
    if (failed) png_error(png, "the file ends early");
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

// Runs libpng. Nothing here has a destructor, so the jump back from an error
// skips no cleanup; the structs are freed by the caller on every path.
Outcome Run(PngState& state, std::uint64_t maxPixels) {
    png_structp png = state.png;
    png_infop info = state.info;
    if (setjmp(png_jmpbuf(png))) return Outcome::kFailed;

    png_set_benign_errors(png, 0);
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
    if (state.warned) return Outcome::kFailed;

    // In 2/4/8-bit gray the level tRNS marks is shown black.
    png_bytep transAlpha = nullptr;
    int transCount = 0;
    png_color_16p transColor = nullptr;
    const bool grayTrns = colorType == PNG_COLOR_TYPE_GRAY &&
                          png_get_tRNS(png, info, &transAlpha, &transCount, &transColor) != 0 && transColor != nullptr;
    const int blackLevel = grayTrns && depth >= 2 && depth <= 8 ? transColor->gray * 255 / ((1 << depth) - 1) : -1;

    if (colorType == PNG_COLOR_TYPE_PALETTE) {
        png_colorp entries = nullptr;
        int count = 0;
        if (png_get_PLTE(png, info, &entries, &count) == 0 || count <= 0 || count > 256)
            png_error(png, "the palette is missing");
        state.paletteSize = count;
        for (int i = 0; i < count; ++i) {
            state.palette[i][0] = entries[i].blue;
            state.palette[i][1] = entries[i].green;
            state.palette[i][2] = entries[i].red;
        }
        png_set_packing(png);
        png_set_read_user_transform_fn(png, ExpandPalette);
        png_set_user_transform_info(png, &state, 8, 3);
    }
    if (colorType == PNG_COLOR_TYPE_GRAY && depth < 8) png_set_expand_gray_1_2_4_to_8(png);
    if (depth == 16) png_set_scale_16(png);
    png_set_strip_alpha(png);
    if ((colorType & PNG_COLOR_MASK_COLOR) == 0) png_set_gray_to_rgb(png);
    if (colorType != PNG_COLOR_TYPE_PALETTE) png_set_bgr(png);
    const int passes = png_set_interlace_handling(png);
    png_read_update_info(png, info);
    if (png_get_rowbytes(png, info) != 3 * std::size_t{width} || png_get_bit_depth(png, info) != 8)
        png_error(png, "unexpected row layout");

    if (!AllocateKeepingError(state)) return Outcome::kFailed;
    const ops::RowView rows = state.rows;
    for (int pass = 0; pass < passes; ++pass)
        for (int y = 0; y < rows.height; ++y) png_read_row(png, rows.row(y), nullptr);
    png_read_end(png, nullptr);
    if (state.warned) return Outcome::kFailed;

    if (blackLevel >= 0) {
        for (int y = 0; y < rows.height; ++y) {
            std::uint8_t* p = rows.row(y);
            for (int x = 0; x < rows.width; ++x, p += 3)
                if (p[0] == blackLevel) p[0] = p[1] = p[2] = 0;
        }
    }
    return Outcome::kDone;
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

DeclaredSize DecodePng(const ByteSource& source, const AllocateRows& allocate, std::uint64_t maxPixels) {
    PngState state;
    state.source = &source;
    state.allocate = &allocate;
    state.png = png_create_read_struct_2(PNG_LIBPNG_VER_STRING, &state, OnPngError, OnPngWarning, &state,
                                         OnPngMalloc, OnPngFree);
    if (state.png == nullptr) throw DecodeError(DecodeError::Kind::kNoMemory, "not enough memory for the png decoder");
    state.info = png_create_info_struct(state.png);
    const bool haveInfo = state.info != nullptr;
    const Outcome outcome = haveInfo ? Run(state, maxPixels) : Outcome::kFailed;
    png_destroy_read_struct(&state.png, haveInfo ? &state.info : nullptr, nullptr);

    if (state.thrown) std::rethrow_exception(state.thrown);
    switch (outcome) {
    case Outcome::kDone: return {state.width, state.height};
    case Outcome::kTooLarge: throw DecodeError(DecodeError::Kind::kTooLarge, "", state.width, state.height);
    case Outcome::kFailed: break;
    }
    if (state.tooLarge) throw DecodeError(DecodeError::Kind::kTooLarge, "", state.width, state.height);
    if (state.outOfMemory || !haveInfo)
        throw DecodeError(DecodeError::Kind::kNoMemory, "not enough memory to decode the png picture");
    if (state.endOfFile) throw DecodeError(DecodeError::Kind::kDamaged, "the file ends before the end of the picture");
    throw DecodeError(DecodeError::Kind::kDamaged,
                      "the png data is damaged" + (state.message[0] != '\0' ? ": " + Lower(state.message) : ""));
}

}  // namespace codec
