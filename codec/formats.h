// Telling picture formats apart from their first bytes, and checking files
// of the formats Qt's own readers handle before Qt sees them.
//
// Qt's readers for GIF, PBM/PGM/PPM, XPM, XBM and ICO/CUR give no control
// over work or memory, and some of them fill pixels the file does not hold
// (a GIF cut short, an XBM with too few bytes, an XPM row too short). The
// check reads the file once through a ByteSource with a small fixed buffer,
// finds the size Qt will allocate, and refuses the file when that size is
// over the caller's limit or when the bytes show that the picture data ends
// early or breaks the format. A file that passes is read by Qt either to
// exactly the pixels the file describes or not at all.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "codec/decode.h"

namespace codec {

enum class Format { kUnknown, kBmp, kPng, kJpeg, kGif, kPnm, kXpm, kXbm, kIco, kTiff };

// SniffFormat never looks further than this many bytes.
inline constexpr std::size_t kSniffBytes = 512;

// The format the file's first bytes announce (pass the first kSniffBytes of
// the file, or the whole file when shorter). kUnknown when none matches:
//   BMP  "BM"                 PNG  89 50 4E 47 0D 0A 1A 0A
//   JPEG FF D8 FF             GIF  "GIF87a" or "GIF89a"
//   PNM  "P1".."P6" and a white-space character
//   XPM  "/* XPM" at the very start (Qt reads nothing else)
//   XBM  "#define", after white space and C comments
//   ICO  00 00 01 00 (CUR 00 00 02 00), at least one image, and a first
//        directory entry Qt accepts (reserved byte 0, at least 40 bytes).
//   TIFF "II*\0" or "MM\0*"; BigTIFF "II+\0" or "MM\0+"
Format SniffFormat(std::span<const std::uint8_t> head);

// A short upper-case name for messages: "BMP", "PNG", "JPEG", "GIF", "PNM",
// "XPM", "XBM", "ICO", "TIFF"; "unknown" for kUnknown.
const char* FormatName(Format format);

// True for the formats CheckForQt handles: GIF, PNM, XPM, XBM and ICO.
bool CheckedForQt(Format format);

// The name of the Qt reader the check was made for ("gif", "ppm" for every
// PNM type, "xpm", "xbm", "ico"; "" for the others): pass it to
// QImageReader::setFormat, with autodetection off, so that no other reader
// takes the file.
const char* QtReaderName(Format format);

// Reads the whole file from its first byte through source and returns the
// size of the picture Qt's reader will allocate for it (for GIF the logical
// screen, for ICO the first image, which is the one Qt reads). Throws
// DecodeError:
//   kTooLarge    width * height > maxPixels (width and height set); also
//                when a GIF's first frame or any ICO image is that large
//   kDamaged     the data ends early or breaks the format's rules
//   kUnsupported a valid file Qt would misread or refuse (for example an
//                ICO image with run-length compression, sides over 32767 in
//                PNM/XPM/XBM, or a PNG in an ICO with more compressed text
//                than 64 KiB, which Qt would inflate in full)
// Memory stays below 1 MiB whatever the file: a 16 KiB read buffer, for an
// XPM one 4-byte key per colour (at most 65536 colours), for an ICO 12 bytes
// per directory entry (at most 65535 entries).
// Formats other than the five above throw std::invalid_argument.
DeclaredSize CheckForQt(Format format, const ByteSource& source, std::uint64_t maxPixels);

}  // namespace codec
