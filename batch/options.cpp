#include "batch/options.h"

#include <cerrno>
#include <charconv>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

#include "app/files.h"

namespace {

bool ParseCount(const std::string& text, int& value) {
    const char* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, value);
    return ec == std::errc() && ptr == end && !text.empty();
}

using files::Shown;

}  // namespace

int MakeFolders(const std::string& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) == 0) return S_ISDIR(info.st_mode) ? 0 : ENOTDIR;
    for (std::size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1)) {
        const std::string prefix = path.substr(0, slash);
        if (::mkdir(prefix.c_str(), 0777) != 0 && errno != EEXIST) return errno;
    }
    if (::mkdir(path.c_str(), 0777) != 0 && errno != EEXIST) return errno;
    return 0;
}

std::optional<Invocation> ParseCommandLine(const std::vector<std::string>& args, std::string& error) {
    Invocation result;
    ManyOptions many;
    bool sawOut = false;
    std::vector<std::string> manyOnly;  // options that need --out, for the message
    std::size_t i = 0;
    const auto value = [&](const std::string& option, std::string& into) {
        if (i + 1 >= args.size()) {
            error = "'" + option + "' needs a value";
            return false;
        }
        into = args[++i];
        return true;
    };
    for (; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "--") {
            ++i;
            break;
        } else if (arg == "--help") {
            result.help = true;
        } else if (arg == "--version") {
            result.version = true;
        } else if (arg == "-C") {
            std::string dir;
            if (!value(arg, dir)) return std::nullopt;
            if (dir.empty()) {
                error = "'-C' needs a folder name";
                return std::nullopt;
            }
            result.folders.push_back(dir);
        } else if (arg == "--out") {
            if (!value(arg, many.out)) return std::nullopt;
            if (many.out.empty()) {
                error = "'--out' needs a folder name";
                return std::nullopt;
            }
            sawOut = true;
        } else if (arg == "--jobs") {
            std::string text;
            if (!value(arg, text)) return std::nullopt;
            if (!ParseCount(text, many.jobs) || many.jobs < 1 || many.jobs > 4096) {
                error = "'--jobs' needs a number from 1 to 4096, not " + Shown(text);
                return std::nullopt;
            }
            manyOnly.push_back(arg);
        } else if (arg == "--shard") {
            std::string text;
            if (!value(arg, text)) return std::nullopt;
            const std::size_t slash = text.find('/');
            if (slash == std::string::npos || !ParseCount(text.substr(0, slash), many.shard) ||
                !ParseCount(text.substr(slash + 1), many.shards) || many.shards < 1 || many.shard < 0 ||
                many.shard >= many.shards) {
                error = "'--shard' needs K/N with 0 <= K < N, not " + Shown(text);
                return std::nullopt;
            }
            manyOnly.push_back(arg);
        } else if (arg == "--report") {
            std::string file;
            if (!value(arg, file)) return std::nullopt;
            if (file.empty()) {
                error = "'--report' needs a file name";
                return std::nullopt;
            }
            many.report = file;
            manyOnly.push_back(arg);
        } else if (arg == "--force") {
            many.force = true;
            manyOnly.push_back(arg);
        } else if (arg.size() > 1 && arg[0] == '-' && sawOut) {
            error = "unknown option " + Shown(arg);
            return std::nullopt;
        } else if (arg.rfind("--", 0) == 0) {
            error = "unknown option " + Shown(arg);
            return std::nullopt;
        } else {
            break;
        }
    }
    result.rest.assign(args.begin() + static_cast<std::ptrdiff_t>(i), args.end());
    if (result.help || result.version) return result;
    if (sawOut) {
        if (result.rest.empty()) {
            error = "'--out' needs at least one INPUT";
            return std::nullopt;
        }
        result.many = many;
    } else if (!manyOnly.empty()) {
        error = "'" + manyOnly.front() + "' works only with --out";
        return std::nullopt;
    }
    return result;
}

bool EnterFolders(const std::vector<std::string>& folders, std::string& error) {
    for (const std::string& folder : folders) {
        int problem = MakeFolders(folder);
        if (problem == 0 && ::chdir(folder.c_str()) != 0) problem = errno;
        struct stat info {};
        if (problem == ENOTDIR && ::stat(folder.c_str(), &info) == 0 && !S_ISDIR(info.st_mode)) {
            error = "Cannot use the folder " + Shown(folder) + ": it is not a folder";
            return false;
        }
        if (problem != 0) {
            error = "Cannot use the folder " + Shown(folder) + ": " + files::Reason(problem).toStdString();
            return false;
        }
    }
    return true;
}
