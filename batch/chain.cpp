#include "batch/chain.h"

#include <exception>
#include <map>
#include <memory>
#include <new>
#include <stdexcept>
#include <vector>

#include <unistd.h>

#include "core/measure.h"
#include "core/picture.h"
#include "batch/memory.h"
#include "batch/result_folder.h"
#include "batch/stage_file.h"
#include "ops/bands.h"
#include "ops/skeleton_stream.h"

namespace {

std::string LimitNote(std::uint64_t memoryLimit) {
    return memoryLimit == 0 ? std::string()
                            : " (the worker's memory limit is " + MemoryText(memoryLimit) + ", --max-memory)";
}

// Whether the request measures the chain's stage C, and the stages the
// chain then runs to and hands out: those kept, and C.
bool MeasuresThinned(const PictureRequest& request) { return request.measures == Measures::kThinned; }
ops::StageSet ChainStages(const PictureRequest& request) {
    return MeasuresThinned(request) ? request.stages | ops::kStageC : request.stages;
}

// The tables of the measures into the request's folder; their names join
// the reply's files and their totals the reply.
void WriteMeasures(const PictureRequest& request, const ops::SkeletonMeasures& measures,
                   files::Durability durability, PictureReply& reply) {
    if (measures.not_two_level) FailNotTwoLevel(FileName(request.input), *measures.not_two_level);
    for (const std::string& name : WriteMeasureTables(request.folder, measures, durability)) reply.files.push_back(name);
    reply.totals = measures.totals;
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
    const bool measured = MeasuresThinned(request);
    const ops::StageSet run = ChainStages(request);
    const char last = ops::LetterOf(run.Last());
    if (memoryLimit != 0) {
        if (declared) {
            const std::uint64_t need =
                ChainNeed(declared->width, declared->height, last, declared->decoderBytes, measured);
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
        std::optional<ops::SkeletonMeasures> measures;
        RunStages(
            rows, run,
            [&](ops::Stage stage) {
                if (measured && stage == ops::Stage::kThinned) {
                    step = "measure the skeleton";
                    measures = ops::MeasureRows(rows);
                }
                if (!stages.Has(stage)) return;
                const std::string name = StageFileName(stage, request.format);
                WriteStageFile(FileName(request.folder + "/" + name), rows, request.format, durability,
                               picture.Resolution());
                reply.files.push_back(name);
            },
            step);
        if (measures) WriteMeasures(request, *measures, durability, reply);
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

// What a stream's measures may hold (ops::SkeletonStream::BytesHeld): the
// limit less the bands' share.
std::uint64_t MeasureBytes(std::uint64_t memoryLimit) {
    return memoryLimit == 0 ? UINT64_MAX : memoryLimit - BandBytes(memoryLimit);
}

// The largest picture the stream takes: the most pixels a row and a height
// can count. The formats' own limits come first (a BMP stage file, a PNG's
// 2^31 - 1 rows).
constexpr std::uint64_t kStreamPixels = std::uint64_t{1} << 40;

// The measures of a stream held more than MeasureBytes allows.
class MeasuresOverLimit : public std::runtime_error {
public:
    MeasuresOverLimit() : std::runtime_error("the measures need more memory than the limit leaves them") {}
};

// Takes the rows of a thinned picture into the measures, which may hold at
// most `limit` bytes.
class MeasuredRows {
public:
    MeasuredRows(int width, int height, std::uint64_t limit) : stream_(width, height), limit_(limit) {}
    // False once the picture is found not to be two-level.
    bool Add(const std::uint8_t* row) {
        const bool twoLevel = stream_.Add(row);
        if (stream_.BytesHeld() > limit_) throw MeasuresOverLimit();
        return twoLevel;
    }
    ops::SkeletonMeasures Finish() { return stream_.Finish(); }

private:
    ops::SkeletonStream stream_;
    std::uint64_t limit_;
};

// A stream's failure as the reply's message: what the word chain would say,
// and for what the memory limit stops, the limit.
std::string FailureOf(std::exception_ptr failure, const char* step, std::uint64_t memoryLimit, long width,
                      long height) {
    try {
        std::rethrow_exception(failure);
    } catch (const PictureTooLargeToHold& error) {
        // Only a limit the user set or the machine's memory stops a read.
        return memoryLimit == 0 ? std::string(error.what())
                                : "the picture is " + std::to_string(error.width) + " x " +
                                      std::to_string(error.height) + " pixels and needs about " +
                                      MemoryText(error.needed + BandBytes(memoryLimit)) +
                                      ", more than the worker's memory limit of " + MemoryText(memoryLimit) +
                                      " (--max-memory)";
    } catch (const MeasuresOverLimit&) {
        return "the picture is " + std::to_string(width) + " x " + std::to_string(height) +
               " pixels and its measures need more than the " + MemoryText(MeasureBytes(memoryLimit)) +
               " that the worker's memory limit of " + MemoryText(memoryLimit) + " leaves them (--max-memory)";
    } catch (const Exception& error) {
        std::string message = error.what();
        if (message.ends_with(files::Reason(ENOMEM))) message += LimitNote(memoryLimit);
        return message;
    } catch (const std::bad_alloc&) {
        return std::string("Cannot ") + step + ": " + files::Reason(ENOMEM) + LimitNote(memoryLimit);
    } catch (const std::exception& error) {
        // A thread that cannot be started, or a graph past 2^31 nodes.
        return std::string("Cannot ") + step + ": " + error.what();
    }
}

// A picture that is already a skeleton (--skeleton): its rows, read as the
// stream reads any picture, go to the measures alone, with no chain.
PictureReply RunSkeleton(const PictureRequest& request, std::uint64_t memoryLimit, files::Durability durability) {
    PictureReply reply;
    const char* step = "read the picture";
    try {
        PictureRows input(FileName(request.input), request.page - 1, kStreamPixels, MeasureBytes(memoryLimit));
        const int width = input.Width(), height = input.Height();
        reply.width = width;
        reply.height = height;
        if (static_cast<std::uint64_t>(width) > kMaxPictureWidth) {
            reply.message = "the picture is " + std::to_string(width) + " x " + std::to_string(height) +
                            " pixels, wider than the limit of " + std::to_string(kMaxPictureWidth) + " pixels a row";
            return reply;
        }
        step = "measure the skeleton";
        MeasuredRows measured(width, height, MeasureBytes(memoryLimit));
        std::vector<std::uint8_t> row(3 * static_cast<std::size_t>(width));
        for (int y = 0; y < height; ++y) {
            input.Next(row.data());
            if (!measured.Add(row.data())) break;  // the first pixel neither black nor white is found
        }
        WriteMeasures(request, measured.Finish(), durability, reply);
        reply.done = true;
    } catch (...) {
        reply.message = FailureOf(std::current_exception(), step, memoryLimit, reply.width, reply.height);
    }
    if (!reply.done) {
        for (const std::string& name : reply.files) ::unlink((request.folder + "/" + name).c_str());
        reply.files.clear();
        reply.totals.reset();
    }
    return reply;
}

}  // namespace

PictureReply RunChain(const PictureRequest& request, std::uint64_t memoryLimit, int threads,
                      files::Durability durability) {
    if (request.measures == Measures::kInput && request.page >= 1) return RunSkeleton(request, memoryLimit, durability);
    PictureReply reply;
    const ops::StageSet stages = request.stages;
    if (stages.empty() || request.page < 1) {
        reply.message = "the worker was asked for nothing";
        return reply;
    }
    const bool measured = MeasuresThinned(request);
    const ops::StageSet run = ChainStages(request);
    // A small picture runs whole when its file says so and the memory limit
    // allows it (else it streams, as a larger one would); one whose size
    // only its reader learns (a TIFF, say) is found small below.
    const std::optional<DeclaredPicture> declared = DeclaredPictureOf(request.input);
    if (declared && declared->width <= kWholePictureBytes && declared->height <= kWholePictureBytes &&
        3 * declared->width * declared->height <= kWholePictureBytes &&
        (memoryLimit == 0 || ChainNeed(declared->width, declared->height, ops::LetterOf(run.Last()),
                                       declared->decoderBytes, measured) <= memoryLimit))
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
                                                      height, durability, input.Resolution());
        }
        // Stage C's rows, as the bands hand them out, measured on the way.
        std::unique_ptr<MeasuredRows> measures;
        if (measured) {
            step = "measure the skeleton";
            measures = std::make_unique<MeasuredRows>(width, height, MeasureBytes(memoryLimit));
        }
        step = "run the chain";
        // The bands' memory: the ring of input rows (a byte a pixel, for
        // threads + 1 bands with their margins) and the packed rows of up
        // to threads + 2 finished bands (a byte a pixel for A, a bit for
        // the others). Threads whose smallest bands would not fit run as
        // one, whose stream holds a few rows.
        const double keptPerPixel =
            (run.Has(ops::Stage::kFiltered) ? 1.0 : 0.0) + (run - ops::kStageA).size() / 8.0;
        const double perRing = threads + 1.0, perOutput = (threads + 2.0) * keptPerPixel;
        const double smallest = static_cast<double>(width) *
                                (perRing * 6 * ops::kChainReach + perOutput * 4 * ops::kChainReach);
        const int bandThreads = smallest > static_cast<double>(bandBytes) ? 1 : threads;
        const auto ringBytes = static_cast<std::size_t>(static_cast<double>(bandBytes) * perRing / (perRing + perOutput));
        ops::BandedChain chain(
            width, height, run, bandThreads,
            [&kept, &measures](ops::Stage stage, int y, const std::uint8_t* row) {
                if (measures && stage == ops::Stage::kThinned) measures->Add(row);
                if (const auto file = kept.find(stage); file != kept.end()) file->second->Row(y, row);
            },
            ringBytes);
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
        if (measures) {
            step = "measure the skeleton";
            WriteMeasures(request, measures->Finish(), durability, reply);
        }
        reply.done = true;
    } catch (...) {
        reply.message = FailureOf(std::current_exception(), step, memoryLimit, reply.width, reply.height);
    }
    if (!reply.done) {
        reply.files.clear();
        reply.totals.reset();
    }
    return reply;
}
