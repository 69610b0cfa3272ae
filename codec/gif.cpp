#include "codec/gif.h"

#include <gif_lib.h>

#include <array>
#include <cctype>
#include <cstring>
#include <exception>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "codec/library_io.h"

namespace codec {
namespace {

using Kind = DecodeError::Kind;

// What giflib's input function shares with the decoder.
struct GifState {
    const ByteSource* source = nullptr;
    KeptError kept;  // from source, thrown again once giflib is left
    bool endOfFile = false;
};

// giflib asks for exact counts and takes anything less as a failed read, so
// the source is asked until the count is met or the file ends. No exception
// may pass through giflib: it is kept and rethrown after.
extern "C" int ReadGifBytes(GifFileType* gif, GifByteType* buffer, int size) {
    auto& state = *static_cast<GifState*>(gif->UserData);
    if (state.kept || size <= 0) return 0;
    const std::optional<std::size_t> done =
        ReadKeepingError(*state.source, buffer, static_cast<std::size_t>(size), state.kept);
    if (!done) return 0;
    if (*done < static_cast<std::size_t>(size)) state.endOfFile = true;
    return static_cast<int>(*done);
}

struct CloseGif {
    void operator()(GifFileType* gif) const {
        int ignored = 0;
        DGifCloseFile(gif, &ignored);
    }
};
using GifFile = std::unique_ptr<GifFileType, CloseGif>;

// Turns a giflib error code into the decoder's error, once an exception
// kept from the source has had its turn.
[[noreturn]] void Fail(const GifState& state, int code) {
    state.kept.Rethrow();
    if (code == D_GIF_ERR_NOT_ENOUGH_MEM) throw DecodeError(Kind::kNoMemory, "not enough memory to decode the gif picture");
    if (state.endOfFile || code == D_GIF_ERR_EOF_TOO_SOON)
        throw DecodeError(Kind::kDamaged, "the file ends before the end of the picture");
    std::string detail = "the gif data is damaged";
    if (const char* text = GifErrorString(code)) {
        std::string lower(text);
        for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        detail += ": " + lower;
    }
    throw DecodeError(Kind::kDamaged, detail);
}

void CheckLimit(std::uint64_t width, std::uint64_t height, std::uint64_t maxPixels) {
    if (width * height > maxPixels) throw DecodeError(Kind::kTooLarge, "", width, height);
}

// The frame row that the i-th stored row of an interlaced frame of the
// given height holds: every 8th row from 0, every 8th from 4, every 4th
// from 2, then every 2nd from 1.
int InterlacedRow(int i, int height) {
    static constexpr int kStart[] = {0, 4, 2, 1};
    static constexpr int kStep[] = {8, 8, 4, 2};
    for (int pass = 0; pass < 4; ++pass) {
        const int rows = height > kStart[pass] ? (height - kStart[pass] + kStep[pass] - 1) / kStep[pass] : 0;
        if (i < rows) return kStart[pass] + i * kStep[pass];
        i -= rows;
    }
    return -1;  // not reached for i < height
}

// The colour table of a file that has none, neither global nor local. The
// format leaves it to the decoder (a system table or one of its own) and
// recommends black and white as the first two entries, so that a two-colour
// picture shows as such; the other indexes show as the gray of their value.
const std::array<GifColorType, 256>& DefaultColours() {
    static const std::array<GifColorType, 256> table = [] {
        std::array<GifColorType, 256> colours{};
        for (int i = 0; i < 256; ++i) {
            const auto gray = static_cast<GifByteType>(i == 1 ? 255 : i);
            colours[static_cast<std::size_t>(i)] = {gray, gray, gray};
        }
        return colours;
    }();
    return table;
}

}  // namespace

bool LooksLikeGif(std::span<const std::uint8_t> first) {
    return first.size() >= 6 &&
           (std::memcmp(first.data(), "GIF87a", 6) == 0 || std::memcmp(first.data(), "GIF89a", 6) == 0);
}

DeclaredSize DecodeGif(const ByteSource& source, const AllocateRows& allocate, std::uint64_t maxPixels) {
    GifState state;
    state.source = &source;
    int error = 0;
    const GifFile gif(DGifOpen(&state, ReadGifBytes, &error));
    if (!gif) Fail(state, error);

    std::uint64_t width = static_cast<std::uint64_t>(gif->SWidth);
    std::uint64_t height = static_cast<std::uint64_t>(gif->SHeight);
    const bool screenGiven = width != 0 && height != 0;
    if (screenGiven) CheckLimit(width, height, maxPixels);

    // The records before the first image: extensions, of which only the
    // graphic control block matters (the last one before the image).
    int transparent = NO_TRANSPARENT_COLOR;
    for (bool image = false; !image;) {
        GifRecordType type = UNDEFINED_RECORD_TYPE;
        if (DGifGetRecordType(gif.get(), &type) == GIF_ERROR) Fail(state, gif->Error);
        switch (type) {
        case EXTENSION_RECORD_TYPE: {
            int code = 0;
            GifByteType* block = nullptr;
            if (DGifGetExtension(gif.get(), &code, &block) == GIF_ERROR) Fail(state, gif->Error);
            if (code == GRAPHICS_EXT_FUNC_CODE) {
                GraphicsControlBlock control{};
                if (block == nullptr || DGifExtensionToGCB(block[0], block + 1, &control) == GIF_ERROR)
                    throw DecodeError(Kind::kDamaged, "the graphic control block is damaged");
                transparent = control.TransparentColor;
            }
            while (block != nullptr)
                if (DGifGetExtensionNext(gif.get(), &block) == GIF_ERROR) Fail(state, gif->Error);
            break;
        }
        case IMAGE_DESC_RECORD_TYPE:
            if (DGifGetImageHeader(gif.get()) == GIF_ERROR) Fail(state, gif->Error);
            image = true;
            break;
        case TERMINATE_RECORD_TYPE: throw DecodeError(Kind::kDamaged, "the file holds no image");
        default: Fail(state, D_GIF_ERR_WRONG_RECORD);
        }
    }

    const GifImageDesc& frame = gif->Image;
    if (frame.Left < 0 || frame.Top < 0 || frame.Width < 0 || frame.Height < 0)
        throw DecodeError(Kind::kDamaged, "the frame's place is out of range");
    const auto frameLeft = static_cast<std::uint64_t>(frame.Left);
    const auto frameTop = static_cast<std::uint64_t>(frame.Top);
    CheckLimit(static_cast<std::uint64_t>(frame.Width), static_cast<std::uint64_t>(frame.Height), maxPixels);
    if (!screenGiven) {
        width = frameLeft + static_cast<std::uint64_t>(frame.Width);
        height = frameTop + static_cast<std::uint64_t>(frame.Height);
        CheckLimit(width, height, maxPixels);
    }
    if (width == 0 || height == 0) throw DecodeError(Kind::kDamaged, "the picture has no pixels");
    const ColorMapObject* table = frame.ColorMap != nullptr ? frame.ColorMap : gif->SColorMap;
    const bool tableGiven = table != nullptr && table->Colors != nullptr;
    const GifColorType* const colours = tableGiven ? table->Colors : DefaultColours().data();
    const int colourCount = tableGiven ? table->ColorCount : static_cast<int>(DefaultColours().size());

    const ops::RowView rows = AllocateFitting(allocate, static_cast<int>(width), static_cast<int>(height));
    for (int y = 0; y < rows.height; ++y) std::memset(rows.row(y), 0xFF, 3 * static_cast<std::size_t>(rows.width));

    std::vector<GifPixelType> line(static_cast<std::size_t>(frame.Width));
    for (int i = 0; i < frame.Height; ++i) {
        if (DGifGetLine(gif.get(), line.data(), frame.Width) == GIF_ERROR) Fail(state, gif->Error);
        const std::uint64_t y = frameTop + static_cast<std::uint64_t>(frame.Interlace ? InterlacedRow(i, frame.Height) : i);
        std::uint8_t* out = y < height ? rows.row(static_cast<int>(y)) : nullptr;
        for (int x = 0; x < frame.Width; ++x) {
            const int index = line[static_cast<std::size_t>(x)];
            if (index >= colourCount) throw DecodeError(Kind::kDamaged, "a pixel's colour index is past the colour table");
            const std::uint64_t at = frameLeft + static_cast<std::uint64_t>(x);
            if (out == nullptr || at >= width || index == transparent) continue;
            const GifColorType& colour = colours[index];
            out[3 * at] = colour.Blue;
            out[3 * at + 1] = colour.Green;
            out[3 * at + 2] = colour.Red;
        }
    }
    return {width, height};
}

}  // namespace codec
