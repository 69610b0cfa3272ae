#include "batch/chain.h"

#include <algorithm>
#include <condition_variable>
#include <exception>
#include <map>
#include <memory>
#include <new>
#include <stdexcept>
#include <thread>
#include <mutex>
#include <vector>

#include <malloc.h>
#include <sys/resource.h>
#include <fcntl.h>
#include <unistd.h>

#include "core/centre_lines.h"
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

// Whether the request traces the centre lines (--vector); whether it takes
// the skeleton from the chain's stage C, to measure it or to trace it; and
// the stages the chain then runs to and hands out: those kept, and C.
bool Traces(const PictureRequest& request) { return !request.vectors.empty(); }
bool TakesThinned(const PictureRequest& request) {
    return request.measures == Measures::kThinned || (request.measures == Measures::kNone && Traces(request));
}
ops::StageSet ChainStages(const PictureRequest& request) {
    return TakesThinned(request) ? request.stages | ops::kStageC : request.stages;
}

// What the skeleton gives the request's folder: the tables of the measures
// when they are asked for (their totals join the reply), in millimetres too
// when the input's declared resolution gives a scale (MillimetreScale), then
// the vector files of the centre lines (from `paths` and `lines`), each
// whole or not at all; their names join the reply's files.
void WriteSkeletonFiles(const PictureRequest& request, ops::SkeletonMeasures measures,
                        const codec::Resolution& resolution, CentreLinePaths* paths, const ops::CentreLines& lines,
                        int width, int height, files::Durability durability, PictureReply& reply) {
    if (measures.not_two_level) FailNotTwoLevel(FileName(request.input), *measures.not_two_level);
    if (request.measures != Measures::kNone) {
        measures.totals.pixels_per_metre = MillimetreScale(resolution);
        for (const std::string& name : WriteMeasureTables(request.folder, measures, durability))
            reply.files.push_back(name);
        reply.totals = measures.totals;
    }
    // The centre lines carry what they need of the tables.
    std::vector<ops::SkeletonBranch>().swap(measures.branches);
    std::vector<ops::SkeletonFigures>().swap(measures.skeletons);
    if (paths == nullptr) return;
    for (const codec::VectorFormat format : request.vectors) {
        const std::string name = VectorFileName(format);
        paths->Write(FileName(request.folder + "/" + name), format, width, height, lines, request.simplify, durability);
        reply.files.push_back(name);
    }
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
    const bool fromC = TakesThinned(request);
    const ops::StageSet run = ChainStages(request);
    const char last = ops::LetterOf(run.Last());
    if (memoryLimit != 0) {
        if (declared) {
            const std::uint64_t need =
                ChainNeed(declared->width, declared->height, last, declared->decoderBytes, fromC);
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
        std::unique_ptr<CentreLinePaths> paths;
        ops::CentreLines lines;
        RunStages(
            rows, run, request.settings,
            [&](ops::Stage stage) {
                if (fromC && stage == ops::Stage::kThinned) {
                    step = "measure the skeleton";
                    if (Traces(request)) {
                        paths = std::make_unique<CentreLinePaths>(FileName(request.folder));
                        measures = ops::MeasureRows(rows, paths->Sink(), &lines);
                    } else {
                        measures = ops::MeasureRows(rows);
                    }
                }
                if (!stages.Has(stage)) return;
                const std::string name = StageFileName(stage, request.format);
                WriteStageFile(FileName(request.folder + "/" + name), rows, request.format, durability,
                               picture.Resolution());
                reply.files.push_back(name);
            },
            step, reply.level);
        if (measures)
            WriteSkeletonFiles(request, std::move(*measures), picture.Resolution(), paths.get(), lines, picture.Width(),
                               picture.Height(), durability, reply);
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

// The measures of a stream (and the open paths of its centre lines, when
// traced) held more than MeasureBytes allows. `what` names them.
class MeasuresOverLimit : public std::runtime_error {
public:
    explicit MeasuresOverLimit(const char* what) : std::runtime_error(what) {}
};

// Takes the rows of a thinned picture into the measures, which may hold at
// most `limit` bytes; with `paths`, the centre lines are traced too, and
// their open paths and what `paths` holds count in the limit.
class MeasuredRows {
public:
    MeasuredRows(int width, int height, std::uint64_t limit, bool measured, CentreLinePaths* paths)
        : stream_(width, height, paths != nullptr ? paths->Sink() : ops::CentrePathSink{}),
          limit_(limit),
          paths_(paths),
          measured_(measured),
          what_(paths == nullptr ? "its measures" : measured ? "its measures and centre lines" : "its centre lines"),
          width_(static_cast<std::size_t>(width)) {}
    ~MeasuredRows() { Stop(); }
    MeasuredRows(const MeasuredRows&) = delete;
    MeasuredRows& operator=(const MeasuredRows&) = delete;

    // False once the picture is found not to be two-level.
    bool Add(const std::uint8_t* row, bool packed = false) {
        const bool twoLevel = packed ? stream_.AddPacked(row) : stream_.Add(row);
        if (stream_.BytesHeld() + (paths_ != nullptr ? paths_->BytesHeld() : 0) > limit_)
            throw MeasuresOverLimit(what_);
        return twoLevel;
    }

    // Add on a thread of its own: the row (24-bit pixels, or packed as
    // BandedChain::DeliverThinnedPacked hands it out, the same for every
    // row) is copied into a ring of rows, which the measuring thread takes
    // in order, so that the measures run beside the chain's delivery of
    // rows instead of after each. A failure there comes out of a later
    // AddLater or of Finish.
    void AddLater(const std::uint8_t* row, bool packed = false) {
        std::unique_lock<std::mutex> lock(mutex_);
        if (!thread_.joinable()) {
            packed_ = packed;
            rowBytes_ = packed ? (width_ + 7) / 8 : 3 * width_;
            // Packed rows are small: more of them, up to about 8 MB, let the
            // measures fall further behind without holding the chain up.
            slots_ = packed ? std::clamp<std::size_t>((std::size_t{8} << 20) / std::max<std::size_t>(rowBytes_, 1),
                                                      kRing, 16 * kRing)
                            : kRing;
            ring_.resize(slots_ * rowBytes_);
            thread_ = std::thread([this] { Measure(); });
        }
        room_.wait(lock, [&] { return waiting_ < slots_ || failure_; });
        if (failure_) std::rethrow_exception(failure_);
        std::copy(row, row + rowBytes_, ring_.data() + ((first_ + waiting_) % slots_) * rowBytes_);
        if (++waiting_ == kWake) rows_.notify_one();
    }

    ops::SkeletonMeasures Finish(ops::CentreLines* lines) {
        Stop();
        if (failure_) std::rethrow_exception(failure_);
        // The stream's records let go are handed back before the tables
        // are made, so that the two are never held at once.
        return stream_.Finish(paths_ != nullptr ? lines : nullptr, [] { ::malloc_trim(0); }, measured_);
    }

private:
    static constexpr std::size_t kRing = 64;
    static constexpr std::size_t kWake = 16;  // rows waiting that wake the measuring thread
    static constexpr int kMeasuresNice = 10;

    void Measure() {
        // Beside the chain, below it: the threads that read, run and write
        // the picture go first, and the measures take what they leave.
        ::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), kMeasuresNice);
        std::unique_lock<std::mutex> lock(mutex_);
        // Woken for a few rows at a time, not for each, then taking every
        // row there is until none is left.
        bool draining = false;
        for (;;) {
            if (!draining) rows_.wait(lock, [&] { return waiting_ >= kWake || ended_; });
            if (waiting_ == 0) {
                if (ended_) return;
                draining = false;
                continue;
            }
            draining = true;
            const std::uint8_t* row = ring_.data() + first_ * rowBytes_;
            lock.unlock();
            std::exception_ptr failure;
            try {
                Add(row, packed_);
            } catch (...) {
                failure = std::current_exception();
            }
            lock.lock();
            first_ = (first_ + 1) % slots_;
            --waiting_;
            if (failure) {
                failure_ = failure;
                waiting_ = 0;
            }
            room_.notify_one();
            if (failure_) return;
        }
    }

    void Stop() {
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            ended_ = true;
        }
        rows_.notify_one();
        if (thread_.joinable()) thread_.join();
    }

    ops::SkeletonStream stream_;
    std::uint64_t limit_;
    CentreLinePaths* paths_;
    bool measured_;  // the tables asked for, not only the centre lines
    const char* what_;
    std::size_t width_;
    bool packed_ = false;
    std::size_t rowBytes_ = 0, slots_ = kRing;
    std::mutex mutex_;
    std::condition_variable rows_, room_;
    std::vector<std::uint8_t> ring_;
    std::size_t first_ = 0, waiting_ = 0;
    bool ended_ = false;
    std::exception_ptr failure_;
    std::thread thread_;
};

