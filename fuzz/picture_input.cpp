#include "fuzz/picture_input.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "codec/bmp.h"
#include "codec/formats.h"
#include "codec/open.h"
#include "codec/orient.h"
#include "codec/vector.h"
#include "core/centre_lines.h"
#include "ops/binarize.h"
#include "ops/chain_stream.h"
#include "ops/filter.h"
#include "ops/labeling.h"
#include "ops/skeleton.h"
#include "ops/skeleton_stream.h"
#include "ops/thinning.h"

namespace fuzz {

namespace {

struct Buffer {
    int width = 0, height = 0;
    std::ptrdiff_t stride = 0;
    std::vector<std::uint8_t> bytes;
    ops::RowView view() { return {bytes.data(), width, height, stride}; }
};

void Require(bool condition) {
    if (!condition) std::abort();
}

// The orientation that undoes the given one.
codec::Orientation Inverse(codec::Orientation orientation) {
    if (orientation == codec::Orientation::kTurned90) return codec::Orientation::kTurned270;
    if (orientation == codec::Orientation::kTurned270) return codec::Orientation::kTurned90;
    return orientation;
}

// A padded buffer of the given size, every byte 0xA5.
Buffer Blank(int width, int height) {
    Buffer buffer;
    buffer.width = width;
    buffer.height = height;
    buffer.stride = 3 * static_cast<std::ptrdiff_t>(width) + 1;
    buffer.bytes.assign(static_cast<std::size_t>(buffer.stride) * height, 0xA5);
    return buffer;
}

// The picture as shown, turned back as its file stores it and then as the
// file says again, must be itself.
void CheckTurns(Buffer& shown, codec::Orientation orientation) {
    const codec::ShownSize size = codec::ShownSizeOf(
        {static_cast<std::uint64_t>(shown.width), static_cast<std::uint64_t>(shown.height), orientation});
    Buffer stored = Blank(static_cast<int>(size.width), static_cast<int>(size.height));
    codec::Orient(shown.view(), stored.view(), Inverse(orientation));
    Buffer again = Blank(shown.width, shown.height);
    codec::Orient(stored.view(), again.view(), orientation);
    Require(again.bytes == shown.bytes);
}

// The skeleton measures of the picture, whole and from the stream of its
// rows, must be the same tables (or name the same pixel that is neither
// black nor white). Returns them.
ops::SkeletonMeasures CheckMeasures(Buffer& picture) {
    const ops::SkeletonMeasures whole = ops::MeasureSkeleton(picture.view());
    ops::SkeletonStream stream(picture.width, picture.height);
    for (int y = 0; y < picture.height; ++y)
        if (!stream.Add(picture.view().row(y))) break;
    const ops::SkeletonMeasures streamed = stream.Finish();
    Require(whole.not_two_level == streamed.not_two_level);
    Require(ops::BranchesCsv(whole) == ops::BranchesCsv(streamed));
    Require(ops::SkeletonsCsv(whole) == ops::SkeletonsCsv(streamed));
    for (const ops::SkeletonFigures& s : whole.skeletons)
        Require(s.pixels == s.junction_pixels + s.slab_pixels + s.end_points && s.pixels >= 1);
    return whole;
}

// How often `what` occurs in `text`.
std::size_t Count(std::string_view text, std::string_view what) {
    std::size_t n = 0;
    for (std::size_t at = text.find(what); at != std::string_view::npos; at = text.find(what, at + what.size())) ++n;
    return n;
}

// Passes every line and dot on to the format's writer, checking on the way
// what a file of centre lines promises: a line of two points or more, a
// closed one ending where it starts, every point the centre of a pixel or
// of a junction's pixels (so inside the picture), and the skeletons in
// order. Counts the lines and dots.
class CheckedWriter : public codec::VectorWriter {
public:
    CheckedWriter(std::unique_ptr<codec::VectorWriter> format, int width, int height)
        : format_(std::move(format)), width_(width), height_(height) {}

    void Line(const ops::CentrePiece& piece, std::span<const ops::DrawnPoint> points) override {
        Require(!ended_ && points.size() >= 2 && (!piece.closed || points.front() == points.back()));
        Require(piece.skeleton >= 1 && piece.branch >= 1 && piece.type >= 0 && piece.type <= 3);
        Require(std::isfinite(piece.length) && piece.length > 0);
        InOrder(piece.skeleton);
        for (const ops::DrawnPoint& p : points) Inside(p);
        ++lines;
        format_->Line(piece, points);
    }
    void Dot(std::int64_t skeleton, ops::DrawnPoint at) override {
        Require(!ended_);
        InOrder(skeleton);
        Inside(at);
        ++dots;
        format_->Dot(skeleton, at);
    }
    void End() override {
        Require(!ended_);
        ended_ = true;
        format_->End();
    }

