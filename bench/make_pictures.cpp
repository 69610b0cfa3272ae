// workbench-make-pictures DIR COUNT WIDTH HEIGHT
//
// Writes COUNT stroke pictures of WIDTH x HEIGHT as 24-bit BMP files
// DIR/p0000.bmp, DIR/p0001.bmp, ..., each from its own seed, for the
// throughput measurement of workbench-batch's many-pictures mode.
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <string>

#include "bench/synthetic.h"
#include "codec/bmp.h"

namespace {

bool Number(const char* text, int& value) {
    const char* end = text + std::strlen(text);
    const auto [ptr, ec] = std::from_chars(text, end, value);
    return ec == std::errc() && ptr == end && value > 0;
}

}  // namespace

int main(int argc, char** argv) {
    int count = 0, width = 0, height = 0;
    if (argc != 5 || !Number(argv[2], count) || !Number(argv[3], width) || !Number(argv[4], height)) {
        std::fprintf(stderr, "usage: workbench-make-pictures DIR COUNT WIDTH HEIGHT\n");
        return 2;
    }
    for (int i = 0; i < count; ++i) {
        bench::Picture picture = bench::MakeStrokePicture(width, height, 2026 + static_cast<std::uint32_t>(i));
        char name[32];
        std::snprintf(name, sizeof name, "/p%04d.bmp", i);
        const std::string path = std::string(argv[1]) + name;
        std::FILE* file = std::fopen(path.c_str(), "wb");
        if (file == nullptr) {
            std::fprintf(stderr, "workbench-make-pictures: cannot write %s: %s\n", path.c_str(), std::strerror(errno));
            return 1;
        }
        bool good = true;
        codec::EncodeBmp24(picture.view(), [&](const std::uint8_t* bytes, std::size_t size) {
            good = good && std::fwrite(bytes, 1, size, file) == size;
        });
        if (std::fclose(file) != 0 || !good) {
            std::fprintf(stderr, "workbench-make-pictures: cannot write %s\n", path.c_str());
            return 1;
        }
    }
    return 0;
}
