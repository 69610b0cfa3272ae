#include "batch/runner.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <optional>
#include <set>
#include <span>
#include <string_view>

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "app/files.h"
#include "codec/bmp.h"
#include "app/picture.h"

extern char** environ;

namespace {

constexpr char kParentVariable[] = "WORKBENCH_BATCH_RUN";

using Clock = std::chrono::steady_clock;

constexpr const char* kStageFiles[] = {"A.bmp", "B.bmp", "C.bmp", "D.bmp"};
constexpr char kRecordName[] = ".finished";
constexpr char kRecordTitle[] = "workbench-batch finished";

// Extensions of the picture files that a folder given as INPUT contributes
// (compared without regard to case); a file named on its own is taken
// whatever its name.
constexpr std::string_view kPictureExtensions[] = {"bmp", "dib", "png", "jpg", "jpeg", "jpe", "jfif", "tif", "tiff",
                                                    "gif", "ppm", "pgm", "pbm", "pnm", "ico", "cur"};

std::string Shown(const std::string& bytes) { return FileName(bytes).Shown().toStdString(); }
std::string ReasonText(int error) { return files::Reason(error).toStdString(); }

// ---------------------------------------------------------------------------
// The list of pictures

struct Job {
    std::string input;     // the path as listed (given, or found below a given folder)
    std::string absolute;  // the path the worker loads
    std::string folder;    // below --out, without the extension (and page-K/ for a page)
    std::string problem;   // set when the input cannot be used at all
    int page = 0;          // K of page K (from 1) of a file with several; 0 for a file of one
};

// The input as messages name it: the file, and the page of a file with
// several.
std::string Named(const Job& job) {
    return job.page == 0 ? Shown(job.input) : Shown(job.input) + " page " + std::to_string(job.page);
}

std::string Leaf(const std::string& path) {
    std::string trimmed = path;
    while (trimmed.size() > 1 && trimmed.back() == '/') trimmed.pop_back();
    const std::size_t slash = trimmed.rfind('/');
    return slash == std::string::npos ? trimmed : trimmed.substr(slash + 1);
}

std::string WithoutExtension(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    const std::size_t start = slash == std::string::npos ? 0 : slash + 1;
    const std::size_t dot = path.rfind('.');
    if (dot == std::string::npos || dot <= start) return path;  // no extension, or a name like ".png"
    const std::string stem = path.substr(0, dot);
    const std::string leaf = stem.substr(start);
    if (leaf == "." || leaf == "..") return path;
    return stem;
}

bool IsPictureName(const std::string& name) {
    const std::size_t dot = name.rfind('.');
    if (dot == std::string::npos || dot == 0) return false;
    std::string extension = name.substr(dot + 1);
    for (char& c : extension) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return std::find(std::begin(kPictureExtensions), std::end(kPictureExtensions), extension) !=
           std::end(kPictureExtensions);
}

class JobList {
public:
    std::vector<Job> jobs;
    std::uint64_t passedOver = 0;

    explicit JobList(std::string cwd, const std::string& out) : cwd_(std::move(cwd)) {
        struct stat info {};
        if (::stat(out.c_str(), &info) == 0) out_ = std::make_pair(info.st_dev, info.st_ino);
    }

    void AddInput(const std::string& path) {
        struct stat info {};
        if (::stat(path.c_str(), &info) != 0) {
            AddFile(path, WithoutExtension(Leaf(path)), "Cannot read " + Shown(path) + ": " + ReasonText(errno));
        } else if (S_ISDIR(info.st_mode)) {
            std::string root = path;
            while (root.size() > 1 && root.back() == '/') root.pop_back();
            Walk(root, "");
        } else {
            AddFile(path, WithoutExtension(Leaf(path)), "");
        }
    }

