#include "batch/runner.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdio>
#include <map>
#include <optional>
#include <utility>

#include <sched.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/files.h"
#include "batch/flush_group.h"
#include "batch/jobs.h"
#include "batch/memory.h"
#include "batch/pool.h"
#include "batch/progress.h"
#include "batch/report.h"
#include "batch/result_folder.h"

namespace {

using Clock = std::chrono::steady_clock;

using files::Shown;

int CoreCount() {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (::sched_getaffinity(0, sizeof set, &set) == 0 && CPU_COUNT(&set) > 0) return CPU_COUNT(&set);
    const long online = ::sysconf(_SC_NPROCESSORS_ONLN);
    return online > 0 ? static_cast<int>(online) : 1;
}

double SecondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

// Signals arrive through the descriptor returned, between the steps of the
// run. A stop signal that was ignored when the program started (nohup's
// SIGHUP, SIGINT in a shell script's background job) stays ignored, as
// everywhere in this program: it is neither blocked nor read, since a
// blocked signal arrives even while ignored. startMask gets the mask the
// program started with, which the workers get, but for the stop signals
// (see Pool).
int ReceiveSignals(sigset_t& startMask) {
    sigset_t handled;
    sigemptyset(&handled);
    sigaddset(&handled, SIGCHLD);
    for (const int signal : kStopSignals)
        if (!IgnoredAtStart(signal)) sigaddset(&handled, signal);
    ::sigprocmask(SIG_BLOCK, &handled, &startMask);
    const int signalFd = ::signalfd(-1, &handled, SFD_CLOEXEC | SFD_NONBLOCK);
    std::signal(SIGPIPE, SIG_IGN);
    return signalFd;
}

// What the run works from: the --out folder (made), the list of pictures,
// and the report (opened, with the files passed over). Returns 0, or the
// exit status of a run that cannot start, having said why.
int Prepare(const ManyOptions& options, const std::vector<std::string>& inputs, std::string& out,
            std::optional<JobList>& list, Report& report) {
    char cwd[PATH_MAX];
    if (::getcwd(cwd, sizeof cwd) == nullptr) {
        std::fprintf(stderr, "workbench-batch: Cannot use the current folder: %s\n", files::Reason(errno).c_str());
        return 1;
    }
    out = options.out;
    while (out.size() > 1 && out.back() == '/') out.pop_back();

    std::string error;
    list = ListJobs(inputs, cwd, out, options.withExtension, options.shard, options.shards, error);
    if (!list) {
        std::fprintf(stderr, "workbench-batch: %s\n", error.c_str());
        return 2;
    }
    if (const int problem = MakeFolders(out); problem != 0) {
        std::fprintf(stderr, "workbench-batch: Cannot use the folder %s: %s\n", Shown(out).c_str(),
                     files::Reason(problem).c_str());
        return 1;
    }
    report.measuring = options.measures != Measures::kNone;
    report.settings = options.settings;
    if (options.report && !report.Open(*options.report, error)) {
        std::fprintf(stderr, "workbench-batch: %s\n", error.c_str());
        return 1;
    }
    for (const PassedOver& file : list->passedOver) report.Add(file);
    return 0;
}

// The workers: --jobs of them, or one a core. Each picture's threads: the
// cores shared between the workers that will have a picture (one picture
// alone has every core).
Pool MakePool(const ManyOptions& options, std::size_t pictures, const sigset_t& startMask) {
    const int workers = options.jobs > 0 ? options.jobs : CoreCount();
    const int busy = static_cast<int>(std::clamp<std::size_t>(pictures, 1, static_cast<std::size_t>(workers)));
    const int threads = options.threads > 0 ? options.threads : std::max(1, CoreCount() / busy);
    return Pool(workers, options.maxMemory > 0 ? options.maxMemory : DefaultMemoryLimit(workers), threads, startMask);
}

// A picture being worked on: its claimed result folder and when it began.
struct Claim {
    std::string folder;
    int lock = -1;
    Clock::time_point start;
};

// A run once its pictures are listed: each picture is claimed and handed to
// a worker, each that ends is settled, and the finished ones are recorded a
// group at a time (batch/flush_group.h). Each picture gets one entry in the
// report and the progress, done, skipped or failed, unless the run stopped
// while its worker had it.
class ManyRun {
public:
    ManyRun(const ManyOptions& options, std::string out, const JobList& list, Report& report, int signalFd,
            const sigset_t& startMask)
        : options_(options),
          out_(std::move(out)),
          jobs_(list.jobs),
          passedOver_(list.passedOver.size()),
          report_(report),
          signalFd_(signalFd),
          progress_(jobs_.size()),
          pool_(MakePool(options, jobs_.size(), startMask)) {}

