// A picture written as its rows come, top to bottom, as a file of one of
// the output formats (codec/encode.h), holding a row or so, not the picture.
//
// BMP: the header's sizes are known from the start, so each row goes
// straight to its place in the file (the file holds its rows bottom-up).
//
// PNG: the file's form (see codec/png_write.h) follows from the colours of
// the whole picture, which are known only at the end. The caller says which
// colours it expects, and the rows are encoded in the form those take as
// they come while a scan collects the colours:
//   kGray           8-bit gray
//   kBlackAndWhite  1-bit gray
//   kTwoColours     1-bit palette, the top-left pixel's colour first, the
//                   other its complement (the labeled stage's two colours)
// Every row must take colours of its expected form (PngWriteError
// otherwise). When the scan ends on another, smaller form (a filtered
// picture of few gray levels, a labeled picture of one colour), Finish says so and Rewrite encodes
// the file again in the scan's form from the bytes written. Either way the
// file holds the bytes Encode gives for the same rows.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "codec/decode.h"
#include "codec/encode.h"

namespace codec {

enum class ExpectedColours : std::uint8_t { kGray, kBlackAndWhite, kTwoColours };

class RowFileWriter {
public:
    // Where the file's bytes go: the next bytes (PNG), or bytes at a place of
    // the file, which grows to hold them (BMP). Either may throw; the
    // exception passes through unchanged.
    struct Output {
        ByteSink write;
        std::function<void(std::uint64_t offset, const std::uint8_t* bytes, std::size_t size)> writeAt;
    };

    // A picture of width x height pixels (both > 0). Throws BmpError for a
    // picture too large for a BMP file (before writing anything),
    // PngWriteError.
    // The resolution goes into the file as Encode puts it there.
    RowFileWriter(OutputFormat format, int width, int height, ExpectedColours expected, Output output,
                  const Resolution& resolution = {});
    ~RowFileWriter();
    RowFileWriter(const RowFileWriter&) = delete;
    RowFileWriter& operator=(const RowFileWriter&) = delete;

    // Row y (3 * width bytes), rows in order from 0. Throws PngWriteError,
    // std::bad_alloc.
    void Row(int y, const std::uint8_t* row);

    // After the last row: true when the file written is complete; false
    // when its colours want another form, which Rewrite then writes.
    bool Finish();

    // The file again, in the form of its colours, from the bytes written
    // (read back through `written`) to `again`. Only after Finish gave
    // false. Throws PngWriteError, DecodeError when the bytes written do not
    // read back.
    void Rewrite(const RandomAccess& written, const ByteSink& again);

    // The bytes written through Output::write so far.
    std::uint64_t bytesWritten() const;

private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace codec