    // Lines of standard input, each a path.
    void AddStandardInput() {
        std::string pending;
        char buffer[65536];
        for (;;) {
            const ssize_t got = ::read(0, buffer, sizeof buffer);
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) break;
            pending.append(buffer, static_cast<std::size_t>(got));
            std::size_t start = 0;
            for (std::size_t end; (end = pending.find('\n', start)) != std::string::npos; start = end + 1)
                if (end > start) AddInput(pending.substr(start, end - start));
            pending.erase(0, start);
        }
        if (!pending.empty()) AddInput(pending);
    }

private:
    void AddFile(const std::string& path, const std::string& folder, const std::string& problem) {
        Job job;
        job.input = path;
        job.absolute = path.front() == '/' ? path : cwd_ + "/" + path;
        job.folder = folder;
        job.problem = problem;
        jobs.push_back(std::move(job));
    }

    // The picture files below root, in sorted order. Symbolic links to
    // files count as files; links to folders are not followed, so a link
    // loop cannot make the walk endless.
    void Walk(const std::string& root, const std::string& below) {
        const std::string here = below.empty() ? root : root + "/" + below;
        DIR* dir = ::opendir(here.c_str());
        if (dir == nullptr) {
            AddFile(here, below.empty() ? Leaf(root) : below, "Cannot read " + Shown(here) + ": " + ReasonText(errno));
            return;
        }
        std::vector<std::string> names;
        while (const dirent* entry = ::readdir(dir)) {
            const std::string name = entry->d_name;
            if (name != "." && name != "..") names.push_back(name);
        }
        ::closedir(dir);
        std::sort(names.begin(), names.end());
        for (const std::string& name : names) {
            const std::string relative = below.empty() ? name : below + "/" + name;
            const std::string path = root + "/" + relative;
            struct stat info {};
            if (::lstat(path.c_str(), &info) != 0) {
                ++passedOver;
                continue;
            }
            if (S_ISDIR(info.st_mode)) {
                // The results of an earlier run inside a folder of inputs
                // are not inputs.
                if (!out_ || *out_ != std::make_pair(info.st_dev, info.st_ino)) Walk(root, relative);
                continue;
            }
            if (S_ISLNK(info.st_mode) && ::stat(path.c_str(), &info) != 0) info.st_mode = 0;
            if (S_ISREG(info.st_mode) && IsPictureName(name))
                AddFile(path, WithoutExtension(relative), "");
            else
                ++passedOver;
        }
    }

    std::string cwd_;
    std::optional<std::pair<dev_t, ino_t>> out_;  // the --out folder, when it exists
};

// Each page of a file with several pages (a multi-page TIFF) becomes a
// picture of its own, in DIR/<name without extension>/page-K/, K from 1. A
// file whose pages cannot be counted stays one picture: its worker says
// what is wrong with it.
void SplitPages(std::vector<Job>& jobs) {
    std::vector<Job> split;
    split.reserve(jobs.size());
    for (Job& job : jobs) {
        int pages = 1;
        if (job.problem.empty()) {
            try {
                pages = PageCount(FileName(job.absolute));
            } catch (const std::exception&) {
                pages = 1;
            }
        }
        for (int k = 1; pages > 1 && k <= pages; ++k) {
            Job page = job;
            page.page = k;
            page.folder += "/page-" + std::to_string(k);
            split.push_back(std::move(page));
        }
        if (pages <= 1) split.push_back(std::move(job));
    }
    jobs = std::move(split);
}

// Two inputs whose result folders meet: the same folder, or one folder
// named like a file of the other's result (a/A.bmp.png beside a.png).
std::optional<std::string> FindCollision(const std::vector<Job>& jobs, const std::string& out) {
    std::map<std::string, const Job*> byFolder;
    for (const Job& job : jobs) {
        const auto [at, inserted] = byFolder.emplace(job.folder, &job);
        if (!inserted)
            return Named(*at->second) + " and " + Named(job) + " would share the result folder " +
                   Shown(out + "/" + job.folder);
    }
    for (const Job& job : jobs) {
        const std::size_t slash = job.folder.rfind('/');
        if (slash == std::string::npos) continue;
        const std::string leaf = job.folder.substr(slash + 1);
        const bool taken = leaf == kRecordName || std::find(std::begin(kStageFiles), std::end(kStageFiles), leaf) !=
                                                      std::end(kStageFiles);
        const auto parent = byFolder.find(job.folder.substr(0, slash));
        if (taken && parent != byFolder.end())
            return Named(*parent->second) + " and " + Named(job) + " would share the file " +
                   Shown(out + "/" + job.folder);
    }
    return std::nullopt;
}

