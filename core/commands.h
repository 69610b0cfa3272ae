// The seven commands of the workbench, shared by the window and the batch
// tool: Load Image, Save Image, Close (in the window only) and the frame of
// the four operations (its input, its check of the left pane, its working
// pictures, the result in the right pane and the stage file it writes).
//
// A command that fails throws Exception at the failing step; whoever ran it
// (the application object, or the batch tool) reports the message. Memory
// running out anywhere in a command ends it the same way, with a message
// that names the file or the operation.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "core/picture.h"
#include "ops/settings.h"

// A picture pane: its picture and whether it stretches it to fill the pane.
struct Pane {
    TPicture Picture;
    bool Stretch = false;
};

// What the commands ask of the user: the two picture dialogs and the plain
// message box. The window shows real dialogs; tests and the batch tool answer
// from a script.
class Prompts {
public:
    virtual ~Prompts() = default;
    // The file the user confirmed, or nothing when the user cancelled.
    virtual std::optional<FileName> ExecuteOpenPicture() = 0;
    virtual std::optional<FileName> ExecuteSavePicture() = 0;
    // A message with an OK button; returns when it is closed.
    virtual void ShowMessage(const std::string& text) = 0;
};

// The state the commands work on: the two panes and the window's working
// picture (absent until the first Load Image, and again after Labeling);
// and the page Load Image takes of a file with several (0 the first).
// The window runs the chain with the default settings; workbench-batch
// may give others, and learns from `level` the threshold the last Binarize
// used.
struct Workspace {
    Pane& Image1;
    Pane& Image2;
    std::unique_ptr<TBitmap>& Bitmap1;
    Prompts& prompts;
    int page = 0;
    ops::ChainSettings settings{};
    int level = -1;
};

inline const std::string kPleaseLoadMessage = "請載入圖檔!!";
inline const std::string kNothingToSaveMessage = "沒有可以存檔的畫面喔!!";

namespace commands {

void LoadImage(Workspace& ws);
void SaveImage(Workspace& ws);
void Filter(Workspace& ws);
void Binarize(Workspace& ws);
void Thinning(Workspace& ws);
void Labeling(Workspace& ws);

}  // namespace commands
