// The file plumbing under hostile files and hostile surroundings: files that
// are not files, names that are not text, limits on file size and memory,
// signals in the middle of a write. The batch tool runs as a real process
// with the signal dispositions and limits a user's shell would give it.
#include <QDir>
#include <QImage>

#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <random>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "core/files.h"
#include "core/picture.h"
#include "tests/app_test_support.h"

namespace {

struct Outcome {
    int exitCode = -1;  // -1 when ended by a signal or not ended
    int signal = 0;
    bool timedOut = false;
    std::string errors;
};

struct Surroundings {
    std::uint64_t fileSizeLimit = 0;     // RLIMIT_FSIZE in bytes, 0 for none
    std::uint64_t addressSpaceLimit = 0;  // RLIMIT_AS in bytes, 0 for none
    mode_t umask = 022;
    int sendSignal = 0;                   // sent this long after the start
    int signalAfterMs = 0;
};

// Runs workbench-batch with the words (bytes as given) in the current folder,
// with every signal at its default disposition, as a shell would start it.
Outcome RunBatch(const std::vector<std::string>& words, const Surroundings& around = {}, int timeoutMs = 60000) {
    int errPipe[2];
    if (::pipe2(errPipe, O_CLOEXEC) != 0) return {};
    const pid_t pid = ::fork();
    if (pid == 0) {
        for (int s = 1; s < NSIG; ++s) ::signal(s, SIG_DFL);
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        ::umask(around.umask);
        if (around.fileSizeLimit) {
            const rlimit limit{around.fileSizeLimit, around.fileSizeLimit};
            ::setrlimit(RLIMIT_FSIZE, &limit);
        }
        if (around.addressSpaceLimit) {
            const rlimit limit{around.addressSpaceLimit, around.addressSpaceLimit};
            ::setrlimit(RLIMIT_AS, &limit);
        }
        ::dup2(errPipe[1], STDERR_FILENO);
        std::vector<char*> argv{const_cast<char*>(WORKBENCH_BATCH_PATH)};
        for (const std::string& word : words) argv.push_back(const_cast<char*>(word.c_str()));
        argv.push_back(nullptr);
        ::execv(WORKBENCH_BATCH_PATH, argv.data());
        ::_exit(127);
    }
    ::close(errPipe[1]);
    Outcome outcome;
    const auto start = std::chrono::steady_clock::now();
    bool signalled = false;
    int status = 0;
    for (;;) {
        const auto elapsed =
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
        if (around.sendSignal && !signalled && elapsed >= around.signalAfterMs) {
            ::kill(pid, around.sendSignal);
            signalled = true;
        }
        pollfd p{errPipe[0], POLLIN, 0};
        if (::poll(&p, 1, 2) > 0) {
            char buffer[4096];
            const ssize_t got = ::read(errPipe[0], buffer, sizeof buffer);
            if (got > 0) outcome.errors.append(buffer, static_cast<std::size_t>(got));
        }
        if (::waitpid(pid, &status, WNOHANG) == pid) break;
        if (elapsed > timeoutMs) {
            outcome.timedOut = true;
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            break;
        }
    }
    char buffer[4096];
    ssize_t got;
    while ((got = ::read(errPipe[0], buffer, sizeof buffer)) > 0) outcome.errors.append(buffer, static_cast<std::size_t>(got));
    ::close(errPipe[0]);
    if (WIFEXITED(status)) outcome.exitCode = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) outcome.signal = WTERMSIG(status);
    return outcome;
}

// Names in the current folder that the program's temporaries would have.
QStringList Temporaries() {
    return QDir(".").entryList({QString::fromLatin1(files::kTemporaryPrefix) + "*"},
                               QDir::Files | QDir::Hidden | QDir::System);
}

int CountLines(const std::string& text) { return static_cast<int>(std::count(text.begin(), text.end(), '\n')); }

bool Exists(const std::string& name) {
    struct stat info {};
    return ::lstat(name.c_str(), &info) == 0;
}

void SavePicture(const QImage& picture, const FileName& name) {
    TBitmap bitmap;
    bitmap = BitmapOf(picture);
    bitmap.SaveToFile(name);
}

}  // namespace

