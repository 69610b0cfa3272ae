// The report of a many-pictures run (--report FILE): one JSON object a line,
// appended as each picture ends, so an interrupted run's report is valid up
// to its last line.
#pragma once

#include <optional>
#include <string>

#include "batch/jobs.h"
#include "batch/result_folder.h"
#include "ops/settings.h"

// Text as a JSON string, quotes included. Valid UTF-8 is kept; the quote, the
// backslash and control characters are escaped; each byte that is not part of
// valid UTF-8 becomes \udcXX (XX the byte, 80 to ff), the lone low surrogate
// that Python's "surrogateescape" uses, so the exact name can be recovered
// (os.fsencode(json.loads(...)) in Python).
std::string JsonString(const std::string& bytes);

// Seconds with three decimals, "0.103".
std::string FormatSeconds(double seconds);

// Writes all of text to the descriptor, as far as it takes it.
void WriteAll(int fd, const std::string& text);

class Report {
public:
    Report() = default;
    Report(const Report&) = delete;
    Report& operator=(const Report&) = delete;
    ~Report();

    // Opens FILE for appending; it must be an ordinary file (or not exist).
    bool Open(const std::string& path, std::string& error);

    // One line, one write: with O_APPEND, lines of runs that share the file
    // never interleave. Nothing without an open report.
    // The size and the files are those of result; a failure has none. The
    // measures' totals come after "files" when result holds them, with
    // "total_length_mm" when they have a scale for millimetres; a failure
    // in a run that measures has them null (and no "total_length_mm").
    void Add(const Job& job, const std::string& folder, const char* status, const std::string& message,
             const Result* result, double seconds);
    // A file in a folder of inputs that is not a picture: status "passed
    // over", the reason as the message, no folder.
    void Add(const PassedOver& file);

    // The first failure to write a line, or empty.
    const std::string& error() const { return error_; }

    // Whether the run measures its pictures (--measure, --skeleton).
    bool measuring = false;
    // The run's chain settings: other than the defaults, each line of a
    // picture names them ("settings") and gives the level binarize used
    // ("threshold", null when it did not run).
    ops::ChainSettings settings;

private:
    void Write(const std::string& line);

    int fd_ = -1;
    std::string path_, error_;
};
