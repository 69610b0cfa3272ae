// The skeleton measures (ops/skeleton.h) as files, for every way of taking
// them: the word chain's `measure`, and a many-pictures worker measuring
// stage C (whole, or as the rows stream by) or a picture that is already a
// skeleton. They share the tables' names, the message for a picture that
// is not two-level, how a thinned picture is read, and how the tables are
// written: each whole or not at all, through files::OutputFile.
#pragma once

#include <string>
#include <vector>

#include "codec/decode.h"
#include "core/files.h"
#include "ops/skeleton.h"

inline constexpr char kBranchesTable[] = "branches.csv";
inline constexpr char kSkeletonsTable[] = "skeletons.csv";

// "Cannot measure NAME: it is not two-level: the pixel at row R, column C
// is neither black nor white", as an Exception.
[[noreturn]] void FailNotTwoLevel(const FileName& name, ops::NotTwoLevel at);

// The pixels a metre the measures give their lengths in millimetres at
// (ops::SkeletonTotals::pixels_per_metre), from the resolution the measured
// picture's file declares: x when it is known and the same both ways; 0 (no
// millimetres) when it is not known, when x and y differ (a diagonal step
// then has no one length), and for exactly 2835 both ways, the 72 dpi that
// BMP writers (this program's stage files included) put in a file whose
// picture declared none. The word `measure`, --measure and --skeleton, whole
// or streamed, all take the scale from here.
std::uint32_t MillimetreScale(const codec::Resolution& resolution);

// Reads a thinned picture (black lines on white) as Load Image reads any
// picture: its format known from its first bytes, its first page; the
// measures' scale is MillimetreScale of its resolution. Throws Exception as
// loading does, or FailNotTwoLevel's; running out of memory while
// measuring throws "Cannot measure NAME: not enough memory".
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
