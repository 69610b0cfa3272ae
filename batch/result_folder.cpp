#include "batch/result_folder.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/centre_lines.h"
#include "core/chain.h"
#include "core/files.h"
#include "core/measure.h"
#include "batch/options.h"
#include "batch/report.h"

namespace {

constexpr char kRecordTitle[] = "workbench-batch finished";

using files::Shown;

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
    for (const ops::Stage stage : ops::kAllStages)
        for (const codec::OutputFormat format : codec::kOutputFormats)
            ::unlink((folder + "/" + StageFileName(stage, format)).c_str());
    for (const char* table : {kBranchesTable, kSkeletonsTable}) ::unlink((folder + "/" + table).c_str());
    for (const codec::VectorFormat format : codec::kVectorFormats)
        ::unlink((folder + "/" + VectorFileName(format)).c_str());
    RemoveTemporaries(folder);
}

}  // namespace

bool IsResultFileName(const std::string& leaf) {
    if (leaf == kRecordName || leaf == kBranchesTable || leaf == kSkeletonsTable) return true;
    for (const codec::VectorFormat format : codec::kVectorFormats)
        if (leaf == VectorFileName(format)) return true;
    for (const ops::Stage stage : ops::kAllStages)
        for (const codec::OutputFormat format : codec::kOutputFormats)
            if (leaf == StageFileName(stage, format)) return true;
    return false;
}

std::optional<Stamp> StampOf(const std::string& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) return std::nullopt;
    return Stamp{static_cast<std::uint64_t>(info.st_size), info.st_mtim.tv_sec, info.st_mtim.tv_nsec};
}

