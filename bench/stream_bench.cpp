// workbench-stream-bench [WIDTH HEIGHT]
//
// The chain in memory (Filter, Binarize, Thin on one picture as both
// bitmaps, Label) against the chain as a stream of rows, on the same
// generated picture of strokes (4000 x 3000 unless given), one thread,
// best of 5 runs each. The stream runs twice: handing out D alone, and
// handing out all four stages. Before timing, the stream's D rows are
// checked against the picture the chain in memory leaves. Prints lines like
//   memory   ABCD  69.1 ms
//   stream   D     60.2 ms
//   stream   ABCD  71.0 ms
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <limits>

#include "bench/synthetic.h"
#include "ops/binarize.h"
#include "ops/chain_stream.h"
#include "ops/filter.h"
#include "ops/labeling.h"
#include "ops/thinning.h"

namespace {

constexpr int kRuns = 5;

double BestMs(const std::function<void()>& run) {
    double best = std::numeric_limits<double>::infinity();
    for (int i = 0; i < kRuns; ++i) {
        const auto start = std::chrono::steady_clock::now();
        run();
        best = std::min(best, std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
    }
    return best;
}

void ChainInMemory(bench::Picture& picture) {
    const ops::RowView rows = picture.view();
    ops::Filter(rows);
    ops::Binarize(rows);
    ops::Thin(rows, rows);
    ops::Label(rows);
}

void ChainStreamed(const bench::Picture& picture, ops::StageSet kept, const ops::StageRowSink& sink) {
    ops::ChainStream stream(picture.width, picture.height, kept, sink);
    for (int y = 0; y < picture.height; ++y) stream.Push(picture.bytes.data() + y * picture.stride);
    stream.Finish();
}

}  // namespace

int main(int argc, char** argv) {
    int width = 4000, height = 3000;
    if (argc == 3) {
        width = std::atoi(argv[1]);
        height = std::atoi(argv[2]);
    }
    if ((argc != 1 && argc != 3) || width <= 0 || height <= 0) {
        std::fprintf(stderr, "usage: workbench-stream-bench [WIDTH HEIGHT]\n");
        return 2;
    }
    const bench::Picture original = bench::MakeStrokePicture(width, height);

    bench::Picture expected = original;
    ChainInMemory(expected);
    long differing = 0;
    ChainStreamed(original, ops::kStageD, [&](ops::Stage, int y, const std::uint8_t* row) {
        differing += std::memcmp(row, expected.bytes.data() + y * expected.stride, 3 * static_cast<std::size_t>(width)) != 0;
    });
    if (differing != 0) {
        std::fprintf(stderr, "workbench-stream-bench: %ld rows of D differ from the chain in memory\n", differing);
        return 1;
    }

    bench::Picture work = original;
    const double memory = BestMs([&] {
        std::memcpy(work.bytes.data(), original.bytes.data(), original.bytes.size());  // a few ms, counted
        ChainInMemory(work);
    });
    const double copy = BestMs([&] { std::memcpy(work.bytes.data(), original.bytes.data(), original.bytes.size()); });
    // The sink looks at every row handed out, as an encoder would.
    volatile unsigned seen = 0;
    const ops::StageRowSink sink = [&](ops::Stage, int, const std::uint8_t* row) { seen = seen + row[0]; };
    const double streamD = BestMs([&] { ChainStreamed(original, ops::kStageD, sink); });
    const double streamAll = BestMs([&] {
        ChainStreamed(original, ops::kStageA | ops::kStageB | ops::kStageC | ops::kStageD, sink);
    });
    std::printf("picture  %dx%d strokes, best of %d\n", width, height, kRuns);
    std::printf("memory   ABCD  %.1f ms (of which copying the picture in %.1f ms)\n", memory, copy);
    std::printf("stream   D     %.1f ms\n", streamD);
    std::printf("stream   ABCD  %.1f ms\n", streamAll);
    return 0;
}
