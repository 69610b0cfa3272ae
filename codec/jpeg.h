// JPEG files: reading baseline, extended and progressive JPEG (Huffman or
// arithmetic coded, 8-bit samples) into 24-bit rows, through libjpeg-turbo.
//
// The file is pulled through the ByteSource 64 KiB at a time. After the
// headers up to the first scan the declared size is checked against the
// caller's limit and the rows are allocated; libjpeg then decodes with its
// defaults (accurate integer DCT, smooth upsampling) straight into the rows:
// gray is copied to all three bytes, YCbCr and RGB become blue, green, red.
// Four-component files (CMYK, YCCK) are taken as Adobe writes them, with
// inverted inks: red = k * c / 255, green = k * m / 255, blue = k * y / 255.
//
// The orientation is taken from the first APP1 segment that holds EXIF
// data (see codec/exif.h); a damaged EXIF block leaves it as stored.
//
// Work and memory follow the declared pixels, never the file's metadata:
// APPn and COM markers are skipped unread, but for the one EXIF block
// (at most 64 KiB, the most a segment holds); a progressive file may have
// at most kMaxJpegScans scans, since each scan costs a pass over the whole
// picture; libjpeg may use at most what a progressive picture of the
// declared size needs (its coefficients) plus a small constant.
//
// What libjpeg warns about is damage when it loses pixels (data ending
// early, corrupt entropy data, a broken progression, a lost restart
// marker), as is a file that ends before its EOI marker: no pixel is ever
// made up. Warnings that lose no pixel let the picture load: stray bytes
// before a marker (after an APPn segment whose length is wrong, say), an
// unknown JFIF version or Adobe transform. Marker segments of the codes the
// standard reserves, which libjpeg refuses, are stepped over by their
// length. 12-bit and lossless files are refused as unsupported.
#pragma once

#include <cstdint>
#include <memory>
#include <span>

#include "codec/decode.h"

namespace codec {

// Scans a progressive file may have. Each scan costs a pass over the whole
// picture's coefficients, however few bytes it takes (a scan of empty
// blocks is a handful of bytes), so the count is what bounds the work.
// libjpeg's standard progression writes 10 scans for colour, 6 for gray and
// 18 for CMYK, and optimising encoders choose about as many; 32 leaves room
// past all of them. At the largest picture allowed (2^28 pixels) a pass
// costs 0.2 to 0.36 s on this project's 2-core machine, so a hostile file
// is refused within about 6 to 12 s instead of running for minutes.
inline constexpr int kMaxJpegScans = 32;

// True when the bytes start with a JPEG SOI marker followed by a marker.
bool LooksLikeJpeg(std::span<const std::uint8_t> first);

// Decodes a JPEG file read from source. Calls allocate exactly once, after
// the headers are checked, with the declared size; throws DecodeError
// (kTooLarge, "", w, h) without allocating when w * h > maxPixels, kDamaged
// for damaged or truncated data (or more than kMaxJpegScans scans),
// kUnsupported for 12-bit, lossless and other variants libjpeg cannot read,
// kNoMemory when libjpeg's memory runs out or passes its cap. Exceptions
// from source and allocate pass through unchanged. Returns the stored size
// and the orientation the EXIF data gives.
DeclaredSize DecodeJpeg(const ByteSource& source, const AllocateRows& allocate, std::uint64_t maxPixels);

// A JPEG file read one row at a time: the reading DecodeJpeg does (which
// it runs through this), the rows handed out as libjpeg decodes them rather
// than into allocated rows. A file of one scan costs libjpeg's state and a
// few rows; a file of several (progressive) is read whole by Start, into
// libjpeg's coefficients (coefficientBytes).
class JpegRowDecoder {
public:
    // Reads the headers up to the first scan. Throws as DecodeJpeg does
    // before it allocates: kTooLarge when width * height > maxPixels,
    // kDamaged, kUnsupported, kNoMemory; exceptions from source pass
    // through unchanged.
    JpegRowDecoder(ByteSource source, std::uint64_t maxPixels);
    ~JpegRowDecoder();
    JpegRowDecoder(const JpegRowDecoder&) = delete;
    JpegRowDecoder& operator=(const JpegRowDecoder&) = delete;

    std::uint64_t width() const;  // as stored
    std::uint64_t height() const;
    // From the EXIF data read so far: the headers before the first scan,
    // where EXIF stands in every file seen; after Finish, the file's own.
    Orientation orientation() const;
    // The JFIF density when its unit is the inch or the centimetre and it
    // is a resolution (PerMetre); else the EXIF block's (ExifResolution); else none. From the
    // headers before the first scan.
    Resolution resolution() const;
    // True when the file has several scans, so that Start reads it whole.
    bool readsWhole() const;
    // What libjpeg holds of a file read whole: its coefficients; 0 for a
    // file of one scan.
    std::uint64_t coefficientBytes() const;

    // Starts decoding (reading the whole file when it has several scans).
    void Start();
    // The next row, top to bottom, after Start: 3 * width bytes blue, green,
    // red. Throws DecodeError where libjpeg finds the data damaged (or warns
    // of pixels it would make up), and again on every later call.
    void ReadRow(std::uint8_t* bgr);
    // Once every row is read: reads the rest of the file up to EOI.
    void Finish();

    struct State;  // opaque

private:
    std::unique_ptr<State> state_;
};

}  // namespace codec
