#include "batch/jobs.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <map>
#include <string_view>
#include <utility>

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include "codec/formats.h"
#include "core/files.h"
#include "core/picture.h"
#include "batch/result_folder.h"

namespace {

using files::Shown;

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

// Whether a file in a folder given as INPUT is a picture file by its
// extension (codec's table, compared without regard to case); a file named
// on its own is taken whatever its name.
bool IsPictureName(const std::string& name) {
    const std::size_t dot = name.rfind('.');
    if (dot == std::string::npos || dot == 0) return false;
    return codec::IsPictureExtension(std::string_view(name).substr(dot + 1));
}

class Lister {
public:
    JobList list;

    Lister(std::string cwd, const std::string& out, bool withExtension)
        : cwd_(std::move(cwd)), withExtension_(withExtension) {
        struct stat info {};
        if (::stat(out.c_str(), &info) == 0) out_ = std::make_pair(info.st_dev, info.st_ino);
    }

    void AddInput(const std::string& path) {
        struct stat info {};
        if (::stat(path.c_str(), &info) != 0) {
            AddFile(path, Leaf(path), "Cannot read " + Shown(path) + ": " + files::Reason(errno));
        } else if (S_ISDIR(info.st_mode)) {
            std::string root = path;
            while (root.size() > 1 && root.back() == '/') root.pop_back();
            Walk(root, "");
        } else {
            AddFile(path, Leaf(path), "");
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
    // A picture file, its result folder made of its name (the leaf of a file
    // given, the path below a folder given) without the extension, or with
    // it given --with-extension.
    void AddFile(const std::string& path, const std::string& name, const std::string& problem) {
        AddJob(path, withExtension_ ? name : WithoutExtension(name), name, problem);
    }

    void AddJob(const std::string& path, const std::string& folder, const std::string& withExtension,
                const std::string& problem) {
        Job job;
        job.input = path;
        job.absolute = path.front() == '/' ? path : cwd_ + "/" + path;
        job.folder = folder;
        job.withExtension = withExtension;
        job.problem = problem;
        list.jobs.push_back(std::move(job));
    }

    // The picture files below root, in sorted order. Symbolic links to
    // files count as files; links to folders are not followed, so a link
    // loop cannot make the walk endless.
    void Walk(const std::string& root, const std::string& below) {
        const std::string here = below.empty() ? root : root + "/" + below;
        DIR* dir = ::opendir(here.c_str());
        if (dir == nullptr) {
            const std::string folder = below.empty() ? Leaf(root) : below;
            AddJob(here, folder, folder, "Cannot read " + Shown(here) + ": " + files::Reason(errno));
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
                list.passedOver.push_back({path, "Cannot read " + Shown(path) + ": " + files::Reason(errno)});
                continue;
            }
            if (S_ISDIR(info.st_mode)) {
                // The results of an earlier run inside a folder of inputs
                // are not inputs: the --out folder, and any folder that holds
                // a finished result's record (--out the folder of inputs
                // itself, or another run's results moved there).
                const bool out = out_ && *out_ == std::make_pair(info.st_dev, info.st_ino);
                if (!out && !HoldsRecord(path)) Walk(root, relative);
                continue;
            }
            if (S_ISLNK(info.st_mode) && ::stat(path.c_str(), &info) != 0) {
                list.passedOver.push_back({path, "a symbolic link to nothing"});
            } else if (!S_ISREG(info.st_mode)) {
                list.passedOver.push_back({path, files::KindReason(info.st_mode)});
            } else if (!IsPictureName(name)) {
                list.passedOver.push_back({path, "not the name of a picture file"});
            } else {
                AddFile(path, relative, "");
            }
        }
    }

    static bool HoldsRecord(const std::string& folder) {
        struct stat info {};
        return ::lstat((folder + "/" + kRecordName).c_str(), &info) == 0 && S_ISREG(info.st_mode);
    }

    std::string cwd_;
    bool withExtension_;
    std::optional<std::pair<dev_t, ino_t>> out_;  // the --out folder, when it exists
};

// Whether two result folders meet: the same folder, or one named like a
// file of the other (p/A.bmp beside p).
bool Meet(const std::string& a, const std::string& b) {
    if (a == b) return true;
    const auto inside = [](const std::string& parent, const std::string& child) {
        return child.size() > parent.size() + 1 && child.compare(0, parent.size(), parent) == 0 &&
               child[parent.size()] == '/' && child.find('/', parent.size() + 1) == std::string::npos &&
               IsResultFileName(child.substr(parent.size() + 1));
    };
    return inside(a, b) || inside(b, a);
}

// Whether two inputs name one file, however spelled ("a.png", "./a.png").
bool SameFile(const Job& a, const Job& b) {
    if (a.input == b.input) return true;
    struct stat one {}, other {};
    return ::stat(a.absolute.c_str(), &one) == 0 && ::stat(b.absolute.c_str(), &other) == 0 &&
           one.st_dev == other.st_dev && one.st_ino == other.st_ino;
}

// What keeps two inputs whose results meet apart: their folders named with
// the extension, when that parts them; else another name or another --out.
std::string Remedy(const Job& a, const Job& b, const std::string& out, bool withExtension) {
    if (SameFile(a, b)) return "give it only once";
    if (!withExtension && !Meet(a.withExtension, b.withExtension))
        return "rename one of them, or add --with-extension for result folders named with the extension (" +
               Shown(out + "/" + a.withExtension) + " and " + Shown(out + "/" + b.withExtension) + ")";
    return "rename one of them, or run each into an --out folder of its own";
}

// Two inputs whose result folders meet: the same folder, or one folder
// named like a file of the other's result (a/A.bmp.png beside a.png).
std::optional<std::string> FindCollision(const std::vector<Job>& jobs, const std::string& out, bool withExtension) {
    std::map<std::string, const Job*> byFolder;
    for (const Job& job : jobs) {
        const auto [at, inserted] = byFolder.emplace(job.folder, &job);
        if (!inserted)
            return Named(*at->second) + " and " + Named(job) + " would share the result folder " +
                   Shown(out + "/" + job.folder) + "; " + Remedy(*at->second, job, out, withExtension);
    }
    for (const Job& job : jobs) {
        const std::size_t slash = job.folder.rfind('/');
        if (slash == std::string::npos) continue;
        const auto parent = byFolder.find(job.folder.substr(0, slash));
        if (parent != byFolder.end() && IsResultFileName(job.folder.substr(slash + 1)))
            return Named(*parent->second) + " and " + Named(job) + " would share the file " +
                   Shown(out + "/" + job.folder) + "; " + Remedy(*parent->second, job, out, withExtension);
    }
    return std::nullopt;
}

}  // namespace

namespace {

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
            page.pages = pages;
            page.folder += "/page-" + std::to_string(k);
            page.withExtension += "/page-" + std::to_string(k);
            split.push_back(std::move(page));
        }
        if (pages <= 1) split.push_back(std::move(job));
    }
    jobs = std::move(split);
}

}  // namespace

