// workbench-batch's options and its many-pictures mode, run as a user runs
// them: processes in scratch folders, signals sent by process id.
#include <QDirIterator>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>

#include <csignal>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <thread>

#include "tests/app_test_support.h"

namespace {

const char* const kBatch = WORKBENCH_BATCH_PATH;

// A fresh folder that is the current directory for the test's lifetime, and
// is removed whatever the bytes of the names in it.
class Scratch {
public:
    Scratch() {
        char name[] = "/tmp/workbench-runner-XXXXXX";
        EXPECT_NE(::mkdtemp(name), nullptr);
        path_ = name;
        previous_ = std::filesystem::current_path();
        std::filesystem::current_path(path_);
    }
    ~Scratch() {
        std::filesystem::current_path(previous_);
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    const std::string& path() const { return path_; }

private:
    std::string path_;
    std::filesystem::path previous_;
};

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

ToolRun RunTool(const QList<QByteArray>& args, const QByteArray& input = {}) { return Child(args, input).Wait(); }

QByteArray ProjectVersion() {
    const QByteArray cmake = FileBytes(QStringLiteral(WORKBENCH_SOURCE_DIR "/CMakeLists.txt"));
    const QRegularExpressionMatch match =
        QRegularExpression(R"(project\(workbench VERSION ([0-9.]+))").match(QString::fromUtf8(cmake));
    return match.captured(1).toUtf8();
}

TEST(RunnerOptionsTest, HelpAndVersionGoToStandardOutput) {
    Scratch dir;
    const ToolRun help = RunTool({"--help"});
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_TRUE(help.err.isEmpty());
    EXPECT_TRUE(help.out.startsWith("Usage: workbench-batch "));
    for (const char* entry : {"\n  load FILE ", "\n  save FILE ", "\n  filter ", "\n  binarize ", "\n  thin ",
                              "\n  label ", "\n  -C DIR ", "\n  --out DIR ", "\n  --jobs N ", "\n  --shard K/N ",
                              "\n  --report FILE ", "\n  --force ", "\n  --help ", "\n  --version ", "\nOptions:\n",
                              "\nExamples:\n"})
        EXPECT_TRUE(help.out.contains(entry)) << entry;

    const ToolRun version = RunTool({"--version"});
    EXPECT_EQ(version.exitCode, 0);
    ASSERT_FALSE(ProjectVersion().isEmpty());
    EXPECT_EQ(version.out, "workbench-batch " + ProjectVersion() + "\n");
    EXPECT_TRUE(version.err.isEmpty());
}

TEST(RunnerOptionsTest, UsageErrorsExitWithTwoAndOneLine) {
    struct Case {
        QList<QByteArray> args;
        QByteArray message;
    };
    const Case cases[] = {
        {{"--jobs", "2", "x.png"}, "workbench-batch: '--jobs' works only with --out"},
        {{"--force", "filter"}, "workbench-batch: '--force' works only with --out"},
        {{"--out"}, "workbench-batch: '--out' needs a value"},
        {{"--out", "r"}, "workbench-batch: '--out' needs at least one INPUT"},
        {{"--out", "r", "--jobs", "0", "x.png"}, "workbench-batch: '--jobs' needs a number from 1 to 4096, not \"0\""},
        {{"--out", "r", "--jobs", "two", "x.png"},
         "workbench-batch: '--jobs' needs a number from 1 to 4096, not \"two\""},
        {{"--out", "r", "--shard", "4/4", "x.png"}, "workbench-batch: '--shard' needs K/N with 0 <= K < N, not \"4/4\""},
        {{"--out", "r", "--shard", "1", "x.png"}, "workbench-batch: '--shard' needs K/N with 0 <= K < N, not \"1\""},
        {{"--out", "r", "--frobnicate", "x.png"}, "workbench-batch: unknown option \"--frobnicate\""},
        {{"-C"}, "workbench-batch: '-C' needs a value"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args.join(' ').toStdString());
        Scratch dir;
        const ToolRun run = RunTool(c.args);
        EXPECT_EQ(run.exitCode, 2);
        EXPECT_EQ(run.err, c.message + "\nTry 'workbench-batch --help' for more.\n");
        EXPECT_TRUE(QDir(".").entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden).isEmpty())
            << "a usage error does no work";
    }
}

TEST(RunnerOptionsTest, FolderOptionRunsTheWordsThereAndCreatesIt) {
    Scratch dir;
    ASSERT_TRUE(StrokePicture(47, 33).save("in.png"));
    const ToolRun run = RunTool({"-C", "made/for\xfe/it", "load", "../../../in.png", "filter", "binarize"});
    ASSERT_EQ(run.exitCode, 0) << run.err.toStdString();
    EXPECT_FALSE(QFile::exists("A.bmp"));
    struct stat info {};
    EXPECT_EQ(::stat("made/for\xfe/it/A.bmp", &info), 0);
    EXPECT_EQ(::stat("made/for\xfe/it/B.bmp", &info), 0);

    // Two -C go one into the other, as git's do.
    const ToolRun nested = RunTool({"-C", "made", "-C", "other", "load", "../../in.png", "filter"});
    ASSERT_EQ(nested.exitCode, 0) << nested.err.toStdString();
    EXPECT_EQ(::stat("made/other/A.bmp", &info), 0);

    ASSERT_TRUE(WriteBytes("plain", "x"));
    const ToolRun blocked = RunTool({"-C", "plain/sub", "filter"});
    EXPECT_EQ(blocked.exitCode, 1);
    EXPECT_EQ(blocked.err, "workbench-batch: Cannot use the folder \"plain/sub\": a folder in the path is not a folder\n");
}

}  // namespace
