// DXF, ASCII, AutoCAD R12 (AC1009): the entities every CAD program reads.
// One POLYLINE (with its VERTEX entities and SEQEND) per branch, closed
// for a cycle; a POINT for a skeleton without a branch. y points up:
// y = height - (row + 0.5). The drawing is unitless ($INSUNITS 0), one unit
// a pixel, as the comment at its top says.
#include <string>

#include "codec/vector_writers.h"

namespace codec {

namespace {

class DxfWriter : public VectorWriter {
public:
    DxfWriter(int width, int height, ByteSink sink) : height_(height), out_(std::move(sink)) {
        out_ << "999\nworkbench centre lines: one unit is one pixel, y up\n"
             << "0\nSECTION\n2\nHEADER\n"
             << "9\n$ACADVER\n1\nAC1009\n"
             << "9\n$INSUNITS\n70\n0\n"
             << "9\n$EXTMIN\n10\n0\n20\n0\n30\n0\n"
             << "9\n$EXTMAX\n10\n" << std::to_string(width) << "\n20\n" << std::to_string(height) << "\n30\n0\n"
             << "0\nENDSEC\n"
             << "0\nSECTION\n2\nENTITIES\n";
    }

    void Line(const ops::CentrePiece& piece, std::span<const ops::DrawnPoint> points) override {
        const std::size_t count = piece.closed ? points.size() - 1 : points.size();
        out_ << "0\nPOLYLINE\n8\n0\n66\n1\n10\n0\n20\n0\n30\n0\n70\n" << (piece.closed ? "1" : "0") << "\n";
        for (std::size_t k = 0; k < count; ++k)
            out_ << "0\nVERTEX\n8\n0\n10\n" << TextOut::Number{points[k].x} << "\n20\n" << Up(points[k].y) << "\n30\n0\n";
        out_ << "0\nSEQEND\n8\n0\n";
    }

    void Dot(std::int64_t, ops::DrawnPoint at) override {
        out_ << "0\nPOINT\n8\n0\n10\n" << TextOut::Number{at.x} << "\n20\n" << Up(at.y) << "\n30\n0\n";
    }

    void End() override {
        out_ << "0\nENDSEC\n0\nEOF\n";
        out_.Flush();
    }

private:
    TextOut::Number Up(double y) const { return {height_ - y}; }

    int height_;
    TextOut out_;
};

}  // namespace

std::unique_ptr<VectorWriter> NewDxfWriter(int width, int height, ByteSink sink) {
    return std::make_unique<DxfWriter>(width, height, std::move(sink));
}

}  // namespace codec