    // Hands out pictures while the workers have room, a bounded number at a
    // time, so that a long run of skipped pictures still looks at signals
    // in between.
    void HandOut() {
        for (int handed = 0; handed < 256 && MayHandOut(); ++handed) HandOutNext();
    }

    // Whether every picture is handed out (or the run stopped) and none is
    // being worked on.
    bool Over() const { return pool_.Idle() && (stopSignal_ != 0 || next_ == jobs_.size()); }

    // Waits for the workers' news or a signal: not at all when there is
    // more to hand out, else until the group is due, at most 250 ms.
    void Wait() {
        const bool moreToHand = MayHandOut();
        const int due = group_.MillisecondsUntilDue();
        ended_.clear();
        pool_.Wait(signalFd_, moreToHand ? 0 : due >= 0 ? std::min(due, 250) : 250, ended_);
        TakeSignals();
        // Workers that ended since the wait, the signal included.
        pool_.Wait(-1, 0, ended_);
    }

    // The pictures that ended in the last wait.
    void SettleEnded() {
        for (const Outcome& outcome : ended_) Settle(outcome);
    }

    void RecordIfDue() {
        if (group_.Due()) Record();
    }

    void Tick() { progress_.Tick(); }

    // Records the last group, waits for the workers to end and gives the
    // summary; returns the exit status.
    int Finish() {
        Record();
        pool_.Finish();
        progress_.Summary(passedOver_, stopSignal_);
        if (!report_.error().empty()) std::fprintf(stderr, "workbench-batch: %s\n", report_.error().c_str());
        if (stopSignal_ != 0) return 128 + stopSignal_;
        if (progress_.failed() > 0 || !report_.error().empty()) return 1;
        return 0;
    }

private:
    bool MayHandOut() const { return stopSignal_ == 0 && next_ < jobs_.size() && pool_.HasRoom(); }

    // The next picture: skipped, failed, or claimed and given to a worker.
    void HandOutNext() {
        const std::size_t index = next_++;
        if (std::optional<Claim> claim = ClaimPicture(index)) GiveToWorker(index, std::move(*claim));
    }

    // Claims the picture's result folder; nothing for a picture that ends
    // here: one that cannot be used, one finished before (unless --force),
    // one whose folder cannot be claimed.
    std::optional<Claim> ClaimPicture(std::size_t index) {
        const Job& job = jobs_[index];
        const std::string folder = out_ + "/" + job.folder;
        if (!job.problem.empty()) {
            Fail(job, folder, job.problem, 0.0);
            return std::nullopt;
        }
        if (!options_.force) {
            if (const std::optional<Result> result =
                    FinishedResult(folder, job, options_.keep, options_.format, options_.measures, options_.vectors,
                                   options_.simplify, options_.settings)) {
                report_.Add(job, folder, "skipped", "finished before", &*result, 0.0);
                progress_.Finished("skipped", job, result->size, 0.0);
                return std::nullopt;
            }
        }
        std::string problem;
        const int lock = ClaimFolder(folder, problem);
        if (lock < 0) {
            Fail(job, folder, problem, 0.0);
            return std::nullopt;
        }
        return Claim{folder, lock, {}};
    }

    void GiveToWorker(std::size_t index, Claim claim) {
        const Job& job = jobs_[index];
        claim.start = Clock::now();
        PictureRequest request;
        request.input = job.absolute;
        request.folder = claim.folder;
        request.page = job.page;
        request.stages = options_.keep;
        request.format = options_.format;
        request.measures = options_.measures;
        request.vectors = options_.vectors;
        request.simplify = options_.simplify;
        request.settings = options_.settings;
        claims_.emplace(index, std::move(claim));
        pool_.Start(index, request);
    }

    // The signals that came: the first stops the run, each is passed on to
    // the workers (a second one ends them at once).
    void TakeSignals() {
        signalfd_siginfo info{};
        while (::read(signalFd_, &info, sizeof info) == sizeof info) {
            const int signal = static_cast<int>(info.ssi_signo);
            if (signal == SIGCHLD) continue;
            if (stopSignal_ == 0) stopSignal_ = signal;
            pool_.Stop(signal);
        }
    }

