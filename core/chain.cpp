#include "core/chain.h"

#include <cerrno>
#include <new>

#include "codec/bmp.h"
#include "codec/png_write.h"
#include "ops/binarize.h"
#include "ops/filter.h"
#include "ops/labeling.h"
#include "ops/thinning.h"

using ops::Stage;

std::string StageFileName(Stage stage, codec::OutputFormat format) {
    std::string name(1, ops::LetterOf(stage));
    name += '.';
    name += codec::NameOf(format);
    return name;
}

const char* StepOf(Stage stage) {
    switch (stage) {
    case Stage::kFiltered: return "filter the picture";
    case Stage::kBinarized: return "binarize the picture";
    case Stage::kThinned: return "thin the picture";
    case Stage::kLabeled: break;
    }
    return "label the picture";
}

TBitmap LoadForChain(const FileName& name, int page) {
    // The picture as Load Image gives it, then as Filter takes it: a 24-bit
    // copy of the left pane's picture, here the one copy there is.
    TPicture loaded;
    loaded.LoadFromFile(name, page);
    TBitmap picture;
    picture.Assign(loaded.Bitmap());
    picture.ConvertTo24Bit();
    return picture;
}

void RunStage(Stage stage, const ops::RowView& rows) {
    switch (stage) {
    case Stage::kFiltered: ops::Filter(rows); return;
    case Stage::kBinarized: ops::Binarize(rows); return;
    case Stage::kThinned: ThinStage(rows, rows); return;
    case Stage::kLabeled: ops::Label(rows); return;
    }
}

int RunStage(Stage stage, const ops::RowView& rows, const ops::ChainSettings& settings) {
    switch (stage) {
    case Stage::kFiltered: ops::Filter(rows, settings.gray); return -1;
    case Stage::kBinarized: return ops::Binarize(rows, settings.threshold);
    case Stage::kThinned: ThinStage(rows, rows, settings.thin); return -1;
    case Stage::kLabeled: ops::Label(rows); return -1;
    }
    return -1;
}

void ThinStage(const ops::RowView& read, const ops::RowView& write) { ops::Thin(read, write); }

void ThinStage(const ops::RowView& read, const ops::RowView& write, ops::ThinIterations iterations) {
    ops::Thin(read, write, iterations);
}

void RunStages(const ops::RowView& rows, ops::StageSet stages, const std::function<void(Stage)>& kept,
               const char*& step) {
    for (const Stage stage : ops::kAllStages) {
        if (!stages.Reaches(stage)) break;
        step = StepOf(stage);
        RunStage(stage, rows);
        if (stages.Has(stage)) kept(stage);
    }
}

void WriteStageFile(const FileName& name, const ops::RowView& rows, codec::OutputFormat format,
                    files::Durability durability, const codec::Resolution& resolution) {
    files::OutputFile file(name, durability);
    try {
        codec::Encode(
            rows, format, [&file](const std::uint8_t* bytes, std::size_t size) { file.Write(bytes, size); }, resolution);
    } catch (const codec::BmpError& error) {
        files::FailWrite(name, error.what());
    } catch (const codec::PngWriteError& error) {
        files::FailWrite(name, error.what());
    } catch (const std::bad_alloc&) {
        files::FailWrite(name, files::Reason(ENOMEM));
    }
    file.Commit();
}

void RunStages(const ops::RowView& rows, ops::StageSet stages, const ops::ChainSettings& settings,
               const std::function<void(Stage)>& kept, const char*& step, int& level) {
    level = -1;
    for (const Stage stage : ops::kAllStages) {
        if (!stages.Reaches(stage)) break;
        step = StepOf(stage);
        const int used = RunStage(stage, rows, settings);
        if (stage == Stage::kBinarized) level = used;
        if (stages.Has(stage)) kept(stage);
    }
}