std::optional<Result> FinishedResult(const std::string& folder, const Job& job, ops::StageSet stages,
                                     codec::OutputFormat format, Measures measures, const VectorFormats& vectors,
                                     double simplify, const ops::ChainSettings& settings) {
    const std::optional<Stamp> stamp = StampOf(job.absolute);
    if (!stamp) return std::nullopt;
    const std::optional<std::string> record = ReadSmallFile(folder + "/" + kRecordName, 1 << 16);
    const std::string head = RecordHead(job, *stamp);
    if (!record || record->compare(0, head.size(), head) != 0) return std::nullopt;

    Result result;
    int page = 1;
    bool sized = false, kept = false, formatted = false, simplified = false;
    int totals = 0;  // the measures' lines read
    std::size_t start = head.size();
    for (std::size_t end; (end = record->find('\n', start)) != std::string::npos; start = end + 1) {
        const std::string line = record->substr(start, end - start);
        const std::size_t space = line.find(' ');
        const std::string key = line.substr(0, space);
        const std::string value = space == std::string::npos ? std::string() : line.substr(space + 1);
        char name[64];
        long long bytes = 0;
        if (key == "page") {
            if (std::sscanf(value.c_str(), "%d", &page) != 1) return std::nullopt;
        } else if (key == "width") {
            sized = std::sscanf(value.c_str(), "%ld", &result.size.width) == 1;
        } else if (key == "height") {
            sized = sized && std::sscanf(value.c_str(), "%ld", &result.size.height) == 1;
        } else if (key == "stages") {
            std::string letters;
            for (const char c : value)
                if (c != ',') letters += c;
            if (value == "none") letters.clear();
            const std::optional<ops::StageSet> read = ops::StageSet::OfLetters(letters);
            if (!read) return std::nullopt;
            result.stages = *read;
            kept = true;
        } else if (key == "format") {
            const std::optional<codec::OutputFormat> read = codec::OutputFormatNamed(value);
            if (!read) return std::nullopt;
            result.format = *read;
            formatted = true;
        } else if (key == "gray") {
            const std::optional<ops::GraySource> read = ops::GraySourceOfText(value);
            if (!read) return std::nullopt;
            result.settings.gray = *read;
        } else if (key == "threshold") {
            const std::optional<ops::Threshold> read = ops::Threshold::OfText(value);
            if (!read) return std::nullopt;
            result.settings.threshold = *read;
        } else if (key == "thin") {
            const std::optional<ops::ThinIterations> read = ops::ThinIterations::OfText(value);
            if (!read) return std::nullopt;
            result.settings.thin = *read;
        } else if (key == "level") {
            const std::optional<ops::Threshold> read = ops::Threshold::OfText(value);
            if (!read || read->otsu()) return std::nullopt;
            result.level = read->level();
        } else if (key == "measured") {
            const std::optional<Measures> read = MeasuresNamed(value);
            if (!read || *read == Measures::kNone) return std::nullopt;
            result.measured = *read;
        } else if (key == "skeletons" || key == "branches" || key == "junctions" || key == "end_points") {
            std::int64_t& count = key == "skeletons"  ? result.totals.skeletons
                                  : key == "branches" ? result.totals.branches
                                  : key == "junctions" ? result.totals.junctions
                                                       : result.totals.end_points;
            const auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), count);
            if (error != std::errc() || end != value.data() + value.size()) return std::nullopt;
            ++totals;
        } else if (key == "total_length") {
            const auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), result.totals.total_length);
            if (error != std::errc() || end != value.data() + value.size()) return std::nullopt;
            ++totals;
        } else if (key == "pixels_per_metre") {
            const auto [end, error] =
                std::from_chars(value.data(), value.data() + value.size(), result.totals.pixels_per_metre);
            if (error != std::errc() || end != value.data() + value.size() || result.totals.pixels_per_metre == 0)
                return std::nullopt;
        } else if (key == "vectors") {
            const std::optional<VectorFormats> read = VectorFormatsNamed(value);
            if (!read || read->empty()) return std::nullopt;
            result.vectors = *read;
        } else if (key == "simplify") {
            const auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), result.simplify);
            if (error != std::errc() || end != value.data() + value.size()) return std::nullopt;
            simplified = true;
        } else if (key == "file") {
            if (std::sscanf(value.c_str(), "%63s %lld", name, &bytes) != 2) return std::nullopt;
            result.files.push_back({name, bytes});
        }
    }
    if (!sized || start != record->size() || page != job.page) return std::nullopt;
    if (!kept) {
        // A record of a version that always kept every stage as BMP.
        result.stages = ops::StageSet::All();
        result.format = codec::kStageOutput;
        for (const ops::Stage stage : ops::kAllStages) result.files.push_back({StageFileName(stage), -1});
    }
    if (kept && !formatted) return std::nullopt;  // stages named without their format
    if (totals != (result.measured == Measures::kNone ? 0 : 5)) return std::nullopt;
    if (result.measured == Measures::kNone && result.totals.pixels_per_metre != 0) return std::nullopt;
    // Measures asked for are there from the same source; none asked for
    // are there or not.
    if (measures != Measures::kNone && result.measured != measures) return std::nullopt;
    // So with the vector files, and their tolerance.
    if (simplified != !result.vectors.empty()) return std::nullopt;
    if (Joined(result.vectors, vectors) != result.vectors || (!vectors.empty() && result.simplify != simplify))
        return std::nullopt;
    const std::size_t tables = result.measured == Measures::kNone ? 0 : 2;
    if (result.stages != stages || result.format != format || result.settings != settings ||
        result.files.size() != static_cast<std::size_t>(stages.size()) + tables + result.vectors.size())
        return std::nullopt;
    for (const Result::File& file : result.files) {
        struct stat info {};
        if (::stat((folder + "/" + file.name).c_str(), &info) != 0 || !S_ISREG(info.st_mode) ||
            (file.bytes >= 0 && info.st_size != file.bytes))
            return std::nullopt;
    }
    return result;
}

