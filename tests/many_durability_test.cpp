// Durability at a group price: a finished picture's record is written only
// after its files are on the disk, and the flush that puts them there is
// shared by a group of pictures. WORKBENCH_BATCH_TRACE has the run write
// down each step as it takes it; a run killed outright at any moment
// leaves no record over a missing or short file.
#include <random>

#include "tests/runner_test_support.h"

namespace {

using namespace runner_test;

struct RecordedFile {
    std::string name;
    long long bytes = -1;
};

// The files a result folder's record names, with their sizes.
std::vector<RecordedFile> RecordedFiles(const std::string& folder) {
    std::vector<RecordedFile> files;
    std::istringstream record(ReadAll(folder + "/.finished"));
    for (std::string line; std::getline(record, line);) {
        char name[64];
        long long bytes = 0;
        if (std::sscanf(line.c_str(), "file %63s %lld", name, &bytes) == 2) files.push_back({name, bytes});
    }
    return files;
}

// Every record below root, with what is wrong with the files it names.
std::vector<std::string> RecordsOverMissingOrShortFiles(const std::string& root) {
    std::vector<std::string> wrong;
    std::error_code ignored;
    for (auto it = std::filesystem::recursive_directory_iterator(root, ignored);
         it != std::filesystem::recursive_directory_iterator(); it.increment(ignored)) {
        if (it->path().filename() != ".finished") continue;
        const std::string folder = it->path().parent_path().string();
        const std::vector<RecordedFile> files = RecordedFiles(folder);
        if (files.empty()) wrong.push_back(folder + ": a record that names no file");
        for (const RecordedFile& file : files) {
            std::error_code error;
            const auto bytes = std::filesystem::file_size(folder + "/" + file.name, error);
            if (error) wrong.push_back(folder + "/" + file.name + ": missing");
            else if (static_cast<long long>(bytes) != file.bytes) wrong.push_back(folder + "/" + file.name + ": short");
        }
    }
    return wrong;
}

TEST(DurabilityTest, EachRecordIsWrittenOnlyAfterItsFilesAreFlushed) {
    ScratchDir dir;
    constexpr int kPictures = 40;
    for (int i = 0; i < kPictures; ++i)
        MakePicture("in/p" + std::to_string(100 + i) + ".png", 40 + i, 30, static_cast<std::uint32_t>(i));
    const std::string trace = std::filesystem::current_path().string() + "/trace.txt";
    ASSERT_EQ(::setenv("WORKBENCH_BATCH_TRACE", trace.c_str(), 1), 0);
    const ToolRun run = RunTool({"--out", "out", "--jobs", "2", "--keep", "B,D", "--format", "png", "in"});
    ::unsetenv("WORKBENCH_BATCH_TRACE");
    ASSERT_EQ(run.exitCode, 0) << run.err.toStdString();

    // Replays the trace: a file counts as on the disk from the first flush
    // after it was written.
    std::set<std::string> written, flushed;
    int flushes = 0, records = 0;
    for (const QByteArray& line : Lines(QByteArray::fromStdString(ReadAll(trace)))) {
        const std::string text = line.toStdString();
        if (text.rfind("wrote ", 0) == 0) {
            written.insert(text.substr(6));
        } else if (text == "flushed") {
            ++flushes;
            flushed.insert(written.begin(), written.end());
            written.clear();
        } else if (text.rfind("recorded ", 0) == 0) {
            ++records;
            const std::string folder = text.substr(9);
            const std::vector<RecordedFile> files = RecordedFiles(folder);
            EXPECT_EQ(files.size(), 2u) << folder;
            for (const RecordedFile& file : files)
                EXPECT_EQ(flushed.count(folder + "/" + file.name), 1u) << folder << "/" << file.name
                                                                     << " was recorded before it was flushed";
        } else {
            ADD_FAILURE() << "an unknown step: " << text;
        }
    }
    EXPECT_EQ(records, kPictures);
    EXPECT_GE(flushes, 1);
    EXPECT_LT(flushes, kPictures) << "every picture was flushed on its own";
    EXPECT_TRUE(written.empty()) << "files written after the last flush";
}

// SIGKILL leaves the files the kernel holds, so what it tests is the order:
// a record is never renamed into place before every file it names is
// complete.
TEST(DurabilityTest, KilledAtRandomMomentsNoRecordStandsOverAMissingOrShortFile) {
    ScratchDir dir;
    for (int i = 0; i < 30; ++i)
        MakePicture("in/p" + std::to_string(100 + i) + ".png", 200 + 7 * i, 150, static_cast<std::uint32_t>(i));
    std::mt19937 rng(2026);
    const QList<QByteArray> keeps[] = {{}, {"--keep", "C", "--format", "png"}, {"--keep", "A,D"}};
    for (int round = 0; round < 9; ++round) {
        SCOPED_TRACE(round);
        QList<QByteArray> args{"--out", "out", "--jobs", "2"};
        args += keeps[round % 3];
        args << "in";
        Child run(args);
        std::this_thread::sleep_for(std::chrono::milliseconds(20 + rng() % 400));
        ::kill(run.pid(), SIGKILL);
        run.Wait();
        const std::vector<std::string> wrong = RecordsOverMissingOrShortFiles("out");
        EXPECT_TRUE(wrong.empty()) << wrong.front();
    }
    const ToolRun last = RunTool({"--out", "out", "--jobs", "2", "in"});
    EXPECT_EQ(last.exitCode, 0) << last.err.toStdString();
    EXPECT_TRUE(RecordsOverMissingOrShortFiles("out").empty());
    EXPECT_TRUE(HalfDone("out").empty());
    for (int i = 0; i < 30; i += 7) ExpectSameAsSingleRun("in/p" + std::to_string(100 + i) + ".png", "out/p" + std::to_string(100 + i));
}

}  // namespace