// ---------------------------------------------------------------------------
// The record of a finished result

bool Utf8At(const std::string& s, std::size_t i, std::size_t& length) {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
    const unsigned lead = byte(i);
    std::uint32_t code;
    if (lead < 0x80) return length = 1, true;
    if (lead >= 0xC2 && lead <= 0xDF) length = 2, code = lead & 0x1F;
    else if (lead >= 0xE0 && lead <= 0xEF) length = 3, code = lead & 0x0F;
    else if (lead >= 0xF0 && lead <= 0xF4) length = 4, code = lead & 0x07;
    else return false;
    if (i + length > s.size()) return false;
    for (std::size_t k = 1; k < length; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80) return false;
        code = (code << 6) | (byte(i + k) & 0x3F);
    }
    const std::uint32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
    return code >= least[length] && code <= 0x10FFFF && !(code >= 0xD800 && code <= 0xDFFF);
}

struct Stamp {
    std::uint64_t size = 0;
    std::int64_t seconds = 0, nanoseconds = 0;
};

std::optional<Stamp> StampOf(const std::string& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) return std::nullopt;
    return Stamp{static_cast<std::uint64_t>(info.st_size), info.st_mtim.tv_sec, info.st_mtim.tv_nsec};
}

std::string RecordHead(const Job& job, const Stamp& stamp) {
    char line[128];
    std::snprintf(line, sizeof line, "size %llu\nmodified %lld.%09lld\n", static_cast<unsigned long long>(stamp.size),
                  static_cast<long long>(stamp.seconds), static_cast<long long>(stamp.nanoseconds));
    return std::string(kRecordTitle) + "\ninput " + JsonString(job.absolute) + "\n" + line;
}

