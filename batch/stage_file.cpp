#include "batch/stage_file.h"

#include <cerrno>
#include <new>
#include <optional>
#include <stdexcept>
#include <vector>

#include <unistd.h>

#include "codec/bmp.h"
#include "codec/png_write.h"
#include "codec/row_reader.h"

namespace {

// The form a stage's colours almost always take (see the header), and its
// palette: the top-left pixel's colour first.
struct Likely {
    codec::PngForm form;
    codec::PngPalette palette;
};
Likely LikelyForm(ops::Stage stage, const std::uint8_t* firstRow) {
    Likely likely;
    likely.form.bitDepth = stage == ops::Stage::kFiltered ? 8 : 1;
    if (stage != ops::Stage::kLabeled) {
        likely.form.colour = codec::PngForm::Colour::kGray;
        return likely;
    }
    likely.form.colour = codec::PngForm::Colour::kPalette;
    likely.form.paletteSize = 2;
    const std::uint8_t first = firstRow[0];
    likely.palette = {{first, 1, 1}, {static_cast<std::uint8_t>(255 - first), 1, 1}};
    return likely;
}

// The bytes of a file being written, read back at any place.
codec::RandomAccess ReadBack(int fd, std::uint64_t size, const FileName& name) {
    return {size, [fd, name](std::uint64_t offset, std::uint8_t* buffer, std::size_t count) {
                for (;;) {
                    const ssize_t got = ::pread(fd, buffer, count, static_cast<off_t>(offset));
                    if (got >= 0) return static_cast<std::size_t>(got);
                    if (errno != EINTR) files::FailWrite(name, files::Reason(errno));
                }
            }};
}

}  // namespace

struct StageFile::State {
    FileName name;
    ops::Stage stage;
    bool png;
    int width, height;
    files::Durability durability;
    files::OutputFile file;
    std::optional<codec::BmpRowWriter> bmp;
    // PNG: the encoder in the likely form (made at the first row), the
    // bytes it wrote, and the scan of the colours.
    std::optional<Likely> likely;
    std::optional<codec::PngRowEncoder> encoder;
    std::optional<codec::PngFormScan> scan;
    std::uint64_t written = 0;

    State(const std::string& path, ops::Stage s, codec::OutputFormat format, int w, int h, files::Durability d)
        : name(path), stage(s), png(format == codec::OutputFormat::kPng), width(w), height(h), durability(d),
          file(name, d) {}

    void Encoded(const std::uint8_t* bytes, std::size_t size) {
        file.Write(bytes, size);
        written += size;
    }
};

std::string StageFile::TooLarge(codec::OutputFormat format, std::uint64_t width, std::uint64_t height) {
    if (codec::Holds(format, width, height)) return {};
    return "the picture is " + std::to_string(width) + " x " + std::to_string(height) +
           " pixels, too large for a BMP stage file (at most 4 GB); use --format png";
}

StageFile::StageFile(const std::string& path, ops::Stage stage, codec::OutputFormat format, int width, int height,
                     files::Durability durability)
    : state_(std::make_unique<State>(path, stage, format, width, height, durability)) {
    State& s = *state_;
    try {
        if (s.png) {
            s.scan.emplace(width);
        } else {
            s.bmp.emplace(width, height, [&s](std::uint64_t offset, const std::uint8_t* bytes, std::size_t size) {
                s.file.WriteAt(offset, bytes, size);
            });
        }
    } catch (const codec::BmpError& error) {
        files::FailWrite(s.name, error.what());
    }
}

StageFile::~StageFile() = default;

void StageFile::Row(int y, const std::uint8_t* row) {
    State& s = *state_;
    try {
        if (s.bmp) {
            s.bmp->Row(y, row);
            return;
        }
        if (!s.encoder) {
            s.likely = LikelyForm(s.stage, row);
            s.encoder.emplace(
                s.width, s.height, s.likely->form, codec::PngCompressionFor(s.likely->form),
                [&s](const std::uint8_t* bytes, std::size_t size) { s.Encoded(bytes, size); }, s.likely->palette);
        }
        // Every row of a stage fits its likely form; only the form of the
        // whole may turn out smaller.
        s.scan->Row(row);
        s.encoder->Row(row);
    } catch (const codec::PngWriteError& error) {
        files::FailWrite(s.name, error.what());
    } catch (const std::bad_alloc&) {
        files::FailWrite(s.name, files::Reason(ENOMEM));
    }
}

void StageFile::Commit() {
    State& s = *state_;
    try {
        if (s.png) {
            const codec::PngForm form = s.scan->Form();
            const codec::PngPalette palette = s.scan->Palette();
            if (form == s.likely->form && palette == s.likely->palette) {
                s.encoder->Finish();
            } else {
                // Another form after all: the file written in the likely
                // form is read back row by row into a file of the right one,
                // which takes the name instead.
                s.encoder->Finish();
                s.encoder.reset();
                files::OutputFile again(s.name, s.durability);
                codec::PngRowEncoder encoder(
                    s.width, s.height, form, codec::PngCompressionFor(form),
                    [&again](const std::uint8_t* bytes, std::size_t size) { again.Write(bytes, size); }, palette);
                const std::unique_ptr<codec::RowReader> written = codec::OpenRowReader(
                    ReadBack(s.file.descriptor(), s.written, s.name), 0,
                    codec::RowReaderLimits{std::uint64_t(s.width) * std::uint64_t(s.height), UINT64_MAX});
                std::vector<std::uint8_t> row(3 * static_cast<std::size_t>(s.width));
                for (int y = 0; y < s.height; ++y) {
                    written->Next(row.data());
                    encoder.Row(row.data());
                }
                encoder.Finish();
                again.Commit();
                return;
            }
        }
    } catch (const codec::PngWriteError& error) {
        files::FailWrite(s.name, error.what());
    } catch (const codec::DecodeError& error) {
        // The file just written does not read back.
        files::FailWrite(s.name, std::string("the file written does not read back: ") + error.what());
    } catch (const std::bad_alloc&) {
        files::FailWrite(s.name, files::Reason(ENOMEM));
    }
    s.file.Commit();
}