int ClaimFolder(const std::string& folder, std::string& error) {
    // Another run that gives up a folder removes it, and its parents that
    // it leaves empty, between our making it and our locking it: then it is
    // made again.
    int problem = 0;
    for (int attempt = 0; attempt < 8; ++attempt) {
        // A folder this run makes holds nothing to tidy.
        const bool made = ::mkdir(folder.c_str(), 0777) == 0;
        problem = made ? 0 : MakeFolders(folder);
        if (problem == ENOENT) continue;
        if (problem != 0) break;
        const int lock = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (lock < 0) {
            problem = errno;
            if (problem == ENOENT) continue;
            break;
        }
        if (::flock(lock, LOCK_EX | LOCK_NB) != 0) {
            ::close(lock);
            error = "another run is working in " + Shown(folder);
            return -1;
        }
        struct stat locked {}, named {};
        if (::fstat(lock, &locked) != 0 || ::stat(folder.c_str(), &named) != 0 || locked.st_ino != named.st_ino ||
            locked.st_dev != named.st_dev) {
            ::close(lock);
            problem = ENOENT;
            continue;
        }
        // A record from before no longer holds once the folder is redone.
        if (!made) RemoveResult(folder);
        return lock;
    }
    error = "Cannot use the folder " + Shown(folder) + ": " + files::Reason(problem);
    return -1;
}

void ReleaseFolder(const std::string& out, const std::string& folder, int lock, bool finished) {
    if (!finished) {
        RemoveResult(folder);
        // Removed while still locked, so no other run is working in it;
        // rmdir leaves a folder that holds anything.
        std::string empty = folder;
        while (empty.size() > out.size() && ::rmdir(empty.c_str()) == 0) {
            const std::size_t slash = empty.rfind('/');
            if (slash == std::string::npos || slash <= out.size()) break;
            empty.resize(slash);
        }
    }
    ::close(lock);
}

bool WriteRecord(const std::string& folder, const Job& job, const Stamp& stamp, const Result& result,
                 std::string& error) {
    std::string text = RecordHead(job, stamp);
    text += "page " + std::to_string(job.page) + "\n";
    text += "width " + std::to_string(result.size.width) + "\n";
    text += "height " + std::to_string(result.size.height) + "\n";
    text += "stages ";
    const std::string letters = result.stages.Letters();
    if (letters.empty()) text += "none";
    for (const char stage : letters) {
        if (stage != letters.front()) text += ',';
        text += stage;
    }
    text += "\nformat " + std::string(codec::NameOf(result.format)) + "\n";
    if (!result.settings.IsDefault()) {
        text += "gray " + ops::TextOf(result.settings.gray) + "\n";
        text += "threshold " + result.settings.threshold.Text() + "\n";
        text += "thin " + result.settings.thin.Text() + "\n";
        if (result.level >= 0) text += "level " + std::to_string(result.level) + "\n";
    }
    if (result.measured != Measures::kNone) {
        char length[32];
        const auto written = std::to_chars(length, length + sizeof length, result.totals.total_length);
        text += "measured " + std::string(NameOf(result.measured)) + "\n";
        text += "skeletons " + std::to_string(result.totals.skeletons) + "\n";
        text += "branches " + std::to_string(result.totals.branches) + "\n";
        text += "junctions " + std::to_string(result.totals.junctions) + "\n";
        text += "end_points " + std::to_string(result.totals.end_points) + "\n";
        text += "total_length " + std::string(length, written.ptr) + "\n";
        if (result.totals.pixels_per_metre != 0)
            text += "pixels_per_metre " + std::to_string(result.totals.pixels_per_metre) + "\n";
    }
    if (!result.vectors.empty()) {
        text += "vectors " + VectorNames(result.vectors) + "\n";
        text += "simplify " + codec::ShortestNumber(result.simplify) + "\n";
    }
    for (const Result::File& file : result.files) text += "file " + file.name + " " + std::to_string(file.bytes) + "\n";
    try {
        files::OutputFile record(FileName(folder + "/" + kRecordName), files::Durability::kFlushedByCaller);
        record.Write(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
        record.Commit();
        return true;
    } catch (const std::exception& failure) {
        error = failure.what();
        return false;
    }
}
