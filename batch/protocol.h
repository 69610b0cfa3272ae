// What a many-pictures run and its workers say to each other over pipes.
//
// A message is a length (4 bytes, little-endian) and that many bytes:
// fields, each ended by a NUL byte. No field holds a NUL (file names cannot).
//   run to worker:  "picture" INPUT FOLDER PAGE STAGES FORMAT MEASURES VECTORS SIMPLIFY
//                   GRAY THRESHOLD THIN
//   worker to run:  "done" SECONDS WIDTH HEIGHT TOTALS LEVEL FILE...  (the files it wrote)
//                   "failed" SECONDS MESSAGE
// MEASURES is "none", "C" or "input" (Measures); VECTORS the vector files
// asked for ("svg,dxf", or "none"), SIMPLIFY their tolerance in pixels in
// the shortest text that reads back exactly; TOTALS is "-" for a
// picture not measured, else SKELETONS BRANCHES JUNCTIONS END_POINTS
// TOTAL_LENGTH PIXELS_PER_METRE separated by spaces, the length in the
// shortest text that reads back exactly, PIXELS_PER_METRE the measures'
// scale for millimetres (0 for none). GRAY, THRESHOLD and THIN are the chain's settings
// in their words ("blue", "otsu", "9"); LEVEL is the level binarize used,
// or -1 when the chain did not reach it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "codec/encode.h"
#include "codec/vector.h"
#include "ops/settings.h"
#include "ops/skeleton.h"
#include "ops/stage.h"

// What a picture's skeleton measures are taken from: none; the chain's
// thinned stage C (--measure); or the input itself, taken as the thinned
// stage, with no chain (--skeleton).
enum class Measures : std::uint8_t { kNone, kThinned, kInput };

// "none", "C", "input": the request's field and the record's line.
const char* NameOf(Measures measures);
std::optional<Measures> MeasuresNamed(const std::string& name);

// The vector files of the centre lines (--vector), each format once, in the
// order of codec::kVectorFormats.
using VectorFormats = std::vector<codec::VectorFormat>;

// "svg,dxf": the request's field and the record's line; "none" for none.
std::string VectorNames(const VectorFormats& formats);
// Names as --vector takes them or VectorNames gives them: separated by
// commas, in any order, repeated or not; or "none". Nothing for anything
// else (an empty name included).
std::optional<VectorFormats> VectorFormatsNamed(const std::string& names);
// Those of both, in order.
VectorFormats Joined(const VectorFormats& a, const VectorFormats& b);

// One picture for a worker: read page `page` of input, run the chain to the
// last stage kept (to C at least when C is measured), and write the kept
// stages into folder, with the measures' tables and the vector files of the
// centre lines when they are asked for (the chain then runs to C at least).
// With Measures::kInput no chain runs and no stage is kept.
struct PictureRequest {
    std::string input;
    std::string folder;
    int page = 1;                // from 1
    ops::StageSet stages = ops::StageSet::All();         // the stages kept
    codec::OutputFormat format = codec::kStageOutput;  // the stage files' format
    Measures measures = Measures::kNone;
    VectorFormats vectors;  // the vector files written
    double simplify = 0;    // their tolerance in pixels; 0 lossless
    ops::ChainSettings settings;  // the chain's settings
};

// What a worker says about a picture.
struct PictureReply {
    bool done = false;
    double seconds = 0;              // the worker's time on the picture
    std::string message;             // why it failed
    long width = 0, height = 0;      // the picture's size
    std::vector<std::string> files;  // the names written in the folder: stages in order, the tables, the vector files
    std::optional<ops::SkeletonTotals> totals;  // for a picture measured
    int level = -1;  // the level binarize used (Otsu's choice, or N); -1 when not run
};

std::string EncodeRequest(const PictureRequest& request);
std::optional<PictureRequest> DecodeRequest(const std::string& message);
std::string EncodeReply(const PictureReply& reply);
std::optional<PictureReply> DecodeReply(const std::string& message);

// Bytes in, whole messages out.
class MessageBuffer {
public:
    void Append(const char* bytes, std::size_t size) { bytes_.append(bytes, size); }
    // The next whole message without its length, or nothing yet.
    std::optional<std::string> Next();
    // A length too long for any message of ours came: the stream is not ours.
    bool broken() const { return broken_; }

private:
    std::string bytes_;
    bool broken_ = false;
};

// Writes one message whole (blocking); false when the other end is gone.
bool WriteMessage(int fd, const std::string& message);

// Reads one message (blocking); nothing at the end of the stream or on a
// stream cut inside a message.
std::optional<std::string> ReadMessage(int fd);