TEST(FilesTest, NamesStayOnOneLineAndShowEveryByte) {
    struct Case {
        QByteArray bytes;
        QString shown;
    };
    const Case cases[] = {
        {"A.bmp", R"("A.bmp")"},
        {"two\nlines.png", R"("two\nlines.png")"},
        {"tab\there", R"("tab\there")"},
        {"\x1b[31mred", R"("\x1b[31mred")"},
        {"quote\"back\\slash", R"("quote\"back\\slash")"},
        {"out\xfe.bmp", R"("out\xfe.bmp")"},
        {"bad\xff.png", R"("bad\xff.png")"},
        {"\xe5\x8e\x9f\xe5\xa7\x8b.bmp", QStringLiteral("\"原始.bmp\"")},
        {"overlong\xc0\xaf", R"("overlong\xc0\xaf")"},
        {"surrogate\xed\xa0\x80", R"("surrogate\xed\xa0\x80")"},
        {"c1\xc2\x85next", R"("c1\xc2\x85next")"},
        {"cut\xe5\x8e", R"("cut\xe5\x8e")"},
        {"del\x7f", R"("del\x7f")"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.bytes.toStdString());
        EXPECT_EQ(TextOf(FileName(c.bytes.toStdString()).Shown()), c.shown);
    }
}

TEST(FilesTest, AnythingButAnOrdinaryFileIsRefusedWithoutWaiting) {
    ScratchDir dir;
    ASSERT_EQ(::mkfifo("pipe", 0644), 0);
    ASSERT_TRUE(QDir().mkdir("folder"));
    const int listener = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, "socket");
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);

    struct Case {
        const char* name;
        const char* reason;
    };
    const Case cases[] = {
        {"pipe", "it is a named pipe, not an ordinary file"},
        {"folder", "it is a folder"},
        {"socket", "it is a socket, not an ordinary file"},
        {"/dev/zero", "it is a device, not an ordinary file"},
        {"/dev/tty", "it is a device, not an ordinary file"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        for (const bool stage : {true, false}) {
            try {
                if (stage) {
                    TBitmap bitmap;
                    bitmap.LoadFromFile(c.name);
                } else {
                    TPicture picture;
                    picture.LoadFromFile(c.name);
                }
                ADD_FAILURE() << "loaded";
            } catch (const Exception& error) {
                EXPECT_EQ(TextOf(error.Message()), QStringLiteral("Cannot read \"%1\": %2").arg(c.name, c.reason));
            }
        }
    }
    ::close(listener);
}

TEST(FilesTest, EveryCommandRefusesANamedPipeAsItsInput) {
    // With nobody writing to the pipe, opening it the ordinary way would wait
    // for ever; every command must give up at once.
    struct Case {
        std::vector<std::string> words;
        const char* pipe;
    };
    const Case cases[] = {
        {{"load", "input.png"}, "input.png"},
        {{"binarize"}, "A.bmp"},
        {{"thin"}, "B.bmp"},
        {{"label"}, "C.bmp"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pipe);
        ScratchDir dir;
        ASSERT_EQ(::mkfifo(c.pipe, 0644), 0);
        const Outcome run = RunBatch(c.words, {}, 20000);
        ASSERT_FALSE(run.timedOut) << "the command waited on the pipe";
        EXPECT_EQ(run.exitCode, 1);
        // Binarize and Thinning first say that the left pane is empty.
        const std::string expected =
            std::string("workbench-batch: Cannot read \"") + c.pipe + "\": it is a named pipe, not an ordinary file\n";
        ASSERT_GE(run.errors.size(), expected.size());
        EXPECT_EQ(run.errors.substr(run.errors.size() - expected.size()), expected) << run.errors;
    }
}

