#include "codec/jpeg.h"

#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <exception>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <jpeglib.h>
#include <jerror.h>

namespace codec {
namespace {

constexpr std::size_t kInputBytes = 64 * 1024;

// libjpeg's working memory beyond the coefficients of a progressive
// picture: tables, the entropy decoder, a few rows of samples per component
// for upsampling and colour conversion (charged per column below).
constexpr long kMemoryConstant = 16L << 20;

enum class Outcome { kDone, kFailed, kTooLarge };
enum class Failure { kNone, kLibrary, kEndOfFile, kTooManyScans };

// Everything the C callbacks share with the decoder. It lives in the frame
// of DecodeJpeg, outside the one that calls setjmp.
struct JpegState {
    jpeg_decompress_struct cinfo{};
    jpeg_error_mgr errors{};
    jpeg_source_mgr input{};
    jpeg_progress_mgr progress{};
    std::jmp_buf jump{};
    const ByteSource* source = nullptr;
    const AllocateRows* allocate = nullptr;
    std::uint8_t* buffer = nullptr;     // kInputBytes of file
    std::uint8_t* inkRow = nullptr;     // 4 * width, for four-component files
    ops::RowView rows;
    std::exception_ptr thrown;
    Failure failure = Failure::kNone;
    int messageCode = 0;
    char message[JMSG_LENGTH_MAX] = {};
    std::uint64_t width = 0;
    std::uint64_t height = 0;
};

JpegState& StateOf(j_common_ptr cinfo) { return *static_cast<JpegState*>(cinfo->client_data); }

[[noreturn]] void Fail(JpegState& state, Failure failure) {
    if (state.failure == Failure::kNone) state.failure = failure;
    std::longjmp(state.jump, 1);
}

extern "C" void OnJpegError(j_common_ptr cinfo) {
    JpegState& state = StateOf(cinfo);
    if (state.failure == Failure::kNone) {
        state.messageCode = cinfo->err->msg_code;
        (*cinfo->err->format_message)(cinfo, state.message);
    }
    Fail(state, Failure::kLibrary);
}

// Warnings (level -1) are damage the library would decode past with made-up
// data; trace messages (level >= 0) are ignored. Nothing is printed.
extern "C" void OnJpegMessage(j_common_ptr cinfo, int level) {
    if (level < 0) OnJpegError(cinfo);
}

extern "C" void OnJpegOutput(j_common_ptr) {}

extern "C" void OnInit(j_decompress_ptr) {}
extern "C" void OnTerm(j_decompress_ptr) {}

extern "C" boolean OnFill(j_decompress_ptr cinfo) {
    JpegState& state = StateOf(reinterpret_cast<j_common_ptr>(cinfo));
    std::size_t got = 0;
    bool failed = false;
    try {
        got = (*state.source)(state.buffer, kInputBytes);
        if (got > kInputBytes) throw std::logic_error("the byte source gave more bytes than asked for");
    } catch (...) {
        state.thrown = std::current_exception();
        failed = true;
    }
    if (failed) Fail(state, Failure::kLibrary);
    if (got == 0) Fail(state, Failure::kEndOfFile);
    cinfo->src->next_input_byte = state.buffer;
    cinfo->src->bytes_in_buffer = got;
    return TRUE;
}

extern "C" void OnSkip(j_decompress_ptr cinfo, long count) {
    if (count <= 0) return;
    auto remaining = static_cast<std::size_t>(count);
    while (remaining > cinfo->src->bytes_in_buffer) {
        remaining -= cinfo->src->bytes_in_buffer;
        cinfo->src->bytes_in_buffer = 0;
        OnFill(cinfo);
    }
    cinfo->src->next_input_byte += remaining;
    cinfo->src->bytes_in_buffer -= remaining;
}

extern "C" void OnProgress(j_common_ptr cinfo) {
    auto* decompress = reinterpret_cast<j_decompress_ptr>(cinfo);
    if (decompress->input_scan_number > kMaxJpegScans) Fail(StateOf(cinfo), Failure::kTooManyScans);
}

// The most libjpeg may allocate for this picture: the coefficients of every
// component at full size, padded to whole MCUs (what a progressive file
// needs), plus row buffers charged per column, plus a constant.
long MemoryCap(const jpeg_decompress_struct& cinfo) {
    const std::uint64_t columns = (cinfo.image_width + 63) / 64 * 64 + 64;
    const std::uint64_t lines = (cinfo.image_height + 63) / 64 * 64 + 64;
    const auto components = static_cast<std::uint64_t>(cinfo.num_components);
    const std::uint64_t bytes = components * columns * (lines * 2 + 256) + kMemoryConstant;
    constexpr std::uint64_t kMax = static_cast<std::uint64_t>(std::numeric_limits<long>::max());
    return static_cast<long>(bytes < kMax ? bytes : kMax);
}

// Runs libjpeg. Nothing here has a destructor, so the jump back from an error
// skips no cleanup; the struct is freed by the caller on every path.
Outcome Run(JpegState& state, std::uint64_t maxPixels) {
    jpeg_decompress_struct& cinfo = state.cinfo;
    if (setjmp(state.jump)) return Outcome::kFailed;

    jpeg_create_decompress(&cinfo);
    cinfo.client_data = &state;
    state.input.init_source = OnInit;
    state.input.fill_input_buffer = OnFill;
    state.input.skip_input_data = OnSkip;
    state.input.resync_to_restart = jpeg_resync_to_restart;
    state.input.term_source = OnTerm;
    cinfo.src = &state.input;
    state.progress.progress_monitor = OnProgress;
    cinfo.progress = &state.progress;

    jpeg_read_header(&cinfo, TRUE);
    state.width = cinfo.image_width;
    state.height = cinfo.image_height;
    if (state.width == 0 || state.height == 0) ERREXIT(&cinfo, JERR_EMPTY_IMAGE);
    if (state.width * state.height > maxPixels) return Outcome::kTooLarge;

    const bool inks = cinfo.num_components == 4;
    cinfo.out_color_space = inks ? JCS_CMYK : JCS_EXT_BGR;
    cinfo.mem->max_memory_to_use = MemoryCap(cinfo);
    jpeg_start_decompress(&cinfo);
    if (cinfo.output_width != cinfo.image_width || cinfo.output_height != cinfo.image_height ||
        cinfo.output_components != (inks ? 4 : 3))
        ERREXIT(&cinfo, JERR_CONVERSION_NOTIMPL);
    if (inks)
        state.inkRow = static_cast<std::uint8_t*>(
            (*cinfo.mem->alloc_large)(reinterpret_cast<j_common_ptr>(&cinfo), JPOOL_IMAGE, 4 * std::size_t{cinfo.output_width}));

    if (!AllocateKeepingError(state)) return Outcome::kFailed;
    const ops::RowView rows = state.rows;
    while (cinfo.output_scanline < cinfo.output_height) {
        const int y = static_cast<int>(cinfo.output_scanline);
        JSAMPROW target = inks ? state.inkRow : rows.row(y);
        if (jpeg_read_scanlines(&cinfo, &target, 1) != 1) ERREXIT(&cinfo, JERR_INPUT_EMPTY);
        if (inks) {
            const std::uint8_t* in = state.inkRow;
            std::uint8_t* out = rows.row(y);
            for (int x = 0; x < rows.width; ++x, in += 4, out += 3) {
                const unsigned k = in[3];
                out[0] = static_cast<std::uint8_t>(k * in[2] / 255);
                out[1] = static_cast<std::uint8_t>(k * in[1] / 255);
                out[2] = static_cast<std::uint8_t>(k * in[0] / 255);
            }
        }
    }
    jpeg_finish_decompress(&cinfo);
    return Outcome::kDone;
}

bool IsUnsupported(int code) {
    return code == JERR_BAD_PRECISION || code == JERR_NOT_COMPILED || code == JERR_SOF_UNSUPPORTED ||
           code == JERR_CONVERSION_NOTIMPL || code == JERR_NOTIMPL || code == JERR_ARITH_NOTIMPL ||
           code == JERR_CCIR601_NOTIMPL || code == JERR_FRACT_SAMPLE_NOTIMPL;
}

std::string Lower(const char* text) {
    std::string result(text);
    for (char& c : result)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return result;
}

}  // namespace

bool LooksLikeJpeg(std::span<const std::uint8_t> first) {
    return first.size() >= 3 && first[0] == 0xff && first[1] == 0xd8 && first[2] == 0xff;
}

DeclaredSize DecodeJpeg(const ByteSource& source, const AllocateRows& allocate, std::uint64_t maxPixels) {
    const auto buffer = std::make_unique<std::uint8_t[]>(kInputBytes);
    const auto state = std::make_unique<JpegState>();
    state->source = &source;
    state->allocate = &allocate;
    state->buffer = buffer.get();
    state->cinfo.err = jpeg_std_error(&state->errors);
    state->errors.error_exit = OnJpegError;
    state->errors.emit_message = OnJpegMessage;
    state->errors.output_message = OnJpegOutput;
    state->cinfo.client_data = state.get();

    const Outcome outcome = Run(*state, maxPixels);
    jpeg_destroy_decompress(&state->cinfo);

    if (state->thrown) std::rethrow_exception(state->thrown);
    using Kind = DecodeError::Kind;
    switch (outcome) {
    case Outcome::kDone: return {state->width, state->height};
    case Outcome::kTooLarge: throw DecodeError(Kind::kTooLarge, "", state->width, state->height);
    case Outcome::kFailed: break;
    }
    switch (state->failure) {
    case Failure::kEndOfFile: throw DecodeError(Kind::kDamaged, "the file ends before the end of the picture");
    case Failure::kTooManyScans:
        throw DecodeError(Kind::kUnsupported, "the progressive JPEG has more than " + std::to_string(kMaxJpegScans) +
                                                  " scans, the most this program reads");
    case Failure::kNone:
    case Failure::kLibrary: break;
    }
    if (state->messageCode == JERR_OUT_OF_MEMORY || state->messageCode == JERR_NO_BACKING_STORE)
        throw DecodeError(Kind::kNoMemory, "not enough memory to decode the jpeg picture");
    if (IsUnsupported(state->messageCode))
        throw DecodeError(Kind::kUnsupported, "a jpeg variant this program does not read: " + Lower(state->message));
    throw DecodeError(Kind::kDamaged, "the jpeg data is damaged: " + Lower(state->message));
}

}  // namespace codec
