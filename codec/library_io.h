// Reading, writing and allocating from inside the callbacks of a C library
// (libpng, libjpeg, giflib, libtiff). No exception may pass through such a
// library: what the program's own code throws there (a byte source, a
// file's read, a sink, an allocation) is kept, the callback reports a failure the library's way,
// and the kept exception is thrown again, as it was, once the library has
// returned.
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <optional>
#include <utility>

#include "codec/decode.h"

namespace codec {

// The exception kept from a library's callbacks, if any.
class KeptError {
public:
    // Runs step; true when it returned, false when it threw, and what it
    // threw is kept (over anything kept before).
    template <class Step>
    bool Run(Step&& step) noexcept {
        try {
            std::forward<Step>(step)();
            return true;
        } catch (...) {
            thrown_ = std::current_exception();
            return false;
        }
    }

    explicit operator bool() const { return thrown_ != nullptr; }
    const std::exception_ptr& exception() const { return thrown_; }

    // Throws the kept exception again; nothing when none is kept.
    void Rethrow() const {
        if (thrown_) std::rethrow_exception(thrown_);
    }

private:
    std::exception_ptr thrown_;
};

// ReadFull for a callback: how many bytes came, or nothing when the source
// threw, which is then kept.
template <class Seen = IgnorePieces>
std::optional<std::size_t> ReadKeepingError(const ByteSource& source, std::uint8_t* buffer, std::size_t size,
                                            KeptError& kept, Seen&& seen = Seen{}) noexcept {
    std::size_t done = 0;
    if (!kept.Run([&] { done = ReadFull(source, buffer, size, seen); })) return std::nullopt;
    return done;
}

// ReadUpTo for a callback: how many bytes came, or nothing when the file's
// read threw, which is then kept.
template <class Seen = IgnorePieces>
std::optional<std::size_t> ReadKeepingError(const RandomAccess& file, std::uint64_t offset, std::uint8_t* buffer,
                                            std::size_t size, KeptError& kept, Seen&& seen = Seen{}) noexcept {
    std::size_t done = 0;
    if (!kept.Run([&] { done = ReadUpTo(file, offset, buffer, size, seen); })) return std::nullopt;
    return done;
}

}  // namespace codec
