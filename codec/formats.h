// The picture formats the program reads, in one table: for each, how its
// first bytes are told, its file name extensions, its name for messages,
// its opener (see codec/open.h) and how the size it declares is found.
// Adding a format takes its decoder and one line of the table (in
// codec/formats.cpp), and a value here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "codec/decode.h"

namespace codec {

enum class Format { kUnknown, kBmp, kPng, kJpeg, kGif, kPnm, kIco, kTiff };

// The format of the window's stage files and of the pictures it saves: the
// only format their reads accept.
inline constexpr Format kStageFileFormat = Format::kBmp;

// SniffFormat never looks further than this many bytes.
inline constexpr std::size_t kSniffBytes = 512;

// The format the first bytes of a file of fileSize bytes announce (pass
// the first kSniffBytes of the file, or the whole file when shorter).
// kUnknown when none matches:
//   BMP  "BM"; or a packed bitmap (a BMP file without its file header, a
//        clipboard DIB), told by its bitmap header and by sizes that agree
//        with the file's (see PackedBitmapPixelOffset in codec/bmp.h)
//   PNG  89 50 4E 47 0D 0A 1A 0A
//   JPEG FF D8 FF             GIF  "GIF87a" or "GIF89a"
//   PNM  "P1".."P6" and white space or "#"
//   ICO  00 00 01 00 (CUR 00 00 02 00) and a plausible first directory
//        entry (see LooksLikeIco in codec/ico.h).
//   TIFF "II*\0" or "MM\0*"; BigTIFF "II+\0" or "MM\0+"
Format SniffFormat(std::span<const std::uint8_t> head, std::uint64_t fileSize);

// The same for bytes that are the whole file.
Format SniffFormat(std::span<const std::uint8_t> head);

// The same from the file itself: its first kSniffBytes and its size (an
// empty file is kUnknown).
Format SniffFormat(const RandomAccess& file);

// A short upper-case name for messages: "BMP", "PNG", "JPEG", "GIF", "PNM",
// "ICO", "TIFF"; "unknown" for kUnknown.
const char* FormatName(Format format);

// Every format the program reads, in the order of the table.
std::vector<Format> ReadFormats();

// The file name extensions of the format's files, lower case, without the
// dot: {"bmp", "dib"} for BMP; none for kUnknown.
std::vector<std::string_view> ExtensionsOf(Format format);

// Whether a file name extension (without the dot, any case: "JPG", "Tif")
// is one of a format the program reads; a folder contributes the files
// named so.
bool IsPictureExtension(std::string_view extension);

// The format whose files are named with the extension (any case): kBmp
// for "bmp" or "DIB"; kUnknown for none. For a caller that takes one format
// only (OpenOptions::only) without naming the format's value.
Format FormatOfExtension(std::string_view extension);

// The picture size a file declares, as stored, and the bytes of the file a
// reader holds besides the rows (a BMP file's headers and pixel data).
struct DeclaredPixels {
    std::uint64_t width = 0;
    std::uint64_t height = 0;
    std::uint64_t heldFileBytes = 0;
};

// The size the file declares, from as little of it as its format allows:
// the headers for BMP (from the first kSniffBytes; a packed bitmap's as the
// BMP file it stands for), the decoder run up to
// where it would ask for rows for PNG, JPEG, GIF and PNM. Nothing for ICO
// and TIFF (read through their directories), for a file the decoder
// refuses before that point (over maxPixels, damaged) or one of no known
// format. Exceptions from file.read pass through unchanged.
std::optional<DeclaredPixels> DeclaredSizeOf(const RandomAccess& file, std::uint64_t maxPixels);

}  // namespace codec