TEST(FilesTest, NamesThatAreNotTextAreUsedByteForByte) {
    ScratchDir dir;
    ASSERT_TRUE(RandomPicture(47, 33, 5).save("source.png"));
    const std::string loadName = "bad\xff.png", saveName = "out\xfe.bmp", lineName = "two\nlines.bmp";
    ASSERT_EQ(::rename("source.png", loadName.c_str()), 0);

    const Outcome run = RunBatch({"load", loadName, "filter", "save", saveName, "save", lineName});
    EXPECT_EQ(run.exitCode, 0) << run.errors;
    EXPECT_TRUE(run.errors.empty()) << run.errors;
    EXPECT_TRUE(Exists(saveName));
    EXPECT_TRUE(Exists(lineName));
    EXPECT_FALSE(Exists("out\xef\xbf\xbd.bmp"));
    EXPECT_EQ(FileBytes(QFile::decodeName(QByteArray::fromStdString(lineName))), FileBytes("A.bmp"));

    // A missing name with a newline and an escape byte: one line, escaped.
    const Outcome missing = RunBatch({"load", "no\nsuch\x1b.png"});
    EXPECT_EQ(missing.exitCode, 1);
    EXPECT_EQ(missing.errors, "workbench-batch: Cannot read \"no\\nsuch\\x1b.png\": no such file\n");
}

TEST(FilesTest, TheLongestLegalNamesCanBeSaved) {
    ScratchDir dir;
    const QImage picture = RandomPicture(5, 3, 9);
    for (const int length : {200, 247, 248, 250, 254, 255}) {
        SCOPED_TRACE(length);
        const std::string name(static_cast<std::size_t>(length), 'n');
        SavePicture(picture, name);
        TBitmap back;
        back.LoadFromFile(name);
        EXPECT_TRUE(SamePixels(ImageOf(back), picture));
    }
    try {
        SavePicture(picture, std::string(256, 'n'));
        ADD_FAILURE() << "saved a 256-byte name";
    } catch (const Exception& error) {
        EXPECT_TRUE(TextOf(error.Message()).endsWith(": the name is too long")) << error.what();
    }
    EXPECT_TRUE(Temporaries().isEmpty());
}

TEST(FilesTest, AFileTheProgramCreatedUnderAStrictUmaskCanBeReplaced) {
    ScratchDir dir;
    ASSERT_TRUE(RandomPicture(9, 9, 1).save("input.png"));
    for (const mode_t mask : {0222, 0277, 0022, 0077}) {
        SCOPED_TRACE(mask);
        QFile::remove("A.bmp");
        const Outcome first = RunBatch({"load", "input.png", "filter"}, {.umask = mask});
        const Outcome second = RunBatch({"load", "input.png", "filter"}, {.umask = mask});
        EXPECT_EQ(first.exitCode, 0) << first.errors;
        EXPECT_EQ(second.exitCode, 0) << second.errors;
        struct stat info {};
        ASSERT_EQ(::stat("A.bmp", &info), 0);
        EXPECT_EQ(info.st_mode & 0777, (0666 & ~mask) | S_IWUSR);
    }
    // A file the user made read-only stays as it is.
    ASSERT_EQ(::chmod("A.bmp", 0444), 0);
    const Outcome refused = RunBatch({"load", "input.png", "filter"});
    EXPECT_EQ(refused.exitCode, 1);
    EXPECT_EQ(refused.errors, "workbench-batch: Cannot write \"A.bmp\": the file is read-only\n");
}

TEST(FilesTest, TheFileSizeLimitEndsACommandWithAMessage) {
    ScratchDir dir;
    ASSERT_TRUE(RandomPicture(300, 200, 3).save("input.png"));
    ASSERT_TRUE(RandomPicture(20, 20, 4).save("small.png"));
    ASSERT_EQ(RunBatch({"load", "small.png", "filter"}).exitCode, 0);
    const QByteArray before = FileBytes("A.bmp");

    // 100 blocks of 512 bytes: A.bmp of this picture needs 180,054 bytes.
    const Outcome run = RunBatch({"load", "input.png", "filter"}, {.fileSizeLimit = 100 * 512});
    EXPECT_EQ(run.signal, 0) << "killed by signal " << run.signal;
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.errors,
              "workbench-batch: Cannot write \"A.bmp\": the file would be larger than the file size limit allows\n");
    EXPECT_EQ(FileBytes("A.bmp"), before);
    EXPECT_TRUE(Temporaries().isEmpty()) << Temporaries().join(' ').toStdString();
}

