// The many-pictures mode of workbench-batch:
//
//   workbench-batch --out DIR [--jobs N] [--shard K/N] [--report FILE] [--force] INPUT...
//
// Every picture runs the whole chain (load, filter, binarize, thin, label) in
// a worker process of its own, the program itself run as
//   workbench-batch -C DIR/<name> load /abs/INPUT filter binarize thin label
// Each page K of a file with several pages is a picture of its own, run as
//   workbench-batch -C DIR/<name>/page-K --page K load /abs/INPUT ...
// so a picture that fails, runs out of memory or is killed ends as one failed
// entry and the others go on, and the one-thread commands stay as they are.
// A worker never outlives its run (WorkerOfRun).
//
// A result folder holds a finished result or nothing of ours: the record
// ".finished" (the input's path, size and modification time) is written last
// and atomically once D.bmp is there; the stage files of a picture that
// failed or was stopped are removed. Each result folder is locked (flock)
// while a worker runs in it, so runs that overlap never work in one folder at
// once.
#pragma once

#include <string>
#include <vector>

#include "batch/options.h"

// Called first by every run of the program: a worker of a many-pictures run
// (started with WORKBENCH_BATCH_RUN=<the run's process id>) arranges to be
// killed when that run ends, and returns false when it has already ended.
bool WorkerOfRun();

// Runs the mode; returns the exit status (0, 1, 2, or 128 + the signal that
// stopped it).
int RunMany(const ManyOptions& options, const std::vector<std::string>& inputs);

// Text as a JSON string, quotes included. Valid UTF-8 is kept; the quote, the
// backslash and control characters are escaped; each byte that is not part of
// valid UTF-8 becomes \udcXX (XX the byte, 80 to ff), the lone low surrogate
// that Python's "surrogateescape" uses, so the exact name can be recovered
// (os.fsencode(json.loads(...)) in Python).
std::string JsonString(const std::string& bytes);
