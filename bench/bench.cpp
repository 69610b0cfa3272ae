// workbench-bench: the pixel work of the four operations, in memory, on one
// synthetic picture of strokes, at 640 x 480 and 4000 x 3000. When OpenCV is
// built in, the same executable times the comparable work of OpenCV on the
// same input, single-threaded, under Peer/..., and ends with a table of the
// two and their ratio.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "bench/synthetic.h"
#include "ops/binarize.h"
#include "ops/filter.h"
#include "ops/labeling.h"
#include "core/centre_lines.h"
#include "ops/skeleton.h"
#include "ops/skeleton_stream.h"
#include "ops/thinning.h"

#ifdef WORKBENCH_HAVE_OPENCV
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/ximgproc.hpp>
#endif

namespace {

struct Size {
    int width, height;
    std::string name() const { return std::to_string(width) + "x" + std::to_string(height); }
};
constexpr Size kSizes[] = {{640, 480}, {4000, 3000}};

// The picture as each stage of the chain leaves it, made once per size.
struct Stages {
    bench::Picture original, filtered, binarized, thinned;
};

const Stages& StagesFor(const Size& size) {
    static std::map<int, Stages> made;
    auto found = made.find(size.width);
    if (found != made.end()) return found->second;
    Stages s;
    s.original = bench::MakeStrokePicture(size.width, size.height);
    s.filtered = s.original;
    ops::Filter(s.filtered.view());
    s.binarized = s.filtered;
    ops::Binarize(s.binarized.view());
    s.thinned = s.binarized;
    bench::Picture written = s.binarized;
    ops::Thin(s.thinned.view(), written.view());
    return made.emplace(size.width, std::move(s)).first->second;
}

void CopyInto(const bench::Picture& from, bench::Picture& to) { std::memcpy(to.bytes.data(), from.bytes.data(), from.bytes.size()); }

// Ours. Filter, Binarize and Labeling work in place, without branches on
// the pixel values, and cost the same on their own output; Thinning needs its input afresh, with its write copy,
// each time, and the copies are counted as its work.
void Filter(benchmark::State& state, Size size) {
    bench::Picture p = StagesFor(size).original;
    for (auto _ : state) {
        ops::Filter(p.view());
        benchmark::ClobberMemory();
    }
}

void Binarize(benchmark::State& state, Size size) {
    bench::Picture p = StagesFor(size).filtered;
    for (auto _ : state) {
        ops::Binarize(p.view());
        benchmark::ClobberMemory();
    }
}

void Thinning(benchmark::State& state, Size size) {
    const bench::Picture& input = StagesFor(size).binarized;
    bench::Picture read = input, write = input;
    for (auto _ : state) {
        CopyInto(input, read);
        CopyInto(input, write);
        ops::Thin(read.view(), write.view());
        benchmark::ClobberMemory();
    }
}

void Labeling(benchmark::State& state, Size size) {
    bench::Picture p = StagesFor(size).thinned;
    for (auto _ : state) {
        ops::Label(p.view());
        benchmark::ClobberMemory();
    }
}

// The chain with the threshold Otsu's method picks from the filtered
// picture's histogram (--threshold otsu), against Chain at the fixed 126.
void ChainOtsu(benchmark::State& state, Size size) {
    const bench::Picture& input = StagesFor(size).original;
    bench::Picture p = input, write = input;
    for (auto _ : state) {
        CopyInto(input, p);
        ops::Filter(p.view());
        ops::Binarize(p.view(), ops::Threshold::Otsu());
        CopyInto(p, write);
        ops::Thin(p.view(), write.view());
        ops::Label(p.view());
        benchmark::ClobberMemory();
    }
}

// The skeleton measures of the thinned stage: the whole picture at once,
// and the stream of its rows as --out takes them.
void Measure(benchmark::State& state, Size size) {
    bench::Picture p = StagesFor(size).thinned;
    for (auto _ : state) benchmark::DoNotOptimize(ops::MeasureSkeleton(p.view()).totals.branches);
}

void MeasureStream(benchmark::State& state, Size size) {
    bench::Picture p = StagesFor(size).thinned;
    const ops::RowView view = p.view();
    for (auto _ : state) {
        ops::SkeletonStream stream(view.width, view.height);
        for (int y = 0; y < view.height; ++y) stream.Add(view.row(y));
        benchmark::DoNotOptimize(stream.Finish().totals.branches);
    }
}

// The centre lines of the thinned stage as an SVG file, measures included:
// the stream with its paths kept in a temporary file, then the file.
void Vectorize(benchmark::State& state, Size size) {
    bench::Picture p = StagesFor(size).thinned;
    const ops::RowView view = p.view();
    const FileName folder("/tmp");
    for (auto _ : state) {
        CentreLinePaths paths(folder);
        ops::SkeletonStream stream(view.width, view.height, paths.Sink());
        for (int y = 0; y < view.height; ++y) stream.Add(view.row(y));
        ops::CentreLines lines;
        stream.Finish(&lines);
        paths.Write(folder.Join("workbench-bench-lines.svg"), codec::VectorFormat::kSvg, view.width, view.height, lines, 0,
                    files::Durability::kFlushedByCaller);
    }
}

void Chain(benchmark::State& state, Size size) {
    const bench::Picture& input = StagesFor(size).original;
    bench::Picture p = input, write = input;
    for (auto _ : state) {
        CopyInto(input, p);
        ops::Filter(p.view());
        ops::Binarize(p.view());
        CopyInto(p, write);
        ops::Thin(p.view(), write.view());
        ops::Label(p.view());
        benchmark::ClobberMemory();
    }
}

#ifdef WORKBENCH_HAVE_OPENCV
// The peer: OpenCV's comparable work, one thread.
cv::Mat AsMat(const bench::Picture& p) {
    return cv::Mat(p.height, p.width, CV_8UC3, const_cast<std::uint8_t*>(p.bytes.data()), static_cast<std::size_t>(p.stride));
}

cv::Mat PeerFilter(const cv::Mat& bgr) {
    cv::Mat blue, next, gray;
    cv::extractChannel(bgr, blue, 0);
    for (int pass = 0; pass < ops::kFilterPasses; ++pass) {
        cv::medianBlur(blue, next, 3);
        std::swap(blue, next);
    }
    cv::merge(std::vector<cv::Mat>{blue, blue, blue}, gray);
    return gray;
}

cv::Mat PeerBinarize(const cv::Mat& bgr) {
    cv::Mat gray, binary;
    cv::cvtColor(bgr, gray, cv::COLOR_BGR2GRAY);
    cv::threshold(gray, binary, 126, 255, cv::THRESH_BINARY);
    return binary;
}

// Foreground (black strokes) as non-zero, as OpenCV's thinning expects.
cv::Mat PeerForeground(const cv::Mat& binary) {
    cv::Mat foreground;
    cv::threshold(binary, foreground, 127, 255, cv::THRESH_BINARY_INV);
    return foreground;
}

cv::Mat PeerThinning(const cv::Mat& foreground) {
    cv::Mat thin;
    cv::ximgproc::thinning(foreground, thin, cv::ximgproc::THINNING_ZHANGSUEN);
    return thin;
}

int PeerLabeling(const cv::Mat& foreground) {
    cv::Mat labels;
    return cv::connectedComponents(foreground, labels, 8, CV_32S);
}

void PeerFilterBench(benchmark::State& state, Size size) {
    const cv::Mat input = AsMat(StagesFor(size).original);
    for (auto _ : state) benchmark::DoNotOptimize(PeerFilter(input).data);
}

void PeerBinarizeBench(benchmark::State& state, Size size) {
    const cv::Mat input = AsMat(StagesFor(size).filtered);
    for (auto _ : state) benchmark::DoNotOptimize(PeerBinarize(input).data);
}

void PeerThinningBench(benchmark::State& state, Size size) {
    const cv::Mat foreground = PeerForeground(PeerBinarize(AsMat(StagesFor(size).filtered)));
    for (auto _ : state) benchmark::DoNotOptimize(PeerThinning(foreground).data);
}

void PeerLabelingBench(benchmark::State& state, Size size) {
    const cv::Mat thin = PeerThinning(PeerForeground(PeerBinarize(AsMat(StagesFor(size).filtered))));
    for (auto _ : state) benchmark::DoNotOptimize(PeerLabeling(thin));
}

void PeerChainBench(benchmark::State& state, Size size) {
    const cv::Mat input = AsMat(StagesFor(size).original);
    for (auto _ : state) {
        const cv::Mat thin = PeerThinning(PeerForeground(PeerBinarize(PeerFilter(input))));
        benchmark::DoNotOptimize(PeerLabeling(thin));
    }
}
#endif

// The reporter that prints as Google Benchmark would and keeps each
// benchmark's median (or its single time) for the closing table.
std::map<std::string, double> medians;

template <class Base>
class Keeping : public Base {
public:
    using Base::Base;
    void ReportRuns(const std::vector<benchmark::BenchmarkReporter::Run>& runs) override {
        for (const auto& run : runs) {
            std::string name = run.run_name.function_name;
            if (run.run_type == benchmark::BenchmarkReporter::Run::RT_Aggregate) {
                if (run.aggregate_name != "median") continue;
            } else if (medians.count(name)) {
                continue;  // the median of repetitions arrives later and wins
            }
            medians[name] = run.GetAdjustedRealTime() / benchmark::GetTimeUnitMultiplier(run.time_unit) * 1e3;
        }
        Base::ReportRuns(runs);
    }
};

void PrintComparison(std::FILE* out) {
    const char* operations[] = {"Filter", "Binarize", "Thinning", "Labeling", "Chain"};
    std::fprintf(out, "\n%-22s %12s %12s %8s\n", "operation", "ours (ms)", "peer (ms)", "ratio");
    for (const Size& size : kSizes)
        for (const char* op : operations) {
            const std::string name = std::string(op) + "/" + size.name();
            if (!medians.count(name)) continue;
            const double ours = medians[name];
            if (medians.count("Peer/" + name)) {
                const double peer = medians["Peer/" + name];
                std::fprintf(out, "%-22s %12.3f %12.3f %8.3f\n", name.c_str(), ours, peer, ours / peer);
            } else {
                std::fprintf(out, "%-22s %12.3f %12s %8s\n", name.c_str(), ours, "-", "-");
            }
        }
    for (const Size& size : kSizes) {
        const std::string thin = "Thinning/" + size.name(), whole = "Measure/" + size.name(),
                          stream = "MeasureStream/" + size.name();
        if (!medians.count(thin) || !medians.count(whole) || !medians.count(stream)) continue;
        std::fprintf(out, "measures %s: whole %.3f ms, stream %.3f ms; thinning %.3f ms; stream / thinning %.2f\n",
                     size.name().c_str(), medians[whole], medians[stream], medians[thin], medians[stream] / medians[thin]);
        const std::string vectorize = "Vectorize/" + size.name();
        if (medians.count(vectorize))
            std::fprintf(out, "centre lines %s as SVG: %.3f ms; / thinning %.2f\n", size.name().c_str(), medians[vectorize],
                         medians[vectorize] / medians[thin]);
    }
    for (const Size& size : kSizes) {
        const std::string fixed = "Chain/" + size.name(), otsu = "ChainOtsu/" + size.name();
        if (medians.count(fixed) && medians.count(otsu))
            std::fprintf(out, "chain %s with Otsu's threshold: %.3f ms, %.2f x the fixed threshold's\n",
                         size.name().c_str(), medians[otsu], medians[otsu] / medians[fixed]);
    }
    const std::string small = "Chain/" + kSizes[0].name(), large = "Chain/" + kSizes[1].name();
    if (medians.count(small) && medians.count(large)) {
        const double pixels = double(kSizes[1].width) * kSizes[1].height / (double(kSizes[0].width) * kSizes[0].height);
        std::fprintf(out, "\nchain %s / %s: %.1f (pixel ratio %.1f, linear up to %.1f)\n", large.c_str(), small.c_str(),
                     medians[large] / medians[small], pixels, 1.3 * pixels);
    }
}

}  // namespace