std::optional<std::string> ReadSmallFile(const std::string& path, std::size_t limit) {
    try {
        files::InputFile file{FileName(path)};
        if (file.size() > limit) return std::nullopt;
        std::string bytes(static_cast<std::size_t>(file.size()), '\0');
        bytes.resize(file.ReadFully(reinterpret_cast<std::uint8_t*>(bytes.data()), bytes.size()));
        return bytes;
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

struct Size {
    long width = 0, height = 0;
};

// The size a finished result records, when its record matches the input as
// it is now and every stage file is there.
std::optional<Size> FinishedSize(const std::string& folder, const Job& job) {
    const std::optional<Stamp> stamp = StampOf(job.absolute);
    if (!stamp) return std::nullopt;
    const std::optional<std::string> record = ReadSmallFile(folder + "/" + kRecordName, 1 << 16);
    const std::string head = RecordHead(job, *stamp);
    if (!record || record->compare(0, head.size(), head) != 0) return std::nullopt;
    Size size;
    if (std::sscanf(record->c_str() + head.size(), "width %ld\nheight %ld\n", &size.width, &size.height) != 2)
        return std::nullopt;
    for (const char* stage : kStageFiles) {
        struct stat info {};
        if (::stat((folder + "/" + stage).c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return std::nullopt;
    }
    return size;
}

// The picture's size from the headers of the BMP file the chain wrote.
std::optional<Size> BmpSize(const std::string& path) {
    try {
        files::InputFile file{FileName(path)};
        std::uint8_t head[256];
        const std::size_t got = file.ReadFully(head, sizeof head);
        const std::optional<codec::BmpExtent> extent = codec::BmpExtentOf(std::span(head, got));
        if (!extent) return std::nullopt;
        return Size{static_cast<long>(extent->width), static_cast<long>(extent->height)};
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

// Written beside under a temporary name, then renamed over the record: the
// record is whole or absent. It is not flushed to the disk first, unlike the
// stage files: the stage files are on the disk before the record exists, and
// a record lost or cut short by a crash no longer matches, so the picture is
// done again. That saves a third of a small picture's time on a disk where a
// flush costs milliseconds. Only the run holding the folder's lock writes
// here, so the fixed temporary name is its own; one left by a run killed
// outright starts with the temporary prefix and is tidied.
bool WriteRecord(const std::string& folder, const Job& job, const Stamp& stamp, const Size& size, std::string& error) {
    const std::string text = RecordHead(job, stamp) + "width " + std::to_string(size.width) + "\nheight " +
                             std::to_string(size.height) + "\n";
    const std::string temporary = folder + "/" + files::kTemporaryPrefix + "record";
    const std::string target = folder + "/" + kRecordName;
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0666);
    bool written = fd >= 0;
    int problem = written ? 0 : errno;
    if (written) {
        written = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
        if (!written) problem = errno != 0 ? errno : ENOSPC;
        if (::close(fd) != 0 && written) written = false, problem = errno;
    }
    if (written && ::rename(temporary.c_str(), target.c_str()) != 0) written = false, problem = errno;
    if (!written) {
        ::unlink(temporary.c_str());
        error = "Cannot write " + Shown(target) + ": " + ReasonText(problem);
    }
    return written;
}

// Temporaries left in a result folder by a worker that was killed outright.
// Only a run holding the folder's lock works in it, so none is in use.
void RemoveTemporaries(const std::string& folder) {
    DIR* dir = ::opendir(folder.c_str());
    if (dir == nullptr) return;
    std::vector<std::string> stale;
    while (const dirent* entry = ::readdir(dir))
        if (std::strncmp(entry->d_name, files::kTemporaryPrefix, sizeof files::kTemporaryPrefix - 1) == 0)
            stale.emplace_back(entry->d_name);
    ::closedir(dir);
    for (const std::string& name : stale) ::unlink((folder + "/" + name).c_str());
}

// What a picture that did not finish leaves: nothing of ours.
void RemoveResult(const std::string& folder) {
    ::unlink((folder + "/" + kRecordName).c_str());
    for (const char* stage : kStageFiles) ::unlink((folder + "/" + stage).c_str());
    RemoveTemporaries(folder);
}

// ---------------------------------------------------------------------------
// Output: the report, progress and messages

std::string FormatSeconds(double seconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3f", seconds);
    return text;
}

std::string Clock3(double seconds) {
    const long total = std::lround(std::max(0.0, seconds));
    char text[32];
    std::snprintf(text, sizeof text, "%ld:%02ld:%02ld", total / 3600, total / 60 % 60, total % 60);
    return text;
}

void WriteAll(int fd, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t wrote = ::write(fd, text.data() + done, text.size() - done);
        if (wrote < 0 && errno == EINTR) continue;
        if (wrote <= 0) return;
        done += static_cast<std::size_t>(wrote);
    }
}

class Report {
public:
    bool Open(const std::string& path, std::string& error) {
        struct stat before {};
        if (::stat(path.c_str(), &before) == 0 && !S_ISREG(before.st_mode)) {
            error = "Cannot write " + Shown(path) + ": " + files::KindReason(before.st_mode).toStdString();
            return false;
        }
        fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0666);
        if (fd_ < 0) {
            error = "Cannot write " + Shown(path) + ": " + ReasonText(errno);
            return false;
        }
        struct stat info {};
        if (::fstat(fd_, &info) != 0 || !S_ISREG(info.st_mode)) {
            error = "Cannot write " + Shown(path) + ": it is not an ordinary file";
            return false;
        }
        ::fcntl(fd_, F_SETFL, O_APPEND);
        path_ = path;
        return true;
    }

    // One line, one write: with O_APPEND, lines of runs that share the file
    // never interleave.
    void Add(const Job& job, const std::string& folder, const char* status, const std::string& message,
             std::optional<Size> size, double seconds) {
        if (fd_ < 0) return;
        std::string line = "{\"input\":" + JsonString(job.input) +
                           ",\"page\":" + (job.page == 0 ? std::string("null") : std::to_string(job.page)) +
                           ",\"folder\":" + JsonString(folder) +
                           ",\"status\":\"" + status + "\",\"message\":" + JsonString(message) + ",\"width\":" +
                           (size ? std::to_string(size->width) : "null") +
                           ",\"height\":" + (size ? std::to_string(size->height) : "null") +
                           ",\"seconds\":" + FormatSeconds(seconds) + "}\n";
        const ssize_t wrote = ::write(fd_, line.data(), line.size());
        if (wrote != static_cast<ssize_t>(line.size()) && error_.empty())
            error_ = "Cannot write " + Shown(path_) + ": " + ReasonText(wrote < 0 ? errno : ENOSPC);
    }

    const std::string& error() const { return error_; }

private:
    int fd_ = -1;
    std::string path_, error_;
};

class Progress {
public:
    explicit Progress(std::size_t total) : total_(total), terminal_(::isatty(1) == 1), start_(Clock::now()) {}

    void Finished(const char* status, const Job& job, std::optional<Size> size, double seconds) {
        ++finished_;
        if (std::strcmp(status, "skipped") == 0) {
            ++skipped_;
        } else {
            ++worked_;
            if (std::strcmp(status, "failed") == 0) ++failed_;
            else ++done_;
        }
        if (terminal_) {
            Redraw(false);
        } else if (std::strcmp(status, "skipped") != 0) {
            std::string line = "[" + std::to_string(finished_) + "/" + std::to_string(total_) + "] " + status + " " +
                               Named(job);
            if (size) line += " " + std::to_string(size->width) + "x" + std::to_string(size->height);
            line += " " + FormatSeconds(seconds) + " s\n";
            WriteAll(1, line);
        }
    }

    // A failure's line on standard error; on a terminal the progress line is
    // cleared first and drawn again below it.
    void Failure(const std::string& line) {
        if (terminal_ && drawn_) WriteAll(1, "\r\x1b[K");
        drawn_ = false;
        WriteAll(2, "workbench-batch: " + line + "\n");
    }

    void Tick() {
        if (terminal_) Redraw(false);
    }

    void Summary(std::uint64_t passedOver, int stopSignal) {
        if (terminal_) Redraw(true), WriteAll(1, "\n");
        std::string line = std::to_string(done_) + " done, " + std::to_string(skipped_) + " skipped, " +
                           std::to_string(failed_) + " failed in " + FormatElapsed();
        if (passedOver > 0) line += "; " + std::to_string(passedOver) + " other files passed over";
        if (stopSignal != 0)
            line += std::string("; stopped by ") + (stopSignal == SIGINT ? "SIGINT" : stopSignal == SIGTERM ? "SIGTERM" : "SIGHUP") +
                    ", " + std::to_string(total_ - finished_) + " not finished";
        WriteAll(1, line + "\n");
    }

    std::size_t failed() const { return failed_; }

private:
    double Elapsed() const { return std::chrono::duration<double>(Clock::now() - start_).count(); }
    std::string FormatElapsed() const {
        char text[32];
        std::snprintf(text, sizeof text, "%.1f s", Elapsed());
        return text;
    }

    void Redraw(bool force) {
        const Clock::time_point now = Clock::now();
        if (!force && drawn_ && now - lastDraw_ < std::chrono::milliseconds(100) && finished_ != total_) return;
        lastDraw_ = now;
        drawn_ = true;
        const double elapsed = Elapsed();
        const double rate = elapsed > 0 ? static_cast<double>(worked_) / elapsed : 0.0;
        char line[256];
        const std::size_t left = total_ - finished_;
        std::snprintf(line, sizeof line, "\r\x1b[K%zu/%zu done, %zu failed, %.1f pictures/s, %s left", finished_,
                      total_, failed_, rate, rate > 0 ? Clock3(static_cast<double>(left) / rate).c_str() : "?");
        WriteAll(1, line);
    }

    std::size_t total_, finished_ = 0, worked_ = 0, done_ = 0, skipped_ = 0, failed_ = 0;
    bool terminal_;
    bool drawn_ = false;
    Clock::time_point start_, lastDraw_;
};

// ---------------------------------------------------------------------------
// Workers

struct Worker {
    std::size_t job;
    std::string folder;
    int lock = -1;    // the result folder, locked
    int errors = -1;  // the worker's standard error
    std::string said;
    Clock::time_point start;
};

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

void Drain(Worker& worker) {
    char buffer[4096];
    for (;;) {
        const ssize_t got = ::read(worker.errors, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return;
        // Only the end matters; keep the last few kilobytes.
        worker.said.append(buffer, static_cast<std::size_t>(got));
        if (worker.said.size() > 16384) worker.said.erase(0, worker.said.size() - 8192);
    }
}

int CoreCount() {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (::sched_getaffinity(0, sizeof set, &set) == 0 && CPU_COUNT(&set) > 0) return CPU_COUNT(&set);
    const long online = ::sysconf(_SC_NPROCESSORS_ONLN);
    return online > 0 ? static_cast<int>(online) : 1;
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

std::string JsonString(const std::string& bytes) {
    static const char kHex[] = "0123456789abcdef";
    std::string json = "\"";
    for (std::size_t i = 0; i < bytes.size();) {
        const auto b = static_cast<unsigned char>(bytes[i]);
        std::size_t length = 0;
        if (!Utf8At(bytes, i, length)) {
            json += "\\udc";
            json += kHex[b >> 4];
            json += kHex[b & 15];
            ++i;
            continue;
        }
        if (length > 1) {
            json.append(bytes, i, length);
        } else if (b == '"') {
            json += "\\\"";
        } else if (b == '\\') {
            json += "\\\\";
        } else if (b == '\n') {
            json += "\\n";
        } else if (b == '\t') {
            json += "\\t";
        } else if (b == '\r') {
            json += "\\r";
        } else if (b < 0x20 || b == 0x7F) {
            json += "\\u00";
            json += kHex[b >> 4];
            json += kHex[b & 15];
        } else {
            json += static_cast<char>(b);
        }
        i += length;
    }
    return json + "\"";
}

int RunMany(const ManyOptions& options, const std::vector<std::string>& inputs) {
    // Signals arrive through a descriptor, between steps of the loop below;
    // workers get the mask and dispositions the program started with.
    sigset_t handled, original;
    sigemptyset(&handled);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGCHLD}) sigaddset(&handled, signal);
    ::sigprocmask(SIG_BLOCK, &handled, &original);
    const int signalFd = ::signalfd(-1, &handled, SFD_CLOEXEC | SFD_NONBLOCK);
    std::signal(SIGPIPE, SIG_IGN);

    char cwdBuffer[PATH_MAX];
    if (::getcwd(cwdBuffer, sizeof cwdBuffer) == nullptr) {
        std::fprintf(stderr, "workbench-batch: Cannot use the current folder: %s\n", ReasonText(errno).c_str());
        return 1;
    }
    std::string out = options.out;
    while (out.size() > 1 && out.back() == '/') out.pop_back();

    JobList list{cwdBuffer, out};
    bool readStandardInput = false;
    for (const std::string& input : inputs) {
        if (input == "-") {
            if (!readStandardInput) list.AddStandardInput();
            readStandardInput = true;
        } else {
            list.AddInput(input);
        }
    }
    std::vector<Job>& all = list.jobs;
    SplitPages(all);
    // Sorted by result folder, so every shard of every run sees one order.
    std::sort(all.begin(), all.end(), [](const Job& a, const Job& b) { return a.folder < b.folder; });
    if (const std::optional<std::string> collision = FindCollision(all, out)) {
        std::fprintf(stderr, "workbench-batch: %s\n", collision->c_str());
        return 2;
    }
    std::vector<Job> jobs;
    for (std::size_t i = 0; i < all.size(); ++i)
        if (static_cast<int>(i % static_cast<std::size_t>(options.shards)) == options.shard) jobs.push_back(std::move(all[i]));

    if (const int problem = MakeFolders(out); problem != 0) {
        std::fprintf(stderr, "workbench-batch: Cannot use the folder %s: %s\n", Shown(out).c_str(),
                     ReasonText(problem).c_str());
        return 1;
    }
    Report report;
    if (options.report) {
        std::string error;
        if (!report.Open(*options.report, error)) {
            std::fprintf(stderr, "workbench-batch: %s\n", error.c_str());
            return 1;
        }
    }
    const int devNull = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    // Workers start with the signal mask the program started with and
    // SIGPIPE at its default; they learn the run's process id, so that they
    // end with it (see WorkerOfRun).
    posix_spawnattr_t spawnAttributes;
    posix_spawnattr_init(&spawnAttributes);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    posix_spawnattr_setsigmask(&spawnAttributes, &original);
    posix_spawnattr_setsigdefault(&spawnAttributes, &defaults);
    posix_spawnattr_setflags(&spawnAttributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    const std::string parentVariable = std::string(kParentVariable) + "=" + std::to_string(::getpid());
    std::vector<char*> environment;
    for (char** variable = environ; *variable != nullptr; ++variable)
        if (std::strncmp(*variable, kParentVariable, std::strlen(kParentVariable)) != 0 ||
            (*variable)[std::strlen(kParentVariable)] != '=')
            environment.push_back(*variable);
    environment.push_back(const_cast<char*>(parentVariable.c_str()));
    environment.push_back(nullptr);
    const int jobCount = options.jobs > 0 ? options.jobs : CoreCount();

    Progress progress(jobs.size());
    std::map<pid_t, Worker> workers;
    std::size_t next = 0;
    int stopSignal = 0;
    bool killed = false;

    const auto fail = [&](const Job& job, const std::string& folder, const std::string& message, double seconds) {
        report.Add(job, folder, "failed", message, std::nullopt, seconds);
        progress.Failure(Named(job) + ": " + message);
        progress.Finished("failed", job, std::nullopt, seconds);
    };

    // Hands out the next picture: skips it, fails it, or starts its worker.
    const auto startNext = [&]() {
        const Job& job = jobs[next];
        const std::size_t index = next++;
        const std::string folder = out + "/" + job.folder;
        if (!job.problem.empty()) return fail(job, folder, job.problem, 0.0);
        if (!options.force) {
            if (const std::optional<Size> size = FinishedSize(folder, job)) {
                report.Add(job, folder, "skipped", "finished before", size, 0.0);
                return progress.Finished("skipped", job, size, 0.0);
            }
        }
        if (const int problem = MakeFolders(folder); problem != 0)
            return fail(job, folder, "Cannot use the folder " + Shown(folder) + ": " + ReasonText(problem), 0.0);
        const int lock = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (lock < 0) return fail(job, folder, "Cannot use the folder " + Shown(folder) + ": " + ReasonText(errno), 0.0);
        if (::flock(lock, LOCK_EX | LOCK_NB) != 0) {
            ::close(lock);
            return fail(job, folder, "another run is working in " + Shown(folder), 0.0);
        }
        // A record from before no longer holds once the folder is redone.
        RemoveResult(folder);

        int pipeEnds[2];
        if (::pipe2(pipeEnds, O_CLOEXEC) != 0) {
            ::close(lock);
            return fail(job, folder, "Cannot start a worker: " + ReasonText(errno), 0.0);
        }
        const std::string argv0 = "workbench-batch";
        const std::string page = std::to_string(job.page);
        std::vector<const char*> argv = {argv0.c_str(), "-C", folder.c_str()};
        if (job.page > 0) argv.insert(argv.end(), {"--page", page.c_str()});
        argv.insert(argv.end(), {"load", job.absolute.c_str(), "filter", "binarize", "thin", "label", nullptr});
        // posix_spawn rather than fork: the run's memory is not copied for
        // each picture (a fork costs milliseconds when the list is long).
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, devNull, 0);
        posix_spawn_file_actions_adddup2(&actions, devNull, 1);
        posix_spawn_file_actions_adddup2(&actions, pipeEnds[1], 2);
        const Clock::time_point start = Clock::now();
        pid_t pid = -1;
        const int error = ::posix_spawn(&pid, "/proc/self/exe", &actions, &spawnAttributes,
                                        const_cast<char* const*>(argv.data()), environment.data());
        posix_spawn_file_actions_destroy(&actions);
        ::close(pipeEnds[1]);
        if (error != 0) {
            ::close(pipeEnds[0]);
            ::close(lock);
            return fail(job, folder, "Cannot start a worker: " + ReasonText(error), 0.0);
        }
        ::fcntl(pipeEnds[0], F_SETFL, O_NONBLOCK);
        workers.emplace(pid, Worker{index, folder, lock, pipeEnds[0], {}, start});
    };

    const auto reap = [&](pid_t pid, int status) {
        auto it = workers.find(pid);
        if (it == workers.end()) return;
        Worker worker = std::move(it->second);
        workers.erase(it);
        Drain(worker);
        ::close(worker.errors);
        const Job& job = jobs[worker.job];
        const double seconds = std::chrono::duration<double>(Clock::now() - worker.start).count();

        std::optional<Size> size;
        std::string message;
        if (WIFEXITED(status) && WEXITSTATUS(status) == 0) {
            const std::optional<Stamp> stamp = StampOf(job.absolute);
            size = BmpSize(worker.folder + "/D.bmp");
            if (!stamp || !size) {
                message = "the chain ended without its result";
            } else {
                WriteRecord(worker.folder, job, *stamp, *size, message);
            }
        } else if (stopSignal != 0 && WIFSIGNALED(status)) {
            // Stopped with the run: nothing of it stays, and no entry.
            RemoveResult(worker.folder);
            ::close(worker.lock);
            return;
        } else if (WIFSIGNALED(status)) {
            const int signal = WTERMSIG(status);
            const char* name = SignalName(signal);
            message = std::string("the worker was killed by signal ") + std::to_string(signal) +
                      (name ? std::string(" (") + name + ")" : std::string());
        } else {
            message = LastLine(worker.said);
            if (message.empty()) message = "the worker ended with status " + std::to_string(WEXITSTATUS(status));
        }
        if (message.empty()) {
            report.Add(job, worker.folder, "done", "", size, seconds);
            progress.Finished("done", job, size, seconds);
        } else {
            RemoveResult(worker.folder);
            fail(job, worker.folder, message, seconds);
        }
        ::close(worker.lock);
    };

    while (true) {
        // A bounded number at a time, so that a long run of skipped
        // pictures still looks at signals in between.
        for (int handed = 0; handed < 256 && stopSignal == 0 && next < jobs.size() &&
                             workers.size() < static_cast<std::size_t>(jobCount);
             ++handed)
            startNext();
        if (workers.empty() && (stopSignal != 0 || next == jobs.size())) break;
        const bool moreToHand = stopSignal == 0 && next < jobs.size() && workers.size() < static_cast<std::size_t>(jobCount);

        std::vector<pollfd> polled{{signalFd, POLLIN, 0}};
        std::vector<pid_t> order;
        for (const auto& [pid, worker] : workers) {
            polled.push_back({worker.errors, POLLIN, 0});
            order.push_back(pid);
        }
        const int ready = ::poll(polled.data(), polled.size(), moreToHand ? 0 : 250);
        if (ready < 0 && errno != EINTR) break;
        for (std::size_t i = 1; i < polled.size(); ++i)
            if (polled[i].revents != 0) Drain(workers.at(order[i - 1]));

        signalfd_siginfo info{};
        while (::read(signalFd, &info, sizeof info) == sizeof info) {
            const int signal = static_cast<int>(info.ssi_signo);
            if (signal == SIGCHLD) continue;
            if (stopSignal == 0) {
                stopSignal = signal;
                for (const auto& [pid, worker] : workers) ::kill(pid, signal);
            } else if (!killed) {
                // Asked twice: the workers end at once.
                killed = true;
                for (const auto& [pid, worker] : workers) ::kill(pid, SIGKILL);
            }
        }
        for (;;) {
            int status = 0;
            const pid_t pid = ::waitpid(-1, &status, WNOHANG);
            if (pid <= 0) break;
            reap(pid, status);
        }
        progress.Tick();
    }

    progress.Summary(list.passedOver, stopSignal);
    if (!report.error().empty()) std::fprintf(stderr, "workbench-batch: %s\n", report.error().c_str());
    if (stopSignal != 0) return 128 + stopSignal;
    if (progress.failed() > 0 || !report.error().empty()) return 1;
    return 0;
}
