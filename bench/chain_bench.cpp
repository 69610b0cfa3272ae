// workbench-chain-bench [--keep STAGES] [--format bmp|png] FILE...
//
// The work of workbench-batch's many-pictures mode done in one process,
// with no workers and no files: each picture loaded as a worker loads it,
// the chain run to the last stage kept, and each kept stage encoded into
// memory. The floor that the mode's throughput is measured against.
// Prints one line:
//   pictures 200 seconds 0.412 pictures/s 485.4 bytes 836000
// (bytes: what the kept stage files would hold).
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "batch/chain.h"
#include "batch/memory.h"

int main(int argc, char** argv) {
    std::optional<ops::StageSet> stages = ops::StageSet::All();
    std::optional<codec::OutputFormat> format = codec::kStageOutput;
    std::vector<std::string> files;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if ((arg == "--keep" || arg == "--format") && i + 1 < argc) {
            std::string value = argv[++i];
            if (arg == "--format") {
                format = codec::OutputFormatNamed(value);
            } else {
                std::string letters;
                for (const char c : value)
                    if (c != ',') letters += c;
                stages = ops::StageSet::OfLetters(letters);
            }
        } else {
            files.push_back(arg);
        }
    }
    if (files.empty() || !stages || stages->empty() || !format) {
        std::fprintf(stderr, "usage: workbench-chain-bench [--keep STAGES] [--format bmp|png] FILE...\n");
        return 2;
    }
    KeepFreedMemory();  // as a worker does
    std::uint64_t bytes = 0;
    const auto start = std::chrono::steady_clock::now();
    for (const std::string& file : files) {
        try {
            TBitmap picture = LoadForChain(FileName(file));
            const ops::RowView rows = picture.Rows();
            const char* step = "";
            RunStages(
                rows, *stages,
                [&](ops::Stage) {
                    codec::Encode(rows, *format, [&](const std::uint8_t*, std::size_t size) { bytes += size; });
                },
                step);
        } catch (const std::exception& error) {
            std::fprintf(stderr, "workbench-chain-bench: %s: %s\n", file.c_str(), error.what());
            return 1;
        }
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("pictures %zu seconds %.3f pictures/s %.1f bytes %llu\n", files.size(), seconds,
                static_cast<double>(files.size()) / seconds, static_cast<unsigned long long>(bytes));
    return 0;
}
