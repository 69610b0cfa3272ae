#include "batch/chain.h"

#include <bit>
#include <map>
#include <memory>
#include <new>
#include <vector>

#include <unistd.h>

#include "core/picture.h"
#include "batch/memory.h"
#include "batch/result_folder.h"
#include "batch/stage_file.h"
#include "codec/bmp.h"
#include "codec/png_write.h"
#include "ops/bands.h"
#include "ops/binarize.h"
#include "ops/filter.h"
#include "ops/labeling.h"
#include "ops/thinning.h"

namespace {

// Writes the rows as one stage file, whole or not at all.
void WriteStage(const std::string& path, const ops::RowView& rows, const std::string& format,
                files::Durability durability) {
    const FileName name(path);
    files::OutputFile file(name, durability);
    try {
        EncodeStage(rows, format, [&file](const std::uint8_t* bytes, std::size_t size) { file.Write(bytes, size); });
    } catch (const codec::BmpError& error) {
        files::FailWrite(name, error.what());
    } catch (const codec::PngWriteError& error) {
        files::FailWrite(name, error.what());
    } catch (const std::bad_alloc&) {
        files::FailWrite(name, files::Reason(ENOMEM));
    }
    file.Commit();
}

std::string LimitNote(std::uint64_t memoryLimit) {
    return memoryLimit == 0 ? std::string()
                            : " (the worker's memory limit is " + MemoryText(memoryLimit) + ", --max-memory)";
}

}  // namespace

void EncodeStage(const ops::RowView& rows, const std::string& format, const StageSink& sink) {
    if (format == "png")
        codec::EncodePng(rows, sink);
    else
        codec::EncodeBmp24(rows, sink);
}

TBitmap LoadForChain(const std::string& path, int page) {
    // The picture as Load Image gives it, then as Filter takes it: a 24-bit
    // copy of the left pane's picture, here the one copy there is.
    TBitmap picture;
    {
        TPicture loaded;
        loaded.LoadFromFile(FileName(path), page - 1);
        picture.Assign(loaded.Bitmap());
    }
    picture.ConvertTo24Bit();
    return picture;
}

void RunOperations(const ops::RowView& rows, const std::string& stages, const std::function<void(char stage)>& kept,
                   const char*& step) {
    const char last = stages.empty() ? 'A' : stages.back();
    const auto keep = [&](char stage) {
        if (stages.find(stage) != std::string::npos) kept(stage);
    };
    step = "filter the picture";
    ops::Filter(rows);
    keep('A');
    if (last >= 'B') {
        step = "binarize the picture";
        ops::Binarize(rows);
        keep('B');
    }
    if (last >= 'C') {
        // Both pictures of Thinning start as the binarized rows and end as
        // its result; the thinning reads its input once, into a bit plane,
        // so one set of rows serves as both.
        step = "thin the picture";
        ops::Thin(rows, rows);
        keep('C');
    }
    if (last >= 'D') {
        step = "label the picture";
        ops::Label(rows);
        keep('D');
    }
}

namespace {

// The chain on the whole picture, given what its file says of its size when
// that is known.
PictureReply RunWhole(const PictureRequest& request, std::uint64_t memoryLimit, files::Durability durability,
                      const std::optional<DeclaredPicture>& declared) {
    PictureReply reply;
    const std::string& stages = request.stages;
    if (stages.empty() || request.page < 1 || (request.format != "bmp" && request.format != "png")) {
        reply.message = "the worker was asked for nothing";
        return reply;
    }
    const char last = stages.back();
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
        TBitmap picture = LoadForChain(request.input, request.page);
        const ops::RowView rows = picture.Rows();
        reply.width = picture.Width();
        reply.height = picture.Height();
        RunOperations(
            rows, stages,
            [&](char stage) {
                const std::string name = StageFileName(stage, request.format);
                WriteStage(request.folder + "/" + name, rows, request.format, durability);
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
    const std::string& stages = request.stages;
    if (stages.empty() || request.page < 1 || (request.format != "bmp" && request.format != "png")) {
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
         ChainNeed(declared->width, declared->height, request.stages.empty() ? 'A' : request.stages.back(),
                   declared->decoderBytes) <= memoryLimit))
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
        if (request.format == "bmp") {
            const std::string tooLarge = StageFile::BmpTooLarge(static_cast<std::uint64_t>(width),
                                                                static_cast<std::uint64_t>(height));
            if (!tooLarge.empty()) {
                reply.message = tooLarge;
                return reply;
            }
        }
        step = "write the stage files";
        std::map<char, std::unique_ptr<StageFile>> kept;
        unsigned mask = 0;
        for (const char stage : stages) {
            const std::string name = StageFileName(stage, request.format);
            kept[stage] = std::make_unique<StageFile>(request.folder + "/" + name, stage, request.format, width,
                                                      height, durability);
            mask |= 1u << (stage - 'A');
        }
        step = "run the chain";
        // The bands' memory: the ring of input rows (a byte a pixel, for
        // threads + 1 bands with their margins) and the packed rows of up
        // to threads + 2 finished bands (a byte a pixel for A, a bit for
        // the others). Threads whose smallest bands would not fit run as
        // one, whose stream holds a few rows.
        const double keptPerPixel = (mask & ops::kStageA ? 1.0 : 0.0) + std::popcount(mask & ~ops::kStageA) / 8.0;
        const double perRing = threads + 1.0, perOutput = (threads + 2.0) * keptPerPixel;
        const double smallest = static_cast<double>(width) *
                                (perRing * 6 * ops::kChainReach + perOutput * 4 * ops::kChainReach);
        const int bandThreads = smallest > static_cast<double>(bandBytes) ? 1 : threads;
        const auto ringBytes = static_cast<std::size_t>(static_cast<double>(bandBytes) * perRing / (perRing + perOutput));
        ops::BandedChain chain(
            width, height, mask, bandThreads,
            [&kept](char stage, int y, const std::uint8_t* row) { kept.at(stage)->Row(y, row); }, ringBytes);
        std::vector<std::uint8_t> row(3 * static_cast<std::size_t>(width));
        for (int y = 0; y < height; ++y) {
            input.Next(row.data());
            chain.Push(row.data());
        }
        chain.Finish();
        for (const char stage : stages) {
            kept.at(stage)->Commit();
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
