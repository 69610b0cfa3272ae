// A picture's result folder below --out, and the record in it.
//
// A result folder holds a finished result or nothing of ours: the record
// ".finished" is written last, atomically, once the stage files kept are
// on the disk; what a picture that failed or was stopped wrote is removed.
// The record names the input (its path, size and modification time), the
// page, the picture's size, the stages kept and their format, what the
// skeleton measures were taken from (when they were) with their totals, and
// each file with its size:
//
//   workbench-batch finished
//   input "/data/scans/x.png"
//   size 30417
//   modified 1765282113.123456789
//   page 1
//   width 640
//   height 480
//   stages C,D
//   format png
//   measured C
//   skeletons 12
//   branches 85
//   junctions 40
//   end_points 61
//   total_length 5234.700000000001
//   pixels_per_metre 11811
//   vectors svg,geojson
//   simplify 0
//   file C.png 5321
//   file D.png 5400
//   file branches.csv 4817
//   file skeletons.csv 1203
//   file skeleton.svg 20417
//   file skeleton.geojson 61233
//
// "measured C": from the chain's stage C (--measure); "measured input":
// from the input taken as that stage, with no chain and "stages none"
// (--skeleton). A record without "measured" holds no measures;
// "pixels_per_metre" is there when the tables give lengths in millimetres
// too, at that scale (core/measure.h, MillimetreScale). "vectors":
// the vector files of the centre lines (--vector), of the same source as
// the measures (stage C, or the input with --skeleton), simplified within
// "simplify" pixels (--simplify; 0 lossless); a record without them holds
// none. A chain run with other settings than the defaults names them after
// "format", with the level binarize used when it ran:
//
//   gray luma
//   threshold otsu
//   thin full
//   level 97
//
// A record without them stands for the defaults (blue, 126, 9). (Records of
// earlier versions end after "height": they stand for stages A,B,C,D in
// BMP.) While a
// run works in a folder it holds a lock on it (flock), so runs that overlap
// never work in one folder at once.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "batch/jobs.h"
#include "batch/protocol.h"
#include "codec/encode.h"
#include "ops/settings.h"
#include "ops/skeleton.h"
#include "ops/stage.h"

inline constexpr char kRecordName[] = ".finished";

// True for the name of a file a result folder holds (a stage file, a table
// of the measures, a vector file, the record).
bool IsResultFileName(const std::string& leaf);

struct PictureSize {
    long width = 0, height = 0;
};

// The input as it is now: its size and modification time.
struct Stamp {
    std::uint64_t size = 0;
    std::int64_t seconds = 0, nanoseconds = 0;
};
std::optional<Stamp> StampOf(const std::string& path);

// A finished picture's result: what its record says.
struct Result {
    PictureSize size;
    ops::StageSet stages;  // the stages kept
    codec::OutputFormat format = codec::kStageOutput;
    Measures measured = Measures::kNone;
    ops::SkeletonTotals totals;  // when measured
    VectorFormats vectors;       // the vector files
    double simplify = 0;         // their tolerance
    ops::ChainSettings settings;  // the chain's settings
    int level = -1;               // the level binarize used, when the record names it
    struct File {
        std::string name;        // in the folder: "C.png"
        std::int64_t bytes = -1;  // -1 in records that do not say
    };
    std::vector<File> files;
};

// The folder's result, when its record matches the input as it is now and
// the stages and format asked for, and every file it names is there whole.
// Measures asked for must be recorded, taken from the same source; a result
// measured from stage C also stands for the same stages asked for without
// the measures: what was asked for is there. So with the vector files:
// those asked for must be among those recorded, simplified within the same
// tolerance; a result with more stands for fewer, or none. The chain's
// settings asked for must be those recorded.
std::optional<Result> FinishedResult(const std::string& folder, const Job& job, ops::StageSet stages,
                                     codec::OutputFormat format, Measures measures = Measures::kNone,
                                     const VectorFormats& vectors = {}, double simplify = 0,
                                     const ops::ChainSettings& settings = {});

// Makes the folder (and its parents), locks it for this run and removes what
// an earlier run left in it. Returns the lock, to be given to ReleaseFolder
// when the picture ends, or -1 with error set to a one-line message.
int ClaimFolder(const std::string& folder, std::string& error);

// Ends the run's work in a claimed folder. A picture that did not finish
// leaves nothing of ours: its files are removed, and so are its folder and
// the parents below `out` that this leaves empty.
void ReleaseFolder(const std::string& out, const std::string& folder, int lock, bool finished);

// Writes the record of a finished picture: whole or not at all, and only
// once its files are on the disk (batch/flush_group.h). The record itself
// is not flushed: one lost or cut short by a crash no longer matches, and
// the picture is done again. Returns false with error set.
bool WriteRecord(const std::string& folder, const Job& job, const Stamp& stamp, const Result& result,
                 std::string& error);

