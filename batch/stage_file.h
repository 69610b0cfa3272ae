// A kept stage written as its rows come out of the stream, top to bottom,
// into a file that appears whole or not at all: codec::RowFileWriter in the
// format asked for, the stage's colours telling it the likely PNG form, over
// files::OutputFile. When the PNG's colours turn out to want another form,
// the file written is read back and written again under the same name.
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
    // > 0) as path, in the format, with the picture's resolution (as
    // codec::RowFileWriter writes it). Throws Exception when the file
    // cannot be made.
    StageFile(const std::string& path, ops::Stage stage, codec::OutputFormat format, int width, int height,
              files::Durability durability, const codec::Resolution& resolution = {});
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
