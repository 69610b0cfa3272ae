#include "bench/synthetic.h"

#include <algorithm>
#include <cmath>

namespace bench {

namespace {

// A small fixed generator, so the picture is the same on every machine.
class Random {
public:
    explicit Random(std::uint32_t seed) : state_(seed * 2654435761u + 1) {}
    std::uint32_t next() {
        state_ ^= state_ << 13;
        state_ ^= state_ >> 17;
        state_ ^= state_ << 5;
        return state_;
    }
    int range(int lo, int hi) { return lo + static_cast<int>(next() % static_cast<std::uint32_t>(hi - lo + 1)); }

private:
    std::uint32_t state_;
};

class Canvas {
public:
    explicit Canvas(Picture& p) : p_(p) {}

    void Disc(double cx, double cy, double radius, std::uint8_t ink) {
        const int x0 = std::max(0, static_cast<int>(cx - radius)), x1 = std::min(p_.width - 1, static_cast<int>(cx + radius));
        const int y0 = std::max(0, static_cast<int>(cy - radius)), y1 = std::min(p_.height - 1, static_cast<int>(cy + radius));
        const double r2 = radius * radius;
        for (int y = y0; y <= y1; ++y)
            for (int x = x0; x <= x1; ++x)
                if ((x - cx) * (x - cx) + (y - cy) * (y - cy) <= r2) Ink(x, y, ink);
    }

    // A pen of the given width dragged along a quadratic curve.
    void Stroke(double x0, double y0, double xc, double yc, double x1, double y1, int width, std::uint8_t ink) {
        const double length = std::hypot(xc - x0, yc - y0) + std::hypot(x1 - xc, y1 - yc);
        const int steps = std::max(2, static_cast<int>(length));
        for (int i = 0; i <= steps; ++i) {
            const double t = static_cast<double>(i) / steps, u = 1 - t;
            Disc(u * u * x0 + 2 * u * t * xc + t * t * x1, u * u * y0 + 2 * u * t * yc + t * t * y1, width / 2.0, ink);
        }
    }

    void Ink(int x, int y, std::uint8_t level) {
        std::uint8_t* p = p_.bytes.data() + y * p_.stride + 3 * x;
        p[0] = level;
        p[1] = static_cast<std::uint8_t>(level + 6);
        p[2] = static_cast<std::uint8_t>(level + 10);
    }

private:
    Picture& p_;
};

}  // namespace

Picture MakeStrokePicture(int width, int height, std::uint32_t seed) {
    Picture p;
    p.width = width;
    p.height = height;
    p.stride = (3 * static_cast<std::ptrdiff_t>(width) + 3) / 4 * 4;
    p.bytes.assign(static_cast<std::size_t>(p.stride) * height, 0);
    Random random(seed);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            std::uint8_t* px = p.bytes.data() + y * p.stride + 3 * x;
            const int paper = 225 + random.range(-12, 12);
            px[0] = static_cast<std::uint8_t>(paper - 8);
            px[1] = static_cast<std::uint8_t>(paper);
            px[2] = static_cast<std::uint8_t>(paper + 4);
        }
    Canvas canvas(p);
    const int strokes = std::max(8, width * height / 12000);
    for (int i = 0; i < strokes; ++i) {
        const std::uint8_t ink = static_cast<std::uint8_t>(random.range(15, 70));
        const double x0 = random.range(0, width - 1), y0 = random.range(0, height - 1);
        const double span = random.range(30, 220);
        const double x1 = x0 + random.range(-1000, 1000) * span / 1000, y1 = y0 + random.range(-1000, 1000) * span / 1000;
        switch (i % 3) {
        case 0:  // a straight line
            canvas.Stroke(x0, y0, (x0 + x1) / 2, (y0 + y1) / 2, x1, y1, random.range(1, 25), ink);
            break;
        case 1:  // a curve
            canvas.Stroke(x0, y0, x0 + random.range(-120, 120), y0 + random.range(-120, 120), x1, y1, random.range(1, 25), ink);
            break;
        default:  // a filled blob
            canvas.Disc(x0, y0, random.range(3, 30), ink);
            break;
        }
    }
    // Speckle: one pixel in fifty turns dark or light.
    for (int n = width * height / 50; n > 0; --n) {
        const int x = random.range(0, width - 1), y = random.range(0, height - 1);
        canvas.Ink(x, y, random.next() & 1 ? 20 : 245);
    }
    return p;
}

}  // namespace bench
