// Writing centre lines (ops/centre_lines.h): the vector formats, by name
// and by file extension, and one way to write polylines in any of them, a
// polyline at a time, so that a file of any size is written in bounded
// memory.
//
// Every format takes the picture's size, so that the file lies exactly
// over the picture: SVG in the picture's own coordinates (y down); DXF and
// GeoJSON with y pointing up, y = height - (row + 0.5) for a pixel's
// centre, as CAD programs and maps expect. Coordinates are in pixels,
// written in the shortest form that reads back to the same double.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "codec/encode.h"
#include "ops/centre_lines.h"

namespace codec {

enum class VectorFormat : std::uint8_t { kSvg, kDxf, kGeoJson };

// In the order --help names them.
inline constexpr VectorFormat kVectorFormats[] = {VectorFormat::kSvg, VectorFormat::kDxf, VectorFormat::kGeoJson};

// The name a user gives for it, which is also its files' extension: "svg",
// "dxf", "geojson".
const char* NameOf(VectorFormat format);

// The format of a name as NameOf gives it (lower case only); nothing for
// any other.
std::optional<VectorFormat> VectorFormatNamed(std::string_view name);

// The format a file name's extension names, in any case: .svg, .dxf,
// .geojson or .json; nothing for any other.
std::optional<VectorFormat> VectorFormatOfFile(std::string_view fileName);

// The extensions VectorFormatOfFile takes, for messages: ".svg, .dxf, .geojson or .json".
const char* VectorExtensions();

// Writes one file: Line and Dot any number of times, then End once. The
// bytes go to the sink as they are made.
class VectorWriter {
public:
    virtual ~VectorWriter() = default;
    // A branch's polyline (at least two points; closed: the last point is
    // the first again).
    virtual void Line(const ops::CentrePiece& piece, std::span<const ops::DrawnPoint> points) = 0;
    // A skeleton without a branch, as a point.
    virtual void Dot(std::int64_t skeleton, ops::DrawnPoint at) = 0;
    virtual void End() = 0;
};

std::unique_ptr<VectorWriter> NewVectorWriter(VectorFormat format, int width, int height, ByteSink sink);

// Puts the path of a piece (its number in CentreLines::pieces) into `path`,
// from wherever the paths are kept.
using CentrePathOf = std::function<void(std::int64_t piece, std::vector<ops::PixelPoint>& path)>;

// Writes the centre lines with `writer` and ends the file: lines and dots
// in the order of their skeletons, a skeleton's lines in the order of the
// branches table, each line the polyline of its piece's path (pathOf),
// simplified within `tolerance` pixels when it is above 0.
void WriteCentreLines(VectorWriter& writer, const ops::CentreLines& lines, const CentrePathOf& pathOf, double tolerance);

// A number in the shortest text that reads back to the same double.
std::string ShortestNumber(double value);

// The same text, put at `at` (room for 32 characters); returns its end.
char* PutShortestNumber(char* at, double value);

}  // namespace codec
