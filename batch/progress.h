// The progress of a many-pictures run on standard output. On a terminal it
// is one line drawn again in place at most ten times a second; otherwise
// (a log, a cluster job) one line per picture, skipped ones too, so the
// counter counts every picture. A summary line
// ends the run. Failures go to standard error, one line each.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "batch/jobs.h"
#include "batch/result_folder.h"

class Progress {
public:
    explicit Progress(std::size_t total);

    // A picture ended: status is "done", "skipped" or "failed"; a note
    // (" threshold 97 (otsu)") follows the size on its line.
    void Finished(const char* status, const Job& job, std::optional<PictureSize> size, double seconds,
                  const std::string& note = {});

    // A failure's line on standard error; on a terminal the progress line is
    // cleared first and drawn again below it.
    void Failure(const std::string& line);

    // Draws the line again when it is due (on a terminal).
    void Tick();

    // The last line: the counts, the time, and why the run stopped early.
    void Summary(std::uint64_t passedOver, int stopSignal);

    std::size_t failed() const { return failed_; }

private:
    using Clock = std::chrono::steady_clock;

    double Elapsed() const;
    void Redraw(bool force);

    std::size_t total_, finished_ = 0, worked_ = 0, done_ = 0, skipped_ = 0, failed_ = 0;
    bool terminal_;
    bool drawn_ = false;
    Clock::time_point start_, lastDraw_;
};
