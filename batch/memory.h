// The memory a worker of a many-pictures run may use (--max-memory), and
// what one picture needs of it.
//
// A picture's need is worked out from the size its file declares, before a
// single pixel row is allocated: the decoders tell that size through the
// AllocateRows callback, which the check answers by stopping the decoder.
// A picture over the limit then fails alone, with a message naming the
// limit, and the worker goes on with the next. The kernel's limit on the
// worker's address space (RLIMIT_AS) stands behind the check, a little
// above it, for what the estimate misses; it is left unset under
// AddressSanitizer, whose shadow memory takes terabytes of address space.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

// A size as --max-memory takes it: a whole number of bytes, or of KiB, MiB
// or GiB with the suffix K, M or G (either case, an optional B after it).
// Nothing for anything else, 0 included.
std::optional<std::uint64_t> ParseMemorySize(const std::string& text);

// A size for messages: "512 MB", "1.5 GB", "900 KB" (powers of 1024).
std::string MemoryText(std::uint64_t bytes);

// The machine's memory, or the memory limit of the control group the
// program runs in when that is lower (a container, a Slurm job), divided
// among the workers.
std::uint64_t DefaultMemoryLimit(int workers);

// The bytes the chain needs for a picture of width x height pixels on top
// of what the worker holds anyway: the picture's rows, the working memory of
// the operations up to the last stage kept ('A' to 'D'), of measuring the
// thinned stage when it is measured, and of reading the file (decoderBytes:
// what the reader holds besides the rows).
std::uint64_t ChainNeed(std::uint64_t width, std::uint64_t height, char lastStage, std::uint64_t decoderBytes,
                        bool measured = false);

// The least a picture of the given width needs as a stream of rows, on one
// thread, with `iterations` thinning iterations a pass (0 when it is not
// thinned; ops/chain_stream.h): the filter's rows, about 18 bytes a pixel
// of the width, the thinning's bits, about 1.6 bytes a pixel an iteration,
// and a row in and a row out. Bands on more threads take more, as much as
// the limit leaves them.
std::uint64_t StreamNeed(std::uint64_t width, int iterations);

struct DeclaredPicture {
    std::uint64_t width = 0, height = 0;
    std::uint64_t decoderBytes = 0;
};

// The picture size that a file declares, from as little of it as its format
// allows (codec::DeclaredSizeOf). Nothing when the file cannot tell: reading
// it then fails on its own terms.
std::optional<DeclaredPicture> DeclaredPictureOf(const std::string& path);

// Keeps memory freed at the end of a picture for the next one instead of
// giving it back to the system: pages handed out afresh cost a page fault
// each, as much as the pixel work of a small picture, and by default the
// allocator maps every block of 32 MB or more afresh (an A4 page's rows of
// 26 MB come near that). All memory then
// comes from one heap, which holds what its largest picture needed.
void KeepFreedMemory();

// After a picture whose rows took more than 32 MB, gives the heap's free
// memory back, as the allocator would have by itself: the worker does not
// hold a very large picture's memory for the next, and the next very large
// picture needs no more than its own.
void GiveBackAfter(std::uint64_t width, std::uint64_t height);

// Sets the worker's address-space limit to what it holds now plus limit
// and some room for the libraries' own working memory (not under
// AddressSanitizer).
void LimitAddressSpace(std::uint64_t limit);
