#include "codec/encode.h"

#include "codec/bmp.h"
#include "codec/png_write.h"

namespace codec {

const char* NameOf(OutputFormat format) { return format == OutputFormat::kPng ? "png" : "bmp"; }

std::optional<OutputFormat> OutputFormatNamed(std::string_view name) {
    for (const OutputFormat format : kOutputFormats)
        if (name == NameOf(format)) return format;
    return std::nullopt;
}

bool Holds(OutputFormat format, std::uint64_t width, std::uint64_t height) {
    return format != OutputFormat::kBmp || Bmp24FileSize(width, height).has_value();
}

void Encode(const ops::RowView& rows, OutputFormat format, const ByteSink& sink) { Encode(rows, format, sink, {}); }

void Encode(const ops::RowView& rows, OutputFormat format, const ByteSink& sink, const Resolution& resolution) {
    if (format == OutputFormat::kPng)
        EncodePng(rows, sink, resolution);
    else
        EncodeBmp24(rows, sink, resolution);
}

}  // namespace codec
