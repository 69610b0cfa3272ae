#include "codec/png_write.h"

#include <png.h>
#include <zlib.h>

#include <array>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <vector>

namespace codec {
namespace {

// The bytes go to the sink in pieces of up to this size: libpng hands over
// every chunk as three small writes (length and type, data, checksum).
constexpr std::size_t kPieceBytes = 65536;

// A pixel's colour as one number: blue, green << 8, red << 16.
std::uint32_t KeyOf(const std::uint8_t* pixel) {
    return pixel[0] | (std::uint32_t{pixel[1]} << 8) | (std::uint32_t{pixel[2]} << 16);
}

bool IsGrayKey(std::uint32_t key) {
    return (key & 0xFF) == ((key >> 8) & 0xFF) && (key & 0xFF) == (key >> 16);
}

// Up to 256 distinct colours in the order they were added, each with its index,
// found through an open-addressing table of twice as many slots.
class ColourTable {
public:
    static constexpr int kCapacity = 256;

    // The colour's index, or -1 when it is not in the table.
    int Find(std::uint32_t key) const {
        for (unsigned slot = Hash(key);; slot = (slot + 1) & kMask) {
            if (slots_[slot] == 0) return -1;
            if (slots_[slot] == key + 1) return indexes_[slot];
        }
    }

    // Adds the colour if it is new; false when it is new and the table is full.
    bool Add(std::uint32_t key) {
        unsigned slot = Hash(key);
        for (; slots_[slot] != 0; slot = (slot + 1) & kMask)
            if (slots_[slot] == key + 1) return true;
        if (count_ == kCapacity) return false;
        slots_[slot] = key + 1;
        indexes_[slot] = static_cast<std::uint8_t>(count_);
        colours_[count_++] = key;
        return true;
    }

    int count() const { return count_; }
    std::uint32_t colour(int index) const { return colours_[index]; }

private:
    static constexpr unsigned kSlots = 2 * kCapacity;
    static constexpr unsigned kMask = kSlots - 1;
    static unsigned Hash(std::uint32_t key) { return (key * 0x9E3779B1u) >> 23; }

