// Centre-line files: the paths the skeleton stream hands out (ops/
// skeleton_stream.h), kept in an unnamed temporary file as they complete,
// and the vector files written from them once the picture is done. Memory
// holds eight bytes a path and a block of the file, never the paths.
#pragma once

#include <cstdint>
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

private:
    void Keep(std::int64_t piece, std::span<const ops::PixelPoint> path);
    void Spill();

    FileName folder_;
    int fd_ = -1;
    std::vector<std::uint64_t> offsets_;  // where each piece starts; one more at the end
    std::vector<std::uint8_t> block_;     // not yet in the file
    std::uint64_t written_ = 0;
};
