#include "batch/progress.h"

#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>

#include <unistd.h>

#include "core/files.h"
#include "batch/report.h"

namespace {

using files::Shown;

std::string Clock3(double seconds) {
    const long total = std::lround(std::max(0.0, seconds));
    char text[32];
    std::snprintf(text, sizeof text, "%ld:%02ld:%02ld", total / 3600, total / 60 % 60, total % 60);
    return text;
}

}  // namespace

Progress::Progress(std::size_t total) : total_(total), terminal_(::isatty(1) == 1), start_(Clock::now()) {}

void Progress::Finished(const char* status, const Job& job, std::optional<PictureSize> size, double seconds,
                        const std::string& note) {
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
    } else {
        char count[64];
        std::snprintf(count, sizeof count, "[%zu/%zu] %s ", finished_, total_, status);
        std::string line = count + Named(job);
        if (size) {
            char dimensions[64];
            std::snprintf(dimensions, sizeof dimensions, " %ldx%ld", size->width, size->height);
            line += dimensions;
        }
        line += note;
        line += ' ';
        line += FormatSeconds(seconds);
        line += " s\n";
        WriteAll(1, line);
    }
}

void Progress::Failure(const std::string& line) {
    if (terminal_ && drawn_) WriteAll(1, "\r\x1b[K");
    drawn_ = false;
    WriteAll(2, "workbench-batch: " + line + "\n");
}

void Progress::Tick() {
    if (terminal_) Redraw(false);
}

void Progress::Summary(std::uint64_t passedOver, int stopSignal) {
    if (terminal_) Redraw(true), WriteAll(1, "\n");
    char elapsed[32];
    std::snprintf(elapsed, sizeof elapsed, "%.1f s", Elapsed());
    std::string line = std::to_string(done_) + " done, " + std::to_string(skipped_) + " skipped, " +
                       std::to_string(failed_) + " failed in " + elapsed;
    if (passedOver > 0)
        line += "; " + std::to_string(passedOver) + (passedOver == 1 ? " other file" : " other files") + " passed over";
    if (stopSignal != 0)
        line += std::string("; stopped by ") +
                (stopSignal == SIGINT ? "SIGINT" : stopSignal == SIGTERM ? "SIGTERM" : "SIGHUP") + ", " +
                std::to_string(total_ - finished_) + " not finished";
    WriteAll(1, line + "\n");
}

double Progress::Elapsed() const { return std::chrono::duration<double>(Clock::now() - start_).count(); }

void Progress::Redraw(bool force) {
    const Clock::time_point now = Clock::now();
    if (!force && drawn_ && now - lastDraw_ < std::chrono::milliseconds(100) && finished_ != total_) return;
    lastDraw_ = now;
    drawn_ = true;
    const double elapsed = Elapsed();
    const double rate = elapsed > 0 ? static_cast<double>(worked_) / elapsed : 0.0;
    char line[256];
    const std::size_t left = total_ - finished_;
    std::snprintf(line, sizeof line, "\r\x1b[K%zu/%zu: %zu done, %zu skipped, %zu failed, %.1f pictures/s, %s left",
                  finished_, total_, done_, skipped_, failed_, rate,
                  rate > 0 ? Clock3(static_cast<double>(left) / rate).c_str() : "?");
    WriteAll(1, line);
}