TEST(FilesTest, ASignalDuringAWriteLeavesNoTemporaryAndNoHalfFile) {
    ScratchDir dir;
    const int width = 3000, height = 2000;
    QImage picture(width, height, QImage::Format_BGR888);
    picture.fill(Qt::gray);
    SavePicture(picture, "input.bmp");
    const qint64 stageSize = 54 + static_cast<qint64>(width) * 3 * height;

    // The write is the longer part of this command; signals land all over it.
    std::mt19937 rng(11);
    int landed = 0;
    for (int attempt = 0; attempt < 18; ++attempt) {
        QFile::remove("A.bmp");
        const int signal = attempt % 3 == 0 ? SIGTERM : attempt % 3 == 1 ? SIGINT : SIGHUP;
        const Outcome run =
            RunBatch({"load", "input.bmp", "filter"}, {.sendSignal = signal, .signalAfterMs = static_cast<int>(rng() % 250)});
        ASSERT_FALSE(run.timedOut);
        if (run.signal == signal) ++landed;
        EXPECT_TRUE(Temporaries().isEmpty()) << "attempt " << attempt << ": " << Temporaries().join(' ').toStdString();
        // A.bmp is either absent or complete.
        if (QFile::exists("A.bmp")) {
            EXPECT_EQ(QFileInfo("A.bmp").size(), stageSize) << "attempt " << attempt;
        }
    }
    EXPECT_GT(landed, 0) << "no signal arrived while the command ran";
}

TEST(FilesTest, AHugeFileThatIsNoPictureIsRefusedFromItsFirstBytes) {
    ScratchDir dir;
    // 3 GiB without taking the disk: all but the first bytes are a hole.
    {
        QFile file("huge.dat");
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write("not a picture, just words\n");
        ASSERT_TRUE(file.resize(qint64{3} << 30));
    }
    rusage before{}, after{};
    ::getrusage(RUSAGE_SELF, &before);
    try {
        TPicture picture;
        picture.LoadFromFile("huge.dat");
        ADD_FAILURE() << "loaded";
    } catch (const Exception& error) {
        EXPECT_EQ(TextOf(error.Message()), R"(Cannot read "huge.dat": not a picture format this program reads)");
    }
    ::getrusage(RUSAGE_SELF, &after);
    EXPECT_LT(after.ru_maxrss - before.ru_maxrss, 64 * 1024) << "kilobytes taken";
}

TEST(FilesTest, ABmpReadsOnlyItsHeadersAndPixels) {
    ScratchDir dir;
    // A 2 x 2 BMP whose pixels start 1.5 GiB into the file, and one followed
    // by 1.5 GiB of nothing: neither costs more memory than its pixels.
    const QImage picture = RandomPicture(2, 2, 21);
    SavePicture(picture, "plain.bmp");
    QByteArray plain = FileBytes("plain.bmp");
    const qint64 offset = qint64{3} << 29;
    {
        QFile far("far.bmp");
        ASSERT_TRUE(far.open(QIODevice::WriteOnly));
        QByteArray header = plain.left(54);
        test_bytes::PutLe32(header, 10, static_cast<std::uint32_t>(offset));  // where the pixels start
        far.write(header);
        ASSERT_TRUE(far.seek(offset));
        far.write(plain.mid(54));
        QFile tail("tail.bmp");
        ASSERT_TRUE(tail.open(QIODevice::WriteOnly));
        tail.write(plain);
        ASSERT_TRUE(tail.resize(offset));
    }
    for (const char* name : {"far.bmp", "tail.bmp"}) {
        SCOPED_TRACE(name);
        rusage before{}, after{};
        ::getrusage(RUSAGE_SELF, &before);
        TBitmap bitmap;
        bitmap.LoadFromFile(name);
        ::getrusage(RUSAGE_SELF, &after);
        EXPECT_TRUE(SamePixels(ImageOf(bitmap), picture));
        EXPECT_LT(after.ru_maxrss - before.ru_maxrss, 64 * 1024) << "kilobytes taken";
    }
}

