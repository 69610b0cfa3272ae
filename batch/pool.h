// The workers of a many-pictures run: up to --jobs long-lived processes,
// each the program itself in its worker mode (batch/worker.h), taking
// picture after picture from the run over pipes (batch/protocol.h). A
// worker on quick pictures is handed its next picture while it works on
// one, so that it never waits for the run between them. A picture that
// crashes its worker, runs it out of memory or has it killed ends as one
// failed entry; the picture queued behind it goes to a new worker. A worker
// never outlives its run, even one killed outright.
#pragma once

#include <csignal>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include <spawn.h>

#include "batch/protocol.h"

// How the program was started, asked first by every run of it: workers of
// a many-pictures run (started with WORKBENCH_BATCH_RUN=<the run's process
// id>) arrange to be killed when that run ends, and learn whether it has
// already ended.
enum class Started { kByUser, kByRun, kByEndedRun };
Started HowStarted();

// The signals that stop a run (and the pictures its workers are on).
inline constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};

// Whether the signal is ignored, as it was when the program started: the
// run never changes the disposition of a stop signal, only its mask.
inline bool IgnoredAtStart(int signal) {
    struct sigaction now {};
    return ::sigaction(signal, nullptr, &now) == 0 && now.sa_handler == SIG_IGN;
}

// How a picture handed to a worker ended.
struct Outcome {
    enum class Kind {
        kFinished,  // the chain ran to its end: reply says what it wrote
        kFailed,    // reply.message says why
        kStopped,   // ended by the signal that stops the run: no entry
    };
    std::size_t job = 0;
    Kind kind = Kind::kFailed;
    bool answered = false;  // the reply is the worker's own
    PictureReply reply;
};

class Pool {
public:
    // At most `workers` processes, each under memoryLimit (see RunChain).
    // Workers start with the signal mask the program started with, less
    // the stop signals, which they take at their default (the run stops
    // them with one, see Stop) unless the run found them ignored.
    // Each picture runs on `threads` threads of its worker.
    Pool(int workers, std::uint64_t memoryLimit, int threads, const sigset_t& startMask);
    ~Pool();
    Pool(const Pool&) = delete;
    Pool& operator=(const Pool&) = delete;

    // Whether another picture can be handed out now.
    bool HasRoom() const;
    // Whether no picture is being worked on.
    bool Idle() const;

    // Hands the picture to the worker with the least to do, starting one
    // while there are fewer than `workers`. When no worker can be started,
    // the picture ends as failed, saying why.
    void Start(std::size_t job, const PictureRequest& request);

    // Waits until a worker has news, the descriptor `also` is readable or
    // timeoutMs pass, then adds the pictures that ended to `ended`.
    void Wait(int also, int timeoutMs, std::vector<Outcome>& ended);

    // Passes the signal that stops the run to every worker: what they were
    // doing ends as kStopped. A second call ends them at once (SIGKILL).
    void Stop(int signal);

    // Tells the workers that no more pictures come, and waits for them to
    // end; called once no picture is being worked on.
    void Finish();

private:
    // A picture for a worker, and its request as sent.
    struct Task {
        std::size_t job;
        std::string message;
    };
    struct Worker {
        pid_t pid = -1;
        int requests = -1;  // to its standard input; -1 once it takes no more
        int replies = -1;   // from its descriptor 3
        int errors = -1;    // from its standard error
        MessageBuffer buffer;
        std::string said;         // the end of what it wrote on standard error
        std::deque<Task> tasks;  // sent and not answered, the first being worked on
        double lastSeconds = -1;  // its time on the last picture it answered
    };

    // How many pictures the worker may hold at once.
    static std::size_t Holds(const Worker& worker);

    Worker* Spawn(std::string& error);
    // Sends waiting pictures to workers.
    void Dispatch();
    // Reads what the worker said; answers end their pictures.
    void Read(Worker& worker, std::vector<Outcome>& ended);
    // Collects the workers that have ended.
    void Reap(std::vector<Outcome>& ended);
    std::size_t Working() const;

    int workers_;
    std::string memoryLimit_;
    std::string threads_;
    posix_spawnattr_t attributes_;
    std::string parentVariable_;
    std::vector<char*> environment_;
    int devNull_ = -1;
    std::vector<std::unique_ptr<Worker>> running_;
    std::deque<Task> waiting_;    // for the next worker that can take one
    std::vector<Outcome> ready_;  // ended without a worker, for the next Wait
    int stopSignal_ = 0;
    bool killed_ = false;
};
