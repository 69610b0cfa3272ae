#include "batch/report.h"

#include <cerrno>
#include <charconv>
#include <cstdio>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/files.h"
#include "ops/skeleton.h"

namespace {

using files::Shown;

}  // namespace

std::string JsonString(const std::string& bytes) {
    static const char kHex[] = "0123456789abcdef";
    std::string json = "\"";
    for (std::size_t i = 0; i < bytes.size();) {
        const auto b = static_cast<unsigned char>(bytes[i]);
        const int length = files::Utf8Length(bytes, i);
        if (length == 0) {
            json += "\\udc";
            json += kHex[b >> 4];
            json += kHex[b & 15];
            ++i;
            continue;
        }
        if (length > 1) {
            json.append(bytes, i, static_cast<std::size_t>(length));
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
        i += static_cast<std::size_t>(length);
    }
    return json + "\"";
}

std::string FormatSeconds(double seconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3f", seconds);
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

namespace {

// Whether the file starts as a report does: a line that is a JSON object.
// One that cannot be read is given the benefit of the doubt.
bool HoldsReport(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) return true;
    char first = 0;
    ssize_t got;
    do got = ::pread(fd, &first, 1, 0);
    while (got < 0 && errno == EINTR);
    ::close(fd);
    return got != 1 || first == '{';
}

}  // namespace

Report::~Report() {
    if (fd_ >= 0) ::close(fd_);
}

bool Report::Open(const std::string& path, std::string& error) {
    struct stat before {};
    if (::stat(path.c_str(), &before) == 0 && !S_ISREG(before.st_mode)) {
        error = "Cannot write " + Shown(path) + ": " + files::KindReason(before.st_mode);
        return false;
    }
    fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0666);
    if (fd_ < 0) {
        error = "Cannot write " + Shown(path) + ": " + files::Reason(errno);
        return false;
    }
    struct stat info {};
    if (::fstat(fd_, &info) != 0 || !S_ISREG(info.st_mode)) {
        error = "Cannot write " + Shown(path) + ": it is not an ordinary file";
        return false;
    }
    // Lines are only ever added: a file that holds something else (a picture
    // named by mistake where the report goes, one of the inputs even) is
    // left as it is.
    if (info.st_size > 0 && !HoldsReport(path)) {
        ::close(fd_);
        fd_ = -1;
        error = "Cannot write " + Shown(path) + ": it holds something other than a report, and a report is only added to";
        return false;
    }
    ::fcntl(fd_, F_SETFL, O_APPEND);
    path_ = path;
    return true;
}

void Report::Add(const Job& job, const std::string& folder, const char* status, const std::string& message,
                 const Result* result, double seconds) {
    if (fd_ < 0) return;
    std::string files = "[";
    if (result != nullptr)
        for (const Result::File& file : result->files) {
            if (files.size() > 1) files += ',';
            files += JsonString(file.name);
        }
    files += "]";
    std::string measures;
    if (result != nullptr && result->measured != Measures::kNone) {
        char length[32];
        const auto written = std::to_chars(length, length + sizeof length, result->totals.total_length);
        measures = ",\"skeletons\":" + std::to_string(result->totals.skeletons) +
                   ",\"branches\":" + std::to_string(result->totals.branches) +
                   ",\"junctions\":" + std::to_string(result->totals.junctions) +
                   ",\"end_points\":" + std::to_string(result->totals.end_points) +
                   ",\"total_length\":" + std::string(length, written.ptr);
        if (result->totals.pixels_per_metre != 0) {
            const auto mm = std::to_chars(length, length + sizeof length,
                                          ops::Millimetres(result->totals.total_length, result->totals.pixels_per_metre));
            measures += ",\"total_length_mm\":" + std::string(length, mm.ptr);
        }
    } else if (result == nullptr && measuring) {
        measures = ",\"skeletons\":null,\"branches\":null,\"junctions\":null,\"end_points\":null,\"total_length\":null";
    }
    if (!settings.IsDefault())
        measures += ",\"settings\":" + JsonString(ops::TextOf(settings)) + ",\"threshold\":" +
                    (result != nullptr && result->level >= 0 ? std::to_string(result->level) : "null");
    Write("{\"input\":" + JsonString(job.input) +
          ",\"page\":" + (job.pages > 1 ? std::to_string(job.page) : std::string("null")) +
          ",\"folder\":" + JsonString(folder) + ",\"status\":\"" + status +
          "\",\"message\":" + JsonString(message) +
          ",\"width\":" + (result ? std::to_string(result->size.width) : "null") +
          ",\"height\":" + (result ? std::to_string(result->size.height) : "null") + ",\"files\":" + files + measures +
          ",\"seconds\":" + FormatSeconds(seconds) + "}\n");
}

void Report::Add(const PassedOver& file) {
    if (fd_ < 0) return;
    Write("{\"input\":" + JsonString(file.path) + ",\"page\":null,\"folder\":null,\"status\":\"passed over\",\"message\":" +
          JsonString(file.reason) + ",\"width\":null,\"height\":null,\"files\":[],\"seconds\":0.000}\n");
}

void Report::Write(const std::string& line) {
    const ssize_t wrote = ::write(fd_, line.data(), line.size());
    if (wrote != static_cast<ssize_t>(line.size()) && error_.empty())
        error_ = "Cannot write " + Shown(path_) + ": " + files::Reason(wrote < 0 ? errno : ENOSPC);
}
