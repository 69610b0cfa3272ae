#include "batch/runner.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdio>
#include <map>
#include <optional>

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

// A picture being worked on: its claimed result folder and when it began.
struct Claim {
    std::string folder;
    int lock = -1;
    Clock::time_point start;
};

double SecondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

}  // namespace

int RunMany(const ManyOptions& options, const std::vector<std::string>& inputs) {
    // Signals arrive through a descriptor, between steps of the loop below;
    // workers get the mask and dispositions the program started with.
    sigset_t handled, original;
    sigemptyset(&handled);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGCHLD}) sigaddset(&handled, signal);
    ::sigprocmask(SIG_BLOCK, &handled, &original);
    const int signalFd = ::signalfd(-1, &handled, SFD_CLOEXEC | SFD_NONBLOCK);
    std::signal(SIGPIPE, SIG_IGN);

    char cwd[PATH_MAX];
    if (::getcwd(cwd, sizeof cwd) == nullptr) {
        std::fprintf(stderr, "workbench-batch: Cannot use the current folder: %s\n", files::Reason(errno).c_str());
        return 1;
    }
    std::string out = options.out;
    while (out.size() > 1 && out.back() == '/') out.pop_back();

    std::string error;
    const std::optional<JobList> list = ListJobs(inputs, cwd, out, options.shard, options.shards, error);
    if (!list) {
        std::fprintf(stderr, "workbench-batch: %s\n", error.c_str());
        return 2;
    }
    const std::vector<Job>& jobs = list->jobs;
    if (const int problem = MakeFolders(out); problem != 0) {
        std::fprintf(stderr, "workbench-batch: Cannot use the folder %s: %s\n", Shown(out).c_str(),
                     files::Reason(problem).c_str());
        return 1;
    }
    Report report;
    if (options.report && !report.Open(*options.report, error)) {
        std::fprintf(stderr, "workbench-batch: %s\n", error.c_str());
        return 1;
    }

    for (const PassedOver& file : list->passedOver) report.Add(file);

    Progress progress(jobs.size());
    const int workers = options.jobs > 0 ? options.jobs : CoreCount();
    // Each picture's threads: the cores shared between the workers that
    // will have a picture (one picture alone has every core).
    const int busy = static_cast<int>(std::clamp<std::size_t>(jobs.size(), 1, static_cast<std::size_t>(workers)));
    const int threads = options.threads > 0 ? options.threads : std::max(1, CoreCount() / busy);
    Pool pool(workers, options.maxMemory > 0 ? options.maxMemory : DefaultMemoryLimit(workers), threads, original);
    std::map<std::size_t, Claim> claims;
    FlushGroup group;
    std::size_t next = 0;
    int stopSignal = 0;

    const auto fail = [&](const Job& job, const std::string& folder, const std::string& message, double seconds) {
        report.Add(job, folder, "failed", message, nullptr, seconds);
        progress.Failure(Named(job) + ": " + message);
        progress.Finished("failed", job, std::nullopt, seconds);
    };

    // Hands out the next picture: skips it, fails it, or gives it to a worker.
    const auto handOut = [&]() {
        const std::size_t index = next++;
        const Job& job = jobs[index];
        const std::string folder = out + "/" + job.folder;
        if (!job.problem.empty()) return fail(job, folder, job.problem, 0.0);
        if (!options.force) {
            if (const std::optional<Result> result = FinishedResult(folder, job, options.keep, options.format)) {
                report.Add(job, folder, "skipped", "finished before", &*result, 0.0);
                return progress.Finished("skipped", job, result->size, 0.0);
            }
        }
        std::string problem;
        const int lock = ClaimFolder(folder, problem);
        if (lock < 0) return fail(job, folder, problem, 0.0);
        const Clock::time_point start = Clock::now();
        PictureRequest request;
        request.input = job.absolute;
        request.folder = folder;
        request.page = job.page;
        request.stages = options.keep;
        request.format = options.format;
        claims.emplace(index, Claim{folder, lock, start});
        pool.Start(index, request);
    };

    // A picture that ended: one whose files are written joins the group to
    // be recorded; one that failed is removed with its entry, one stopped
    // with the run without one.
    const auto settle = [&](const Outcome& outcome) {
        const Job& job = jobs[outcome.job];
        const Claim claim = claims.at(outcome.job);
        claims.erase(outcome.job);
        // The worker's own time on the picture; the run's, when it did not
        // answer (the picture may have waited behind another).
        const double seconds = outcome.answered ? outcome.reply.seconds : SecondsSince(claim.start);
        std::string message = outcome.reply.message;
        if (outcome.kind == Outcome::Kind::kFinished) {
            FlushGroup::Member member{outcome.job, &job, claim.folder, claim.lock, {}, {}, seconds};
            member.result.size = PictureSize{outcome.reply.width, outcome.reply.height};
            member.result.stages = options.keep;
            member.result.format = options.format;
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
            if (message.empty()) {
                member.stamp = *stamp;
                return group.Add(std::move(member));
            }
        }
        ReleaseFolder(out, claim.folder, claim.lock, false);
        if (outcome.kind != Outcome::Kind::kStopped) fail(job, claim.folder, message, seconds);
    };

    // The group's files to the disk, then their records.
    const auto record = [&]() {
        group.Flush([&](FlushGroup::Member& member, const std::string& problem) {
            ReleaseFolder(out, member.folder, member.lock, problem.empty());
            if (!problem.empty()) return fail(*member.job, member.folder, problem, member.seconds);
            report.Add(*member.job, member.folder, "done", "", &member.result, member.seconds);
            progress.Finished("done", *member.job, member.result.size, member.seconds);
        });
    };

    std::vector<Outcome> ended;
    while (true) {
        // A bounded number at a time, so that a long run of skipped
        // pictures still looks at signals in between.
        for (int handed = 0; handed < 256 && stopSignal == 0 && next < jobs.size() && pool.HasRoom(); ++handed)
            handOut();
        if (pool.Idle() && (stopSignal != 0 || next == jobs.size())) break;
        const bool moreToHand = stopSignal == 0 && next < jobs.size() && pool.HasRoom();
        const int due = group.MillisecondsUntilDue();

        ended.clear();
        pool.Wait(signalFd, moreToHand ? 0 : due >= 0 ? std::min(due, 250) : 250, ended);
        signalfd_siginfo info{};
        while (::read(signalFd, &info, sizeof info) == sizeof info) {
            const int signal = static_cast<int>(info.ssi_signo);
            if (signal == SIGCHLD) continue;
            if (stopSignal == 0) stopSignal = signal;
            pool.Stop(signal);
        }
        // Workers that ended since the wait, the signal included.
        pool.Wait(-1, 0, ended);
        for (const Outcome& outcome : ended) settle(outcome);
        if (group.Due()) record();
        progress.Tick();
    }
    record();

    pool.Finish();
    progress.Summary(list->passedOver.size(), stopSignal);
    if (!report.error().empty()) std::fprintf(stderr, "workbench-batch: %s\n", report.error().c_str());
    if (stopSignal != 0) return 128 + stopSignal;
    if (progress.failed() > 0 || !report.error().empty()) return 1;
    return 0;
}