std::string Named(const Job& job) {
    return job.pages <= 1 ? Shown(job.input) : Shown(job.input) + " page " + std::to_string(job.page);
}

namespace {

std::optional<std::string> ReplacingInput(const Job& job, const std::string& message) {
    for (const std::string& name : {Shown(job.absolute), Shown(job.input)}) {
        const std::size_t at = message.find(name);
        if (at == std::string::npos) continue;
        std::string line = message;
        line.replace(at, name.size(), Named(job));
        return line;
    }
    return std::nullopt;
}

}  // namespace

std::string NamedAsGiven(const Job& job, const std::string& message) {
    return ReplacingInput(job, message).value_or(message);
}

std::string FailureLine(const Job& job, const std::string& message) {
    return ReplacingInput(job, message).value_or(Named(job) + ": " + message);
}

std::optional<JobList> ListJobs(const std::vector<std::string>& inputs, const std::string& cwd,
                                const std::string& out, bool withExtension, int shard, int shards,
                                std::string& error) {
    Lister lister{cwd, out, withExtension};
    bool readStandardInput = false;
    for (const std::string& input : inputs) {
        if (input == "-") {
            if (!readStandardInput) lister.AddStandardInput();
            readStandardInput = true;
        } else {
            lister.AddInput(input);
        }
    }
    std::vector<Job>& all = lister.list.jobs;
    SplitPages(all);
    std::sort(all.begin(), all.end(), [](const Job& a, const Job& b) { return a.folder < b.folder; });
    if (const std::optional<std::string> collision = FindCollision(all, out, withExtension)) {
        error = *collision;
        return std::nullopt;
    }
    const auto mine = [&](std::size_t i) { return static_cast<int>(i % static_cast<std::size_t>(shards)) == shard; };
    JobList list;
    for (std::size_t i = 0; i < all.size(); ++i)
        if (mine(i)) list.jobs.push_back(std::move(all[i]));
    std::vector<PassedOver>& others = lister.list.passedOver;
    std::sort(others.begin(), others.end(), [](const PassedOver& a, const PassedOver& b) { return a.path < b.path; });
    for (std::size_t i = 0; i < others.size(); ++i)
        if (mine(i)) list.passedOver.push_back(std::move(others[i]));
    return list;
}
