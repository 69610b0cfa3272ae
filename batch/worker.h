// A worker of a many-pictures run: the program started by the run as
//   workbench-batch --worker MEMORY-LIMIT THREADS
// with WORKBENCH_BATCH_RUN set (see HowStarted). It reads requests on
// standard input and answers each on descriptor 3 (batch/protocol.h), one
// picture after another, until its input ends. The files it writes
// are not flushed to the disk one by one: the run flushes them in groups
// before it records the pictures (batch/flush_group.h).
#pragma once

#include <string>
#include <vector>

// Whether the arguments ask for the worker ("--worker" first).
bool IsWorkerInvocation(const std::vector<std::string>& args);

// Runs the worker; returns its exit status.
int RunWorker(const std::vector<std::string>& args);
