#include "batch/pool.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "app/files.h"

extern char** environ;

namespace {

constexpr char kParentVariable[] = "WORKBENCH_BATCH_RUN";

std::string ReasonText(int error) { return files::Reason(error).toStdString(); }

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

void Drain(int fd, std::string& said) {
    char buffer[4096];
    for (;;) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return;
        // Only the end matters; keep the last few kilobytes.
        said.append(buffer, static_cast<std::size_t>(got));
        if (said.size() > 16384) said.erase(0, said.size() - 8192);
    }
}

}  // namespace

bool WorkerOfRun() {
    const char* parent = std::getenv(kParentVariable);
    if (parent == nullptr) return true;
    const long expected = std::strtol(parent, nullptr, 10);
    ::unsetenv(kParentVariable);
    // Killed with the run, even a run killed outright; a run that ended
    // before this line is seen by the parent process id having changed.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    return ::getppid() == static_cast<pid_t>(expected);
}

Pool::Pool(int workers, const sigset_t& startMask) : workers_(workers) {
    devNull_ = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    // Workers start with the signal mask the program started with and
    // SIGPIPE at its default; they learn the run's process id, so that they
    // end with it (see WorkerOfRun).
    posix_spawnattr_init(&attributes_);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    posix_spawnattr_setsigmask(&attributes_, &startMask);
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
    for (auto& [pid, running] : running_) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
        ::close(running.errors);
    }
    posix_spawnattr_destroy(&attributes_);
    if (devNull_ >= 0) ::close(devNull_);
}

bool Pool::HasRoom() const { return stopSignal_ == 0 && running_.size() < static_cast<std::size_t>(workers_); }

std::string Pool::Start(std::size_t job, const Job& picture, const std::string& folder) {
    int pipeEnds[2];
    if (::pipe2(pipeEnds, O_CLOEXEC) != 0) return "Cannot start a worker: " + ReasonText(errno);
    const char* const argv[] = {"workbench-batch", "-C", folder.c_str(), "load", picture.absolute.c_str(), "filter",
                                "binarize", "thin", "label", nullptr};
    // posix_spawn rather than fork: the run's memory is not copied for
    // each picture (a fork costs milliseconds when the list is long).
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, devNull_, 0);
    posix_spawn_file_actions_adddup2(&actions, devNull_, 1);
    posix_spawn_file_actions_adddup2(&actions, pipeEnds[1], 2);
    pid_t pid = -1;
    const int error = ::posix_spawn(&pid, "/proc/self/exe", &actions, &attributes_, const_cast<char* const*>(argv),
                                    environment_.data());
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipeEnds[1]);
    if (error != 0) {
        ::close(pipeEnds[0]);
        return "Cannot start a worker: " + ReasonText(error);
    }
    ::fcntl(pipeEnds[0], F_SETFL, O_NONBLOCK);
    running_.emplace(pid, Running{job, pipeEnds[0], {}});
    return {};
}

void Pool::Wait(int also, int timeoutMs, std::vector<Outcome>& ended) {
    std::vector<pollfd> polled{{also, POLLIN, 0}};
    std::vector<pid_t> order;
    for (const auto& [pid, running] : running_) {
        polled.push_back({running.errors, POLLIN, 0});
        order.push_back(pid);
    }
    // The workers' ends are seen through SIGCHLD on `also`.
    if (::poll(polled.data(), polled.size(), timeoutMs) > 0)
        for (std::size_t i = 1; i < polled.size(); ++i)
            if (polled[i].revents != 0) {
                Running& running = running_.at(order[i - 1]);
                Drain(running.errors, running.said);
            }
    Collect(ended);
}

void Pool::Collect(std::vector<Outcome>& ended) {
    for (;;) {
        int status = 0;
        const pid_t pid = ::waitpid(-1, &status, WNOHANG);
        if (pid <= 0) return;
        const auto it = running_.find(pid);
        if (it == running_.end()) continue;
        Running running = std::move(it->second);
        running_.erase(it);
        Drain(running.errors, running.said);
        ::close(running.errors);

        Outcome outcome;
        outcome.job = running.job;
        if (WIFEXITED(status) && WEXITSTATUS(status) == 0) {
            outcome.kind = Outcome::Kind::kFinished;
        } else if (stopSignal_ != 0 && WIFSIGNALED(status)) {
            outcome.kind = Outcome::Kind::kStopped;
        } else if (WIFSIGNALED(status)) {
            const int signal = WTERMSIG(status);
            const char* name = SignalName(signal);
            outcome.message = std::string("the worker was killed by signal ") + std::to_string(signal) +
                              (name ? std::string(" (") + name + ")" : std::string());
        } else {
            outcome.message = LastLine(running.said);
            if (outcome.message.empty())
                outcome.message = "the worker ended with status " + std::to_string(WEXITSTATUS(status));
        }
        ended.push_back(std::move(outcome));
    }
}

void Pool::Stop(int signal) {
    if (stopSignal_ == 0) {
        stopSignal_ = signal;
        for (const auto& [pid, running] : running_) ::kill(pid, signal);
    } else if (!killed_) {
        // Asked twice: the workers end at once.
        killed_ = true;
        for (const auto& [pid, running] : running_) ::kill(pid, SIGKILL);
    }
}
