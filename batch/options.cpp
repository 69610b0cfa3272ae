#include "batch/options.h"

#include <cctype>
#include <cerrno>
#include <cmath>
#include <charconv>
#include <cstring>
#include <getopt.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/files.h"
#include "batch/memory.h"

namespace {

// The value of an option named by words (png, luma, otsu, full, svg) as
// they are written in lower case: those words are taken in any case.
std::string Lowered(std::string value) {
    for (char& c : value) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return value;
}

using files::Shown;

// STAGES as --keep takes them: letters among A, B, C and D in either case,
// commas between them or not ("C", "c,d", "ABCD"), in any order. Nothing
// for anything else or no stage.
std::optional<ops::StageSet> ParseStages(const std::string& text) {
    ops::StageSet kept;
    bool comma = true;
    for (const char c : text) {
        const std::optional<ops::Stage> stage =
            ops::StageOfLetter(static_cast<char>(std::toupper(static_cast<unsigned char>(c))));
        if (c == ',' && !comma) {
            comma = true;
        } else if (stage) {
            kept |= *stage;
            comma = false;
        } else {
            return std::nullopt;
        }
    }
    if (kept.empty() || comma) return std::nullopt;
    return kept;
}

// TOL as --simplify takes it: a number of pixels, 0 or more ("1.5", "2").
std::optional<double> ParseTolerance(const std::string& text) {
    double value = 0;
    const char* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, value);
    if (ec != std::errc() || ptr != end || text.empty() || !std::isfinite(value) || value < 0) return std::nullopt;
    return value == 0 ? 0.0 : value;  // never -0
}

bool ParseCount(const std::string& text, int& value) {
    const char* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, value);
    return ec == std::errc() && ptr == end && !text.empty();
}

enum OptionCode : int {
    kFolder = 'C',
    kOut = 256,
    kJobs,
    kShard,
    kReport,
    kForce,
    kMaxMemory,
    kKeep,
    kFormat,
    kHelp,
    kVersion,
    kPage,
    kThreads,
    kMeasure,
    kSkeleton,
    kVector,
    kSimplify,
    kGray,
    kThreshold,
    kThin,
    kWithExtension,
};

const option kLongOptions[] = {
    {"out", required_argument, nullptr, kOut},
    {"jobs", required_argument, nullptr, kJobs},
    {"shard", required_argument, nullptr, kShard},
    {"report", required_argument, nullptr, kReport},
    {"force", no_argument, nullptr, kForce},
    {"max-memory", required_argument, nullptr, kMaxMemory},
    {"keep", required_argument, nullptr, kKeep},
    {"format", required_argument, nullptr, kFormat},
    {"help", no_argument, nullptr, kHelp},
    {"version", no_argument, nullptr, kVersion},
    {"page", required_argument, nullptr, kPage},
    {"threads", required_argument, nullptr, kThreads},
    {"measure", no_argument, nullptr, kMeasure},
    {"skeleton", no_argument, nullptr, kSkeleton},
    {"vector", required_argument, nullptr, kVector},
    {"simplify", required_argument, nullptr, kSimplify},
    {"gray", required_argument, nullptr, kGray},
    {"threshold", required_argument, nullptr, kThreshold},
    {"thin", required_argument, nullptr, kThin},
    {"with-extension", no_argument, nullptr, kWithExtension},
    {nullptr, 0, nullptr, 0},
};

std::string OptionName(int code) {
    if (code == kFolder) return "-C";
    for (const option* o = kLongOptions; o->name != nullptr; ++o)
        if (o->val == code) return std::string("--") + o->name;
    return "?";
}

