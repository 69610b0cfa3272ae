#include "codec/row_writer.h"

#include <optional>
#include <stdexcept>
#include <vector>

#include "codec/bmp.h"
#include "codec/png_write.h"
#include "codec/row_reader.h"

namespace codec {

namespace {

// The form the expected colours take, and its palette: the top-left
// pixel's colour first.
struct Likely {
    PngForm form;
    PngPalette palette;
};

Likely LikelyForm(ExpectedColours expected, const std::uint8_t* firstRow) {
    Likely likely;
    likely.form.bitDepth = expected == ExpectedColours::kGray ? 8 : 1;
    if (expected != ExpectedColours::kTwoColours) {
        likely.form.colour = PngForm::Colour::kGray;
        return likely;
    }
    likely.form.colour = PngForm::Colour::kPalette;
    likely.form.paletteSize = 2;
    const std::uint8_t first = firstRow[0];
    likely.palette = {{first, 1, 1}, {static_cast<std::uint8_t>(255 - first), 1, 1}};
    return likely;
}

}  // namespace

struct RowFileWriter::State {
    int width, height;
    ExpectedColours expected;
    Resolution resolution;
    Output output;
    std::optional<BmpRowWriter> bmp;
    // PNG: the encoder in the likely form (made at the first row), the
    // bytes it wrote, and the scan of the colours.
    std::optional<Likely> likely;
    std::optional<PngRowEncoder> encoder;
    std::optional<PngFormScan> scan;
    std::uint64_t written = 0;
    bool rewrite = false;

    State(int w, int h, ExpectedColours e, Output o) : width(w), height(h), expected(e), output(std::move(o)) {}
};

RowFileWriter::RowFileWriter(OutputFormat format, int width, int height, ExpectedColours expected, Output output,
                             const Resolution& resolution)
    : state_(std::make_unique<State>(width, height, expected, std::move(output))) {
    State& s = *state_;
    s.resolution = resolution;
    if (format == OutputFormat::kPng)
        s.scan.emplace(width);
    else
        s.bmp.emplace(width, height, s.output.writeAt, resolution);
}

RowFileWriter::~RowFileWriter() = default;

void RowFileWriter::Row(int y, const std::uint8_t* row) {
    State& s = *state_;
    if (s.bmp) {
        s.bmp->Row(y, row);
        return;
    }
    if (!s.encoder) {
        s.likely = LikelyForm(s.expected, row);
        s.encoder.emplace(
            s.width, s.height, s.likely->form, PngCompressionFor(s.likely->form),
            [&s](const std::uint8_t* bytes, std::size_t size) {
                s.output.write(bytes, size);
                s.written += size;
            },
            s.likely->palette, s.resolution);
    }
    // Every row fits its likely form; only the form of the whole may turn
    // out smaller.
    s.scan->Row(row);
    s.encoder->Row(row);
}

bool RowFileWriter::Finish() {
    State& s = *state_;
    if (!s.scan) return true;
    s.encoder->Finish();
    s.rewrite = !(s.scan->Form() == s.likely->form && s.scan->Palette() == s.likely->palette);
    return !s.rewrite;
}

void RowFileWriter::Rewrite(const RandomAccess& written, const ByteSink& again) {
    State& s = *state_;
    if (!s.rewrite) throw std::logic_error("RowFileWriter: nothing to write again");
    s.encoder.reset();
    const PngForm form = s.scan->Form();
    PngRowEncoder encoder(s.width, s.height, form, PngCompressionFor(form), again, s.scan->Palette(), s.resolution);
    const std::unique_ptr<RowReader> rows = OpenRowReader(
        RandomAccess{s.written, written.read}, 0,
        RowReaderLimits{std::uint64_t(s.width) * std::uint64_t(s.height), UINT64_MAX});
    std::vector<std::uint8_t> row(3 * static_cast<std::size_t>(s.width));
    for (int y = 0; y < s.height; ++y) {
        rows->Next(row.data());
        encoder.Row(row.data());
    }
    encoder.Finish();
}

std::uint64_t RowFileWriter::bytesWritten() const { return state_->written; }

}  // namespace codec
