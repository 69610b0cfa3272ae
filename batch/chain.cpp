#include "batch/chain.h"

#include <map>
#include <memory>
#include <new>
#include <vector>

#include <unistd.h>

#include "core/picture.h"
#include "batch/memory.h"
#include "batch/result_folder.h"
#include "batch/stage_file.h"
#include "ops/bands.h"

namespace {

std::string LimitNote(std::uint64_t memoryLimit) {
    return memoryLimit == 0 ? std::string()
                            : " (the worker's memory limit is " + MemoryText(memoryLimit) + ", --max-memory)";
}

}  // namespace

namespace {

// The chain on the whole picture, given what its file says of its size when
// that is known.
PictureReply RunWhole(const PictureRequest& request, std::uint64_t memoryLimit, files::Durability durability,
                      const std::optional<DeclaredPicture>& declared) {
    PictureReply reply;
    const ops::StageSet stages = request.stages;
    if (stages.empty() || request.page < 1) {
        reply.message = "the worker was asked for nothing";
        return reply;
    }
    const char last = ops::LetterOf(stages.Last());
    if (memoryLimit != 0) {
        if (declared) {
            const std::uint64_t need = ChainNeed(declared->width, declared->height, last, declared->decoderBytes);
            if (need > memoryLimit) {
                reply.message = "the picture is " + std::to_string(declared->width) + " x " +
                                std::to_string(declared->height) + " pixels and needs about " + MemoryText(need) +
                                ", more than the worker's memory limit of " + MemoryText(memoryLimit) +
                                " (--max-memory)";
                return reply;
            }
        }
    }

    const char* step = "read the picture";
    try {
        TBitmap picture = LoadForChain(FileName(request.input), request.page - 1);
        const ops::RowView rows = picture.Rows();
        reply.width = picture.Width();
        reply.height = picture.Height();
        RunStages(
            rows, stages,
            [&](ops::Stage stage) {
                const std::string name = StageFileName(stage, request.format);
                WriteStageFile(FileName(request.folder + "/" + name), rows, request.format, durability);
                reply.files.push_back(name);
            },
            step);
        reply.done = true;
    } catch (const Exception& error) {
        reply.message = error.what();
        if (reply.message.ends_with(files::Reason(ENOMEM))) reply.message += LimitNote(memoryLimit);
    } catch (const std::bad_alloc&) {
        reply.message = std::string("Cannot ") + step + ": " + files::Reason(ENOMEM) + LimitNote(memoryLimit);
    } catch (const std::exception& error) {
        // A thread that cannot be started, say.
        reply.message = std::string("Cannot ") + step + ": " + error.what();
    }
    if (!reply.done) {
        // The stages written before the failure go with it.
        for (const std::string& name : reply.files) ::unlink((request.folder + "/" + name).c_str());
        reply.files.clear();
    }
    return reply;
}

}  // namespace

PictureReply RunChainInMemory(const PictureRequest& request, std::uint64_t memoryLimit, files::Durability durability) {
    return RunWhole(request, memoryLimit, durability,
                    memoryLimit == 0 ? std::nullopt : DeclaredPictureOf(request.input));
}

namespace {

// The memory a stream gives its bands: a quarter of the worker's limit, at
// most the bands' default budget. The rest is for what the reader holds.
std::uint64_t BandBytes(std::uint64_t memoryLimit) {
    return memoryLimit == 0 ? ops::BandedChain::kDefaultBudget
                            : std::min<std::uint64_t>(ops::BandedChain::kDefaultBudget, memoryLimit / 4);
}

// The largest picture the stream takes: the most pixels a row and a height
// can count. The formats' own limits come first (a BMP stage file, a PNG's
// 2^31 - 1 rows).
constexpr std::uint64_t kStreamPixels = std::uint64_t{1} << 40;

}  // namespace

