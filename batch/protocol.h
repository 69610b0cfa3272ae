// What a many-pictures run and its workers say to each other over pipes.
//
// A message is a length (4 bytes, little-endian) and that many bytes:
// fields, each ended by a NUL byte. No field holds a NUL (file names cannot).
//   run to worker:  "picture" INPUT FOLDER PAGE STAGES FORMAT
//   worker to run:  "done" SECONDS WIDTH HEIGHT FILE...  (the files it wrote)
//                   "failed" SECONDS MESSAGE
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "codec/encode.h"
#include "ops/stage.h"

// One picture for a worker: read page `page` of input, run the chain to the
// last stage kept, and write the kept stages into folder.
struct PictureRequest {
    std::string input;
    std::string folder;
    int page = 1;                // from 1
    ops::StageSet stages = ops::StageSet::All();         // the stages kept
    codec::OutputFormat format = codec::kStageOutput;  // the stage files' format
};

// What a worker says about a picture.
struct PictureReply {
    bool done = false;
    double seconds = 0;              // the worker's time on the picture
    std::string message;             // why it failed
    long width = 0, height = 0;      // the picture's size
    std::vector<std::string> files;  // the names written in the folder, in stage order
};

std::string EncodeRequest(const PictureRequest& request);
std::optional<PictureRequest> DecodeRequest(const std::string& message);
std::string EncodeReply(const PictureReply& reply);
std::optional<PictureReply> DecodeReply(const std::string& message);

// Bytes in, whole messages out.
class MessageBuffer {
public:
    void Append(const char* bytes, std::size_t size) { bytes_.append(bytes, size); }
    // The next whole message without its length, or nothing yet.
    std::optional<std::string> Next();
    // A length too long for any message of ours came: the stream is not ours.
    bool broken() const { return broken_; }

private:
    std::string bytes_;
    bool broken_ = false;
};

// Writes one message whole (blocking); false when the other end is gone.
bool WriteMessage(int fd, const std::string& message);

// Reads one message (blocking); nothing at the end of the stream or on a
// stream cut inside a message.
std::optional<std::string> ReadMessage(int fd);