    std::size_t lines = 0, dots = 0;

private:
    void InOrder(std::int64_t skeleton) {
        Require(skeleton >= skeleton_);
        skeleton_ = skeleton;
    }
    void Inside(const ops::DrawnPoint& p) const {
        Require(std::isfinite(p.x) && std::isfinite(p.y));
        Require(p.x >= 0.5 && p.x <= width_ - 0.5 && p.y >= 0.5 && p.y <= height_ - 0.5);
    }

    std::unique_ptr<codec::VectorWriter> format_;
    int width_, height_;
    std::int64_t skeleton_ = 0;
    bool ended_ = false;
};

// Each file's shape, cheaply: its first and last lines, and one element a
// line or dot.
void CheckSvg(std::string_view text, std::size_t lines, std::size_t dots) {
    Require(text.starts_with("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<svg "));
    Require(text.ends_with("\n</g>\n</svg>\n"));
    Require(Count(text, "\n<path d=\"M") == lines && Count(text, "\n<circle ") == dots);
    Require(Count(text, "\n") == 5 + lines + dots);
}

// Braces and brackets balanced outside strings, closing only what is open,
// and the whole text one value.
void CheckGeoJson(std::string_view text, std::size_t lines, std::size_t dots) {
    Require(text.starts_with("{\"type\":\"FeatureCollection\",\"features\":[") && text.ends_with("]}\n"));
    std::string open;
    bool inString = false;
    for (std::size_t k = 0; k < text.size(); ++k) {
        const char c = text[k];
        if (inString) {
            if (c == '\\') ++k;
            else if (c == '"') inString = false;
        } else if (c == '"') {
            inString = true;
        } else if (c == '{' || c == '[') {
            open.push_back(c);
        } else if (c == '}' || c == ']') {
            Require(!open.empty() && open.back() == (c == '}' ? '{' : '['));
            open.pop_back();
            Require(!open.empty() || k == text.size() - 2);
        }
    }
    Require(!inString && open.empty());
    Require(Count(text, "{\"type\":\"Feature\",") == lines + dots);
    Require(Count(text, "\"type\":\"LineString\"") == lines && Count(text, "\"type\":\"Point\"") == dots);
}

// Pairs of lines, a group code (a number) and its value, ending in EOF.
void CheckDxf(std::string_view text, std::size_t lines, std::size_t dots) {
    Require(text.ends_with("\n0\nENDSEC\n0\nEOF\n"));
    std::size_t polylines = 0, seqends = 0, points = 0, sections = 0, ends = 0, line = 0;
    std::string_view code;
    for (std::size_t at = 0; at < text.size(); ++line) {
        const std::size_t end = text.find('\n', at);
        Require(end != std::string_view::npos);
        const std::string_view value = text.substr(at, end - at);
        at = end + 1;
        if (line % 2 == 0) {
            Require(!value.empty() && value.size() <= 4 &&
                    std::all_of(value.begin(), value.end(), [](char c) { return c >= '0' && c <= '9'; }));
            code = value;
        } else if (code == "0") {
            polylines += value == "POLYLINE";
            seqends += value == "SEQEND";
            points += value == "POINT";
            sections += value == "SECTION";
            ends += value == "ENDSEC";
        }
    }
    Require(line % 2 == 0 && polylines == lines && seqends == lines && points == dots && sections == 2 && ends == 2);
}

// The paths of the centre lines as SkeletonStream hands them out, kept in
// memory: numbered from 0 in order, each a chain of black pixels of the
// picture, each next to the one before.
class PathsInMemory {
public:
    explicit PathsInMemory(const Buffer& thinned) : thinned_(thinned) {}
    ops::CentrePathSink Sink() {
        return [this](std::int64_t piece, std::span<const ops::PixelPoint> path) {
            Require(piece == static_cast<std::int64_t>(paths_.size()) && !path.empty());
            for (std::size_t k = 0; k < path.size(); ++k) {
                const ops::PixelPoint p = path[k];
                Require(p.col >= 0 && p.col < thinned_.width && p.row >= 0 && p.row < thinned_.height);
                Require(thinned_.bytes[static_cast<std::size_t>(p.row * thinned_.stride + 3 * p.col)] == 0);
                if (k > 0)
                    Require(std::abs(p.col - path[k - 1].col) <= 1 && std::abs(p.row - path[k - 1].row) <= 1 &&
                            !(p == path[k - 1]));
            }
            paths_.emplace_back(path.begin(), path.end());
        };
    }
    std::vector<ops::PixelPoint> PathOf(std::int64_t piece) const {
        Require(piece >= 0 && piece < static_cast<std::int64_t>(paths_.size()));
        return paths_[static_cast<std::size_t>(piece)];
    }
    std::size_t size() const { return paths_.size(); }

private:
    const Buffer& thinned_;
    std::vector<std::vector<ops::PixelPoint>> paths_;
};

// Lossless, simplified as --simplify 1.5 does, and with a tolerance so large
// that every line keeps only what a line must (its ends, and a loop its shape).
constexpr double kTolerances[] = {0, 1.5, 1e308};

// Every vector file of the centre lines as the program writes it, by format,
// then tolerance; each checked on the way.
std::vector<std::string> WriteVectorFiles(const ops::CentreLines& lines, const codec::CentrePathOf& pathOf,
                             const ops::SkeletonMeasures& measures, int width, int height) {
    std::size_t bare = 0;  // skeletons without a branch: one dot each
    for (const ops::SkeletonFigures& s : measures.skeletons) bare += s.branches == 0;
    std::vector<std::string> files;
    for (const codec::VectorFormat format : codec::kVectorFormats) {
        for (const double tolerance : kTolerances) {
            std::string text;
            CheckedWriter writer(codec::NewVectorWriter(format, width, height,
                                                        [&](const std::uint8_t* bytes, std::size_t n) {
                                                            text.append(reinterpret_cast<const char*>(bytes), n);
                                                        }),
                                 width, height);
            codec::WriteCentreLines(writer, lines, pathOf, tolerance);
            Require(writer.lines == measures.branches.size() && writer.dots == bare);
            switch (format) {
                case codec::VectorFormat::kSvg: CheckSvg(text, writer.lines, writer.dots); break;
                case codec::VectorFormat::kDxf: CheckDxf(text, writer.lines, writer.dots); break;
                case codec::VectorFormat::kGeoJson: CheckGeoJson(text, writer.lines, writer.dots); break;
            }
            files.push_back(std::move(text));
        }
    }
    return files;
}

// Where the stream keeps its paths: a temporary file with no name.
FileName TemporaryFolder() {
    const char* folder = std::getenv("TMPDIR");
    return FileName(folder != nullptr && *folder != '\0' ? folder : "/tmp");
}

// The centre lines of the thinned picture in every vector format, written
// from the whole picture (its rows measured in memory, the paths kept in
// memory) and from the chain as a stream of the decoded picture's rows
// (each row of C, the whole thinning's row byte for byte, into the
// skeleton stream as it comes; the paths in the program's temporary file),
// must be the same bytes; and the tables of both those measures the
// reference's (MeasureSkeleton of the thinned picture).
void CheckCentreLines(Buffer& decoded, Buffer& thinned, const ops::SkeletonMeasures& reference) {
    PathsInMemory kept(thinned);
    ops::CentreLines wholeLines;
    const ops::SkeletonMeasures whole = ops::MeasureRows(thinned.view(), kept.Sink(), &wholeLines);

    CentreLinePaths paths(TemporaryFolder());
    ops::SkeletonStream skeleton(decoded.width, decoded.height, paths.Sink());
    int rowsOfC = 0;
    bool twoLevel = true;
    ops::ChainStream chain(decoded.width, decoded.height, ops::kStageC,
                           [&](ops::Stage stage, int y, const std::uint8_t* row) {
                               Require(stage == ops::Stage::kThinned && y == rowsOfC++);
                               Require(std::memcmp(row, thinned.view().row(y),
                                                   3 * static_cast<std::size_t>(thinned.width)) == 0);
                               if (twoLevel) twoLevel = skeleton.Add(row);
                           });
    for (int y = 0; y < decoded.height; ++y) chain.Push(decoded.view().row(y));
    chain.Finish();
    Require(rowsOfC == decoded.height);
    ops::CentreLines streamedLines;
    const ops::SkeletonMeasures streamed = skeleton.Finish(&streamedLines);

    for (const ops::SkeletonMeasures* m : {&whole, &streamed}) {
        Require(m->not_two_level == reference.not_two_level && m->totals == reference.totals);
        Require(ops::BranchesCsv(*m) == ops::BranchesCsv(reference) &&
                ops::SkeletonsCsv(*m) == ops::SkeletonsCsv(reference));
    }
    if (reference.not_two_level) return;  // no file is written of such a picture
    Require(wholeLines.pieces.size() == kept.size() && streamedLines.pieces.size() == kept.size());
    Require(wholeLines.order == streamedLines.order && wholeLines.order.size() == reference.branches.size());
    for (std::size_t piece = 0; piece < kept.size(); ++piece)
        Require(paths.PathOf(static_cast<std::int64_t>(piece)) == kept.PathOf(static_cast<std::int64_t>(piece)));

    const std::vector<std::string> fromWhole = WriteVectorFiles(
        wholeLines, [&](std::int64_t piece, std::vector<ops::PixelPoint>& path) { path = kept.PathOf(piece); }, whole, thinned.width, thinned.height);
    const std::vector<std::string> fromStream = WriteVectorFiles(
        streamedLines, [&](std::int64_t piece, std::vector<ops::PixelPoint>& path) { paths.PathOf(piece, path); }, streamed, decoded.width,
        decoded.height);
    Require(fromWhole == fromStream);
}

}  // namespace

bool RunPictureInput(const std::uint8_t* data, std::size_t size) {
    Buffer picture;
    int asked = 0;
    const auto allocate = [&](int width, int height) {
        Require(width > 0 && height > 0 &&
                static_cast<std::uint64_t>(width) * static_cast<std::uint64_t>(height) <= kFuzzMaxPixels);
        Require(++asked <= 2);
        picture = Blank(width, height);  // padded, as real pictures may be
        return picture.view();
    };
    // The file's bytes a few at a time, as a file arrives from the disk.
    const codec::RandomAccess input{size, [&](std::uint64_t offset, std::uint8_t* buffer, std::size_t wanted) {
                                       if (offset >= size) return std::size_t{0};
                                       const std::size_t n = std::min<std::size_t>(
                                           {wanted, static_cast<std::size_t>(size - offset), std::size_t{4099}});
                                       std::memcpy(buffer, data + offset, n);
                                       return n;
                                   }};
    codec::OpenOptions options;
    options.reading = codec::Reading::kWhole;
    options.maxPixels = kFuzzMaxPixels;
    codec::Orientation orientation = codec::Orientation::kNormal;
    try {
        // The last page of a file that has several (every directory before
        // it is read on the way).
        const std::uint32_t pages = codec::PageCount(input);
        Require(pages >= 1);
        const std::unique_ptr<codec::Picture> opened = codec::OpenPicture(input, pages - 1, options);
        Require(opened->pages() == pages);
        const codec::Orientation declared = opened->stored().orientation;
        opened->ReadWhole(allocate);
        Require(picture.bytes.empty() || (opened->width() == picture.width && opened->height() == picture.height));
        orientation = opened->stored().orientation;
        // The rows are asked for once; twice only when the file turns the
        // picture where its pixels are already read (EXIF data after them).
        Require(asked <= 1 || (declared == codec::Orientation::kNormal && orientation != codec::Orientation::kNormal));
    } catch (const codec::DecodeError&) {
        return false;
    }
    if (picture.bytes.empty()) return true;
    if (orientation != codec::Orientation::kNormal) CheckTurns(picture, orientation);

    // Each operation on the result of the one before, as the stage files pass
    // it on; on small pictures the plain forms run beside and must agree.
    const bool compare = static_cast<std::uint64_t>(picture.width) * picture.height <= kFuzzComparePixels;
    CheckMeasures(picture);  // as a skeleton made elsewhere: mostly not two-level
    const bool vectors = static_cast<std::uint64_t>(picture.width) * picture.height <= kFuzzVectorPixels;
    Buffer decoded;
    if (vectors) decoded = picture;
    Buffer plain = picture;
    ops::Filter(picture.view());
    if (compare) ops::FilterReference(plain.view());
    Require(!compare || picture.bytes == plain.bytes);
    ops::Binarize(picture.view());
    if (compare) ops::BinarizeReference(plain.view());
    Require(!compare || picture.bytes == plain.bytes);
    CheckMeasures(picture);  // two-level, blobs and all
    Buffer written = picture, plainWritten = plain;
    ops::Thin(picture.view(), written.view());
    Require(written.bytes == picture.bytes);
    if (compare) ops::ThinReference(plain.view(), plainWritten.view());
    Require(!compare || picture.bytes == plain.bytes);
    const ops::SkeletonMeasures thinned = CheckMeasures(picture);  // the thinned stage, as measure reads it
    if (vectors) CheckCentreLines(decoded, picture, thinned);
    ops::Label(picture.view());
    if (compare) ops::LabelReference(plain.view());
    Require(!compare || picture.bytes == plain.bytes);

    // The padding byte after each row is never touched.
    for (int y = 0; y < picture.height; ++y) Require(picture.bytes[y * picture.stride + 3 * picture.width] == 0xA5);
    // What is written reads back the same.
    std::vector<std::uint8_t> file;
    codec::EncodeBmp24(picture.view(), [&](const std::uint8_t* bytes, std::size_t n) { file.insert(file.end(), bytes, bytes + n); });
    Buffer back;
    codec::DecodeBmp(
        file,
        [&](int width, int height) {
            back.width = width;
            back.height = height;
            back.stride = picture.stride;
            back.bytes.assign(picture.bytes.size(), 0xA5);
            return back.view();
        },
        kFuzzMaxPixels);
    Require(back.bytes == picture.bytes);
    return true;
}

}  // namespace fuzz
