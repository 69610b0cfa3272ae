// Finished pictures recorded in groups, for durability at a group price.
//
// A worker writes a picture's kept files without flushing them to the disk
// (each would cost milliseconds: a journal commit). The run gathers the
// finished pictures into a group; when the group is due, one flush per file
// system (syncfs) brings all their files to the disk, and only then is each
// picture's record written. A crash or a power cut at any moment therefore
// leaves no record over a missing or short file; it may cost the records of
// the group being flushed, whose pictures a rerun does again.
//
// With WORKBENCH_BATCH_TRACE set to a file name, each step is appended to
// that file as it happens ("wrote FILE", "flushed", "recorded FOLDER"), so
// that a test can check the order.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "batch/jobs.h"
#include "batch/result_folder.h"

class FlushGroup {
public:
    // A picture whose files are written; the run holds its folder's lock.
    struct Member {
        std::size_t index = 0;  // in the run's list
        const Job* job = nullptr;
        std::string folder;
        int lock = -1;
        Stamp stamp;  // the input as it was read
        Result result;
        double seconds = 0;
    };

    FlushGroup();
    ~FlushGroup();
    FlushGroup(const FlushGroup&) = delete;
    FlushGroup& operator=(const FlushGroup&) = delete;

    void Add(Member member);
    bool empty() const { return members_.empty(); }
    // Whether the group should be flushed now: it is full, or its first
    // member has waited long enough.
    bool Due() const;
    // Milliseconds until the group is due (0 when it is); -1 when empty.
    int MillisecondsUntilDue() const;

    // Flushes the members' files to the disk, then writes each record, and
    // hands each member to settle with why it could not be recorded (empty
    // when it was). The group is empty afterwards.
    void Flush(const std::function<void(Member& member, const std::string& problem)>& settle);

private:
    using Clock = std::chrono::steady_clock;

    void Trace(const std::string& line) const;

    std::vector<Member> members_;
    Clock::time_point first_;
    int trace_ = -1;
};
