#include "codec/jpeg.h"

#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <exception>
#include <limits>
#include <memory>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include <jpeglib.h>
#include <jerror.h>

#include "codec/exif.h"
#include "codec/library_io.h"

namespace codec {
namespace {

constexpr std::size_t kInputBytes = 64 * 1024;

// A marker segment holds at most 65533 bytes after its length field.
constexpr std::size_t kMaxSegmentBytes = 65533;

// What each libjpeg warning means for the pixels. A warning that loses no
// pixel is passed over and the picture loads; one that loses pixels (or one
// not named here) fails the decode as damage, since libjpeg would go on with
// made-up data.
struct WarningVerdict {
    int code;
    bool losesPixels;
    const char* why;
};

constexpr WarningVerdict kWarnings[] = {
    {JWRN_EXTRANEOUS_DATA, false,
     "bytes between marker segments that belong to none (after a segment whose length is wrong, or "
     "padding); libjpeg steps over them to the next marker and every segment is read whole"},
    {JWRN_JFIF_MAJOR, false, "a JFIF version this library does not know; the JFIF header holds no pixels"},
    {JWRN_ADOBE_XFORM, false,
     "an Adobe colour transform code this library does not know; the components are taken as YCbCr "
     "(three) or YCCK (four), the transforms Adobe writes"},
    {JWRN_BOGUS_ICC, false, "a broken ICC profile marker; profiles are not used"},
    {JWRN_JPEG_EOF, true, "the file ends early; libjpeg would decode the rest as blank"},
    {JWRN_HIT_MARKER, true, "a scan's data stops before its last block; the rest would be blank"},
    {JWRN_HUFF_BAD_CODE, true, "corrupt Huffman-coded data; the blocks after it would be blank"},
    {JWRN_ARITH_BAD_CODE, true, "corrupt arithmetic-coded data; the blocks after it would be blank"},
    {JWRN_MUST_RESYNC, true,
     "a restart marker missing or out of order; libjpeg skips or repeats data to get back in step"},
    {JWRN_NOT_SEQUENTIAL, true, "scan parameters that contradict a sequential file; the scan may be misread"},
    {JWRN_BOGUS_PROGRESSION, true,
     "a progressive scan that refines coefficients never sent; those coefficients would be guessed"},
    {JWRN_TOO_MUCH_DATA, true, "more rows asked for than the picture has"},
};

bool LosesPixels(int code) {
    for (const WarningVerdict& warning : kWarnings)
        if (warning.code == code) return warning.losesPixels;
    return true;
}

// libjpeg's working memory beyond the coefficients of a progressive
// picture: tables, the entropy decoder, a few rows of samples per component
// for upsampling and colour conversion (charged per column below).
constexpr long kMemoryConstant = 16L << 20;

enum class Outcome { kDone, kFailed, kTooLarge };
enum class Failure { kNone, kLibrary, kEndOfFile, kTooManyScans };

// Steps over the marker segments libjpeg refuses as unknown: the codes the
// JPEG standard reserves (0x02 to 0xBF, and JPG0 to JPG13, 0xF0 to 0xFD).
// By the standard every marker but SOI, EOI, RSTn and TEM starts a segment
// that gives its own length, so a reader that does not know a marker can
// step over its segment whole; no pixel is in it. Every other byte passes
// to libjpeg unchanged, and libjpeg reads the segments by the same lengths
// (or refuses them).
//
// A segment stepped over leaves a TEM marker (FF 01) in its place, which
// has no segment and which libjpeg passes over between segments: a scan's
// data that the segment ended still ends there, complete or not.
//
// The filter follows the file's structure as its bytes pass: segments by
// their lengths, and after SOS the entropy-coded data up to the next marker
// that is not a restart (FF 00 stands for a data byte, FF FF is fill).
class MarkerFilter {
public:
    // The most bytes held back from one call to the next: FF, the code and
    // the length of a segment not yet known to be kept.
    static constexpr std::size_t kHeld = 4;

