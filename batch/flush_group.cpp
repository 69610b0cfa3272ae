#include "batch/flush_group.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <set>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/files.h"
#include "batch/report.h"

namespace {

// A group is flushed at this many pictures, or when its first has waited
// this long: many small pictures share a flush, and no finished picture
// waits long for its record (or holds its folder's lock open long).
constexpr std::size_t kMostMembers = 64;
constexpr auto kLongestWait = std::chrono::milliseconds(1000);

}  // namespace

FlushGroup::FlushGroup() {
    if (const char* trace = std::getenv("WORKBENCH_BATCH_TRACE"); trace != nullptr && *trace != 0)
        trace_ = ::open(trace, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
}

FlushGroup::~FlushGroup() {
    if (trace_ >= 0) ::close(trace_);
}

void FlushGroup::Trace(const std::string& line) const {
    if (trace_ >= 0) WriteAll(trace_, line + "\n");
}

void FlushGroup::Add(Member member) {
    if (members_.empty()) first_ = Clock::now();
    for (const Result::File& file : member.result.files) Trace("wrote " + member.folder + "/" + file.name);
    members_.push_back(std::move(member));
}

bool FlushGroup::Due() const {
    return members_.size() >= kMostMembers || (!members_.empty() && Clock::now() - first_ >= kLongestWait);
}

int FlushGroup::MillisecondsUntilDue() const {
    if (members_.empty()) return -1;
    if (Due()) return 0;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(first_ + kLongestWait - Clock::now());
    return static_cast<int>(std::max<std::chrono::milliseconds::rep>(left.count(), 1));
}

void FlushGroup::Flush(const std::function<void(Member& member, const std::string& problem)>& settle) {
    if (members_.empty()) return;
    // One flush per file system the group's folders lie on; the locked
    // folder's descriptor names its file system.
    std::string problem;
    std::set<dev_t> flushed;
    for (const Member& member : members_) {
        struct stat info {};
        if (::fstat(member.lock, &info) != 0 || flushed.count(info.st_dev) != 0) continue;
        if (::syncfs(member.lock) != 0 && problem.empty())
            problem = "Cannot bring the results to the disk: " + files::Reason(errno);
        flushed.insert(info.st_dev);
    }
    Trace("flushed");
    // Only now: every file of the group is on the disk whole.
    for (Member& member : members_) {
        std::string why = problem;
        if (why.empty() && WriteRecord(member.folder, *member.job, member.stamp, member.result, why))
            Trace("recorded " + member.folder);
        settle(member, why);
    }
    members_.clear();
}
