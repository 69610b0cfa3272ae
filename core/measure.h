// The skeleton measures (ops/skeleton.h) as files, for every way of taking
// them: the word chain's `measure`, and a many-pictures worker measuring
// stage C (whole, or as the rows stream by) or a picture that is already a
// skeleton. They share the tables' names, the message for a picture that
// is not two-level, how a thinned picture is read, and how the tables are
// written: each whole or not at all, through files::OutputFile.
#pragma once

#include <string>
#include <vector>

#include "core/files.h"
#include "ops/skeleton.h"

inline constexpr char kBranchesTable[] = "branches.csv";
inline constexpr char kSkeletonsTable[] = "skeletons.csv";

// "Cannot measure NAME: it is not two-level: the pixel at row R, column C
// is neither black nor white", as an Exception.
[[noreturn]] void FailNotTwoLevel(const FileName& name, ops::NotTwoLevel at);

// Reads a thinned picture (black lines on white) as Load Image reads any
// picture: its format known from its first bytes, its first page. Throws
// Exception as loading does, or FailNotTwoLevel's; running out of memory
// while measuring throws "Cannot measure NAME: not enough memory".
ops::SkeletonMeasures MeasurePictureFile(const FileName& name);

// Writes branches.csv and skeletons.csv into the folder ("" for the current
// one), each whole or not at all: both are written first and only then
// named, so a failure while writing leaves neither. Returns the names
// written, in that order.
// Throws Exception naming the file.
std::vector<std::string> WriteMeasureTables(const std::string& folder, const ops::SkeletonMeasures& measures,
                                            files::Durability durability = files::Durability::kFlushedEach);

// ops::MeasureSummary: its decimal point a point whatever the locale.
std::string MeasureSummaryLine(const ops::SkeletonTotals& totals);
