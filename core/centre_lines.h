// Centre-line files: the paths the skeleton stream hands out (ops/
// skeleton_stream.h), kept in an unnamed temporary file as they complete,
// and the vector files written from them once the picture is done. Memory
// holds eight bytes a path and a block of the file, never the paths.
//
// Also what the word `vectorize` and the workers share: the vector files'
// names in a result folder, and a thinned picture file vectorized.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "codec/vector.h"
#include "core/files.h"
#include "ops/centre_lines.h"
#include "ops/skeleton_stream.h"

class CentreLinePaths {
public:
    // The temporary file goes in `folder` (where the files will be written,
    // so that it takes the same disk), and is gone when this object is.
    explicit CentreLinePaths(const FileName& folder);
    ~CentreLinePaths();
    CentreLinePaths(const CentreLinePaths&) = delete;
    CentreLinePaths& operator=(const CentreLinePaths&) = delete;

    // What to give SkeletonStream: keeps each path as it is handed out.
    ops::CentrePathSink Sink();

    // Writes `target`, whole or not at all, in `format`: the lines of a
    // picture of width x height pixels, simplified within `tolerance`
    // pixels when it is above 0.
    void Write(const FileName& target, codec::VectorFormat format, int width, int height,
               const ops::CentreLines& lines, double tolerance, files::Durability durability = files::Durability::kFlushedEach);

    // The path of a piece, read back.
    std::vector<ops::PixelPoint> PathOf(std::int64_t piece);
    void PathOf(std::int64_t piece, std::vector<ops::PixelPoint>& path);

    // The bytes held in memory (the offsets and the block not yet in the
    // file), for a memory limit to weigh.
    std::size_t BytesHeld() const;

private:
    void Keep(std::int64_t piece, std::span<const ops::PixelPoint> path);
    void Spill();

    FileName folder_;
    int fd_ = -1;
    std::vector<std::uint64_t> offsets_;  // where each piece starts; one more at the end
    std::vector<std::uint8_t> block_;     // not yet in the file
    std::uint64_t written_ = 0;
    // A window of the file as last read: paths are read back in about the
    // order they were kept, so most come out of the window.
    std::vector<std::uint8_t> window_;
    std::uint64_t windowStart_ = 0;
};

// A vector file's name in a result folder: "skeleton.svg", "skeleton.dxf",
// "skeleton.geojson".
std::string VectorFileName(codec::VectorFormat format);

// The word `vectorize`: reads a thinned picture as MeasurePictureFile
// (core/measure.h) does, refused the same way when it is not two-level,
// and writes its centre lines as `target` in `format`, whole or not at all,
// simplified within `tolerance` pixels when it is above 0. The paths wait
// in an unnamed temporary file in the target's folder. Returns the
// measures. Throws Exception.
ops::SkeletonMeasures VectorizePictureFile(const FileName& name, const FileName& target, codec::VectorFormat format,
                                           double tolerance);