    // Filters size bytes of in into out, which has room for size + kHeld
    // bytes; returns how many bytes it wrote.
    std::size_t Pass(const std::uint8_t* in, std::size_t size, std::uint8_t* out) {
        std::size_t written = 0;
        const auto giveHeld = [&] {
            std::memcpy(out + written, held_, heldCount_);
            written += heldCount_;
            heldCount_ = 0;
        };
        for (std::size_t at = 0; at < size;) {
            switch (place_) {
            case Place::kBetween:
            case Place::kEntropy: {
                const auto* mark = static_cast<const std::uint8_t*>(std::memchr(in + at, 0xff, size - at));
                const std::size_t end = mark != nullptr ? static_cast<std::size_t>(mark - in) : size;
                std::memcpy(out + written, in + at, end - at);
                written += end - at;
                at = end;
                if (mark == nullptr) break;
                held_[0] = 0xff;
                heldCount_ = 1;
                inScan_ = place_ == Place::kEntropy;
                place_ = Place::kMarker;
                ++at;
                break;
            }
            case Place::kMarker: {
                const std::uint8_t code = in[at++];
                if (code == 0xff) {  // fill: the FF before it passes
                    out[written++] = 0xff;
                    break;
                }
                held_[heldCount_++] = code;
                code_ = code;
                const bool restart = code >= 0xd0 && code <= 0xd7;
                if (code == 0x00 || restart) {  // a data byte or a restart: no segment
                    giveHeld();
                    place_ = inScan_ ? Place::kEntropy : Place::kBetween;
                } else if (code == 0xd8 || code == 0xd9 || code == 0x01) {  // SOI, EOI, TEM: no segment
                    giveHeld();
                    place_ = Place::kBetween;
                } else {
                    place_ = Place::kLength;
                }
                break;
            }
            case Place::kLength: {
                held_[heldCount_++] = in[at++];
                if (heldCount_ < kHeld) break;
                const std::uint32_t length = (std::uint32_t{held_[2]} << 8) | held_[3];
                left_ = length >= 2 ? length - 2 : 0;
                const bool reserved = code_ <= 0xbf || (code_ >= 0xf0 && code_ <= 0xfd);
                if (reserved && length >= 2) {
                    held_[1] = 0x01;  // TEM
                    heldCount_ = 2;
                    giveHeld();
                    place_ = Place::kSkipped;
                } else {
                    giveHeld();
                    place_ = Place::kSegment;
                }
                if (left_ == 0) EndSegment();
                break;
            }
            case Place::kSegment:
            case Place::kSkipped: {
                const std::size_t take = std::min<std::size_t>(left_, size - at);
                if (place_ == Place::kSegment) {
                    std::memcpy(out + written, in + at, take);
                    written += take;
                }
                at += take;
                left_ -= static_cast<std::uint32_t>(take);
                if (left_ == 0) EndSegment();
                break;
            }
            }
        }
        return written;
    }

    // At the end of the file: gives what is held back, into out (room for
    // kHeld bytes); returns how many bytes that is.
    std::size_t Flush(std::uint8_t* out) {
        const std::size_t count = heldCount_;
        std::memcpy(out, held_, count);
        heldCount_ = 0;
        return count;
    }

private:
    enum class Place { kBetween, kEntropy, kMarker, kLength, kSegment, kSkipped };

    void EndSegment() { place_ = place_ == Place::kSegment && code_ == 0xda ? Place::kEntropy : Place::kBetween; }

