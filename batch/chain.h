// The whole chain on one picture in memory, as a worker of a many-pictures
// run does it: load, filter, binarize, thin and label, each operation
// handing its rows to the next. The stage files it writes hold exactly the
// bytes the word chain writes (load FILE filter binarize thin label), which
// reads each stage back from a 24-bit BMP file, a round trip that changes
// no pixel. Only the stages asked for are written, and the chain stops at
// the last of them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "core/chain.h"
#include "core/files.h"
#include "core/picture.h"
#include "batch/protocol.h"
#include "ops/pixels.h"

// Pictures of at most this many bytes of 24-bit rows run whole: one read of
// the file and the chain's passes within the processor's caches cost less
// than a stream's threads and the hand-over of each row. 2 MB holds a
// 1024 x 682 picture; the whole path needs about three pictures' bytes.
inline constexpr std::uint64_t kWholePictureBytes = std::uint64_t{2} << 20;

// Runs the request as a stream of rows (ops/bands.h) on `threads` threads:
// the picture is read, run through the chain and written a band of rows at
// a time, so its size is bounded by its formats, not by memory: a BMP stage
// file holds at most 4 GB, and a picture too large for one is refused
// before any work. Pictures that their reader has to decode whole (see
// PictureRows) need their rows within memoryLimit (0: no limit). Every
// failure becomes a reply with the message the word chain would give;
// nothing is thrown, and no stage file or temporary is left by a picture
// that fails. A picture of at most kWholePictureBytes runs whole, on one
// thread, with the same files, unless memoryLimit is too tight for that.
PictureReply RunChain(const PictureRequest& request, std::uint64_t memoryLimit, int threads,
                      files::Durability durability);

// The same on the whole picture in memory (LoadForChain and RunStages),
// under the picture layer's limit: what the stream is held against.
PictureReply RunChainInMemory(const PictureRequest& request, std::uint64_t memoryLimit, files::Durability durability);
