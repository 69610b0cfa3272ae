// SVG: the picture's size as width, height and viewBox, so that the file
// lies exactly over the picture; one stroked path per branch, one pixel
// wide, no fill; a skeleton without a branch as a filled dot of one pixel.
#include <string>

#include "codec/vector_writers.h"

namespace codec {

namespace {

class SvgWriter : public VectorWriter {
public:
    SvgWriter(int width, int height, ByteSink sink) : out_(std::move(sink)) {
        const std::string w = std::to_string(width), h = std::to_string(height);
        out_ << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
             << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" << w << "\" height=\"" << h << "\" viewBox=\"0 0 "
             << w << ' ' << h << "\">\n"
             << "<g fill=\"none\" stroke=\"#000\" stroke-width=\"1\" stroke-linecap=\"round\" "
                "stroke-linejoin=\"round\">\n";
    }

    void Line(const ops::CentrePiece& piece, std::span<const ops::DrawnPoint> points) override {
        out_ << "<path d=\"";
        const std::size_t count = piece.closed ? points.size() - 1 : points.size();
        for (std::size_t k = 0; k < count; ++k)
            out_ << (k == 0 ? "M" : "L") << TextOut::Number{points[k].x} << ' ' << TextOut::Number{points[k].y};
        out_ << (piece.closed ? "Z\"/>\n" : "\"/>\n");
    }

    void Dot(std::int64_t, ops::DrawnPoint at) override {
        out_ << "<circle cx=\"" << TextOut::Number{at.x} << "\" cy=\"" << TextOut::Number{at.y}
             << "\" r=\"0.5\" fill=\"#000\" stroke=\"none\"/>\n";
    }

    void End() override {
        out_ << "</g>\n</svg>\n";
        out_.Flush();
    }

private:
    TextOut out_;
};

}  // namespace

std::unique_ptr<VectorWriter> NewSvgWriter(int width, int height, ByteSink sink) {
    return std::make_unique<SvgWriter>(width, height, std::move(sink));
}

}  // namespace codec
