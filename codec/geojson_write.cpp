// GeoJSON (RFC 7946 structure): a FeatureCollection of one LineString per
// branch (closed: its last position is its first) and a Point for each
// skeleton without a branch, each with the properties skeleton, branch,
// length and type of the branches table (branch and type null for a
// point). Coordinates are pixels, not longitude and latitude, y pointing
// up: y = height - (row + 0.5).
#include <string>

#include "codec/vector_writers.h"

namespace codec {

namespace {

class GeoJsonWriter : public VectorWriter {
public:
    GeoJsonWriter(int, int height, ByteSink sink) : height_(height), out_(std::move(sink)) {
        out_ << "{\"type\":\"FeatureCollection\",\"features\":[";
    }

    void Line(const ops::CentrePiece& piece, std::span<const ops::DrawnPoint> points) override {
        Begin();
        out_ << "{\"type\":\"Feature\",\"properties\":{\"skeleton\":" << std::to_string(piece.skeleton)
             << ",\"branch\":" << std::to_string(piece.branch) << ",\"length\":" << TextOut::Number{piece.length}
             << ",\"type\":" << std::to_string(piece.type) << "},\"geometry\":{\"type\":\"LineString\",\"coordinates\":[";
        for (std::size_t k = 0; k < points.size(); ++k) {
            if (k) out_ << ',';
            Position(points[k]);
        }
        out_ << "]}}";
    }

    void Dot(std::int64_t skeleton, ops::DrawnPoint at) override {
        Begin();
        out_ << "{\"type\":\"Feature\",\"properties\":{\"skeleton\":" << std::to_string(skeleton)
             << ",\"branch\":null,\"length\":0,\"type\":null},\"geometry\":{\"type\":\"Point\",\"coordinates\":";
        Position(at);
        out_ << "}}";
    }

    void End() override {
        out_ << (first_ ? "]}\n" : "\n]}\n");
        out_.Flush();
    }

private:
    void Begin() {
        out_ << (first_ ? "\n" : ",\n");
        first_ = false;
    }
    void Position(ops::DrawnPoint p) {
        out_ << '[' << TextOut::Number{p.x} << ',' << TextOut::Number{height_ - p.y} << ']';
    }

    int height_;
    TextOut out_;
    bool first_ = true;
};

}  // namespace

std::unique_ptr<VectorWriter> NewGeoJsonWriter(int width, int height, ByteSink sink) {
    return std::make_unique<GeoJsonWriter>(width, height, std::move(sink));
}

}  // namespace codec