PictureReply RunChain(const PictureRequest& request, std::uint64_t memoryLimit, int threads,
                      files::Durability durability) {
    PictureReply reply;
    const ops::StageSet stages = request.stages;
    if (stages.empty() || request.page < 1) {
        reply.message = "the worker was asked for nothing";
        return reply;
    }
    // A small picture runs whole when its file says so and the memory limit
    // allows it (else it streams, as a larger one would); one whose size
    // only its reader learns (a TIFF, say) is found small below.
    const std::optional<DeclaredPicture> declared = DeclaredPictureOf(request.input);
    if (declared && declared->width <= kWholePictureBytes && declared->height <= kWholePictureBytes &&
        3 * declared->width * declared->height <= kWholePictureBytes &&
        (memoryLimit == 0 ||
         ChainNeed(declared->width, declared->height, ops::LetterOf(stages.Last()), declared->decoderBytes) <=
             memoryLimit))
        return RunWhole(request, memoryLimit, durability, declared);
    const char* step = "read the picture";
    try {
        const std::uint64_t bandBytes = BandBytes(memoryLimit);
        const std::uint64_t wholeBytes = memoryLimit == 0 ? UINT64_MAX : memoryLimit - bandBytes;
        PictureRows input(FileName(request.input), request.page - 1, kStreamPixels, wholeBytes);
        const int width = input.Width(), height = input.Height();
        reply.width = width;
        reply.height = height;
        if (width == 0 || height == 0 ||
            (!declared && 3 * static_cast<std::uint64_t>(width) * static_cast<std::uint64_t>(height) <= kWholePictureBytes)) {
            // A small picture its file did not size, or one of no pixels
            // (whose files the whole path writes too).
            return RunChainInMemory(request, memoryLimit, durability);
        }
        if (static_cast<std::uint64_t>(width) > kMaxPictureWidth) {
            // The rows' byte counts stay within an int, as everywhere else.
            reply.message = "the picture is " + std::to_string(width) + " x " + std::to_string(height) +
                            " pixels, wider than the limit of " + std::to_string(kMaxPictureWidth) + " pixels a row";
            return reply;
        }
        const std::string tooLarge = StageFile::TooLarge(request.format, static_cast<std::uint64_t>(width),
                                                         static_cast<std::uint64_t>(height));
        if (!tooLarge.empty()) {
            reply.message = tooLarge;
            return reply;
        }
        step = "write the stage files";
        std::map<ops::Stage, std::unique_ptr<StageFile>> kept;
        for (const ops::Stage stage : ops::kAllStages) {
            if (!stages.Has(stage)) continue;
            const std::string name = StageFileName(stage, request.format);
            kept[stage] = std::make_unique<StageFile>(request.folder + "/" + name, stage, request.format, width,
                                                      height, durability);
        }
        step = "run the chain";
        // The bands' memory: the ring of input rows (a byte a pixel, for
        // threads + 1 bands with their margins) and the packed rows of up
        // to threads + 2 finished bands (a byte a pixel for A, a bit for
        // the others). Threads whose smallest bands would not fit run as
        // one, whose stream holds a few rows.
        const double keptPerPixel =
            (stages.Has(ops::Stage::kFiltered) ? 1.0 : 0.0) + (stages - ops::kStageA).size() / 8.0;
        const double perRing = threads + 1.0, perOutput = (threads + 2.0) * keptPerPixel;
        const double smallest = static_cast<double>(width) *
                                (perRing * 6 * ops::kChainReach + perOutput * 4 * ops::kChainReach);
        const int bandThreads = smallest > static_cast<double>(bandBytes) ? 1 : threads;
        const auto ringBytes = static_cast<std::size_t>(static_cast<double>(bandBytes) * perRing / (perRing + perOutput));
        ops::BandedChain chain(
            width, height, stages, bandThreads,
            [&kept](ops::Stage stage, int y, const std::uint8_t* row) { kept.at(stage)->Row(y, row); }, ringBytes);
        std::vector<std::uint8_t> row(3 * static_cast<std::size_t>(width));
        for (int y = 0; y < height; ++y) {
            input.Next(row.data());
            chain.Push(row.data());
        }
        chain.Finish();
        for (auto& [stage, file] : kept) {
            file->Commit();
            reply.files.push_back(StageFileName(stage, request.format));
        }
        reply.done = true;
    } catch (const PictureTooLargeToHold& error) {
        // Only a limit the user set or the machine's memory stops a read.
        reply.message = memoryLimit == 0 ? std::string(error.what())
                                         : "the picture is " + std::to_string(error.width) + " x " +
                                               std::to_string(error.height) + " pixels and needs about " +
                                               MemoryText(error.needed + BandBytes(memoryLimit)) +
                                               ", more than the worker's memory limit of " + MemoryText(memoryLimit) +
                                               " (--max-memory)";
    } catch (const Exception& error) {
        reply.message = error.what();
        if (reply.message.ends_with(files::Reason(ENOMEM))) reply.message += LimitNote(memoryLimit);
    } catch (const std::bad_alloc&) {
        reply.message = std::string("Cannot ") + step + ": " + files::Reason(ENOMEM) + LimitNote(memoryLimit);
    }
    if (!reply.done) reply.files.clear();
    return reply;
}
