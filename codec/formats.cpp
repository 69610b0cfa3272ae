#include "codec/formats.h"

#include "codec/bmp.h"
#include "codec/gif.h"
#include "codec/ico.h"
#include "codec/jpeg.h"
#include "codec/png.h"
#include "codec/pnm.h"
#include "codec/tiff.h"

namespace codec {

Format SniffFormat(std::span<const std::uint8_t> head) {
    if (head.size() > kSniffBytes) head = head.first(kSniffBytes);
    if (LooksLikePng(head)) return Format::kPng;
    if (LooksLikeJpeg(head)) return Format::kJpeg;
    if (LooksLikeGif(head)) return Format::kGif;
    if (LooksLikeBmp(head)) return Format::kBmp;
    if (LooksLikePnm(head)) return Format::kPnm;
    if (LooksLikeIco(head)) return Format::kIco;
    if (LooksLikeTiff(head)) return Format::kTiff;
    return Format::kUnknown;
}

const char* FormatName(Format format) {
    switch (format) {
    case Format::kBmp: return "BMP";
    case Format::kPng: return "PNG";
    case Format::kJpeg: return "JPEG";
    case Format::kGif: return "GIF";
    case Format::kPnm: return "PNM";
    case Format::kIco: return "ICO";
    case Format::kTiff: return "TIFF";
    case Format::kUnknown: break;
    }
    return "unknown";
}

}  // namespace codec
