// The writer of each vector format, one file each (svg_write.cpp,
// dxf_write.cpp, geojson_write.cpp); NewVectorWriter chooses among them.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "codec/vector.h"

namespace codec {

std::unique_ptr<VectorWriter> NewSvgWriter(int width, int height, ByteSink sink);
std::unique_ptr<VectorWriter> NewDxfWriter(int width, int height, ByteSink sink);
std::unique_ptr<VectorWriter> NewGeoJsonWriter(int width, int height, ByteSink sink);

// Collects text and hands it to the sink in blocks.
class TextOut {
public:
    explicit TextOut(ByteSink sink) : sink_(std::move(sink)) {}
    TextOut& operator<<(std::string_view text) {
        buffer_.append(text);
        if (buffer_.size() >= kBlock) Flush();
        return *this;
    }
    TextOut& operator<<(char c) { return *this << std::string_view(&c, 1); }
    // A number as ShortestNumber writes it.
    struct Number {
        double value;
    };
    TextOut& operator<<(Number number) {
        const std::size_t size = buffer_.size();
        buffer_.resize(size + 32);
        buffer_.resize(static_cast<std::size_t>(PutShortestNumber(buffer_.data() + size, number.value) - buffer_.data()));
        if (buffer_.size() >= kBlock) Flush();
        return *this;
    }
    void Flush() {
        if (!buffer_.empty()) sink_(reinterpret_cast<const std::uint8_t*>(buffer_.data()), buffer_.size());
        buffer_.clear();
    }

private:
    static constexpr std::size_t kBlock = 1 << 16;
    ByteSink sink_;
    std::string buffer_;
};

}  // namespace codec
