#include "codec/vector.h"

#include <array>
#include <charconv>
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

void WriteCentreLines(VectorWriter& writer, const ops::CentreLines& lines, const CentrePathOf& pathOf, double tolerance) {
    std::size_t dot = 0;
    for (const std::int64_t piece : lines.order) {
        const ops::CentrePiece& p = lines.pieces[static_cast<std::size_t>(piece)];
        for (; dot < lines.dots.size() && lines.dots[dot].skeleton < p.skeleton; ++dot)
            writer.Dot(lines.dots[dot].skeleton, lines.dots[dot].at.Drawn());
        const std::vector<ops::PixelPoint> path = pathOf(piece);
        writer.Line(p, ops::PolylineOf(p, path, tolerance));
    }
    for (; dot < lines.dots.size(); ++dot) writer.Dot(lines.dots[dot].skeleton, lines.dots[dot].at.Drawn());
    writer.End();
}

std::string ShortestNumber(double value) {
    if (value == 0) return "0";  // never "-0"
    std::array<char, 32> text;
    const auto result = std::to_chars(text.data(), text.data() + text.size(), value);
    return std::string(text.data(), result.ptr);
}

}  // namespace codec
