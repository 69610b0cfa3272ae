// The frame of the chain that every way of running it shares: the window's
// commands, the word chain, a many-pictures worker on a picture in memory
// and the stream of rows name the same stage files, run the same pixel work
// for each stage and write their stage files through the same code.
#pragma once

#include <functional>
#include <string>

#include "codec/encode.h"
#include "core/files.h"
#include "core/picture.h"
#include "ops/pixels.h"
#include "ops/settings.h"
#include "ops/stage.h"

// The name of a stage's file: "A.bmp" (the window's), "C.png".
std::string StageFileName(ops::Stage stage, codec::OutputFormat format = codec::kStageOutput);

// What a stage's operation does, for messages: "filter the picture".
const char* StepOf(ops::Stage stage);

// The picture as Load Image gives it and Filter takes it: page `page` (0
// the first) of the file as 24-bit rows. Throws Exception as loading does.
TBitmap LoadForChain(const FileName& name, int page = 0);

// The pixel work of the stage on the rows, in place.
void RunStage(ops::Stage stage, const ops::RowView& rows);
// The same with the chain's settings (ops/settings.h). Returns the level
// binarize used (Otsu's choice, or N) for stage B, -1 for the others.
int RunStage(ops::Stage stage, const ops::RowView& rows, const ops::ChainSettings& settings);

// Thinning's pixel work from its two pictures: reads `read`, writes
// `write` (a 24-bit copy of it) and leaves the result in `read`. The same
// rows may serve as both: the thinning reads its input once, into a bit
// plane.
void ThinStage(const ops::RowView& read, const ops::RowView& write);
void ThinStage(const ops::RowView& read, const ops::RowView& write, ops::ThinIterations iterations);

// The operations on the rows, in place, up to the last of the kept stages,
// with kept(stage) called after each kept one. step names the operation
// running, for a message when memory runs out.
void RunStages(const ops::RowView& rows, ops::StageSet stages, const std::function<void(ops::Stage)>& kept,
               const char*& step);
// The same with the chain's settings; level gets what binarize used (-1
// when the stages stop before B).
void RunStages(const ops::RowView& rows, ops::StageSet stages, const ops::ChainSettings& settings,
               const std::function<void(ops::Stage)>& kept, const char*& step, int& level);

// Writes the rows as a stage file (or a saved picture), whole or not at all,
// with the picture's resolution as codec::Encode writes it (a BMP file's
// pixels a metre, 2835 when none is known; a PNG file's pHYs, none when
// none is known). Throws Exception naming the file.
void WriteStageFile(const FileName& name, const ops::RowView& rows, codec::OutputFormat format,
                    files::Durability durability = files::Durability::kFlushedEach,
                    const codec::Resolution& resolution = {});