// Stage C of a pass of full thinning, kept for the next pass in a file
// with no name in the result folder (it vanishes with its descriptor,
// however the worker ends): a bit a pixel, 1 for a stroke, rows end to end.
class ThinnedSpill {
public:
    ThinnedSpill(const std::string& folder, int width) : width_(width), rowBytes_((static_cast<std::size_t>(width) + 7) / 8) {
        fd_ = ::open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
        if (fd_ < 0) {
            // A file system without unnamed files: a named one, unlinked at once.
            std::string name = folder + "/" + files::kTemporaryPrefix + "thinned-XXXXXX";
            fd_ = ::mkostemp(name.data(), O_CLOEXEC);
            if (fd_ >= 0) ::unlink(name.c_str());
        }
        if (fd_ < 0) throw Exception("Cannot write a temporary file in " + files::Shown(folder) + ": " + files::Reason(errno));
        bits_.resize(rowBytes_);
    }
    ~ThinnedSpill() { ::close(fd_); }
    ThinnedSpill(const ThinnedSpill&) = delete;
    ThinnedSpill& operator=(const ThinnedSpill&) = delete;

    // Row y of C, 24-bit (its blue byte decides: 0 is a stroke).
    void Write(int y, const std::uint8_t* row) {
        std::fill(bits_.begin(), bits_.end(), 0);
        for (int x = 0; x < width_; ++x)
            if (row[3 * x] == 0) bits_[static_cast<std::size_t>(x) / 8] |= static_cast<std::uint8_t>(1 << (x % 8));
        Transfer(::pwrite, y);
    }
    // Row y back as 24-bit rows: strokes black, the rest white.
    void Read(int y, std::uint8_t* row) {
        Transfer(::pread, y);
        for (int x = 0; x < width_; ++x) {
            const std::uint8_t level = (bits_[static_cast<std::size_t>(x) / 8] >> (x % 8) & 1) != 0 ? 0 : 255;
            row[3 * x] = row[3 * x + 1] = row[3 * x + 2] = level;
        }
    }

private:
    template <class Call>
    void Transfer(Call call, int y) {
        const off_t at = static_cast<off_t>(y) * static_cast<off_t>(rowBytes_);
        for (std::size_t done = 0; done < rowBytes_;) {
            const ssize_t moved = call(fd_, bits_.data() + done, rowBytes_ - done, at + static_cast<off_t>(done));
            if (moved < 0 && errno == EINTR) continue;
            if (moved <= 0) throw Exception("Cannot keep the thinned rows between passes: " + files::Reason(moved < 0 ? errno : EIO));
            done += static_cast<std::size_t>(moved);
        }
    }

