#include "codec/png_write.h"

#include <png.h>
#include <zlib.h>

#include <array>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <vector>

#include "codec/library_io.h"

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

}  // namespace

// Up to 256 distinct colours in the order they were added, each with its index,
// found through an open-addressing table of twice as many slots.
class PngColourTable {
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

namespace {

using ColourTable = PngColourTable;

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

// Everything the C callbacks share with the encoder. It lives on the heap,
// owned by a PngRowEncoder, outside the frames that call setjmp.
struct WriteState {
    PngSink sink;
    png_structp png = nullptr;
    png_infop info = nullptr;
    std::unique_ptr<std::uint8_t[]> piece = std::make_unique<std::uint8_t[]>(kPieceBytes);  // gathered for the sink
    std::size_t used = 0;
    KeptError kept;  // from the sink, thrown again once libpng has returned
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
    return state.kept.Run([&] { state.sink(bytes, size); });
}

extern "C" void OnPngWrite(png_structp png, png_bytep data, size_t size) {
    auto& state = *static_cast<WriteState*>(png_get_io_ptr(png));
    if (state.used + size > kPieceBytes) {
        if (state.used > 0 && !Pass(state, state.piece.get(), state.used)) png_error(png, "the sink failed");
        state.used = 0;
    }
    if (size >= kPieceBytes) {
        if (!Pass(state, data, size)) png_error(png, "the sink failed");
        return;
    }
    std::memcpy(state.piece.get() + state.used, data, size);
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

// The functions that run libpng: nothing in them has a destructor, so the
// jump back from an error skips no cleanup; the structs are freed by their
// owner on every path.

// Sets up the compression and writes the chunks before the image data.
bool Begin(WriteState& state, int width, int height, const PngForm& form, const ColourTable& table,
           const PngCompression& compression, const Resolution& resolution) {
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
    png_set_IHDR(png, info, static_cast<png_uint_32>(width), static_cast<png_uint_32>(height), form.bitDepth,
                 colourType, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_BASE, PNG_FILTER_TYPE_BASE);
    if (form.colour == PngForm::Colour::kPalette) {
        png_color entries[ColourTable::kCapacity];
        for (int i = 0; i < table.count(); ++i) {
            const std::uint32_t key = table.colour(i);
            entries[i] = {static_cast<png_byte>(key >> 16), static_cast<png_byte>(key >> 8), static_cast<png_byte>(key)};
        }
        png_set_PLTE(png, info, entries, table.count());
    }
    if (resolution.Known()) png_set_pHYs(png, info, resolution.x, resolution.y, PNG_RESOLUTION_METER);
    png_write_info(png, info);
    if (form.colour == PngForm::Colour::kRgb) png_set_bgr(png);  // libpng reorders a copy; the rows stay as they are
    return true;
}

bool WriteRow(WriteState& state, const std::uint8_t* row) {
    if (setjmp(png_jmpbuf(state.png))) return false;
    png_write_row(state.png, row);
    return true;
}

bool End(WriteState& state) {
    if (setjmp(png_jmpbuf(state.png))) return false;
    png_write_end(state.png, nullptr);
    return true;
}

}  // namespace

PngFormScan::PngFormScan(int width) : width_(width), table_(std::make_unique<PngColourTable>()) {
    if (width <= 0) throw PngWriteError("a png file cannot hold a picture " + std::to_string(width) + " pixels wide");
}

PngFormScan::~PngFormScan() = default;

// The scan fills the table with the picture's colours and stops as soon as
// a 257th colour turns up. The top-left pixel's colour comes first: most
// often it is the background, and as index 0 of a palette its runs join the
// rows' filter bytes (0 for no filter) into longer runs.
//
// Two kinds of rows need no colour lookup, since the blue byte alone tells
// the colour: gray rows, and flat rows, whose green and red bytes are those
// of the first pixel (as the labeled stage's are). While every row so far
// is gray, or every row is flat, the rows only mark their blue levels in a
// table of 256, rows of blue 0 and 255 alone all at once. At the first row
// that breaks both, the levels go into the colour table, and every further
// pixel is looked up there unless it repeats the pixel before.
void PngFormScan::Row(const std::uint8_t* p) {
    PngColourTable& table = *table_;
    if (rows_++ == 0) {
        table.Add(KeyOf(p));
        green_ = p[1];
        red_ = p[2];
    }
    if (full_) return;
    if (levelRows_) {
        const RowSummary summary = SummarizeRow(p, width_, green_, red_);
        if ((grayRows_ && summary.gray) || (flatRows_ && summary.flat)) {
            grayRows_ = grayRows_ && summary.gray;
            flatRows_ = flatRows_ && summary.flat;
            if (summary.twoLevel) {
                levels_[0] |= summary.every == 0;
                levels_[255] |= summary.any == 255;
            } else {
                for (int x = 0; x < width_; ++x) levels_[p[3 * std::size_t(x)]] = 1;
            }
            return;
        }
        levelRows_ = false;
        if (!AddLevels(table)) {
            full_ = true;
            return;
        }
    }
    for (int x = 0; x < width_; ++x, p += 3) {
        const std::uint32_t key = KeyOf(p);
        if (key == last_) continue;
        last_ = key;
        if (!table.Add(key)) {
            full_ = true;
            return;
        }
    }
}

bool PngFormScan::AddLevels(PngColourTable& table) const {
    const std::uint32_t greenRed = grayRows_ ? 0 : (std::uint32_t{green_} << 8) | (std::uint32_t{red_} << 16);
    for (std::uint32_t level = 0; level < 256; ++level)
        if (levels_[level] && !table.Add(grayRows_ ? level * 0x010101u : level | greenRed)) return false;
    return true;
}

// The table of the rows seen: while every row has been a level row, the
// levels are not in it yet.
bool PngFormScan::Table(PngColourTable& table) const {
    table = *table_;
    if (full_) return false;
    return !levelRows_ || AddLevels(table);
}

PngForm PngFormScan::Form() const {
    if (rows_ == 0) throw std::logic_error("no row has been scanned for the png form");
    PngColourTable table;
    const bool fewColours = Table(table);
    return FormOf(table, fewColours);
}

PngPalette PngFormScan::Palette() const {
    PngColourTable table;
    PngPalette palette;
    if (rows_ == 0 || !Table(table) || FormOf(table, true).colour != PngForm::Colour::kPalette) return palette;
    for (int i = 0; i < table.count(); ++i) {
        const std::uint32_t key = table.colour(i);
        palette.push_back({static_cast<std::uint8_t>(key), static_cast<std::uint8_t>(key >> 8),
                           static_cast<std::uint8_t>(key >> 16)});
    }
    return palette;
}

struct PngRowEncoder::State {
    WriteState write;
    bool haveInfo = false;
    PngForm form;
    PngColourTable table;  // the palette's colours, for a palette
    int width = 0;
    int height = 0;
    int rows = 0;
    std::vector<std::uint8_t> packed;  // a row in the form, for gray and palettes
    // When one byte of a pixel differs in every colour of the palette (the
    // blue byte of the labeled stage's colours, for one), that byte alone
    // gives the index (channel, indexOf); otherwise the colour is looked up.
    int channel = -1;
    std::uint8_t indexOf[256] = {};
    std::uint32_t lastKey = 0xFFFFFFFFu;  // no pixel has this key
    unsigned lastIndex = 0;
    std::exception_ptr failure;  // the first failure, thrown again by every later call
    bool finished = false;
};

namespace {

// What a run of libpng that did not end well means, as the exception the
// encoder throws: what the sink threw, or a PngWriteError.
std::exception_ptr FailureOf(const WriteState& state, bool haveInfo) {
    if (state.kept) return state.kept.exception();
    if (state.outOfMemory || !haveInfo)
        return std::make_exception_ptr(PngWriteError("not enough memory to write the png picture"));
    return std::make_exception_ptr(PngWriteError(std::string("the png picture could not be written: ") + state.message));
}

void Check(PngRowEncoder::State& state, bool done) {
    if (done) return;
    state.failure = FailureOf(state.write, true);
    std::rethrow_exception(state.failure);
}

// Whether a level is one of the levels of a gray depth (multiples of 255,
// 85, 17 or 1 for 1, 2, 4 and 8 bits): exactly the bytes whose bits repeat
// with the depth as their period, so that turning them by the depth keeps
// them. 0 when it is.
inline unsigned OffLevel(unsigned level, int depth) {
    return level ^ (((level << depth) | (level >> (8 - depth))) & 0xFF);
}

void CheckForm(const PngForm& form, const PngPalette& palette) {
    const bool depthFits = form.bitDepth == 1 || form.bitDepth == 2 || form.bitDepth == 4 || form.bitDepth == 8;
    const bool fits =
        form.colour == PngForm::Colour::kRgb       ? form.bitDepth == 8 && form.paletteSize == 0
        : form.colour == PngForm::Colour::kGray    ? depthFits && form.paletteSize == 0
                                                   : depthFits && form.paletteSize >= 1 &&
                                                      form.paletteSize <= (1 << form.bitDepth) &&
                                                      static_cast<std::size_t>(form.paletteSize) == palette.size();
    if (!fits) throw PngWriteError("the png form does not describe a picture this writer writes");
}

}  // namespace

PngRowEncoder::PngRowEncoder(int width, int height, const PngForm& form, const PngCompression& compression,
                             PngSink sink, const PngPalette& palette, const Resolution& resolution)
    : state_(std::make_unique<State>()) {
    if (width <= 0 || height <= 0)
        throw PngWriteError("a png file cannot hold a picture of " + std::to_string(width) + " x " +
                            std::to_string(height) + " pixels");
    if (compression.level < 0 || compression.level > 9)
        throw PngWriteError("the zlib level " + std::to_string(compression.level) + " is not one of 0 to 9");
    CheckForm(form, palette);
    State& s = *state_;
    s.form = form;
    s.width = width;
    s.height = height;
    if (form.colour == PngForm::Colour::kPalette) {
        for (const auto& colour : palette) s.table.Add(KeyOf(colour.data()));
        if (s.table.count() != form.paletteSize) throw PngWriteError("the palette has a colour twice");
    }
    if (form.colour != PngForm::Colour::kRgb)
        s.packed.resize((static_cast<std::size_t>(width) * form.bitDepth + 7) / 8);
    if (form.colour == PngForm::Colour::kPalette) {
        for (int c = 0; c < 3 && s.channel < 0; ++c) {
            bool taken[256] = {};
            bool distinct = true;
            for (int i = 0; i < s.table.count() && distinct; ++i) {
                const unsigned value = (s.table.colour(i) >> (8 * c)) & 0xFF;
                distinct = !taken[value];
                taken[value] = true;
                s.indexOf[value] = static_cast<std::uint8_t>(i);
            }
            if (distinct) s.channel = c;
        }
    }

    WriteState& write = s.write;
    write.sink = std::move(sink);
    write.png = png_create_write_struct_2(PNG_LIBPNG_VER_STRING, &write, OnPngWriteError, OnPngWriteWarning, &write,
                                          OnPngWriteMalloc, OnPngWriteFree);
    if (write.png == nullptr) throw PngWriteError("not enough memory for the png encoder");
    write.info = png_create_info_struct(write.png);
    s.haveInfo = write.info != nullptr;
    if (!s.haveInfo || !Begin(write, width, height, form, s.table, compression, resolution)) {
        const std::exception_ptr failure = FailureOf(write, s.haveInfo);
        png_destroy_write_struct(&write.png, s.haveInfo ? &write.info : nullptr);
        std::rethrow_exception(failure);
    }
}

PngRowEncoder::~PngRowEncoder() {
    WriteState& write = state_->write;
    png_destroy_write_struct(&write.png, state_->haveInfo ? &write.info : nullptr);
}

void PngRowEncoder::Row(const std::uint8_t* bgr) { Put<true>(bgr); }

void PngRowEncoder::RowKnownToFit(const std::uint8_t* bgr) { Put<false>(bgr); }

// With kCheck, each pixel is checked against the form as it is packed: off
// gathers the bits of every difference from a pixel the form can hold.
template <bool kCheck>
void PngRowEncoder::Put(const std::uint8_t* bgr) {
    State& s = *state_;
    if (s.failure) std::rethrow_exception(s.failure);
    if (s.rows >= s.height) throw PngWriteError("more rows than the png picture has");
    const std::uint8_t* row = bgr;
    unsigned off = 0;
    switch (s.form.colour) {
    case PngForm::Colour::kRgb: break;
    case PngForm::Colour::kGray: {
        // The levels of a gray depth under 8 are multiples of 255 / (2^depth - 1)
        // (255, 85, 17); such a level's top depth bits are its sample.
        const int depth = s.form.bitDepth, shift = 8 - depth;
        PackRow(depth, bgr, s.width, s.packed.data(), [depth, shift, &off](const std::uint8_t* pixel) -> unsigned {
            if constexpr (kCheck)
                off |= (pixel[0] ^ pixel[1]) | (pixel[1] ^ pixel[2]) | OffLevel(pixel[0], depth);
            else
                static_cast<void>(depth), static_cast<void>(off);  // only the check reads them
            return pixel[0] >> shift;
        });
        row = s.packed.data();
        break;
    }
    case PngForm::Colour::kPalette:
        if (s.channel >= 0) {
            PackRow(s.form.bitDepth, bgr + s.channel, s.width, s.packed.data(), [&s, &off](const std::uint8_t* byte) -> unsigned {
                const unsigned index = s.indexOf[*byte];
                if constexpr (kCheck)
                    off |= KeyOf(byte - s.channel) ^ s.table.colour(static_cast<int>(index));
                else
                    static_cast<void>(off);  // only the check reads it
                return index;
            });
        } else {
            PackRow(s.form.bitDepth, bgr, s.width, s.packed.data(), [&s, &off](const std::uint8_t* pixel) -> unsigned {
                const std::uint32_t key = KeyOf(pixel);
                if (key != s.lastKey) {
                    const int index = s.table.Find(key);
                    off |= index < 0;
                    s.lastKey = key;
                    s.lastIndex = static_cast<unsigned>(index < 0 ? 0 : index);
                }
                return s.lastIndex;
            });
        }
        row = s.packed.data();
        break;
    }
    if (off != 0) {
        // The file would lack the row: nothing more can be written.
        s.failure = std::make_exception_ptr(PngWriteError("a row has a colour that the png form cannot hold"));
        std::rethrow_exception(s.failure);
    }
    Check(s, WriteRow(s.write, row));
    ++s.rows;
}

void PngRowEncoder::Finish() {
    State& s = *state_;
    if (s.failure) std::rethrow_exception(s.failure);
    if (s.rows != s.height) throw PngWriteError("the png picture has rows not written yet");
    if (s.finished) return;
    Check(s, End(s.write));
    s.finished = true;
    if (s.write.used > 0) {
        const std::size_t used = s.write.used;
        s.write.used = 0;
        s.write.sink(s.write.piece.get(), used);
    }
}

namespace {

// Checks the rows, scans them and writes them with the given compression,
// or with the one chosen for their form.
PngForm Encode(const ops::RowView& rows, const PngSink& sink, const PngCompression* given,
               void (PngRowEncoder::*write)(const std::uint8_t* bgr), const Resolution& resolution = {}) {
    if (rows.width <= 0 || rows.height <= 0)
        throw PngWriteError("a png file cannot hold a picture of " + std::to_string(rows.width) + " x " +
                            std::to_string(rows.height) + " pixels");
    if (rows.data == nullptr) throw PngWriteError("the picture has no pixel data");
    if (given != nullptr && (given->level < 0 || given->level > 9))
        throw PngWriteError("the zlib level " + std::to_string(given->level) + " is not one of 0 to 9");
    PngFormScan scan(rows.width);
    for (int y = 0; y < rows.height; ++y) scan.Row(rows.row(y));
    const PngForm form = scan.Form();
    PngRowEncoder encoder(rows.width, rows.height, form, given != nullptr ? *given : PngCompressionFor(form),
                          [&sink](const std::uint8_t* bytes, std::size_t size) { sink(bytes, size); }, scan.Palette(),
                          resolution);
    for (int y = 0; y < rows.height; ++y) (encoder.*write)(rows.row(y));
    encoder.Finish();
    return form;
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

// The rows were scanned for the form: they fit it.
PngForm EncodePng(const ops::RowView& rows, const PngSink& sink) {
    return Encode(rows, sink, nullptr, &PngRowEncoder::RowKnownToFit);
}

PngForm EncodePng(const ops::RowView& rows, const PngSink& sink, const PngCompression& compression) {
    return Encode(rows, sink, &compression, &PngRowEncoder::RowKnownToFit);
}

PngForm EncodePng(const ops::RowView& rows, const PngSink& sink, const Resolution& resolution) {
    return Encode(rows, sink, nullptr, &PngRowEncoder::RowKnownToFit, resolution);
}

}  // namespace codec
