#include "codec/row_reader.h"

#include <string>

#include "codec/open.h"

namespace codec {
namespace {

std::string Mebibytes(std::uint64_t bytes) {
    return std::to_string((bytes + (std::uint64_t{1} << 20) - 1) >> 20) + " MiB";
}

// The rows of a picture opened by OpenPicture.
class PictureRows final : public RowReader {
public:
    explicit PictureRows(std::unique_ptr<Picture> picture)
        : RowReader(picture->width(), picture->height()), picture_(std::move(picture)) {}
    void Next(std::uint8_t* row) override { picture_->Next(row); }

private:
    std::unique_ptr<Picture> picture_;
};

}  // namespace

TooMuchToHold::TooMuchToHold(std::uint64_t width, std::uint64_t height, std::uint64_t needed, std::uint64_t allowed)
    : DecodeError(Kind::kTooLarge,
                  "the picture is " + std::to_string(width) + " x " + std::to_string(height) +
                      " pixels, and reading it would hold " + Mebibytes(needed) + ", more than the " +
                      Mebibytes(allowed) + " allowed",
                  width, height),
      needed_(needed),
      allowed_(allowed) {}

std::unique_ptr<RowReader> OpenRowReader(const RandomAccess& file, std::uint32_t page, const RowReaderLimits& limits) {
    OpenOptions options;
    options.reading = Reading::kRows;
    options.maxPixels = limits.maxPixels;
    options.wholeBytes = limits.wholeBytes;
    return std::make_unique<PictureRows>(OpenPicture(file, page, options));
}

}  // namespace codec