    int fd_ = -1;
    int width_;
    std::size_t rowBytes_;
    std::vector<std::uint8_t> bits_;
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
    } catch (const MeasuresOverLimit& error) {
        return "the picture is " + std::to_string(width) + " x " + std::to_string(height) + " pixels and " +
               error.what() + " need more than the " + MemoryText(MeasureBytes(memoryLimit)) +
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
        std::unique_ptr<CentreLinePaths> paths;
        if (Traces(request)) paths = std::make_unique<CentreLinePaths>(FileName(request.folder));
        MeasuredRows measured(width, height, MeasureBytes(memoryLimit), true, paths.get());
        std::vector<std::uint8_t> row(3 * static_cast<std::size_t>(width));
        for (int y = 0; y < height; ++y) {
            input.Next(row.data());
            if (!measured.Add(row.data())) break;  // the first pixel neither black nor white is found
        }
        ops::CentreLines lines;
        ops::SkeletonMeasures measures = measured.Finish(&lines);
        WriteSkeletonFiles(request, std::move(measures), input.Resolution(), paths.get(), lines, width, height,
                           durability, reply);
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
    const bool fromC = TakesThinned(request);
    const ops::StageSet run = ChainStages(request);
    // A small picture runs whole when its file says so and the memory limit
    // allows it (else it streams, as a larger one would); one whose size
    // only its reader learns (a TIFF, say) is found small below.
    const std::optional<DeclaredPicture> declared = DeclaredPictureOf(request.input);
    if (declared && declared->width <= kWholePictureBytes && declared->height <= kWholePictureBytes &&
        3 * declared->width * declared->height <= kWholePictureBytes &&
        (memoryLimit == 0 || ChainNeed(declared->width, declared->height, ops::LetterOf(run.Last()),
                                       declared->decoderBytes, fromC) <= memoryLimit))
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
        ops::ChainSettings settings = request.settings;
        if (memoryLimit != 0) {
            const std::uint64_t least = StreamNeed(
                static_cast<std::uint64_t>(width),
                run.Reaches(ops::Stage::kThinned) ? ops::PassIterations(settings.thin) : 0);
            if (least > memoryLimit) {
                reply.message = "the picture is " + std::to_string(width) + " x " + std::to_string(height) +
                                " pixels and needs about " + MemoryText(least) +
                                " even as a stream of rows, more than the worker's memory limit of " +
                                MemoryText(memoryLimit) + " (--max-memory)";
                return reply;
            }
        }
        // The bands' memory: the ring of input rows (a byte a pixel, for
        // threads + 1 bands with their margins) and the packed rows of up
        // to threads + 2 finished bands (a byte a pixel for A, a bit for
        // the others). Threads whose smallest bands would not fit run as
        // one, whose stream holds a few rows. The reach grows with the
        // thinning's iterations.
        const int reach = ops::ChainReach(settings);
        const double keptPerPixel =
            (run.Has(ops::Stage::kFiltered) ? 1.0 : 0.0) + (run - ops::kStageA).size() / 8.0;
        const double perRing = threads + 1.0, perOutput = (threads + 2.0) * keptPerPixel;
        const double smallest = static_cast<double>(width) * (perRing * 6 * reach + perOutput * 4 * reach);
        const int bandThreads = smallest > static_cast<double>(bandBytes) ? 1 : threads;
        const auto ringBytes = static_cast<std::size_t>(static_cast<double>(bandBytes) * perRing / (perRing + perOutput));
        std::vector<std::uint8_t> row(3 * static_cast<std::size_t>(width));
        std::unique_ptr<PictureRows> rows;
        if (settings.threshold.otsu() && run.Reaches(ops::Stage::kBinarized)) {
            // Otsu's method: a first pass filters the picture once to count
            // its levels; the chain then runs on the picture read again.
            step = "find the threshold";
            ops::GrayHistogram histogram{};
            std::vector<std::uint8_t> gray(static_cast<std::size_t>(width));
            ops::BandedChain first(
                width, height, ops::kStageA, settings, ops::StreamInput::kPicture, bandThreads,
                [&](ops::Stage, int, const std::uint8_t* filtered) {
                    for (int x = 0; x < width; ++x) gray[static_cast<std::size_t>(x)] = filtered[3 * x];
                    ops::CountLevels(gray.data(), width, histogram);
                },
                ringBytes);
            for (int y = 0; y < height; ++y) {
                input.Next(row.data());
                first.Push(row.data());
            }
            first.Finish();
            settings = ops::Resolved(settings, histogram);
            step = "read the picture";
            rows = std::make_unique<PictureRows>(FileName(request.input), request.page - 1, kStreamPixels, wholeBytes);
        }
        if (run.Reaches(ops::Stage::kBinarized)) reply.level = settings.threshold.level();
        PictureRows& source = rows ? *rows : input;
        // Full thinning runs in passes until one changes nothing; C is kept
        // between passes, and each pass writes the kept C and D again.
        const bool passes = settings.thin.full() && run.Reaches(ops::Stage::kThinned);
        step = "write the stage files";
        std::map<ops::Stage, std::unique_ptr<StageFile>> kept;
        const auto makeFiles = [&](ops::StageSet which) {
            for (const ops::Stage stage : ops::kAllStages) {
                if (!stages.Has(stage) || !which.Has(stage)) continue;
                const std::string name = StageFileName(stage, request.format);
                kept[stage] = std::make_unique<StageFile>(request.folder + "/" + name, stage, request.format, width,
                                                          height, durability, input.Resolution());
            }
        };
        makeFiles(ops::StageSet::All());
        std::unique_ptr<ThinnedSpill> spill, next;
        if (passes) spill = std::make_unique<ThinnedSpill>(request.folder, width);
        // Stage C's rows, as the bands hand them out, measured (and the
        // centre lines traced) on the way; afresh on each pass.
        std::unique_ptr<CentreLinePaths> paths;
        std::unique_ptr<MeasuredRows> measures;
        const auto startMeasures = [&] {
            if (!fromC) return;
            step = "measure the skeleton";
            measures.reset();
            paths.reset();
            if (Traces(request)) paths = std::make_unique<CentreLinePaths>(FileName(request.folder));
            measures = std::make_unique<MeasuredRows>(width, height, MeasureBytes(memoryLimit),
                                                      request.measures != Measures::kNone, paths.get());
        };
        startMeasures();
        step = "run the chain";
        ThinnedSpill* writing = spill.get();
        // Stage C's rows reach the measures packed where the chain has them
        // so (in bands), a twenty-fourth of the bytes to copy and read.
        bool packedToMeasures = false;
        const auto measurePacked = [&measures](int, const std::uint8_t* bits) { measures->AddLater(bits, true); };
        const ops::StageRowSink sink = [&kept, &measures, &writing, &packedToMeasures](ops::Stage stage, int y,
                                                                                      const std::uint8_t* out) {
            if (stage == ops::Stage::kThinned) {
                if (measures && !packedToMeasures) measures->AddLater(out);
                if (writing) writing->Write(y, out);
            }
            if (const auto file = kept.find(stage); file != kept.end()) file->second->Row(y, out);
        };
        bool changed = false;
        {
            ops::BandedChain chain(width, height, run, settings, ops::StreamInput::kPicture, bandThreads, sink,
                                   ringBytes);
            packedToMeasures = measures && chain.DeliverThinnedPacked(measurePacked);
            for (int y = 0; y < height; ++y) {
                source.Next(row.data());
                chain.Push(row.data());
            }
            chain.Finish();
            changed = passes && chain.lastIterationChanged();
        }
        const ops::StageSet thinned = run - ops::kStageA - ops::kStageB;
        while (changed) {
            // The C and D of this pass are not the last: a further pass
            // over C, which writes them again.
            kept.erase(ops::Stage::kThinned);
            kept.erase(ops::Stage::kLabeled);
            step = "write the stage files";
            makeFiles(thinned);
            startMeasures();
            step = "thin the picture";
            next = std::make_unique<ThinnedSpill>(request.folder, width);
            writing = next.get();
            ops::BandedChain chain(width, height, thinned, settings, ops::StreamInput::kThinned, bandThreads, sink,
                                   ringBytes);
            packedToMeasures = measures && chain.DeliverThinnedPacked(measurePacked);
            for (int y = 0; y < height; ++y) {
                spill->Read(y, row.data());
                chain.Push(row.data());
            }
            chain.Finish();
            changed = chain.lastIterationChanged();
            std::swap(spill, next);
            next.reset();
        }
        writing = nullptr;
        // What the bands' threads let go stays in their heaps unless given
        // back; the measures' tables are made on this thread.
        ::malloc_trim(0);
        for (auto& [stage, file] : kept) {
            file->Commit();
            reply.files.push_back(StageFileName(stage, request.format));
        }
        kept.clear();
        if (measures) {
            step = "measure the skeleton";
            ops::CentreLines lines;
            // The source picture's resolution, as its stage files carry it.
            WriteSkeletonFiles(request, measures->Finish(&lines), input.Resolution(), paths.get(), lines, width,
                               height, durability, reply);
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