// What getopt_long refused in arg: an option it does not know, one whose
// abbreviation fits several, or a value given to an option that takes none.
std::string Refusal(const std::string& arg, int shortOption) {
    if (arg.rfind("--", 0) != 0) return "unknown option " + Shown(shortOption != 0 ? std::string{'-', static_cast<char>(shortOption)} : arg);
    const std::size_t equals = arg.find('=');
    const std::string name = arg.substr(2, equals == std::string::npos ? std::string::npos : equals - 2);
    std::vector<std::string> fitting;
    for (const option* o = kLongOptions; o->name != nullptr; ++o) {
        if (name == o->name) {
            fitting = {o->name};
            break;
        }
        if (!name.empty() && std::string(o->name).rfind(name, 0) == 0) fitting.push_back(o->name);
    }
    if (fitting.size() > 1) {
        std::string names;
        for (const std::string& f : fitting) names += (names.empty() ? "--" : ", --") + f;
        return "option " + Shown(arg.substr(0, equals)) + " is ambiguous: " + names;
    }
    if (fitting.size() == 1 && equals != std::string::npos) return "'--" + fitting.front() + "' takes no value";
    return "unknown option " + Shown(arg);
}

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
    bool sawOut = false, measure = false, skeleton = false;
    std::vector<std::string> chainOnly;  // options --skeleton refuses, for the message
    std::vector<std::string> manyOnly;  // options that need --out, for the message

    // Applies one option; false with error set when it is refused.
    const auto apply = [&](int code, const std::string& value, const std::string& arg) {
        switch (code) {
        case kFolder:
            if (value.empty()) return error = "'-C' needs a folder name", false;
            result.folders.push_back(value);
            return true;
        case kOut:
            if (value.empty()) return error = "'--out' needs a folder name", false;
            many.out = value;
            sawOut = true;
            return true;
        case kJobs:
            if (!ParseCount(value, many.jobs) || many.jobs < 1 || many.jobs > 4096)
                return error = "'--jobs' needs a number from 1 to 4096, not " + Shown(value), false;
            manyOnly.push_back("--jobs");
            return true;
        case kThreads:
            if (!ParseCount(value, many.threads) || many.threads < 1 || many.threads > 256)
                return error = "'--threads' needs a number from 1 to 256, not " + Shown(value), false;
            manyOnly.push_back("--threads");
            return true;
        case kShard: {
            const std::size_t slash = value.find('/');
            if (slash == std::string::npos || !ParseCount(value.substr(0, slash), many.shard) ||
                !ParseCount(value.substr(slash + 1), many.shards) || many.shards < 1 || many.shard < 0 ||
                many.shard >= many.shards)
                return error = "'--shard' needs K/N with 0 <= K < N, not " + Shown(value), false;
            manyOnly.push_back("--shard");
            return true;
        }
        case kReport:
            if (value.empty()) return error = "'--report' needs a file name", false;
            many.report = value;
            manyOnly.push_back("--report");
            return true;
        case kForce:
            many.force = true;
            manyOnly.push_back("--force");
            return true;
        case kWithExtension:
            many.withExtension = true;
            manyOnly.push_back("--with-extension");
            return true;
        case kMaxMemory: {
            const std::optional<std::uint64_t> size = ParseMemorySize(value);
            if (!size) return error = "'--max-memory' needs a size such as 800M or 2G, not " + Shown(value), false;
            many.maxMemory = *size;
            manyOnly.push_back("--max-memory");
            return true;
        }
        case kKeep: {
            const std::optional<ops::StageSet> stages = ParseStages(value);
            if (!stages) return error = "'--keep' needs stages among A, B, C and D, e.g. C or C,D, not " + Shown(value), false;
            many.keep = *stages;
            manyOnly.push_back("--keep");
            chainOnly.push_back("--keep");
            return true;
        }
        case kFormat:
        {
            const std::optional<codec::OutputFormat> format = codec::OutputFormatNamed(Lowered(value));
            if (!format) return error = "'--format' needs bmp or png, not " + Shown(value), false;
            many.format = *format;
            manyOnly.push_back("--format");
            chainOnly.push_back("--format");
            return true;
        }
        case kPage: {
            int page = 0;
            if (!ParseCount(value, page) || page < 1)
                return error = "'--page' needs a page number from 1, not " + Shown(value), false;
            result.page = page;
            return true;
        }
        case kMeasure:
            measure = true;
            manyOnly.push_back("--measure");
            return true;
        case kSkeleton:
            skeleton = true;
            manyOnly.push_back("--skeleton");
            return true;
        case kVector: {
            const std::optional<VectorFormats> formats = VectorFormatsNamed(Lowered(value));
            if (!formats || formats->empty())
                return error = "'--vector' needs svg, dxf or geojson, e.g. svg or svg,dxf, not " + Shown(value), false;
            many.vectors = Joined(many.vectors, *formats);
            manyOnly.push_back("--vector");
            return true;
        }
        case kSimplify: {
            const std::optional<double> tolerance = ParseTolerance(value);
            if (!tolerance)
                return error = "'--simplify' needs a tolerance in pixels, a number from 0 such as 1.5, not " +
                               Shown(value),
                       false;
            result.simplify = *tolerance;
            return true;
        }
        case kGray: {
            const std::optional<ops::GraySource> gray = ops::GraySourceOfText(Lowered(value));
            if (!gray) return error = "'--gray' needs blue or luma, not " + Shown(value), false;
            result.settings.gray = *gray;
            chainOnly.push_back("--gray");
            return true;
        }
        case kThreshold: {
            const std::optional<ops::Threshold> threshold = ops::Threshold::OfText(Lowered(value));
            if (!threshold) return error = "'--threshold' needs a level from 0 to 255 or otsu, not " + Shown(value), false;
            result.settings.threshold = *threshold;
            chainOnly.push_back("--threshold");
            return true;
        }
        case kThin: {
            const std::optional<ops::ThinIterations> thin = ops::ThinIterations::OfText(Lowered(value));
            if (!thin) return error = "'--thin' needs a count of iterations from 0 to 1000 or full, not " + Shown(value), false;
            result.settings.thin = *thin;
            chainOnly.push_back("--thin");
            return true;
        }
        case kHelp: result.help = true; return true;
        case kVersion: result.version = true; return true;
        case ':': return error = OptionName(optopt).insert(0, 1, '\'') + "' needs a value", false;
        default: return error = Refusal(arg, optopt), false;
        }
    };

    // Runs getopt_long over the arguments; leaves in `rest` those that are
    // not options, and tells whether "--" ended the options.
    std::vector<std::string> rest;
    bool dashes = false;
    const auto parse = [&](const std::vector<std::string>& given, const char* shortOptions) {
        std::vector<std::string> storage{"workbench-batch"};
        storage.insert(storage.end(), given.begin(), given.end());
        std::vector<char*> argv;
        for (std::string& arg : storage) argv.push_back(arg.data());
        argv.push_back(nullptr);
        optind = 0;  // a fresh start, in glibc's own sense
        opterr = 0;
        const int argc = static_cast<int>(storage.size());
        for (int code; (code = ::getopt_long(argc, argv.data(), shortOptions, kLongOptions, nullptr)) != -1;) {
            const std::string arg = argv[optind - 1];
            if (!apply(code, optarg != nullptr ? optarg : "", arg)) return false;
        }
        dashes = optind > 1 && std::string(argv[optind - 1]) == "--";
        rest.assign(argv.begin() + optind, argv.end() - 1);
        return true;
    };

    // The options end at the first word, so that a FILE after "load" may
    // start with a dash. The inputs of --out are files alone: there, as GNU
    // programs do, options may also follow them.
    if (!parse(args, "+:C:")) return std::nullopt;
    if (sawOut && !dashes && !parse(std::vector<std::string>(rest), ":C:")) return std::nullopt;
    result.rest = std::move(rest);
    if (result.help || result.version) return result;
    if (sawOut) {
        if (result.page) {
            error = "'--page' works only without --out, which runs every page";
            return std::nullopt;
        }
        if (result.rest.empty()) {
            error = "'--out' needs at least one INPUT";
            return std::nullopt;
        }
        if (skeleton && !chainOnly.empty()) {
            error = "'" + chainOnly.front() + "' does not go with --skeleton, which runs no chain and keeps no stage";
            return std::nullopt;
        }
        if (result.simplify && many.vectors.empty()) {
            error = "'--simplify' needs --vector (or, without --out, the word vectorize)";
            return std::nullopt;
        }
        many.simplify = result.simplify.value_or(0);
        many.settings = result.settings;
        if (measure) many.measures = Measures::kThinned;
        if (skeleton) {
            many.measures = Measures::kInput;
            many.keep = ops::StageSet();
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
            error = "Cannot use the folder " + Shown(folder) + ": " + files::Reason(problem);
            return false;
        }
    }
    return true;
}
