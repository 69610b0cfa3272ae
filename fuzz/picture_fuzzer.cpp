// libFuzzer entry: every input is a picture file for the whole chain.
#include <cstddef>
#include <cstdint>

#include "fuzz/picture_input.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::RunPictureInput(data, size);
    return 0;
}
