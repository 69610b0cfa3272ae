// workbench-png-bench: the PNG writer on the benchmark's stroke picture and
// the chain's four stage pictures of it (filtered, binarized, thinned,
// labeled), run in memory, at 640 x 480 and 2480 x 3508 (A4 at 300 dpi).
// Every zlib level of 1, 3, 6 and 9 with every row filter (none, sub, up,
// paeth, adaptive) and zlib strategy (default, filtered, RLE), and the
// compression the writer chooses by itself. Each run scans, packs and
// compresses into memory. The closing table gives, per picture, the time
// (CPU and real) and size of every setting; then per picture the fastest,
// the smallest, libpng's own default and the writer's choice, by CPU time.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "bench/synthetic.h"
#include "codec/png_write.h"
#include "ops/binarize.h"
#include "ops/filter.h"
#include "ops/labeling.h"
#include "ops/thinning.h"

namespace {

using codec::PngCompression;
using codec::PngFilter;
using codec::ZlibStrategy;

struct Size {
    int width, height;
    std::string name() const { return std::to_string(width) + "x" + std::to_string(height); }
};
constexpr Size kSizes[] = {{640, 480}, {2480, 3508}};

// The stroke picture itself, the same with its green bytes jittered (far
// more than 256 colours: the RGB case), and the four stages by the names of
// their stage files.
constexpr const char* kStages[] = {"input", "rgb", "A", "B", "C", "D"};
constexpr int kStageCount = 6;

std::vector<bench::Picture> MakeStages(const Size& size) {
    std::vector<bench::Picture> stages;
    stages.push_back(bench::MakeStrokePicture(size.width, size.height));
    bench::Picture p = stages.back();
    bench::Picture jittered = p;
    for (int y = 0; y < size.height; ++y)
        for (int x = 0; x < size.width; ++x) {
            std::uint8_t& green = jittered.bytes[static_cast<std::size_t>(y * jittered.stride + 3 * x + 1)];
            green = static_cast<std::uint8_t>(green + (x * 7 + y * 13) % 32);
        }
    stages.push_back(jittered);
    ops::Filter(p.view());
    stages.push_back(p);
    ops::Binarize(p.view());
    stages.push_back(p);
    bench::Picture written = p;
    ops::Thin(p.view(), written.view());
    stages.push_back(p);
    ops::Label(p.view());
    stages.push_back(p);
    return stages;
}

const bench::Picture& Stage(const Size& size, int stage) {
    static std::map<int, std::vector<bench::Picture>> made;
    auto found = made.find(size.width);
    if (found == made.end()) found = made.emplace(size.width, MakeStages(size)).first;
    return found->second[stage];
}

const char* FilterName(PngFilter f) {
    switch (f) {
    case PngFilter::kNone: return "none";
    case PngFilter::kSub: return "sub";
    case PngFilter::kUp: return "up";
    case PngFilter::kPaeth: return "paeth";
    case PngFilter::kAdaptive: break;
    }
    return "adaptive";
}

const char* StrategyName(ZlibStrategy s) {
    switch (s) {
    case ZlibStrategy::kFiltered: return "filtered";
    case ZlibStrategy::kRle: return "rle";
    case ZlibStrategy::kDefault: break;
    }
    return "default";
}

std::string FormName(const codec::PngForm& form) {
    const char* colour = form.colour == codec::PngForm::Colour::kGray      ? "gray"
                         : form.colour == codec::PngForm::Colour::kPalette ? "palette"
                                                                           : "rgb";
    return std::to_string(form.bitDepth) + "-bit " + colour;
}

std::string SettingName(const PngCompression& c) {
    std::string name = "L";
    name += std::to_string(c.level);
    name += '/';
    name += FilterName(c.filter);
    name += '/';
    name += StrategyName(c.strategy);
    return name;
}

// Per picture (size/stage) and setting: milliseconds and bytes.
struct Result {
    double ms = 0;      // CPU time: the work is on one thread, and on a shared machine
    double realMs = 0;  // it is steadier than the time on the clock
    std::size_t bytes = 0;
};
std::map<std::string, std::map<std::string, Result>> results;
std::map<std::string, std::string> forms;
std::map<std::string, std::string> chosenSettings;  // the writer's own choice per picture

void Encode(benchmark::State& state, Size size, int stage, PngCompression compression, bool chosen) {
    const bench::Picture& picture = Stage(size, stage);
    const ops::RowView rows{const_cast<std::uint8_t*>(picture.bytes.data()), picture.width, picture.height,
                            picture.stride};  // only read
    std::vector<std::uint8_t> file;
    file.reserve(picture.bytes.size() + 65536);
    const auto sink = [&](const std::uint8_t* bytes, std::size_t n) { file.insert(file.end(), bytes, bytes + n); };
    codec::PngForm form;
    for (auto _ : state) {
        file.clear();
        form = chosen ? codec::EncodePng(rows, sink) : codec::EncodePng(rows, sink, compression);
        benchmark::DoNotOptimize(file.data());
    }
    state.counters["KB"] = static_cast<double>(file.size()) / 1000;
    const std::string key = size.name() + " " + kStages[stage];
    forms[key] = FormName(form);
    if (chosen) chosenSettings[key] = SettingName(codec::PngCompressionFor(form));
    results[key][chosen ? "chosen" : SettingName(compression)].bytes = file.size();
}

// Keeps each benchmark's time for the closing table.
class Keeping : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.run_type == Run::RT_Aggregate && run.aggregate_name != "median") continue;
            const std::string name = run.run_name.function_name;  // size/stage/setting
            const std::size_t first = name.find('/'), second = name.find('/', first + 1);
            const std::string key = name.substr(0, first) + " " + name.substr(first + 1, second - first - 1);
            Result& result = results[key][name.substr(second + 1)];
            const double perMs = benchmark::GetTimeUnitMultiplier(run.time_unit) / 1e3;
            result.ms = run.GetAdjustedCPUTime() / perMs;
            result.realMs = run.GetAdjustedRealTime() / perMs;
        }
        ConsoleReporter::ReportRuns(runs);
    }
};

