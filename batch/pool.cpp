#include "batch/pool.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "core/files.h"

extern char** environ;

namespace {

constexpr char kParentVariable[] = "WORKBENCH_BATCH_RUN";

// Pictures a worker holds at once. While its pictures take little time, the
// one it works on and enough behind it for about kQueuedSeconds, so that it
// never waits for the run between them, nor while the run flushes a group
// and writes its records (5 to 10 ms for 64 pictures here); at most
// kMostQueued, since each holds its result folder's lock (a descriptor) and
// cannot go to another worker once sent. A worker on
// pictures that take long holds one: the time the run takes to answer is
// small beside them, and a picture queued behind a long one could have gone
// to a worker that is free sooner.
constexpr std::size_t kQueued = 2;
constexpr std::size_t kMostQueued = 8;
constexpr double kQueuedSeconds = 0.03;
constexpr double kQuickPicture = 0.05;  // seconds


const char* SignalName(int signal) {
    switch (signal) {
    case SIGKILL: return "SIGKILL";
    case SIGTERM: return "SIGTERM";
    case SIGINT: return "SIGINT";
    case SIGHUP: return "SIGHUP";
    case SIGSEGV: return "SIGSEGV";
    case SIGABRT: return "SIGABRT";
    case SIGBUS: return "SIGBUS";
    case SIGXCPU: return "SIGXCPU";
    default: return nullptr;
    }
}

// The worker's last line, without the program's prefix.
std::string LastLine(const std::string& said) {
    std::string text = said;
    while (!text.empty() && text.back() == '\n') text.pop_back();
    const std::size_t newline = text.rfind('\n');
    if (newline != std::string::npos) text.erase(0, newline + 1);
    constexpr std::string_view prefix = "workbench-batch: ";
    if (text.compare(0, prefix.size(), prefix) == 0) text.erase(0, prefix.size());
    return text;
}

// Reads what is there without waiting; closes the descriptor at its end.
// Returns the bytes read.
std::string ReadAvailable(int& fd) {
    std::string bytes;
    char buffer[4096];
    while (fd >= 0) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) break;  // nothing more for now
        if (got == 0) {
            ::close(fd);
            fd = -1;
            break;
        }
        bytes.append(buffer, static_cast<std::size_t>(got));
    }
    return bytes;
}

// A pipe whose ends lie above the standard descriptors, so that the
// worker's dup2 onto 0, 2 and 3 never meets one of them, even when the run
// was started with a standard descriptor closed.
bool Pipe(int ends[2]) {
    int made[2];
    if (::pipe2(made, O_CLOEXEC) != 0) return false;
    for (int i = 0; i < 2; ++i) {
        ends[i] = ::fcntl(made[i], F_DUPFD_CLOEXEC, 10);
        ::close(made[i]);
    }
    if (ends[0] >= 0 && ends[1] >= 0) return true;
    for (int i = 0; i < 2; ++i)
        if (ends[i] >= 0) ::close(ends[i]);
    return false;
}

void CloseIfOpen(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

}  // namespace

Started HowStarted() {
    const char* parent = std::getenv(kParentVariable);
    if (parent == nullptr) return Started::kByUser;
    const long expected = std::strtol(parent, nullptr, 10);
    ::unsetenv(kParentVariable);
    // Killed with the run, even a run killed outright; a run that ended
    // before this line is seen by the parent process id having changed.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    return ::getppid() == static_cast<pid_t>(expected) ? Started::kByRun : Started::kByEndedRun;
}

