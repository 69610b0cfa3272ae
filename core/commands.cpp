#include "core/commands.h"

#include <new>

#include "core/chain.h"

namespace commands {

namespace {

// Filter, Binarize and Thinning first look at the left pane; an empty one
// earns a message, and the operation goes on.
void CheckLeftPane(Workspace& ws) {
    if (ws.Image1.Picture.Bitmap().Empty()) ws.prompts.ShowMessage(kPleaseLoadMessage);
}

// The common tail: the right pane shows a copy of the result, which is then
// written to the stage file. The working pictures go with the caller's scope.
void ShowAndWrite(Workspace& ws, const TBitmap& result, ops::Stage stage) {
    ws.Image2.Stretch = true;
    ws.Image2.Picture.Assign(result);
    ws.Image2.Picture.SaveToFile(StageFileName(stage));
}

// Runs a command or a step of one, turning a failed allocation into the
// command's error. Reads and writes name their file themselves; what is left
// names the operation.
template <class Work>
void Guarded(const char* what, Work&& work) {
    try {
        work();
    } catch (const std::bad_alloc&) {
        throw Exception(std::string("Cannot ") + what + ": not enough memory");
    }
}

}  // namespace

void LoadImage(Workspace& ws) {
    Guarded("load the picture", [&] {
        ws.Bitmap1 = std::make_unique<TBitmap>();
        const std::optional<FileName> fileName = ws.prompts.ExecuteOpenPicture();
        if (fileName) ws.Image1.Picture.LoadFromFile(*fileName, ws.page);
        ws.Image1.Stretch = true;
    });
}

void SaveImage(Workspace& ws) {
    Guarded("save the picture", [&] {
        if (ws.Image2.Picture.Bitmap().Empty()) {
            ws.prompts.ShowMessage(kNothingToSaveMessage);
            return;
        }
        if (const std::optional<FileName> fileName = ws.prompts.ExecuteSavePicture())
            ws.Image2.Picture.SaveToFile(*fileName);
    });
}

void Filter(Workspace& ws) {
    Guarded(StepOf(ops::Stage::kFiltered), [&] {
        CheckLeftPane(ws);
        TBitmap P;
        P.Assign(ws.Image1.Picture.Bitmap());
        P.ConvertTo24Bit();
        RunStage(ops::Stage::kFiltered, P.Rows(), ws.settings);
        ShowAndWrite(ws, P, ops::Stage::kFiltered);
    });
}

void Binarize(Workspace& ws) {
    Guarded(StepOf(ops::Stage::kBinarized), [&] {
        TBitmap P;
        CheckLeftPane(ws);
        P.LoadFromFile(StageFileName(ops::Stage::kFiltered));
        P.ConvertTo24Bit();
        ws.level = RunStage(ops::Stage::kBinarized, P.Rows(), ws.settings);
        ShowAndWrite(ws, P, ops::Stage::kBinarized);
    });
}

void Thinning(Workspace& ws) {
    Guarded(StepOf(ops::Stage::kThinned), [&] {
        TBitmap ReadBitmap, WriteBitmap;
        CheckLeftPane(ws);
        ReadBitmap.LoadFromFile(StageFileName(ops::Stage::kBinarized));
        WriteBitmap.Assign(ReadBitmap);
        WriteBitmap.ConvertTo24Bit();
        ThinStage(ReadBitmap.Rows(), WriteBitmap.Rows(), ws.settings.thin);
        ShowAndWrite(ws, ReadBitmap, ops::Stage::kThinned);
    });
}

void Labeling(Workspace& ws) {
    Guarded(StepOf(ops::Stage::kLabeled), [&] {
        // With no working picture (before any Load Image, or after an earlier
        // Labeling) a fresh one serves: only its room for "C.bmp" is used.
        if (!ws.Bitmap1) ws.Bitmap1 = std::make_unique<TBitmap>();
        TBitmap& Bitmap1 = *ws.Bitmap1;
        // A failed load keeps the working picture; from here on it is released
        // however the command ends.
        Bitmap1.LoadFromFile(StageFileName(ops::Stage::kThinned));
        struct Release {
            std::unique_ptr<TBitmap>& held;
            ~Release() { held.reset(); }
        } release{ws.Bitmap1};
        RunStage(ops::Stage::kLabeled, Bitmap1.Rows());
        ShowAndWrite(ws, Bitmap1, ops::Stage::kLabeled);
    });
}

}  // namespace commands
