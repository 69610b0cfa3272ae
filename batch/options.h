// The command line of workbench-batch: options first, then the words of the
// word chain or, with --out, the inputs of the many-pictures mode.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "batch/protocol.h"
#include "codec/encode.h"
#include "ops/settings.h"
#include "ops/stage.h"

struct ManyOptions {
    std::string out;              // --out DIR
    int jobs = 0;                 // --jobs N; 0 means the number of cores
    int threads = 0;              // --threads N per picture; 0 shares the cores between the jobs
    int shard = 0, shards = 1;    // --shard K/N
    std::optional<std::string> report;  // --report FILE
    bool force = false;           // --force
    std::uint64_t maxMemory = 0;  // --max-memory SIZE in bytes; 0 means the machine's memory / jobs
    ops::StageSet keep = ops::StageSet::All();           // --keep STAGES: the stages kept
    codec::OutputFormat format = codec::kStageOutput;  // --format bmp|png
    // --measure: kThinned; --skeleton: kInput, which keeps no stage (keep
    // is then empty).
    Measures measures = Measures::kNone;
    VectorFormats vectors;  // --vector FORMATS: the centre lines' files
    double simplify = 0;    // --simplify TOL, in pixels; 0 lossless
    ops::ChainSettings settings;  // --gray, --threshold, --thin
    bool withExtension = false;   // --with-extension: result folders keep the input's extension
};

struct Invocation {
    bool help = false;
    bool version = false;
    std::vector<std::string> folders;  // each -C DIR, in order
    std::optional<int> page;           // --page K: the page load takes, from 1
    std::optional<double> simplify;    // --simplify TOL: the tolerance vectorize (or --vector) takes
    ops::ChainSettings settings;       // --gray, --threshold, --thin
    std::optional<ManyOptions> many;   // present with --out
    std::vector<std::string> rest;     // the words, or the inputs
};

// Reads the arguments after the program's name. On a usage error returns
// nothing and sets error to a one-line message.
std::optional<Invocation> ParseCommandLine(const std::vector<std::string>& args, std::string& error);

// Goes into each folder in turn, creating it (and its parents) when missing.
// On failure returns false and sets error to a one-line message.
bool EnterFolders(const std::vector<std::string>& folders, std::string& error);

// mkdir -p: every missing folder along the path, with the umask's
// permissions. Returns 0, or the errno value of the step that failed.
int MakeFolders(const std::string& path);