    Place place_ = Place::kBetween;
    bool inScan_ = false;  // the marker being read came inside entropy-coded data
    std::uint8_t held_[kHeld] = {};
    std::size_t heldCount_ = 0;
    std::uint32_t left_ = 0;  // bytes of the current segment still to come
    std::uint8_t code_ = 0;   // of the current marker
};

// Everything the C callbacks share with the decoder. It lives on the heap,
// owned by a JpegRowDecoder, outside the frames that call setjmp.
struct JpegState {
    jpeg_decompress_struct cinfo{};
    jpeg_error_mgr errors{};
    jpeg_source_mgr input{};
    jpeg_progress_mgr progress{};
    std::jmp_buf jump{};
    ByteSource source;
    std::unique_ptr<std::uint8_t[]> raw = std::make_unique<std::uint8_t[]>(kInputBytes);  // file as read
    // The file for libjpeg, after the marker filter.
    std::unique_ptr<std::uint8_t[]> buffer = std::make_unique<std::uint8_t[]>(kInputBytes + MarkerFilter::kHeld);
    std::unique_ptr<std::uint8_t[]> exif = std::make_unique<std::uint8_t[]>(kMaxSegmentBytes);
    MarkerFilter filter;
    bool sawExif = false;
    Orientation orientation = Orientation::kNormal;
    Resolution exifResolution;
    std::uint8_t* inkRow = nullptr;     // 4 * width, for four-component files
    KeptError kept;  // from source, thrown again once libjpeg has returned
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

// A warning (level -1) that loses pixels ends the decode as damage; one
// that loses none is passed over (see kWarnings). Trace messages (level
// >= 0) are ignored. Nothing is printed.
extern "C" void OnJpegMessage(j_common_ptr cinfo, int level) {
    if (level < 0 && LosesPixels(cinfo->err->msg_code)) OnJpegError(cinfo);
}

extern "C" void OnJpegOutput(j_common_ptr) {}

extern "C" void OnInit(j_decompress_ptr) {}
extern "C" void OnTerm(j_decompress_ptr) {}

// Gives libjpeg the next bytes of the file, through the marker filter.
extern "C" boolean OnFill(j_decompress_ptr cinfo) {
    JpegState& state = StateOf(reinterpret_cast<j_common_ptr>(cinfo));
    std::size_t given = 0;
    const bool read = state.kept.Run([&state, &given] {
        while (given == 0) {
            const std::size_t got = ReadOnce(state.source, state.raw.get(), kInputBytes);
            if (got == 0) {
                given = state.filter.Flush(state.buffer.get());
                break;
            }
            given = state.filter.Pass(state.raw.get(), got, state.buffer.get());
        }
    });
    if (!read) Fail(state, Failure::kLibrary);
    if (given == 0) Fail(state, Failure::kEndOfFile);
    cinfo->src->next_input_byte = state.buffer.get();
    cinfo->src->bytes_in_buffer = given;
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

// One byte of a marker segment. The source never suspends: OnFill returns
// with bytes or leaves by the error jump.
std::uint8_t NextByte(j_decompress_ptr cinfo) {
    jpeg_source_mgr& source = *cinfo->src;
    if (source.bytes_in_buffer == 0) (*source.fill_input_buffer)(cinfo);
    --source.bytes_in_buffer;
    return *source.next_input_byte++;
}

// APP1 segments: the first that holds EXIF data gives the orientation;
// every other one (XMP, later EXIF) is skipped unread. A length below 2
// counts as an empty segment, as libjpeg counts it for the other APPn.
extern "C" boolean OnApp1(j_decompress_ptr cinfo) {
    JpegState& state = StateOf(reinterpret_cast<j_common_ptr>(cinfo));
    const std::size_t high = NextByte(cinfo);
    const std::size_t length = (high << 8 | NextByte(cinfo));
    const std::size_t left = length >= 2 ? length - 2 : 0;
    if (state.sawExif || left < sizeof kExifSignature) {
        OnSkip(cinfo, static_cast<long>(left));
        return TRUE;
    }
    std::size_t read = 0;
    for (; read < sizeof kExifSignature; ++read) state.exif[read] = NextByte(cinfo);
    if (std::memcmp(state.exif.get(), kExifSignature, sizeof kExifSignature) != 0) {
        OnSkip(cinfo, static_cast<long>(left - read));
        return TRUE;
    }
    while (read < left) {
        if (cinfo->src->bytes_in_buffer == 0) (*cinfo->src->fill_input_buffer)(cinfo);
        const std::size_t take = std::min(left - read, cinfo->src->bytes_in_buffer);
        std::memcpy(state.exif.get() + read, cinfo->src->next_input_byte, take);
        cinfo->src->next_input_byte += take;
        cinfo->src->bytes_in_buffer -= take;
        read += take;
    }
    state.sawExif = true;
    const std::span<const std::uint8_t> block(state.exif.get() + sizeof kExifSignature, left - sizeof kExifSignature);
    state.orientation = ExifOrientation(block);
    state.exifResolution = ExifResolution(block);
    return TRUE;
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

// The functions that run libjpeg: nothing in them has a destructor, so the
// jump back from an error skips no cleanup; the struct is freed by its owner
// on every path.

// Reads the headers up to the first scan and checks the size.
Outcome ReadHeaders(JpegState& state, std::uint64_t maxPixels) {
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
    jpeg_set_marker_processor(&cinfo, JPEG_APP0 + 1, OnApp1);

    jpeg_read_header(&cinfo, TRUE);
    state.width = cinfo.image_width;
    state.height = cinfo.image_height;
    if (state.width == 0 || state.height == 0) ERREXIT(&cinfo, JERR_EMPTY_IMAGE);
    if (state.width * state.height > maxPixels) return Outcome::kTooLarge;

    const bool inks = cinfo.num_components == 4;
    cinfo.out_color_space = inks ? JCS_CMYK : JCS_EXT_BGR;
    cinfo.mem->max_memory_to_use = MemoryCap(cinfo);
    return Outcome::kDone;
}

// Starts the decompression: a file of several scans is read whole here.
Outcome Begin(JpegState& state) {
    jpeg_decompress_struct& cinfo = state.cinfo;
    if (setjmp(state.jump)) return Outcome::kFailed;
    const bool inks = cinfo.num_components == 4;
    jpeg_start_decompress(&cinfo);
    if (cinfo.output_width != cinfo.image_width || cinfo.output_height != cinfo.image_height ||
        cinfo.output_components != (inks ? 4 : 3))
        ERREXIT(&cinfo, JERR_CONVERSION_NOTIMPL);
    if (inks)
        state.inkRow = static_cast<std::uint8_t*>(
            (*cinfo.mem->alloc_large)(reinterpret_cast<j_common_ptr>(&cinfo), JPOOL_IMAGE, 4 * std::size_t{cinfo.output_width}));
    return Outcome::kDone;
}

// One scanline into target, under the error handler.
Outcome Scanline(JpegState& state, JSAMPROW target) {
    if (setjmp(state.jump)) return Outcome::kFailed;
    if (jpeg_read_scanlines(&state.cinfo, &target, 1) != 1) ERREXIT(&state.cinfo, JERR_INPUT_EMPTY);
    return Outcome::kDone;
}

// The next row into bgr, 3 * width bytes.
Outcome Row(JpegState& state, std::uint8_t* bgr) {
    const jpeg_decompress_struct& cinfo = state.cinfo;
    if (Scanline(state, state.inkRow != nullptr ? state.inkRow : bgr) == Outcome::kFailed) return Outcome::kFailed;
    if (state.inkRow != nullptr) {
        const std::uint8_t* in = state.inkRow;
        std::uint8_t* out = bgr;
        for (JDIMENSION x = 0; x < cinfo.output_width; ++x, in += 4, out += 3) {
            const unsigned k = in[3];
            out[0] = static_cast<std::uint8_t>(k * in[2] / 255);
            out[1] = static_cast<std::uint8_t>(k * in[1] / 255);
            out[2] = static_cast<std::uint8_t>(k * in[0] / 255);
        }
    }
    return Outcome::kDone;
}

// Reads the rest of the file up to EOI.
Outcome End(JpegState& state) {
    if (setjmp(state.jump)) return Outcome::kFailed;
    jpeg_finish_decompress(&state.cinfo);
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

struct JpegRowDecoder::State {
    JpegState jpeg;
    std::exception_ptr failure;  // the first failure, thrown again by every later call
    bool started = false;
    bool finished = false;
};

namespace {

// What a run of libjpeg that did not end well means, as the exception the
// decoder throws: what the source threw, or a DecodeError.
std::exception_ptr FailureOf(const JpegState& state, Outcome outcome) {
    if (state.kept) return state.kept.exception();
    using Kind = DecodeError::Kind;
    const auto error = [](Kind kind, const std::string& detail, std::uint64_t width = 0, std::uint64_t height = 0) {
        return std::make_exception_ptr(DecodeError(kind, detail, width, height));
    };
    if (outcome == Outcome::kTooLarge) return error(Kind::kTooLarge, "", state.width, state.height);
    switch (state.failure) {
    case Failure::kEndOfFile: return error(Kind::kDamaged, "the file ends before the end of the picture");
    case Failure::kTooManyScans:
        return error(Kind::kUnsupported, "the progressive JPEG has more than " + std::to_string(kMaxJpegScans) +
                                             " scans, the most this program reads");
    case Failure::kNone:
    case Failure::kLibrary: break;
    }
    if (state.messageCode == JERR_OUT_OF_MEMORY || state.messageCode == JERR_NO_BACKING_STORE)
        return error(Kind::kNoMemory, "not enough memory to decode the jpeg picture");
    if (IsUnsupported(state.messageCode))
        return error(Kind::kUnsupported, "a jpeg variant this program does not read: " + Lower(state.message));
    return error(Kind::kDamaged, "the jpeg data is damaged: " + Lower(state.message));
}

// Keeps the failure of a run of libjpeg for every later call, and throws it.
void Check(JpegRowDecoder::State& state, Outcome outcome) {
    if (outcome == Outcome::kDone) return;
    state.failure = FailureOf(state.jpeg, outcome);
    std::rethrow_exception(state.failure);
}

}  // namespace

JpegRowDecoder::JpegRowDecoder(ByteSource source, std::uint64_t maxPixels) : state_(std::make_unique<State>()) {
    JpegState& jpeg = state_->jpeg;
    jpeg.source = std::move(source);
    jpeg.cinfo.err = jpeg_std_error(&jpeg.errors);
    jpeg.errors.error_exit = OnJpegError;
    jpeg.errors.emit_message = OnJpegMessage;
    jpeg.errors.output_message = OnJpegOutput;
    jpeg.cinfo.client_data = &jpeg;
    const Outcome outcome = ReadHeaders(jpeg, maxPixels);
    if (outcome != Outcome::kDone) {
        const std::exception_ptr failure = FailureOf(jpeg, outcome);
        jpeg_destroy_decompress(&jpeg.cinfo);
        std::rethrow_exception(failure);
    }
}

JpegRowDecoder::~JpegRowDecoder() { jpeg_destroy_decompress(&state_->jpeg.cinfo); }

std::uint64_t JpegRowDecoder::width() const { return state_->jpeg.width; }
std::uint64_t JpegRowDecoder::height() const { return state_->jpeg.height; }
Orientation JpegRowDecoder::orientation() const { return state_->jpeg.orientation; }

Resolution JpegRowDecoder::resolution() const {
    const jpeg_decompress_struct& cinfo = state_->jpeg.cinfo;
    // JFIF density unit 1 is the inch, 2 the centimetre; 0 gives an aspect
    // ratio only.
    if (cinfo.saw_JFIF_marker && (cinfo.density_unit == 1 || cinfo.density_unit == 2)) {
        const Resolution jfif = PerMetre(cinfo.X_density, cinfo.Y_density,
                                         cinfo.density_unit == 1 ? ResolutionUnit::kInch : ResolutionUnit::kCentimetre);
        if (jfif.Known()) return jfif;
    }
    return state_->jpeg.exifResolution;
}
bool JpegRowDecoder::readsWhole() const { return jpeg_has_multiple_scans(&state_->jpeg.cinfo) != 0; }

std::uint64_t JpegRowDecoder::coefficientBytes() const {
    const jpeg_decompress_struct& cinfo = state_->jpeg.cinfo;
    if (!readsWhole()) return 0;
    // Each component's blocks, padded to whole MCUs, 64 coefficients of
    // 2 bytes a block.
    std::uint64_t bytes = 0;
    for (int c = 0; c < cinfo.num_components; ++c) {
        const jpeg_component_info& component = cinfo.comp_info[c];
        const std::uint64_t across = component.width_in_blocks + static_cast<std::uint64_t>(cinfo.max_h_samp_factor);
        const std::uint64_t down = component.height_in_blocks + static_cast<std::uint64_t>(cinfo.max_v_samp_factor);
        bytes += across * down * 64 * sizeof(JCOEF);
    }
    return bytes;
}

void JpegRowDecoder::Start() {
    if (state_->failure) std::rethrow_exception(state_->failure);
    if (state_->started) return;
    Check(*state_, Begin(state_->jpeg));
    state_->started = true;
}

void JpegRowDecoder::ReadRow(std::uint8_t* bgr) {
    if (state_->failure) std::rethrow_exception(state_->failure);
    if (!state_->started || state_->jpeg.cinfo.output_scanline >= state_->jpeg.cinfo.output_height)
        throw std::logic_error("no next row to read of the jpeg picture");
    Check(*state_, Row(state_->jpeg, bgr));
}

void JpegRowDecoder::Finish() {
    if (state_->failure) std::rethrow_exception(state_->failure);
    if (!state_->started || state_->jpeg.cinfo.output_scanline < state_->jpeg.cinfo.output_height)
        throw std::logic_error("the jpeg picture has rows not read yet");
    if (state_->finished) return;
    Check(*state_, End(state_->jpeg));
    state_->finished = true;
}

DeclaredSize DecodeJpeg(const ByteSource& source, const AllocateRows& allocate, std::uint64_t maxPixels) {
    JpegRowDecoder decoder([&source](std::uint8_t* buffer, std::size_t size) { return source(buffer, size); },
                           maxPixels);
    decoder.Start();
    const ops::RowView rows = AllocateFitting(allocate, static_cast<int>(decoder.width()), static_cast<int>(decoder.height()));
    for (int y = 0; y < rows.height; ++y) decoder.ReadRow(rows.row(y));
    decoder.Finish();
    return {decoder.width(), decoder.height(), decoder.orientation(), decoder.resolution()};
}

}  // namespace codec
