#include "batch/stage_file.h"

#include <cerrno>
#include <new>
#include <optional>
#include <stdexcept>
#include <vector>

#include <unistd.h>

#include "codec/bmp.h"
#include "codec/png_write.h"
#include "codec/row_writer.h"

namespace {

// The colours a stage's rows take, from which its PNG form is guessed.
codec::ExpectedColours ColoursOf(ops::Stage stage) {
    switch (stage) {
    case ops::Stage::kFiltered: return codec::ExpectedColours::kGray;
    case ops::Stage::kBinarized:
    case ops::Stage::kThinned: return codec::ExpectedColours::kBlackAndWhite;
    case ops::Stage::kLabeled: break;
    }
    return codec::ExpectedColours::kTwoColours;
}

}  // namespace

struct StageFile::State {
    FileName name;
    files::Durability durability;
    files::OutputFile file;
    std::optional<codec::RowFileWriter> writer;

    State(const std::string& path, files::Durability d) : name(path), durability(d), file(name, d) {}
};

std::string StageFile::TooLarge(codec::OutputFormat format, std::uint64_t width, std::uint64_t height) {
    if (codec::Holds(format, width, height)) return {};
    return "the picture is " + std::to_string(width) + " x " + std::to_string(height) +
           " pixels, too large for a BMP stage file (at most 4 GB); use --format png";
}

StageFile::StageFile(const std::string& path, ops::Stage stage, codec::OutputFormat format, int width, int height,
                     files::Durability durability, const codec::Resolution& resolution)
    : state_(std::make_unique<State>(path, durability)) {
    State& s = *state_;
    try {
        s.writer.emplace(format, width, height, ColoursOf(stage),
                         codec::RowFileWriter::Output{
                             [&s](const std::uint8_t* bytes, std::size_t size) { s.file.Write(bytes, size); },
                             [&s](std::uint64_t offset, const std::uint8_t* bytes, std::size_t size) {
                                 s.file.WriteAt(offset, bytes, size);
                             }},
                         resolution);
    } catch (const codec::BmpError& error) {
        files::FailWrite(s.name, error.what());
    } catch (const codec::PngWriteError& error) {
        files::FailWrite(s.name, error.what());
    }
}

StageFile::~StageFile() = default;

void StageFile::Row(int y, const std::uint8_t* row) {
    State& s = *state_;
    try {
        s.writer->Row(y, row);
    } catch (const codec::PngWriteError& error) {
        files::FailWrite(s.name, error.what());
    } catch (const std::bad_alloc&) {
        files::FailWrite(s.name, files::Reason(ENOMEM));
    }
}

void StageFile::Commit() {
    State& s = *state_;
    try {
        if (!s.writer->Finish()) {
            // Another form after all: the file written in the likely form
            // is read back row by row into a file of the right one, which
            // takes the name instead.
            files::OutputFile again(s.name, s.durability);
            s.writer->Rewrite(s.file.WrittenSoFar(s.writer->bytesWritten()),
                              [&again](const std::uint8_t* bytes, std::size_t size) { again.Write(bytes, size); });
            again.Commit();
            return;
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
