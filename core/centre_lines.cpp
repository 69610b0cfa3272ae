#include "core/centre_lines.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <new>

#include "core/measure.h"
#include "core/picture.h"

namespace {

// A path in the file: its first pixel (column, row as 32-bit numbers), its
// pixel count, then one byte a step: the direction to the next pixel,
// clockwise from the north (0 N, 1 NE, ... 7 NW).
constexpr int kColStep[8] = {0, 1, 1, 1, 0, -1, -1, -1};
constexpr int kRowStep[8] = {-1, -1, 0, 1, 1, 1, 0, -1};

std::uint8_t DirectionOf(const ops::PixelPoint& from, const ops::PixelPoint& to) {
    for (std::uint8_t d = 0; d < 8; ++d)
        if (from.col + kColStep[d] == to.col && from.row + kRowStep[d] == to.row) return d;
    return 0;  // consecutive pixels of a path are always neighbours
}

void Put32(std::vector<std::uint8_t>& out, std::uint32_t v) {
    for (int k = 0; k < 4; ++k) out.push_back(static_cast<std::uint8_t>(v >> (8 * k)));
}

std::uint32_t Get32(const std::uint8_t* p) {
    return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 | std::uint32_t{p[3]} << 24;
}

constexpr std::size_t kBlock = 1 << 20;

}  // namespace

CentreLinePaths::CentreLinePaths(const FileName& folder) : folder_(folder) {
    const std::string where = folder.empty() ? "." : folder.bytes();
    fd_ = open(where.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd_ < 0 && (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL)) {
        // A file system without unnamed files: a named one, unlinked at once.
        std::string name = where + "/.workbench-paths-XXXXXX";
        fd_ = mkostemp(name.data(), O_CLOEXEC);
        if (fd_ >= 0) unlink(name.c_str());
    }
    if (fd_ < 0) files::FailWrite(folder.empty() ? FileName(".") : folder, files::Reason(errno));
    offsets_.push_back(0);
}

CentreLinePaths::~CentreLinePaths() {
    if (fd_ >= 0) close(fd_);
}

ops::CentrePathSink CentreLinePaths::Sink() {
    return [this](std::int64_t piece, std::span<const ops::PixelPoint> path) { Keep(piece, path); };
}

void CentreLinePaths::Keep(std::int64_t piece, std::span<const ops::PixelPoint> path) {
    // Pieces come numbered 0, 1, 2, ... in order.
    if (piece != static_cast<std::int64_t>(offsets_.size()) - 1) return;
    const std::size_t before = block_.size();
    Put32(block_, static_cast<std::uint32_t>(path.empty() ? 0 : path[0].col));
    Put32(block_, static_cast<std::uint32_t>(path.empty() ? 0 : path[0].row));
    Put32(block_, static_cast<std::uint32_t>(path.size()));
    for (std::size_t k = 1; k < path.size(); ++k) block_.push_back(DirectionOf(path[k - 1], path[k]));
    offsets_.push_back(offsets_.back() + (block_.size() - before));
    if (block_.size() >= kBlock) Spill();
}

void CentreLinePaths::Spill() {
    std::size_t done = 0;
    while (done < block_.size()) {
        const ssize_t n = pwrite(fd_, block_.data() + done, block_.size() - done, static_cast<off_t>(written_ + done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) files::FailWrite(folder_.empty() ? FileName(".") : folder_, files::Reason(n < 0 ? errno : ENOSPC));
        done += static_cast<std::size_t>(n);
    }
    written_ += block_.size();
    block_.clear();
}

std::size_t CentreLinePaths::BytesHeld() const {
    return offsets_.capacity() * sizeof(std::uint64_t) + block_.capacity();
}

std::vector<ops::PixelPoint> CentreLinePaths::PathOf(std::int64_t piece) {
    std::vector<ops::PixelPoint> path;
    PathOf(piece, path);
    return path;
}

void CentreLinePaths::PathOf(std::int64_t piece, std::vector<ops::PixelPoint>& path) {
    path.clear();
    if (piece < 0 || piece + 1 >= static_cast<std::int64_t>(offsets_.size())) return;
    Spill();
    const std::uint64_t start = offsets_[static_cast<std::size_t>(piece)];
    const std::uint64_t size = offsets_[static_cast<std::size_t>(piece) + 1] - start;
    if (start < windowStart_ || start + size > windowStart_ + window_.size()) {
        constexpr std::uint64_t kWindow = 1 << 18;
        window_.resize(static_cast<std::size_t>(std::min(std::max(size, kWindow), written_ - start)));
        windowStart_ = start;
        std::size_t done = 0;
        while (done < window_.size()) {
            const ssize_t n = pread(fd_, window_.data() + done, window_.size() - done, static_cast<off_t>(start + done));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) files::FailRead(folder_.empty() ? FileName(".") : folder_, files::Reason(n < 0 ? errno : EIO));
            done += static_cast<std::size_t>(n);
        }
    }
    if (size < 12) return;
    const std::uint8_t* bytes = window_.data() + (start - windowStart_);
    ops::PixelPoint at{static_cast<std::int32_t>(Get32(bytes)), static_cast<std::int32_t>(Get32(bytes + 4))};
    const std::uint32_t count = Get32(bytes + 8);
    path.reserve(count);
    if (count > 0) path.push_back(at);
    for (std::size_t k = 12; k < size && path.size() < count; ++k) {
        const int d = bytes[k] & 7;
        at.col += kColStep[d], at.row += kRowStep[d];
        path.push_back(at);
    }
}

void CentreLinePaths::Write(const FileName& target, codec::VectorFormat format, int width, int height,
                            const ops::CentreLines& lines, double tolerance, files::Durability durability) {
    files::OutputFile file(target, durability);
    const auto writer = codec::NewVectorWriter(
        format, width, height, [&](const std::uint8_t* bytes, std::size_t size) { file.Write(bytes, size); });
    codec::WriteCentreLines(
        *writer, lines, [this](std::int64_t piece, std::vector<ops::PixelPoint>& path) { PathOf(piece, path); },
        tolerance);
    file.Commit();
}

std::string VectorFileName(codec::VectorFormat format) { return std::string("skeleton.") + codec::NameOf(format); }

ops::SkeletonMeasures VectorizePictureFile(const FileName& name, const FileName& target, codec::VectorFormat format,
                                           double tolerance) {
    TPicture picture;
    picture.LoadFromFile(name);
    const std::size_t slash = target.bytes().rfind('/');
    const FileName folder = slash == std::string::npos ? FileName()
                            : slash == 0               ? FileName("/")
                                                       : FileName(target.bytes().substr(0, slash));
    std::unique_ptr<CentreLinePaths> made;
    try {
        made = std::make_unique<CentreLinePaths>(folder);
    } catch (const Exception&) {
        // Said as a write of the target says it ("no such folder"), when
        // that fails too.
        const files::OutputFile probe(target);
        throw;
    }
    CentreLinePaths& paths = *made;
    ops::SkeletonMeasures measures;
    ops::CentreLines lines;
    try {
        measures = ops::MeasureRows(picture.Bitmap().ConstRows(), paths.Sink(), &lines);
    } catch (const std::bad_alloc&) {
        throw Exception("Cannot vectorize " + name.Shown() + ": " + files::Reason(ENOMEM));
    }
    if (measures.not_two_level) FailNotTwoLevel(name, *measures.not_two_level);
    try {
        paths.Write(target, format, picture.Bitmap().Width(), picture.Bitmap().Height(), lines, tolerance);
    } catch (const std::bad_alloc&) {
        files::FailWrite(target, files::Reason(ENOMEM));
    }
    return measures;
}
