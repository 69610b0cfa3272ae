// Running workbench-batch as a user runs it, for the tests of its options
// and its many-pictures mode: processes in scratch folders, their output
// read at the end, signals sent by process id; pictures made by the tests.
#pragma once

#include <QJsonDocument>
#include <QJsonObject>

#include <csignal>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <thread>

#include "tests/app_test_support.h"
#include "tests/test_support.h"

namespace runner_test {

inline const char* const kBatch = WORKBENCH_BATCH_PATH;

struct ToolRun {
    int exitCode = -1;  // the exit status, or -1 - signal when a signal ended it
    QByteArray out, err;
};

// A file in /tmp that goes with its scope, for a child's standard streams.
class StreamFile {
public:
    StreamFile() {
        char name[] = "/tmp/workbench-runner-test-XXXXXX";
        fd_ = ::mkstemp(name);
        EXPECT_GE(fd_, 0);
        ::unlink(name);
    }
    ~StreamFile() { ::close(fd_); }
    int fd() const { return fd_; }
    QByteArray Contents() const {
        QByteArray bytes;
        char buffer[65536];
        for (off_t at = 0;;) {
            const ssize_t got = ::pread(fd_, buffer, sizeof buffer, at);
            if (got <= 0) break;
            bytes.append(buffer, got);
            at += got;
        }
        return bytes;
    }
    void Fill(const QByteArray& bytes) {
        EXPECT_EQ(::pwrite(fd_, bytes.constData(), static_cast<std::size_t>(bytes.size()), 0), bytes.size());
    }

private:
    int fd_ = -1;
};

// workbench-batch started with its arguments as bytes, in the current
// folder; its standard output and error go to files read at the end.
class Child {
public:
    explicit Child(const QList<QByteArray>& args, const QByteArray& input = {}, const char* program = kBatch) {
        in_.Fill(input);
        std::vector<QByteArray> storage(args.begin(), args.end());
        storage.insert(storage.begin(), QByteArray(program));
        std::vector<char*> argv;
        for (QByteArray& arg : storage) argv.push_back(arg.data());
        argv.push_back(nullptr);
        pid_ = ::fork();
        if (pid_ == 0) {
            ::dup2(in_.fd(), 0);
            ::dup2(out_.fd(), 1);
            ::dup2(err_.fd(), 2);
            ::execv(program, argv.data());
            ::_exit(127);
        }
        EXPECT_GT(pid_, 0);
    }
    ~Child() {
        if (pid_ > 0 && !reaped_) {
            ::kill(pid_, SIGKILL);
            Wait();
        }
    }
    pid_t pid() const { return pid_; }
    // Waits for the end: the exit status, or -1 - signal when killed.
    ToolRun Wait() {
        if (!reaped_) {
            int status = 0;
            ::waitpid(pid_, &status, 0);
            reaped_ = true;
            status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1 - WTERMSIG(status);
        }
        return {status_, out_.Contents(), err_.Contents()};
    }
    QByteArray OutputSoFar() const { return out_.Contents(); }

private:
    StreamFile in_, out_, err_;
    pid_t pid_ = -1;
    bool reaped_ = false;
    int status_ = -1;
};

inline ToolRun RunTool(const QList<QByteArray>& args, const QByteArray& input = {}) { return Child(args, input).Wait(); }

// The resolution a test picture's file declares, in pixels a metre across
// and down (a BMP file's pixels a metre, a PNG file's pHYs). Qt's own
// default follows the screen; the tests' pictures say 2835 (72 dpi), what a
// BMP file holds when its picture declared none and what the measures take
// as no resolution, unless a test asks for another.
struct PixelsPerMetre {
    int x = 2835, y = 2835;
};

// Writes a picture file, making its folder; the size and seed vary the work.
inline void MakePicture(const std::string& path, int width, int height, std::uint32_t seed,
                        PixelsPerMetre resolution = {}) {
    const std::filesystem::path where(path);
    if (where.has_parent_path()) std::filesystem::create_directories(where.parent_path());
    QImage image = seed % 3 == 0 ? RandomPicture(width, height, seed) : StrokePicture(width, height);
    image.setDotsPerMeterX(resolution.x);
    image.setDotsPerMeterY(resolution.y);
    // Saved through a neutral name, then moved to its bytes-exact name.
    const QString format = where.extension() == ".bmp"   ? "BMP"
                           : where.extension() == ".jpg" ? "JPG"
                           : where.extension() == ".ppm" ? "PPM"
                                                         : "PNG";
    const QString temporary = QStringLiteral("/tmp/workbench-runner-picture-%1.tmp").arg(::getpid());
    ASSERT_TRUE(image.save(temporary, format.toLatin1().constData()));
    std::filesystem::rename(temporary.toStdString(), where);
}

// A picture drawn as text, '#' black, '.' white, 'g' gray, written in the
// format (Qt's name for it), making its folder.
inline void DrawPicture(const std::string& path, const std::vector<std::string>& rows, const char* format,
                        PixelsPerMetre resolution = {}) {
    QImage image(static_cast<int>(rows.front().size()), static_cast<int>(rows.size()), QImage::Format_Grayscale8);
    image.setDotsPerMeterX(resolution.x);
    image.setDotsPerMeterY(resolution.y);
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x) {
            const char c = rows[static_cast<std::size_t>(y)][static_cast<std::size_t>(x)];
            image.scanLine(y)[x] = c == '#' ? 0 : c == 'g' ? 128 : 255;
        }
    if (std::filesystem::path(path).has_parent_path())
        std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    ASSERT_TRUE(image.save(QString::fromStdString(path), format));
}

