// The many-pictures mode of workbench-batch:
//
//   workbench-batch --out DIR [--jobs N] [--shard K/N] [--report FILE] [--force] INPUT...
//
// Lists the pictures (batch/jobs), skips those whose result folder records a
// finished result (batch/result_folder), hands the others to the workers
// (batch/pool), records each finished one, and reports every picture
// (batch/report, batch/progress).
#pragma once

#include <string>
#include <vector>

#include "batch/options.h"

// Runs the mode; returns the exit status (0, 1, 2, or 128 + the signal that
// stopped it).
int RunMany(const ManyOptions& options, const std::vector<std::string>& inputs);