#if !defined(__SANITIZE_ADDRESS__)
TEST(FilesTest, RunningOutOfMemoryNamesTheFileOrTheOperation) {
    ScratchDir dir;
    // Pictures that compress to almost nothing but need hundreds of
    // megabytes once loaded, under a limit on the address space.
    QImage big(12000, 12000, QImage::Format_RGB32);
    big.fill(Qt::white);
    ASSERT_TRUE(big.save("big.png"));
    QImage medium(6000, 6000, QImage::Format_RGB32);
    medium.fill(Qt::white);
    ASSERT_TRUE(medium.save("medium.png"));
    const std::uint64_t limit = std::uint64_t{320} << 20;

    const Outcome load = RunBatch({"load", "big.png"}, {.addressSpaceLimit = limit});
    EXPECT_EQ(load.exitCode, 1);
    EXPECT_EQ(load.errors, "workbench-batch: Cannot read \"big.png\": not enough memory\n");

    const Outcome filter = RunBatch({"load", "medium.png", "filter", "binarize", "thin"}, {.addressSpaceLimit = limit});
    EXPECT_EQ(filter.exitCode, 1);
    EXPECT_EQ(CountLines(filter.errors), 1) << filter.errors;
    EXPECT_NE(filter.errors.find("not enough memory"), std::string::npos) << filter.errors;
    EXPECT_EQ(filter.errors.find("bad_alloc"), std::string::npos) << filter.errors;
}
#endif

TEST(FilesTest, DamagedPicturesOfEveryFormatGiveOneLineAndNoInventedPixels) {
    ScratchDir dir;
    const QImage picture = RandomPicture(47, 33, 8);
    std::vector<std::pair<std::string, QByteArray>> files;
    for (const char* kind : {"png", "jpg", "ppm", "pgm", "pbm", "ico", "bmp"}) {
        const QString name = QStringLiteral("whole.") + kind;
        ASSERT_TRUE(picture.save(name)) << kind;
        files.emplace_back(kind, FileBytes(name));
    }
    // Qt writes no GIF: 2 x 2 pixels by hand, a 4-colour palette, LZW codes
    // clear 0 1 2 3 end at 3 bits each.
    const char gif[] = "GIF89a\x02\x00\x02\x00\x81\x00\x00"
                       "\xff\x00\x00\x00\xff\x00\x00\x00\xff\xff\xff\xff"
                       "\x2c\x00\x00\x00\x00\x02\x00\x02\x00\x00"
                       "\x02\x03\x44\x34\x05\x00\x3b";
    files.emplace_back("gif", QByteArray(gif, sizeof gif - 1));
    // An ICO whose one image is a PNG: Qt hands it to libpng.
    {
        const QByteArray png = files.front().second;
        QByteArray ico("\0\0\1\0\1\0", 6);
        const char entry[] = {47, 33, 0, 0, 1, 0, 32, 0};
        ico.append(entry, sizeof entry);
        test_bytes::AppendLe32(ico, static_cast<std::uint32_t>(png.size()));
        test_bytes::AppendLe32(ico, 22);  // where the image starts
        files.emplace_back("ico holding a png", ico + png);
    }

    for (const auto& [kind, bytes] : files) {
        SCOPED_TRACE(kind);
        ASSERT_TRUE(WriteBytes("whole", bytes));
        const Outcome whole = RunBatch({"load", "whole"});
        ASSERT_EQ(whole.exitCode, 0) << whole.errors;
        ASSERT_TRUE(whole.errors.empty()) << whole.errors;
        // Cut short anywhere inside its data, a picture is refused; changed
        // bytes load or are refused, and either way standard error holds at
        // most the program's one line.
        std::mt19937 rng(static_cast<std::uint32_t>(bytes.size()));
        for (const double part : {0.2, 0.5, 0.8, 0.95}) {
            const auto cut = static_cast<qsizetype>(static_cast<double>(bytes.size()) * part);
            SCOPED_TRACE(testing::Message() << "cut at " << cut << " of " << bytes.size());
            ASSERT_TRUE(WriteBytes("cut", bytes.left(cut)));
            const Outcome run = RunBatch({"load", "cut"});
            EXPECT_EQ(run.exitCode, 1);
            EXPECT_EQ(CountLines(run.errors), 1) << run.errors;
            EXPECT_EQ(run.errors.rfind("workbench-batch: Cannot read \"cut\": ", 0), 0u) << run.errors;
        }
        for (int mutation = 0; mutation < 8; ++mutation) {
            QByteArray changed = bytes;
            for (int k = 0; k < 4; ++k) changed[static_cast<qsizetype>(rng() % changed.size())] = static_cast<char>(rng());
            ASSERT_TRUE(WriteBytes("changed", changed));
            const Outcome run = RunBatch({"load", "changed"});
            ASSERT_FALSE(run.timedOut);
            if (run.exitCode == 0) {
                EXPECT_TRUE(run.errors.empty()) << run.errors;
            } else {
                EXPECT_EQ(run.exitCode, 1);
                EXPECT_EQ(CountLines(run.errors), 1) << run.errors;
                EXPECT_EQ(run.errors.rfind("workbench-batch: Cannot read \"changed\": ", 0), 0u) << run.errors;
            }
        }
    }
}

