// Writing pictures: the formats stage files and saved pictures are written
// in, by name, and one way to encode rows in either.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>

#include "codec/decode.h"
#include "ops/pixels.h"

namespace codec {

enum class OutputFormat : std::uint8_t { kBmp, kPng };

// What the window's stage files and saved pictures are written in, and
// the default of a many-pictures run.
inline constexpr OutputFormat kStageOutput = OutputFormat::kBmp;

// The formats that can be written, in the order --help names them.
inline constexpr OutputFormat kOutputFormats[] = {OutputFormat::kBmp, OutputFormat::kPng};

// The name a user gives for it, which is also its files' extension: "bmp",
// "png".
const char* NameOf(OutputFormat format);

// The format of a name as NameOf gives it (lower case only); nothing for
// any other.
std::optional<OutputFormat> OutputFormatNamed(std::string_view name);

// Whether a file of the format can hold a picture of width x height pixels:
// a BMP file's size fields count at most 4 GiB.
bool Holds(OutputFormat format, std::uint64_t width, std::uint64_t height);

using ByteSink = std::function<void(const std::uint8_t* bytes, std::size_t size)>;

// Encodes the rows (a picture of no pixels too, as a BMP file) and hands
// the file's bytes to sink in order: BMP uncompressed 24-bit, PNG in its
// smallest lossless form (codec/png_write.h). Throws BmpError or
// PngWriteError; exceptions from sink pass through unchanged.
void Encode(const ops::RowView& rows, OutputFormat format, const ByteSink& sink);

// The same with the picture's resolution: the BMP header's pixels a metre
// (2835 both ways when it is not known, as above), a PNG pHYs chunk in
// metres (none when it is not known).
void Encode(const ops::RowView& rows, OutputFormat format, const ByteSink& sink, const Resolution& resolution);

}  // namespace codec
