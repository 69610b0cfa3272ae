// workbench-band-bench: the pieces of the streaming benchmark.
//
//   workbench-band-bench make W H FILE.png
//       writes a W x H 24-bit PNG of dark strokes on light paper, row by row
//       (a grid of lines 3 to 6 pixels thick and some diagonal ones), with
//       the settings the stage files use for RGB.
//   workbench-band-bench floor IN.png OUT.png
//       the work of a run without the chain: reads IN row by row and writes
//       a two-level PNG of it (each pixel black or white by its blue byte)
//       as the thinned stage would be written. The time a stream is held
//       against.
//   workbench-band-bench threads W H [REPEAT]
//       the chain on a W x H picture of strokes in memory: the whole-picture
//       operations, then the stream in bands (ChainInBands) on 1 and 2
//       threads, the labeled rows copied into a picture of results (best of
//       REPEAT, default 5), in ms.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <unistd.h>

#include "codec/png_write.h"
#include "core/files.h"
#include "codec/row_reader.h"
#include "ops/bands.h"
#include "ops/binarize.h"
#include "ops/filter.h"
#include "ops/labeling.h"
#include "ops/thinning.h"

namespace {

double Now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// Row y of the stroke picture.
void StrokeRow(int width, int y, std::uint8_t* row) {
    for (int x = 0; x < width; ++x) {
        const bool grid = (x % 97) < 3 + (y / 500) % 4 || (y % 89) < 3 + (x / 700) % 4;
        const bool diagonal = ((x + y) % 331) < 4 || ((x - y + 1000000) % 509) < 3;
        const std::uint8_t v = grid || diagonal ? static_cast<std::uint8_t>(20 + (x * 7 + y) % 30)
                                                : static_cast<std::uint8_t>(225 + (x + y * 3) % 25);
        row[3 * x] = v;
        row[3 * x + 1] = static_cast<std::uint8_t>(v + 3);
        row[3 * x + 2] = static_cast<std::uint8_t>(v - 5);
    }
}

struct FileSink {
    std::ofstream out;
    explicit FileSink(const std::string& path) : out(path, std::ios::binary) {
        if (!out) throw std::runtime_error("cannot write " + path);
    }
    void operator()(const std::uint8_t* bytes, std::size_t size) {
        out.write(reinterpret_cast<const char*>(bytes), static_cast<std::streamsize>(size));
    }
};

int Make(int width, int height, const std::string& path) {
    FileSink file(path);
    const codec::PngForm form{codec::PngForm::Colour::kRgb, 8, 0};
    codec::PngRowEncoder encoder(width, height, form, codec::PngCompressionFor(form),
                                 [&file](const std::uint8_t* b, std::size_t n) { file(b, n); });
    std::vector<std::uint8_t> row(3 * static_cast<std::size_t>(width));
    for (int y = 0; y < height; ++y) {
        StrokeRow(width, y, row.data());
        encoder.Row(row.data());
    }
    encoder.Finish();
    return 0;
}

int Floor(const std::string& in, const std::string& outPath) {
    const double start = Now();
    files::InputFile file{FileName(in)};
    const auto reader = codec::OpenRowReader(file.Access(), 0, {std::uint64_t{1} << 40, 0});
    const int width = reader->width(), height = reader->height();
    FileSink out(outPath);
    const codec::PngForm form{codec::PngForm::Colour::kGray, 1, 0};
    codec::PngRowEncoder encoder(width, height, form, codec::PngCompressionFor(form),
                                 [&out](const std::uint8_t* b, std::size_t n) { out(b, n); });
    std::vector<std::uint8_t> row(3 * static_cast<std::size_t>(width));
    for (int y = 0; y < height; ++y) {
        reader->Next(row.data());
        for (int x = 0; x < width; ++x) {
            const std::uint8_t v = row[3 * x] > 126 ? 255 : 0;
            row[3 * x] = row[3 * x + 1] = row[3 * x + 2] = v;
        }
        encoder.Row(row.data());
    }
    encoder.Finish();
    std::printf("floor %dx%d seconds %.2f\n", width, height, Now() - start);
    return 0;
}

int Threads(int width, int height, int repeat) {
    std::vector<std::uint8_t> picture(3 * static_cast<std::size_t>(width) * height), work(picture.size());
    for (int y = 0; y < height; ++y) StrokeRow(width, y, picture.data() + 3 * static_cast<std::size_t>(width) * y);
    const std::ptrdiff_t stride = 3 * static_cast<std::ptrdiff_t>(width);
    double whole = 1e9;
    for (int r = 0; r < repeat; ++r) {
        work = picture;
        const ops::RowView rows{work.data(), width, height, stride};
        const double start = Now();
        ops::Filter(rows);
        ops::Binarize(rows);
        ops::Thin(rows, rows);
        ops::Label(rows);
        whole = std::min(whole, Now() - start);
    }
    std::printf("%dx%d in memory: whole-picture operations %.1f ms\n", width, height, whole * 1000);
    double one = 0;
    for (const int threads : {1, 2}) {
        double best = 1e9;
        std::vector<std::uint8_t> out(picture.size());
        for (int r = 0; r < repeat; ++r) {
            const double start = Now();
            const ops::RowView rows{picture.data(), width, height, stride};
            ops::ChainInBands(rows, ops::kStageD, threads, [&](ops::Stage, int y, const std::uint8_t* row) {
                std::memcpy(out.data() + stride * y, row, static_cast<std::size_t>(stride));
            });
            best = std::min(best, Now() - start);
        }
        if (out != work) throw std::runtime_error("the stream's rows differ from the whole picture's");
        if (threads == 1) one = best;
        std::printf("%dx%d in memory: stream on %d thread%s %.1f ms (%.2f x whole%s)\n", width, height, threads,
                    threads == 1 ? "" : "s", best * 1000, whole / best,
                    threads == 1 ? "" : (", " + std::to_string(one / best).substr(0, 4) + " x one thread").c_str());
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        const std::string mode = argc > 1 ? argv[1] : "";
        if (mode == "make" && argc == 5) return Make(std::stoi(argv[2]), std::stoi(argv[3]), argv[4]);
        if (mode == "floor" && argc == 4) return Floor(argv[2], argv[3]);
        if (mode == "threads" && (argc == 4 || argc == 5))
            return Threads(std::stoi(argv[2]), std::stoi(argv[3]), argc == 5 ? std::stoi(argv[4]) : 5);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "workbench-band-bench: %s\n", error.what());
        return 1;
    }
    std::fprintf(stderr,
                 "usage: workbench-band-bench make W H FILE.png | floor IN.png OUT.png | threads W H [REPEAT]\n");
    return 2;
}