void PrintTables(std::FILE* out) {
    for (const auto& [picture, settings] : results) {
        std::fprintf(out, "\n%s (%s), BMP %.0f KB\n", picture.c_str(), forms[picture].c_str(),
                     [&] {
                         for (const Size& s : kSizes)
                             if (picture.rfind(s.name() + " ", 0) == 0)
                                 return (54.0 + double((3 * s.width + 3) / 4 * 4) * s.height) / 1000;
                         return 0.0;
                     }());
        for (const auto& [setting, r] : settings)
            std::fprintf(out, "  %-30s %10.3f ms cpu %10.3f ms real %10.1f KB\n",
                         setting == "chosen" ? ("chosen " + chosenSettings[picture]).c_str() : setting.c_str(), r.ms,
                         r.realMs, r.bytes / 1000.0);
    }
    std::fprintf(out, "\nPer picture: the fastest, the smallest, libpng's default and the writer's choice\n");
    for (const auto& [picture, settings] : results) {
        std::string fastest, smallest, chosen, standard;
        for (const auto& [setting, r] : settings) {
            if (setting == "chosen") {
                chosen = setting;
                continue;
            }
            if (fastest.empty() || r.ms < settings.at(fastest).ms) fastest = setting;
            if (smallest.empty() || r.bytes < settings.at(smallest).bytes) smallest = setting;
        }
        // libpng's default: filters only for 8-bit gray and RGB, with zlib's
        // filtered strategy; no filter and the default strategy otherwise.
        const bool filtered = forms[picture] == "8-bit gray" || forms[picture] == "8-bit rgb";
        standard = filtered ? "L6/adaptive/filtered" : "L6/none/default";
        auto cell = [&](const std::string& s) {
            if (!settings.count(s)) return std::string("-");
            char text[64];
            std::snprintf(text, sizeof text, "%.2f ms %.1f KB", settings.at(s).ms, settings.at(s).bytes / 1000.0);
            return s + " " + text;
        };
        std::fprintf(out, "%-18s %-14s\n    fastest  %s\n    smallest %s\n    libpng   %s\n    chosen   %s (%s)\n",
                     picture.c_str(), forms[picture].c_str(), cell(fastest).c_str(), cell(smallest).c_str(),
                     cell(standard).c_str(), cell(chosen).c_str(), chosenSettings[picture].c_str());
    }
}

}  // namespace

int main(int argc, char** argv) {
    const int levels[] = {1, 3, 6, 9};
    const PngFilter filters[] = {PngFilter::kNone, PngFilter::kSub, PngFilter::kUp, PngFilter::kPaeth,
                                 PngFilter::kAdaptive};
    const ZlibStrategy strategies[] = {ZlibStrategy::kDefault, ZlibStrategy::kFiltered, ZlibStrategy::kRle};
    for (const Size& size : kSizes)
        for (int stage = 0; stage < kStageCount; ++stage) {
            const std::string prefix = size.name() + "/" + kStages[stage] + "/";
            benchmark::RegisterBenchmark((prefix + "chosen").c_str(), Encode, size, stage, PngCompression{}, true)
                ->Unit(benchmark::kMillisecond)
                ->UseRealTime();
            for (int level : levels)
                for (PngFilter filter : filters)
                    for (ZlibStrategy strategy : strategies) {
                        const PngCompression c{level, filter, strategy};
                        benchmark::RegisterBenchmark((prefix + SettingName(c)).c_str(), Encode, size, stage, c, false)
                            ->Unit(benchmark::kMillisecond)
                            ->UseRealTime();
                    }
        }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    Keeping reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    PrintTables(stdout);
    benchmark::Shutdown();
    return 0;
}
