#include "codec/vector.h"

#include <array>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <future>
#include <string>
#include <system_error>

#include "codec/vector_writers.h"

namespace codec {

const char* NameOf(VectorFormat format) {
    switch (format) {
        case VectorFormat::kSvg:
            return "svg";
        case VectorFormat::kDxf:
            return "dxf";
        case VectorFormat::kGeoJson:
            return "geojson";
    }
    return "";
}

std::optional<VectorFormat> VectorFormatNamed(std::string_view name) {
    for (const VectorFormat format : kVectorFormats)
        if (name == NameOf(format)) return format;
    return std::nullopt;
}

std::optional<VectorFormat> VectorFormatOfFile(std::string_view fileName) {
    const std::size_t dot = fileName.rfind('.');
    const std::size_t slash = fileName.rfind('/');
    if (dot == std::string_view::npos || (slash != std::string_view::npos && dot < slash)) return std::nullopt;
    std::string extension(fileName.substr(dot + 1));
    for (char& c : extension)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (extension == "json") return VectorFormat::kGeoJson;
    return VectorFormatNamed(extension);
}

const char* VectorExtensions() { return ".svg, .dxf, .geojson or .json"; }

std::unique_ptr<VectorWriter> NewVectorWriter(VectorFormat format, int width, int height, ByteSink sink) {
    switch (format) {
        case VectorFormat::kSvg:
            return NewSvgWriter(width, height, std::move(sink));
        case VectorFormat::kDxf:
            return NewDxfWriter(width, height, std::move(sink));
        case VectorFormat::kGeoJson:
            return NewGeoJsonWriter(width, height, std::move(sink));
    }
    return nullptr;
}

char* PutShortestNumber(char* at, double value) {
    if (value == 0) {  // never "-0"
        *at = '0';
        return at + 1;
    }
    // Most coordinates are pixel centres, n + 0.5: below 2^31 the shortest
    // text of such a number is its whole part and ".5" (every digit counts,
    // so it is never shorter with an exponent), which integer formatting
    // gives far faster. Whole numbers are left to the general form, which
    // writes 100000 as 1e+05.
    const double twice = value * 2;
    if (std::abs(twice) < 0x1p31 && twice == std::trunc(twice)) {
        const auto halves = static_cast<std::int64_t>(twice);
        if (halves % 2 != 0) {
            const std::int64_t whole = halves / 2;  // toward zero
            if (halves < 0 && whole == 0) *at++ = '-';  // -0.5
            at = std::to_chars(at, at + 24, whole).ptr;
            *at++ = '.', *at++ = '5';
            return at;
        }
    }
    return std::to_chars(at, at + 32, value).ptr;
}

namespace {

// The polylines of a run of lines, end to end.
struct Polylines {
    std::vector<ops::DrawnPoint> points;
    std::vector<std::size_t> ends;  // where each line's points end
};

// Lines made a block at a time, the next block on a second thread while
// this one is written.
constexpr std::size_t kLinesABlock = 4096;

void MakePolylines(const ops::CentreLines& lines, const CentrePathOf& pathOf, double tolerance, std::size_t from,
                   std::size_t to, Polylines& made) {
    made.points.clear();
    made.ends.clear();
    std::vector<ops::PixelPoint> path;
    std::vector<ops::DrawnPoint> line;
    for (std::size_t k = from; k < to; ++k) {
        const std::int64_t piece = lines.order[k];
        pathOf(piece, path);
        ops::PolylineOf(lines.pieces[static_cast<std::size_t>(piece)], path, tolerance, line);
        made.points.insert(made.points.end(), line.begin(), line.end());
        made.ends.push_back(made.points.size());
    }
}

}  // namespace

void WriteCentreLines(VectorWriter& writer, const ops::CentreLines& lines, const CentrePathOf& pathOf, double tolerance) {
    std::size_t dot = 0;
    const auto dotsBefore = [&](std::int64_t skeleton) {
        for (; dot < lines.dots.size() && lines.dots[dot].skeleton < skeleton; ++dot)
            writer.Dot(lines.dots[dot].skeleton, lines.dots[dot].at.Drawn());
    };
    const std::size_t count = lines.order.size();
    Polylines blocks[2];
    std::future<void> next;
    const auto start = [&](std::size_t from, Polylines& made) {
        const std::size_t to = std::min(count, from + kLinesABlock);
        if (count <= kLinesABlock) {
            MakePolylines(lines, pathOf, tolerance, from, to, made);
            return;
        }
        try {
            next = std::async(std::launch::async, [&lines, &pathOf, tolerance, from, to, &made] {
                MakePolylines(lines, pathOf, tolerance, from, to, made);
            });
        } catch (const std::system_error&) {  // no thread to be had: made here
            MakePolylines(lines, pathOf, tolerance, from, to, made);
        }
    };
    if (count > 0) start(0, blocks[0]);
    for (std::size_t from = 0, b = 0; from < count; from += kLinesABlock, b ^= 1) {
        if (next.valid()) next.get();
        if (from + kLinesABlock < count) start(from + kLinesABlock, blocks[b ^ 1]);
        const Polylines& made = blocks[b];
        std::size_t begin = 0;
        for (std::size_t j = 0; j < made.ends.size(); ++j) {
            const ops::CentrePiece& p = lines.pieces[static_cast<std::size_t>(lines.order[from + j])];
            dotsBefore(p.skeleton);
            writer.Line(p, std::span<const ops::DrawnPoint>(made.points.data() + begin, made.ends[j] - begin));
            begin = made.ends[j];
        }
    }
    for (; dot < lines.dots.size(); ++dot) writer.Dot(lines.dots[dot].skeleton, lines.dots[dot].at.Drawn());
    writer.End();
}

std::string ShortestNumber(double value) {
    std::array<char, 32> text;
    return std::string(text.data(), PutShortestNumber(text.data(), value));
}

}  // namespace codec