Pool::Pool(int workers, std::uint64_t memoryLimit, int threads, const sigset_t& startMask)
    : workers_(workers), memoryLimit_(std::to_string(memoryLimit)), threads_(std::to_string(threads)) {
    devNull_ = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    // Workers start with the signal mask the program started with and
    // SIGPIPE at its default; they learn the run's process id, so that they
    // end with it (see HowStarted). The stop signals the run reads (those
    // not ignored when it started) start at their default and unblocked in
    // each worker, whose handler then removes the file it is writing and
    // ends it, so that the one Stop passes on ends it at once, wherever its
    // picture is, also in a run started with one blocked. Those ignored
    // when the run started stay ignored in the workers too.
    posix_spawnattr_init(&attributes_);
    sigset_t defaults, mask = startMask;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    for (const int signal : kStopSignals) {
        if (!IgnoredAtStart(signal)) sigaddset(&defaults, signal);
        sigdelset(&mask, signal);
    }
    posix_spawnattr_setsigmask(&attributes_, &mask);
    posix_spawnattr_setsigdefault(&attributes_, &defaults);
    posix_spawnattr_setflags(&attributes_, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    parentVariable_ = std::string(kParentVariable) + "=" + std::to_string(::getpid());
    const std::size_t nameLength = std::strlen(kParentVariable);
    for (char** variable = environ; *variable != nullptr; ++variable)
        if (std::strncmp(*variable, kParentVariable, nameLength) != 0 || (*variable)[nameLength] != '=')
            environment_.push_back(*variable);
    environment_.push_back(parentVariable_.data());
    environment_.push_back(nullptr);
}

Pool::~Pool() {
    for (const auto& worker : running_) {
        ::kill(worker->pid, SIGKILL);
        ::waitpid(worker->pid, nullptr, 0);
        CloseIfOpen(worker->requests);
        CloseIfOpen(worker->replies);
        CloseIfOpen(worker->errors);
    }
    posix_spawnattr_destroy(&attributes_);
    if (devNull_ >= 0) ::close(devNull_);
}

std::size_t Pool::Working() const {
    return static_cast<std::size_t>(
        std::count_if(running_.begin(), running_.end(), [](const auto& worker) { return worker->requests >= 0; }));
}

std::size_t Pool::Holds(const Worker& worker) {
    if (worker.lastSeconds < 0 || worker.lastSeconds >= kQuickPicture) return 1;
    const double covering = kQueuedSeconds / std::max(worker.lastSeconds, 1e-4);
    return std::clamp(static_cast<std::size_t>(covering), kQueued, kMostQueued);
}

bool Pool::HasRoom() const {
    if (stopSignal_ != 0) return false;
    std::size_t held = waiting_.size(), room = 0, working = 0;
    for (const auto& worker : running_) {
        held += worker->tasks.size();
        if (worker->requests >= 0) room += Holds(*worker), ++working;
    }
    // A worker yet to be started takes one picture to begin with.
    room += static_cast<std::size_t>(workers_) - std::min(working, static_cast<std::size_t>(workers_));
    return held < room;
}

bool Pool::Idle() const {
    return waiting_.empty() && ready_.empty() &&
           std::all_of(running_.begin(), running_.end(), [](const auto& worker) { return worker->tasks.empty(); });
}

Pool::Worker* Pool::Spawn(std::string& error) {
    int requests[2] = {-1, -1}, replies[2] = {-1, -1}, errors[2] = {-1, -1};
    if (!Pipe(requests) || !Pipe(replies) || !Pipe(errors)) {
        error = "Cannot start a worker: " + files::Reason(errno);
        for (int* ends : {requests, replies, errors})
            for (int i = 0; i < 2; ++i) CloseIfOpen(ends[i]);
        return nullptr;
    }
    const char* const argv[] = {"workbench-batch", "--worker", memoryLimit_.c_str(), threads_.c_str(), nullptr};
    // posix_spawn rather than fork: the run's memory is not copied.
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, requests[0], 0);
    posix_spawn_file_actions_adddup2(&actions, devNull_, 1);
    posix_spawn_file_actions_adddup2(&actions, errors[1], 2);
    posix_spawn_file_actions_adddup2(&actions, replies[1], 3);
    pid_t pid = -1;
    const int spawned = ::posix_spawn(&pid, "/proc/self/exe", &actions, &attributes_, const_cast<char* const*>(argv),
                                      environment_.data());
    posix_spawn_file_actions_destroy(&actions);
    ::close(requests[0]);
    ::close(replies[1]);
    ::close(errors[1]);
    if (spawned != 0) {
        ::close(requests[1]);
        ::close(replies[0]);
        ::close(errors[0]);
        error = "Cannot start a worker: " + files::Reason(spawned);
        return nullptr;
    }
    ::fcntl(replies[0], F_SETFL, O_NONBLOCK);
    ::fcntl(errors[0], F_SETFL, O_NONBLOCK);
    auto worker = std::make_unique<Worker>();
    worker->pid = pid;
    worker->requests = requests[1];
    worker->replies = replies[0];
    worker->errors = errors[0];
    running_.push_back(std::move(worker));
    return running_.back().get();
}

void Pool::Start(std::size_t job, const PictureRequest& request) {
    waiting_.push_back({job, EncodeRequest(request)});
    Dispatch();
}

void Pool::Dispatch() {
    while (!waiting_.empty() && stopSignal_ == 0) {
        // The worker with the least to do; a new one while it has any.
        Worker* worker = nullptr;
        for (const auto& candidate : running_)
            if (candidate->requests >= 0 && candidate->tasks.size() < Holds(*candidate) &&
                (worker == nullptr || candidate->tasks.size() < worker->tasks.size()))
                worker = candidate.get();
        if ((worker == nullptr || !worker->tasks.empty()) && Working() < static_cast<std::size_t>(workers_)) {
            std::string error;
            if (Worker* started = Spawn(error)) {
                worker = started;
            } else if (worker == nullptr) {
                Outcome outcome;
                outcome.job = waiting_.front().job;
                outcome.reply.message = error;
                ready_.push_back(std::move(outcome));
                waiting_.pop_front();
                continue;
            }
        }
        if (worker == nullptr) return;  // every worker holds all it may
        if (!WriteMessage(worker->requests, waiting_.front().message)) {
            // The worker has ended meanwhile; Reap collects it.
            CloseIfOpen(worker->requests);
            continue;
        }
        worker->tasks.push_back(std::move(waiting_.front()));
        waiting_.pop_front();
    }
}