inline std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

inline const char* const kStages[] = {"A.bmp", "B.bmp", "C.bmp", "D.bmp"};

// The word chain run once in an empty folder: what every result folder must
// hold, byte for byte.
inline void ExpectSameAsSingleRun(const std::string& input, const std::string& folder, int page = 0) {
    static int count = 0;
    const std::string reference = "/tmp/workbench-runner-reference-" + std::to_string(::getpid()) + "-" +
                                  std::to_string(count++);
    std::string absolute = input.front() == '/' ? input : std::filesystem::current_path().string() + "/" + input;
    QList<QByteArray> words{"-C", QByteArray::fromStdString(reference)};
    if (page > 0) words += {"--page", QByteArray::number(page)};
    words += {"load", QByteArray::fromStdString(absolute), "filter", "binarize", "thin", "label"};
    const ToolRun single = RunTool(words);
    EXPECT_EQ(single.exitCode, 0) << single.err.toStdString();
    for (const char* stage : kStages) {
        const std::string expected = ReadAll(reference + "/" + stage);
        EXPECT_FALSE(expected.empty());
        EXPECT_TRUE(ReadAll(folder + "/" + stage) == expected) << folder << "/" << stage << " differs from a single run";
    }
    std::filesystem::remove_all(reference);
}

// Every file whose name starts with the temporary prefix, below a folder.
inline std::vector<std::string> Temporaries(const std::string& root) {
    std::vector<std::string> found;
    std::error_code ignored;
    for (auto it = std::filesystem::recursive_directory_iterator(root, ignored);
         it != std::filesystem::recursive_directory_iterator(); it.increment(ignored))
        if (it->path().filename().string().rfind(".workbench-", 0) == 0) found.push_back(it->path().string());
    return found;
}

// Result folders that hold stage files but no record of a finished chain.
inline std::vector<std::string> HalfDone(const std::string& root) {
    std::vector<std::string> found;
    std::error_code ignored;
    for (auto it = std::filesystem::recursive_directory_iterator(root, ignored);
         it != std::filesystem::recursive_directory_iterator(); it.increment(ignored)) {
        if (!it->is_directory()) continue;
        bool stages = false;
        for (const char* stage : kStages) stages |= std::filesystem::exists(it->path() / stage);
        const bool complete = std::filesystem::exists(it->path() / ".finished") &&
                              std::all_of(std::begin(kStages), std::end(kStages),
                                          [&](const char* s) { return std::filesystem::exists(it->path() / s); });
        if (stages && !complete) found.push_back(it->path().string());
    }
    return found;
}

inline std::vector<pid_t> ChildrenOf(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/children");
    std::vector<pid_t> children;
    for (pid_t child; in >> child;) children.push_back(child);
    return children;
}

// How many files of that name lie below root.
inline int CountFiles(const std::string& root, const std::string& name) {
    int count = 0;
    std::error_code ignored;
    for (auto it = std::filesystem::recursive_directory_iterator(root, ignored);
         it != std::filesystem::recursive_directory_iterator(); it.increment(ignored))
        count += it->path().filename() == name;
    return count;
}

inline bool Alive(pid_t pid) { return ::kill(pid, 0) == 0; }

// Whether the process has the file open: a worker is on a picture once it
// reads it, not when it is started (one killed before it takes its first
// picture is simply replaced).
inline bool HasOpen(pid_t pid, const std::string& path) {
    const std::filesystem::path wanted = std::filesystem::absolute(path).lexically_normal();
    std::error_code ignored;
    for (auto it = std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ignored);
         it != std::filesystem::directory_iterator(); it.increment(ignored))
        if (std::filesystem::read_symlink(it->path(), ignored) == wanted) return true;
    return false;
}

inline void WaitUntil(const std::function<bool()>& condition, int seconds = 60) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (!condition() && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_TRUE(condition()) << "timed out";
}

inline QList<QByteArray> Lines(const QByteArray& text) {
    QList<QByteArray> lines = text.split('\n');
    if (!lines.isEmpty() && lines.back().isEmpty()) lines.pop_back();
    return lines;
}

// The report's lines as JSON objects; each line must parse alone.
inline std::vector<QJsonObject> ReportEntries(const std::string& path) {
    std::vector<QJsonObject> entries;
    for (const QByteArray& line : Lines(QByteArray::fromStdString(ReadAll(path)))) {
        QJsonParseError error{};
        const QJsonDocument document = QJsonDocument::fromJson(line, &error);
        EXPECT_EQ(error.error, QJsonParseError::NoError) << line.toStdString();
        EXPECT_TRUE(document.isObject()) << line.toStdString();
        entries.push_back(document.object());
    }
    return entries;
}

inline std::multiset<std::string> Inputs(const std::vector<QJsonObject>& entries, const char* status = nullptr) {
    std::multiset<std::string> inputs;
    for (const QJsonObject& entry : entries)
        if (status == nullptr || entry["status"].toString() == status) inputs.insert(entry["input"].toString().toStdString());
    return inputs;
}

}  // namespace runner_test
