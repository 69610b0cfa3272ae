// INTERIM: holds the rows and measures them whole; replaced by the
// streamed graph before this lands on main.
#include "ops/skeleton_stream.h"

#include <cstring>
#include <vector>

namespace ops {

struct SkeletonStream::State {
    int width, height, next = 0;
    std::vector<std::uint8_t> pixels;
};

SkeletonStream::SkeletonStream(int width, int height) : state_(std::make_unique<State>()) {
    state_->width = width;
    state_->height = height;
    state_->pixels.resize(static_cast<std::size_t>(width) * 3 * static_cast<std::size_t>(height));
}

SkeletonStream::~SkeletonStream() = default;

bool SkeletonStream::Add(const std::uint8_t* row) {
    const std::size_t bytes = static_cast<std::size_t>(state_->width) * 3;
    std::memcpy(state_->pixels.data() + bytes * static_cast<std::size_t>(state_->next++), row, bytes);
    return true;
}

SkeletonMeasures SkeletonStream::Finish() {
    RowView view{state_->pixels.data(), state_->width, state_->height, state_->width * 3};
    return MeasureSkeleton(view);
}

std::size_t SkeletonStream::BytesHeld() const { return state_->pixels.size(); }

}  // namespace ops