void Pool::Read(Worker& worker, std::vector<Outcome>& ended) {
    worker.said += ReadAvailable(worker.errors);
    // Only the end matters; keep the last few kilobytes.
    if (worker.said.size() > 16384) worker.said.erase(0, worker.said.size() - 8192);
    const std::string bytes = ReadAvailable(worker.replies);
    worker.buffer.Append(bytes.data(), bytes.size());
    while (const std::optional<std::string> message = worker.buffer.Next()) {
        const std::optional<PictureReply> reply = DecodeReply(*message);
        if (!reply || worker.tasks.empty()) {
            // Not an answer of a worker: it cannot be trusted with more.
            ::kill(worker.pid, SIGKILL);
            CloseIfOpen(worker.requests);
            worker.said += "\nworkbench-batch: the worker answered out of turn\n";
            return;
        }
        Outcome outcome;
        outcome.job = worker.tasks.front().job;
        outcome.kind = reply->done ? Outcome::Kind::kFinished : Outcome::Kind::kFailed;
        outcome.answered = true;
        outcome.reply = *reply;
        worker.lastSeconds = reply->seconds;
        ended.push_back(std::move(outcome));
        worker.tasks.pop_front();
    }
    if (worker.buffer.broken()) {
        ::kill(worker.pid, SIGKILL);
        CloseIfOpen(worker.requests);
    }
}

void Pool::Wait(int also, int timeoutMs, std::vector<Outcome>& ended) {
    if (!ready_.empty()) {
        ended.insert(ended.end(), std::make_move_iterator(ready_.begin()), std::make_move_iterator(ready_.end()));
        ready_.clear();
        timeoutMs = 0;
    }
    std::vector<pollfd> polled{{also, POLLIN, 0}};
    std::vector<Worker*> owners{nullptr};
    for (const auto& worker : running_)
        for (const int fd : {worker->replies, worker->errors})
            if (fd >= 0) {
                polled.push_back({fd, POLLIN, 0});
                owners.push_back(worker.get());
            }
    if (::poll(polled.data(), polled.size(), timeoutMs) > 0)
        for (std::size_t i = 1; i < polled.size(); ++i)
            if (polled[i].revents != 0) Read(*owners[i], ended);
    Reap(ended);
    Dispatch();
}

void Pool::Reap(std::vector<Outcome>& ended) {
    for (;;) {
        int status = 0;
        const pid_t pid = ::waitpid(-1, &status, WNOHANG);
        if (pid <= 0) return;
        const auto it = std::find_if(running_.begin(), running_.end(), [pid](const auto& w) { return w->pid == pid; });
        if (it == running_.end()) continue;
        std::unique_ptr<Worker> worker = std::move(*it);
        running_.erase(it);
        // An answer it gave before it ended still counts.
        Read(*worker, ended);
        CloseIfOpen(worker->requests);
        CloseIfOpen(worker->replies);
        CloseIfOpen(worker->errors);
        if (worker->tasks.empty()) continue;

        // The picture it worked on ends with it; those queued behind it go
        // to another worker, unless the run is stopping.
        Outcome outcome;
        outcome.job = worker->tasks.front().job;
        if (stopSignal_ != 0) {
            outcome.kind = Outcome::Kind::kStopped;
        } else if (WIFSIGNALED(status)) {
            const int signal = WTERMSIG(status);
            const char* name = SignalName(signal);
            outcome.reply.message = std::string("the worker was killed by signal ") + std::to_string(signal) +
                                    (name ? std::string(" (") + name + ")" : std::string());
        } else {
            outcome.reply.message = LastLine(worker->said);
            if (outcome.reply.message.empty())
                outcome.reply.message = "the worker ended with status " + std::to_string(WEXITSTATUS(status)) +
                                        " before it answered";
        }
        ended.push_back(std::move(outcome));
        worker->tasks.pop_front();
        while (!worker->tasks.empty()) {
            if (stopSignal_ != 0) {
                Outcome stopped;
                stopped.job = worker->tasks.back().job;
                stopped.kind = Outcome::Kind::kStopped;
                ended.push_back(std::move(stopped));
            } else {
                waiting_.push_front(std::move(worker->tasks.back()));
            }
            worker->tasks.pop_back();
        }
    }
}

void Pool::Stop(int signal) {
    if (stopSignal_ == 0) {
        stopSignal_ = signal;
        for (Task& task : waiting_) {
            Outcome stopped;
            stopped.job = task.job;
            stopped.kind = Outcome::Kind::kStopped;
            ready_.push_back(std::move(stopped));
        }
        waiting_.clear();
        for (const auto& worker : running_) ::kill(worker->pid, signal);
    } else if (!killed_) {
        // Asked twice: the workers end at once.
        killed_ = true;
        for (const auto& worker : running_) ::kill(worker->pid, SIGKILL);
    }
}

void Pool::Finish() {
    // An idle worker ends when its input does.
    for (const auto& worker : running_) CloseIfOpen(worker->requests);
    for (const auto& worker : running_) {
        while (::waitpid(worker->pid, nullptr, 0) < 0 && errno == EINTR) {
        }
        CloseIfOpen(worker->replies);
        CloseIfOpen(worker->errors);
    }
    running_.clear();
}
