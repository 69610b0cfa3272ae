// A kept stage written as its rows come out of the stream, top to bottom,
// into a file that appears whole or not at all.
//
// BMP: the header's sizes are known from the start, so each row goes
// straight to its place in the file (the file holds its rows bottom-up).
//
// PNG: the file's form (see codec/png_write.h) follows from the colours of
// the whole stage, which are known only at the end. Each stage has one form
// that its colours almost always take, so the rows are encoded in that form
// as they come while a scan collects the colours:
//   A (filtered, gray)         8-bit gray
//   B, C (black and white)     1-bit gray
//   D (labeled, two colours)   1-bit palette, the top-left pixel's colour first
// When the scan ends on another form (a filtered picture of few gray levels,
// a labeled picture of one colour), the file written is read back row by
// row and encoded again in the scan's form. Either way the file holds the
// bytes the whole-picture writer gives for the same rows.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "codec/encode.h"
#include "core/files.h"
#include "ops/stage.h"

class StageFile {
public:
    // Starts writing the stage of a picture of width x height pixels (both
    // > 0) as path, in the format. Throws Exception when the file cannot be
    // made.
    StageFile(const std::string& path, ops::Stage stage, codec::OutputFormat format, int width, int height,
              files::Durability durability);
    ~StageFile();
    StageFile(const StageFile&) = delete;
    StageFile& operator=(const StageFile&) = delete;

    // Row y (3 * width bytes); rows come in order from 0. Throws Exception
    // when writing fails; the file is then given up.
    void Row(int y, const std::uint8_t* row);

    // After the last row: the file takes its name. Until then it has none,
    // and a StageFile destroyed before leaves nothing behind.
    void Commit();

    // When a file of the format cannot hold width x height pixels (a BMP
    // file's size fields count at most 4 GiB), the reason, suggesting PNG;
    // else empty.
    static std::string TooLarge(codec::OutputFormat format, std::uint64_t width, std::uint64_t height);

private:
    struct State;
    std::unique_ptr<State> state_;
};
