// Telling picture formats apart from their first bytes, and naming them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace codec {

enum class Format { kUnknown, kBmp, kPng, kJpeg, kGif, kPnm, kIco, kTiff };

// SniffFormat never looks further than this many bytes.
inline constexpr std::size_t kSniffBytes = 512;

// The format the file's first bytes announce (pass the first kSniffBytes of
// the file, or the whole file when shorter). kUnknown when none matches:
//   BMP  "BM"                 PNG  89 50 4E 47 0D 0A 1A 0A
//   JPEG FF D8 FF             GIF  "GIF87a" or "GIF89a"
//   PNM  "P1".."P6" and white space or "#"
//   ICO  00 00 01 00 (CUR 00 00 02 00) and a plausible first directory
//        entry (see LooksLikeIco in codec/ico.h).
//   TIFF "II*\0" or "MM\0*"; BigTIFF "II+\0" or "MM\0+"
Format SniffFormat(std::span<const std::uint8_t> head);

// A short upper-case name for messages: "BMP", "PNG", "JPEG", "GIF", "PNM",
// "ICO", "TIFF"; "unknown" for kUnknown.
const char* FormatName(Format format);

}  // namespace codec
