// One small drawing of centre lines and its files, worked out by hand from
// ops/centre_lines.h and codec/vector.h, for the tests of the files and of
// the word that writes them.
#pragma once

#include <string>
#include <vector>

namespace centre_line_drawing {

// A T, a single pixel and a ring, 7 x 5.
inline const std::vector<std::string> kDrawing = {
    "###..#.",  //
    ".#.....",  //
    ".#.###.",  //
    "...#.#.",  //
    "...###.",  //
};

// The T's three branches meet at its junction pixel (0, 1); the dot is a
// skeleton of its own, drawn before the ring, which comes after it in
// raster order; the ring is closed, from its first pixel, clockwise.
inline const std::string kSvg =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"7\" height=\"5\" viewBox=\"0 0 7 5\">\n"
    "<g fill=\"none\" stroke=\"#000\" stroke-width=\"1\" stroke-linecap=\"round\" stroke-linejoin=\"round\">\n"
    "<path d=\"M0.5 0.5L1.5 0.5\"/>\n"
    "<path d=\"M1.5 0.5L2.5 0.5\"/>\n"
    "<path d=\"M1.5 0.5L1.5 2.5\"/>\n"
    "<circle cx=\"5.5\" cy=\"0.5\" r=\"0.5\" fill=\"#000\" stroke=\"none\"/>\n"
    "<path d=\"M3.5 2.5L5.5 2.5L5.5 4.5L3.5 4.5Z\"/>\n"
    "</g>\n</svg>\n";

// The same with y up: y = 5 - (row + 0.5).
inline const std::string kGeoJson =
    "{\"type\":\"FeatureCollection\",\"features\":[\n"
    "{\"type\":\"Feature\",\"properties\":{\"skeleton\":1,\"branch\":1,\"length\":1,\"type\":1},"
    "\"geometry\":{\"type\":\"LineString\",\"coordinates\":[[0.5,4.5],[1.5,4.5]]}},\n"
    "{\"type\":\"Feature\",\"properties\":{\"skeleton\":1,\"branch\":2,\"length\":1,\"type\":1},"
    "\"geometry\":{\"type\":\"LineString\",\"coordinates\":[[1.5,4.5],[2.5,4.5]]}},\n"
    "{\"type\":\"Feature\",\"properties\":{\"skeleton\":1,\"branch\":3,\"length\":2,\"type\":1},"
    "\"geometry\":{\"type\":\"LineString\",\"coordinates\":[[1.5,4.5],[1.5,2.5]]}},\n"
    "{\"type\":\"Feature\",\"properties\":{\"skeleton\":2,\"branch\":null,\"length\":0,\"type\":null},"
    "\"geometry\":{\"type\":\"Point\",\"coordinates\":[5.5,4.5]}},\n"
    "{\"type\":\"Feature\",\"properties\":{\"skeleton\":3,\"branch\":1,\"length\":8,\"type\":3},"
    "\"geometry\":{\"type\":\"LineString\",\"coordinates\":[[3.5,2.5],[5.5,2.5],[5.5,0.5],[3.5,0.5],[3.5,2.5]]}}\n"
    "]}\n";

}  // namespace centre_line_drawing
