// The whole chain on one picture in memory, as a worker of a many-pictures
// run does it: load, filter, binarize, thin and label, each operation
// handing its rows to the next. The stage files it writes hold exactly the
// bytes the word chain writes (load FILE filter binarize thin label), which
// reads each stage back from a 24-bit BMP file, a round trip that changes
// no pixel. Only the stages asked for are written, and the chain stops at
// the last of them.
#pragma once

#include <cstdint>

#include "app/files.h"
#include "batch/protocol.h"

// Runs the request. A picture whose declared size needs more than
// memoryLimit bytes fails before any pixel is allocated (0: no limit).
// Every failure becomes a reply with the message the word chain would
// give; nothing is thrown.
PictureReply RunChain(const PictureRequest& request, std::uint64_t memoryLimit, files::Durability durability);