    std::array<std::uint32_t, kSlots> slots_{};  // colour + 1; 0 marks an empty slot
    std::array<std::uint8_t, kSlots> indexes_{};
    std::array<std::uint32_t, kCapacity> colours_{};
    int count_ = 0;
};

// What one pass over a row's bytes tells: whether every pixel is gray
// (blue = green = red), whether every pixel has the given green and red
// bytes, and of the blue bytes whether all are 0 or 255, their OR and AND.
struct RowSummary {
    bool gray = true;
    bool flat = true;
    bool twoLevel = true;
    std::uint8_t any = 0;      // OR of the blue bytes
    std::uint8_t every = 255;  // AND of the blue bytes
};

// Runs over blocks of 16 pixels without a branch inside, so that the
// compiler can run it wide; the rest of the row pixel by pixel.
RowSummary SummarizeRow(const std::uint8_t* p, int width, std::uint8_t green, std::uint8_t red) {
    struct Masks {
        std::array<std::uint8_t, 48> gray{}, flat{}, blue{};
    };
    static constexpr Masks kMasks = [] {
        Masks m;
        for (std::size_t i = 0; i < 48; ++i) {
            m.gray[i] = i % 3 == 2 ? 0 : 0xFF;  // blue ^ green, green ^ red
            m.blue[i] = i % 3 == 0 ? 0xFF : 0;
            m.flat[i] = static_cast<std::uint8_t>(~m.blue[i]);
        }
        return m;
    }();
    std::array<std::uint8_t, 48> pattern{};  // the wanted green and red, 0 where blue is
    for (std::size_t i = 0; i < 48; i += 3) pattern[i + 1] = green, pattern[i + 2] = red;

    const std::size_t bytes = 3 * static_cast<std::size_t>(width);
    std::uint8_t notGray = 0, notFlat = 0, offLevels = 0, any = 0, every = 255;
    std::size_t i = 0;
    for (; i + 48 < bytes; i += 48)  // < so that p[i + 48] is in the row
        for (std::size_t k = 0; k < 48; ++k) {
            const std::uint8_t b = p[i + k];
            notGray |= static_cast<std::uint8_t>((b ^ p[i + k + 1]) & kMasks.gray[k]);
            notFlat |= static_cast<std::uint8_t>((b ^ pattern[k]) & kMasks.flat[k]);
            offLevels |= static_cast<std::uint8_t>(((b + 1) & 0xFE) & kMasks.blue[k]);  // 0 for 0 and 255
            any |= static_cast<std::uint8_t>(b & kMasks.blue[k]);
            every &= static_cast<std::uint8_t>(b | ~kMasks.blue[k]);
        }
    for (; i < bytes; i += 3) {
        notGray |= static_cast<std::uint8_t>((p[i] ^ p[i + 1]) | (p[i + 1] ^ p[i + 2]));
        notFlat |= static_cast<std::uint8_t>((p[i + 1] ^ green) | (p[i + 2] ^ red));
        offLevels |= static_cast<std::uint8_t>((p[i] + 1) & 0xFE);
        any |= p[i];
        every &= p[i];
    }
    return {notGray == 0, notFlat == 0, offLevels == 0, any, every};
}

// The one scan: fills the table with the picture's colours and returns false
// as soon as a 257th colour turns up. The top-left pixel's colour comes
// first: most often it is the background, and as index 0 of a palette its
// runs join the rows' filter bytes (0 for no filter) into longer runs.
//
// Two kinds of rows need no colour lookup, since the blue byte alone tells
// the colour: gray rows, and flat rows, whose green and red bytes are those
// of the first pixel (as the labeled stage's are). While every row so far
// is gray, or every row is flat, the rows only mark their blue levels in a
// table of 256, rows of blue 0 and 255 alone all at once. At the first row
// that breaks both, the levels go into the colour table, and every further
// pixel is looked up there unless it repeats the pixel before.
bool ScanColours(const ops::RowView& rows, ColourTable& table) {
    table.Add(KeyOf(rows.row(0)));
    const std::uint8_t green = rows.row(0)[1], red = rows.row(0)[2];
    std::array<std::uint8_t, 256> levels{};
    bool grayRows = true, flatRows = true;
    int y = 0;
    for (; y < rows.height; ++y) {
        const std::uint8_t* p = rows.row(y);
        const RowSummary summary = SummarizeRow(p, rows.width, green, red);
        if (!(grayRows && summary.gray) && !(flatRows && summary.flat)) break;
        grayRows = grayRows && summary.gray;
        flatRows = flatRows && summary.flat;
        if (summary.twoLevel) {
            levels[0] |= summary.every == 0;
            levels[255] |= summary.any == 255;
        } else {
            for (int x = 0; x < rows.width; ++x) levels[p[3 * std::size_t(x)]] = 1;
        }
    }
    const std::uint32_t greenRed = grayRows ? 0 : (std::uint32_t{green} << 8) | (std::uint32_t{red} << 16);
    for (std::uint32_t level = 0; level < 256; ++level)
        if (levels[level] && !table.Add(grayRows ? level * 0x010101u : level | greenRed)) return false;
    std::uint32_t last = 0xFFFFFFFFu;  // no pixel has this key
    for (; y < rows.height; ++y) {
        const std::uint8_t* p = rows.row(y);
        for (int x = 0; x < rows.width; ++x, p += 3) {
            const std::uint32_t key = KeyOf(p);
            if (key == last) continue;
            last = key;
            if (!table.Add(key)) return false;
        }
    }
    return true;
}

// The smallest gray depth (1, 2 or 4) whose levels (multiples of 255, 85
// or 17) include every level of the table, or 8.
int GrayDepth(const ColourTable& table) {
    for (int depth : {1, 2, 4}) {
        const unsigned step = 255u / ((1u << depth) - 1);
        bool fits = true;
        for (int i = 0; i < table.count() && fits; ++i) fits = (table.colour(i) & 0xFF) % step == 0;
        if (fits) return depth;
    }
    return 8;
}

PngForm FormOf(const ColourTable& table, bool fewColours) {
    if (!fewColours) return {PngForm::Colour::kRgb, 8, 0};
    bool gray = true;
    for (int i = 0; i < table.count() && gray; ++i) gray = IsGrayKey(table.colour(i));
    if (gray) {
        const int depth = GrayDepth(table);
        if (depth < 8 || table.count() > 16) return {PngForm::Colour::kGray, depth, 0};
    }
    const int count = table.count();
    const int depth = count <= 2 ? 1 : count <= 4 ? 2 : count <= 16 ? 4 : 8;
    return {PngForm::Colour::kPalette, depth, count};
}

// Packs one row of width values (each from valueOf(pixel)) at Depth bits
// a value, the first value in the highest bits of the first byte, the last
// byte filled with zero bits.
template <int Depth, class ValueOf>
void PackRow(const std::uint8_t* pixels, int width, std::uint8_t* out, ValueOf valueOf) {
    constexpr int kPerByte = 8 / Depth;
    int x = 0;
    for (; x + kPerByte <= width; x += kPerByte, pixels += 3 * kPerByte) {
        unsigned byte = 0;
        for (int k = 0; k < kPerByte; ++k) byte = (byte << Depth) | valueOf(pixels + 3 * k);
        *out++ = static_cast<std::uint8_t>(byte);
    }
    if (x < width) {
        unsigned byte = 0;
        int k = 0;
        for (; x < width; ++x, ++k, pixels += 3) byte = (byte << Depth) | valueOf(pixels);
        *out = static_cast<std::uint8_t>(byte << (Depth * (kPerByte - k)));
    }
}

template <class ValueOf>
void PackRow(int depth, const std::uint8_t* pixels, int width, std::uint8_t* out, ValueOf valueOf) {
    switch (depth) {
    case 1: return PackRow<1>(pixels, width, out, valueOf);
    case 2: return PackRow<2>(pixels, width, out, valueOf);
    case 4: return PackRow<4>(pixels, width, out, valueOf);
    default: return PackRow<8>(pixels, width, out, valueOf);
    }
}

// Everything the C callbacks share with the encoder. It lives in the frame
// of Write, outside the one that calls setjmp.
struct WriteState {
    const PngSink* sink = nullptr;
    png_structp png = nullptr;
    png_infop info = nullptr;
    std::uint8_t* piece = nullptr;  // kPieceBytes gathered for the sink
    std::size_t used = 0;
    std::exception_ptr thrown;  // from the sink, rethrown after cleanup
    bool outOfMemory = false;
    char message[160] = {};
};

extern "C" void OnPngWriteError(png_structp png, png_const_charp text) {
    auto& state = *static_cast<WriteState*>(png_get_error_ptr(png));
    if (state.message[0] == '\0' && text != nullptr) std::strncpy(state.message, text, sizeof state.message - 1);
    png_longjmp(png, 1);
}

// Every parameter is set here, so a warning means a fault in this encoder:
// it ends the write as an error does.
extern "C" void OnPngWriteWarning(png_structp png, png_const_charp text) { OnPngWriteError(png, text); }

extern "C" png_voidp OnPngWriteMalloc(png_structp png, png_alloc_size_t size) {
    void* block = std::malloc(size);
    if (block == nullptr) static_cast<WriteState*>(png_get_mem_ptr(png))->outOfMemory = true;
    return block;
}

extern "C" void OnPngWriteFree(png_structp, png_voidp block) { std::free(block); }

bool Pass(WriteState& state, const std::uint8_t* bytes, std::size_t size) noexcept {
    try {
        (*state.sink)(bytes, size);
        return true;
    } catch (...) {
        state.thrown = std::current_exception();
        return false;
    }
}

extern "C" void OnPngWrite(png_structp png, png_bytep data, size_t size) {
    auto& state = *static_cast<WriteState*>(png_get_io_ptr(png));
    if (state.used + size > kPieceBytes) {
        if (state.used > 0 && !Pass(state, state.piece, state.used)) png_error(png, "the sink failed");
        state.used = 0;
    }
    if (size >= kPieceBytes) {
        if (!Pass(state, data, size)) png_error(png, "the sink failed");
        return;
    }
    std::memcpy(state.piece + state.used, data, size);
    state.used += size;
}

extern "C" void OnPngFlush(png_structp) {}

int FilterMask(PngFilter filter) {
    switch (filter) {
    case PngFilter::kNone: return PNG_FILTER_NONE;
    case PngFilter::kSub: return PNG_FILTER_SUB;
    case PngFilter::kUp: return PNG_FILTER_UP;
    case PngFilter::kPaeth: return PNG_FILTER_PAETH;
    case PngFilter::kAdaptive: break;
    }
    return PNG_ALL_FILTERS;
}

int ZlibStrategyOf(ZlibStrategy strategy) {
    switch (strategy) {
    case ZlibStrategy::kFiltered: return Z_FILTERED;
    case ZlibStrategy::kRle: return Z_RLE;
    case ZlibStrategy::kDefault: break;
    }
    return Z_DEFAULT_STRATEGY;
}

// Runs libpng. Nothing here has a destructor, so the jump back from an error
// skips no cleanup; the structs are freed by the caller on every path.
bool Run(WriteState& state, const ops::RowView& rows, const PngForm& form, const ColourTable& table,
         const PngCompression& compression, std::uint8_t* packed) {
    png_structp png = state.png;
    png_infop info = state.info;
    if (setjmp(png_jmpbuf(png))) return false;

    png_set_user_limits(png, PNG_UINT_31_MAX, PNG_UINT_31_MAX);
    png_set_write_fn(png, &state, OnPngWrite, OnPngFlush);
    png_set_compression_level(png, compression.level);
    png_set_compression_strategy(png, ZlibStrategyOf(compression.strategy));
    png_set_filter(png, PNG_FILTER_TYPE_BASE, FilterMask(compression.filter));

    const int colourType = form.colour == PngForm::Colour::kGray      ? PNG_COLOR_TYPE_GRAY
                           : form.colour == PngForm::Colour::kPalette ? PNG_COLOR_TYPE_PALETTE
                                                                      : PNG_COLOR_TYPE_RGB;
    png_set_IHDR(png, info, static_cast<png_uint_32>(rows.width), static_cast<png_uint_32>(rows.height),
                 form.bitDepth, colourType, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_BASE, PNG_FILTER_TYPE_BASE);
    if (form.colour == PngForm::Colour::kPalette) {
        png_color entries[ColourTable::kCapacity];
        for (int i = 0; i < table.count(); ++i) {
            const std::uint32_t key = table.colour(i);
            entries[i] = {static_cast<png_byte>(key >> 16), static_cast<png_byte>(key >> 8), static_cast<png_byte>(key)};
        }
        png_set_PLTE(png, info, entries, table.count());
    }
    png_write_info(png, info);

    switch (form.colour) {
    case PngForm::Colour::kRgb:
        png_set_bgr(png);  // libpng reorders a copy; the rows stay as they are
        for (int y = 0; y < rows.height; ++y) png_write_row(png, rows.row(y));
        break;
    case PngForm::Colour::kGray: {
        // The levels of a gray depth under 8 are multiples of 255 / (2^depth - 1)
        // (255, 85, 17); such a level's top depth bits are its sample.
        const int shift = 8 - form.bitDepth;
        for (int y = 0; y < rows.height; ++y) {
            PackRow(form.bitDepth, rows.row(y), rows.width, packed,
                    [shift](const std::uint8_t* pixel) -> unsigned { return pixel[0] >> shift; });
            png_write_row(png, packed);
        }
        break;
    }
    case PngForm::Colour::kPalette: {
        // When one byte of a pixel differs in every colour of the palette
        // (the blue byte of the labeled stage's colours, for one), that byte
        // alone gives the index; otherwise the colour is looked up.
        int channel = -1;
        std::uint8_t indexOf[256];
        for (int c = 0; c < 3 && channel < 0; ++c) {
            bool taken[256] = {};
            bool distinct = true;
            for (int i = 0; i < table.count() && distinct; ++i) {
                const unsigned value = (table.colour(i) >> (8 * c)) & 0xFF;
                distinct = !taken[value];
                taken[value] = true;
                indexOf[value] = static_cast<std::uint8_t>(i);
            }
            if (distinct) channel = c;
        }
        std::uint32_t lastKey = KeyOf(rows.row(0));
        unsigned lastIndex = static_cast<unsigned>(table.Find(lastKey));
        for (int y = 0; y < rows.height; ++y) {
            if (channel >= 0) {
                PackRow(form.bitDepth, rows.row(y) + channel, rows.width, packed,
                        [&indexOf](const std::uint8_t* byte) -> unsigned { return indexOf[*byte]; });
            } else {
                PackRow(form.bitDepth, rows.row(y), rows.width, packed, [&](const std::uint8_t* pixel) -> unsigned {
                    const std::uint32_t key = KeyOf(pixel);
                    if (key != lastKey) {
                        lastKey = key;
                        lastIndex = static_cast<unsigned>(table.Find(key));
                    }
                    return lastIndex;
                });
            }
            png_write_row(png, packed);
        }
        break;
    }
    }
    png_write_end(png, nullptr);
    return true;
}

PngForm Write(const ops::RowView& rows, const PngSink& sink, const PngForm& form, const ColourTable& table,
              const PngCompression& compression) {
    const int channels = form.colour == PngForm::Colour::kRgb ? 3 : 1;
    std::vector<std::uint8_t> packed;
    if (form.colour != PngForm::Colour::kRgb)
        packed.resize((static_cast<std::size_t>(rows.width) * channels * form.bitDepth + 7) / 8);
    const auto piece = std::make_unique<std::uint8_t[]>(kPieceBytes);

    WriteState state;
    state.sink = &sink;
    state.piece = piece.get();
    state.png = png_create_write_struct_2(PNG_LIBPNG_VER_STRING, &state, OnPngWriteError, OnPngWriteWarning, &state,
                                          OnPngWriteMalloc, OnPngWriteFree);
    if (state.png == nullptr) throw PngWriteError("not enough memory for the png encoder");
    state.info = png_create_info_struct(state.png);
    const bool haveInfo = state.info != nullptr;
    const bool done = haveInfo && Run(state, rows, form, table, compression, packed.data());
    png_destroy_write_struct(&state.png, haveInfo ? &state.info : nullptr);

    if (state.thrown) std::rethrow_exception(state.thrown);
    if (!done) {
        if (state.outOfMemory || !haveInfo) throw PngWriteError("not enough memory to write the png picture");
        throw PngWriteError(std::string("the png picture could not be written: ") + state.message);
    }
    if (state.used > 0) sink(piece.get(), state.used);
    return form;
}

// Checks the rows, scans them and writes them with the given compression,
// or with the one chosen for their form.
PngForm Encode(const ops::RowView& rows, const PngSink& sink, const PngCompression* given) {
    if (rows.width <= 0 || rows.height <= 0)
        throw PngWriteError("a png file cannot hold a picture of " + std::to_string(rows.width) + " x " +
                            std::to_string(rows.height) + " pixels");
    if (rows.data == nullptr) throw PngWriteError("the picture has no pixel data");
    if (given != nullptr && (given->level < 0 || given->level > 9))
        throw PngWriteError("the zlib level " + std::to_string(given->level) + " is not one of 0 to 9");
    ColourTable table;
    const bool fewColours = ScanColours(rows, table);
    const PngForm form = FormOf(table, fewColours);
    return Write(rows, sink, form, table, given != nullptr ? *given : PngCompressionFor(form));
}

}  // namespace

PngCompression PngCompressionFor(const PngForm& form) {
    // zlib's RLE strategy ignores the level: it only ever matches the byte
    // before, at the speed of level 1 and smaller than it on these rows.
    // Gray rows and packed indices: each row is stored as its difference
    // from the row above, which leaves long runs of zeros. 8-bit indices
    // are no measure of likeness, so differences do not help them. RGB
    // has few runs: string matching at level 1, on the difference from
    // the pixel to the left.
    if (form.colour == PngForm::Colour::kRgb) return {1, PngFilter::kSub, ZlibStrategy::kDefault};
    if (form.colour == PngForm::Colour::kPalette && form.bitDepth == 8)
        return {1, PngFilter::kNone, ZlibStrategy::kRle};
    return {1, PngFilter::kUp, ZlibStrategy::kRle};
}

PngForm EncodePng(const ops::RowView& rows, const PngSink& sink) { return Encode(rows, sink, nullptr); }

PngForm EncodePng(const ops::RowView& rows, const PngSink& sink, const PngCompression& compression) {
    return Encode(rows, sink, &compression);
}

}  // namespace codec