TEST(FilesTest, ARowWiderThanAPictureCanHoldIsRefusedWithItsSize) {
    ScratchDir dir;
    // A PNG of one row of 89,478,485 black pixels: a few hundred kilobytes.
    QByteArray raw(1 + 3 * 89478485, '\0');
    const QByteArray compressed = qCompress(raw, 1).mid(4);  // zlib stream without Qt's length prefix
    raw.clear();
    QByteArray ihdr;
    test_bytes::AppendBe32(ihdr, 89478485);  // width
    test_bytes::AppendBe32(ihdr, 1);         // height
    ihdr.append("\x08\x02\x00\x00\x00", 5);  // 8-bit RGB
    const QByteArray png = QByteArray("\x89PNG\r\n\x1a\n", 8) + test_bytes::PngChunk("IHDR", ihdr) +
                           test_bytes::PngChunk("IDAT", compressed) + test_bytes::PngChunk("IEND", {});
    ASSERT_TRUE(WriteBytes("wide.png", png));
    try {
        TPicture picture;
        picture.LoadFromFile("wide.png");
        ADD_FAILURE() << "loaded";
    } catch (const Exception& error) {
        EXPECT_EQ(TextOf(error.Message()), QStringLiteral("Cannot read \"wide.png\": the picture is 89478485 x 1 pixels, wider "
                                                  "than the limit of %1 pixels a row")
                                       .arg(kMaxPictureWidth));
    }
    EXPECT_EQ(kMaxPictureWidth, 89478484u);
}

TEST(FilesTest, AWriteRemovesTheTemporariesOfEndedProcessesOnly) {
    ScratchDir dir;
    char host[256] = {};
    ::gethostname(host, sizeof host - 1);
    const pid_t ended = ::fork();
    if (ended == 0) ::_exit(0);
    ::waitpid(ended, nullptr, 0);
    const std::string prefix = std::string(files::kTemporaryPrefix) + host + "-";
    const std::string abandoned = prefix + std::to_string(ended) + "-AbC123";
    const std::string running = prefix + std::to_string(::getppid()) + "-AbC123";
    const std::string elsewhere = std::string(files::kTemporaryPrefix) + "another-host-" + std::to_string(ended) + "-AbC123";
    const std::string unrelated = std::string(files::kTemporaryPrefix) + "notes";
    for (const std::string& name : {abandoned, running, elsewhere, unrelated}) ASSERT_TRUE(WriteBytes(QString::fromStdString(name), "x"));

    SavePicture(RandomPicture(3, 3, 1), "A.bmp");
    EXPECT_FALSE(Exists(abandoned));
    EXPECT_TRUE(Exists(running));
    EXPECT_TRUE(Exists(elsewhere));
    EXPECT_TRUE(Exists(unrelated));
}

TEST(FilesTest, ANamedPipeWhereTheBatchToolWritesOrWorksIsRefused) {
    ScratchDir dir;
    ASSERT_EQ(::mkfifo("pipe", 0644), 0);
    ASSERT_TRUE(RandomPicture(4, 4, 2).save("a.png"));
    struct Case {
        std::vector<std::string> words;
        const char* error;
    };
    const Case cases[] = {
        {{"--out", "results", "--report", "pipe", "a.png"},
         "workbench-batch: Cannot write \"pipe\": it is a named pipe, not an ordinary file\n"},
        {{"-C", "pipe", "load", "a.png"}, "workbench-batch: Cannot use the folder \"pipe\": it is not a folder\n"},
        {{"load", "a.png", "filter", "save", "pipe"},
         "workbench-batch: Cannot write \"pipe\": it is a named pipe, not an ordinary file\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.words.front());
        const Outcome run = RunBatch(c.words, {}, 20000);
        ASSERT_FALSE(run.timedOut);
        EXPECT_EQ(run.exitCode, 1);
        EXPECT_EQ(run.errors, c.error);
    }
}
