#include "codec/vector.h"

#include <array>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <string>

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

void WriteCentreLines(VectorWriter& writer, const ops::CentreLines& lines, const CentrePathOf& pathOf, double tolerance) {
    std::size_t dot = 0;
    std::vector<ops::PixelPoint> path;  // their storage kept from line to line
    std::vector<ops::DrawnPoint> line;
    for (const std::int64_t piece : lines.order) {
        const ops::CentrePiece& p = lines.pieces[static_cast<std::size_t>(piece)];
        for (; dot < lines.dots.size() && lines.dots[dot].skeleton < p.skeleton; ++dot)
            writer.Dot(lines.dots[dot].skeleton, lines.dots[dot].at.Drawn());
        pathOf(piece, path);
        ops::PolylineOf(p, path, tolerance, line);
        writer.Line(p, line);
    }
    for (; dot < lines.dots.size(); ++dot) writer.Dot(lines.dots[dot].skeleton, lines.dots[dot].at.Drawn());
    writer.End();
}

std::string ShortestNumber(double value) {
    std::array<char, 32> text;
    return std::string(text.data(), PutShortestNumber(text.data(), value));
}

}  // namespace codec
