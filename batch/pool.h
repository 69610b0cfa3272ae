// The workers of a many-pictures run. Each picture runs the whole chain in
// a process of its own, the program itself run as
//   workbench-batch -C DIR/<name> load /abs/INPUT filter binarize thin label
// so a picture that fails, runs out of memory or is killed ends as one
// failed entry and the others go on. A worker never outlives its run.
#pragma once

#include <csignal>
#include <spawn.h>
#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "batch/jobs.h"
#include "batch/result_folder.h"

// Called first by every run of the program: a worker of a many-pictures run
// (started with WORKBENCH_BATCH_RUN=<the run's process id>) arranges to be
// killed when that run ends, and returns false when it has already ended.
bool WorkerOfRun();

// How a picture handed to a worker ended.
struct Outcome {
    enum class Kind {
        kFinished,  // the chain ran to its end
        kFailed,    // message says why
        kStopped,   // ended by the signal that stops the run: no entry
    };
    std::size_t job = 0;
    Kind kind = Kind::kFailed;
    std::string message;
};

class Pool {
public:
    // At most `workers` pictures at once. Workers start with the signal mask
    // the program started with.
    Pool(int workers, const sigset_t& startMask);
    ~Pool();
    Pool(const Pool&) = delete;
    Pool& operator=(const Pool&) = delete;

    // Whether another picture can be handed out now.
    bool HasRoom() const;
    // Whether no picture is being worked on.
    bool Idle() const { return running_.empty(); }

    // Hands the picture to a worker, which writes its stage files into
    // folder. Returns an empty string, or why no worker could take it.
    std::string Start(std::size_t job, const Job& picture, const std::string& folder);

    // Waits until a worker has news, the descriptor `also` is readable or
    // timeoutMs pass, then adds the pictures that ended to `ended`.
    void Wait(int also, int timeoutMs, std::vector<Outcome>& ended);

    // Passes the signal that stops the run to every worker: what they were
    // doing ends as kStopped. A second call ends them at once (SIGKILL).
    void Stop(int signal);

private:
    struct Running {
        std::size_t job;
        int errors = -1;  // the worker's standard error
        std::string said;
    };

    void Collect(std::vector<Outcome>& ended);

    int workers_;
    posix_spawnattr_t attributes_;
    std::string parentVariable_;
    std::vector<char*> environment_;
    int devNull_ = -1;
    std::map<pid_t, Running> running_;
    int stopSignal_ = 0;
    bool killed_ = false;
};