    // A picture that ended: one whose files are written joins the group to
    // be recorded; one that failed is removed with its entry, one stopped
    // with the run without one.
    void Settle(const Outcome& outcome) {
        const Job& job = jobs_[outcome.job];
        const Claim claim = claims_.at(outcome.job);
        claims_.erase(outcome.job);
        // The worker's own time on the picture; the run's, when it did not
        // answer (the picture may have waited behind another).
        const double seconds = outcome.answered ? outcome.reply.seconds : SecondsSince(claim.start);
        std::string message = outcome.reply.message;
        if (outcome.kind == Outcome::Kind::kFinished) {
            if (std::optional<FlushGroup::Member> member = Written(outcome, claim, seconds, message))
                return group_.Add(std::move(*member));
        }
        ReleaseFolder(out_, claim.folder, claim.lock, false);
        if (outcome.kind != Outcome::Kind::kStopped) Fail(job, claim.folder, message, seconds);
    }

    // A finished picture as the group holds it: the files the worker wrote,
    // with their sizes, and the input's stamp. Nothing, with message set,
    // when one of them cannot be read.
    std::optional<FlushGroup::Member> Written(const Outcome& outcome, const Claim& claim, double seconds,
                                              std::string& message) const {
        const Job& job = jobs_[outcome.job];
        FlushGroup::Member member{outcome.job, &job, claim.folder, claim.lock, {}, {}, seconds};
        member.result.size = PictureSize{outcome.reply.width, outcome.reply.height};
        member.result.stages = options_.keep;
        member.result.format = options_.format;
        member.result.vectors = options_.vectors;
        member.result.simplify = options_.simplify;
        member.result.settings = options_.settings;
        member.result.level = outcome.reply.level;
        if (options_.measures != Measures::kNone) {
            if (!outcome.reply.totals) {
                message = "the worker gave no measures";
                return std::nullopt;
            }
            member.result.measured = options_.measures;
            member.result.totals = *outcome.reply.totals;
        }
        for (const std::string& name : outcome.reply.files) {
            struct stat info {};
            const std::string path = claim.folder + "/" + name;
            if (::stat(path.c_str(), &info) != 0) {
                message = "Cannot read " + Shown(path) + ": " + files::Reason(errno);
                break;
            }
            member.result.files.push_back({name, static_cast<std::int64_t>(info.st_size)});
        }
        const std::optional<Stamp> stamp = StampOf(job.absolute);
        if (!stamp && message.empty()) message = "Cannot read " + Shown(job.input) + ": " + files::Reason(errno);
        if (!message.empty()) return std::nullopt;
        member.stamp = *stamp;
        return member;
    }

    // The group's files to the disk, then their records.
    void Record() {
        group_.Flush([this](FlushGroup::Member& member, const std::string& problem) { Recorded(member, problem); });
    }

    // A member of the group flushed: done, or failed with the problem that
    // kept it from being recorded.
    void Recorded(const FlushGroup::Member& member, const std::string& problem) {
        ReleaseFolder(out_, member.folder, member.lock, problem.empty());
        if (!problem.empty()) return Fail(*member.job, member.folder, problem, member.seconds);
        report_.Add(*member.job, member.folder, "done", "", &member.result, member.seconds);
        progress_.Finished("done", *member.job, member.result.size, member.seconds, LevelNote(member.result));
    }

    // What the progress line says of the threshold Otsu's method chose.
    std::string LevelNote(const Result& result) const {
        if (!options_.settings.threshold.otsu() || result.level < 0) return {};
        return " threshold " + std::to_string(result.level) + " (otsu)";
    }

    void Fail(const Job& job, const std::string& folder, const std::string& message, double seconds) {
        report_.Add(job, folder, "failed", NamedAsGiven(job, message), nullptr, seconds);
        progress_.Failure(FailureLine(job, message));
        progress_.Finished("failed", job, std::nullopt, seconds);
    }

    const ManyOptions& options_;
    const std::string out_;
    const std::vector<Job>& jobs_;
    const std::size_t passedOver_;
    Report& report_;
    const int signalFd_;
    Progress progress_;
    Pool pool_;
    std::map<std::size_t, Claim> claims_;
    FlushGroup group_;
    std::vector<Outcome> ended_;
    std::size_t next_ = 0;  // the next picture to hand out
    int stopSignal_ = 0;    // the signal that stopped the run, or 0
};

}  // namespace

int RunMany(const ManyOptions& options, const std::vector<std::string>& inputs) {
    sigset_t startMask;
    const int signalFd = ReceiveSignals(startMask);
    std::string out;
    std::optional<JobList> list;
    Report report;
    if (const int status = Prepare(options, inputs, out, list, report); status != 0) return status;

    ManyRun run(options, std::move(out), *list, report, signalFd, startMask);
    while (true) {
        run.HandOut();
        if (run.Over()) break;
        run.Wait();
        run.SettleEnded();
        run.RecordIfDue();
        run.Tick();
    }
    return run.Finish();
}