int main(int argc, char** argv) {
#ifdef WORKBENCH_HAVE_OPENCV
    cv::setNumThreads(1);
#endif
    for (const Size& size : kSizes) {
        const std::string s = size.name();
        auto add = [&](const std::string& name, void (*work)(benchmark::State&, Size)) {
            benchmark::RegisterBenchmark(name.c_str(), work, size)->Unit(benchmark::kMillisecond)->UseRealTime();
        };
        add("Filter/" + s, Filter);
        add("Binarize/" + s, Binarize);
        add("Thinning/" + s, Thinning);
        add("Labeling/" + s, Labeling);
        add("Chain/" + s, Chain);
        add("ChainOtsu/" + s, ChainOtsu);
        add("Measure/" + s, Measure);
        add("MeasureStream/" + s, MeasureStream);
        add("Vectorize/" + s, Vectorize);
#ifdef WORKBENCH_HAVE_OPENCV
        add("Peer/Filter/" + s, PeerFilterBench);
        add("Peer/Binarize/" + s, PeerBinarizeBench);
        add("Peer/Thinning/" + s, PeerThinningBench);
        add("Peer/Labeling/" + s, PeerLabelingBench);
        add("Peer/Chain/" + s, PeerChainBench);
#endif
    }
    // Looked at before Initialize, which removes the flags it consumes.
    bool json = false, console = true;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--benchmark_format=json") == 0) json = true, console = false;
        if (std::strcmp(argv[i], "--benchmark_format=csv") == 0) console = false;
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    if (json) {
        Keeping<benchmark::JSONReporter> reporter;
        benchmark::RunSpecifiedBenchmarks(&reporter);
    } else if (console) {
        Keeping<benchmark::ConsoleReporter> reporter;
        benchmark::RunSpecifiedBenchmarks(&reporter);
    } else {
        benchmark::RunSpecifiedBenchmarks();
    }
    // The table goes to standard output after the console report, and to
    // standard error when standard output carries JSON or CSV.
    PrintComparison(console ? stdout : stderr);
    benchmark::Shutdown();
    return 0;
}
