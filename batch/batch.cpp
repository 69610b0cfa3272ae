#include "batch/batch.h"

#include <functional>
#include <optional>

#include "app/commands.h"
#include "batch/usage.h"

namespace {

// A word as a message shows it: on one line, every byte that is not
// printable text escaped.
std::string ShownWord(const std::string& word) {
    const QString shown = FileName(word).Shown();  // in double quotes
    return shown.mid(1, shown.size() - 2).prepend('\'').append('\'').toStdString();
}

// Answers each dialog with the file named after its word.
class BatchPrompts : public Prompts {
public:
    explicit BatchPrompts(std::FILE* err) : err_(err) {}
    std::optional<FileName> answer;

    std::optional<FileName> ExecuteOpenPicture() override { return std::exchange(answer, std::nullopt); }
    std::optional<FileName> ExecuteSavePicture() override { return std::exchange(answer, std::nullopt); }
    void ShowMessage(const QString& text) override { std::fprintf(err_, "%s\n", text.toUtf8().constData()); }

private:
    std::FILE* err_;
};

struct Step {
    std::function<void(Workspace&)> command;
    std::optional<FileName> file;  // the word's FILE, byte for byte
};

}  // namespace

int RunBatch(const std::vector<std::string>& words, std::FILE* err) {
    std::vector<Step> steps;
    for (std::size_t i = 0; i < words.size(); ++i) {
        const std::string& word = words[i];
        if (word == "load" || word == "save") {
            if (i + 1 == words.size()) {
                std::fprintf(err, "workbench-batch: %s needs a FILE\n%s", ShownWord(word).c_str(), kUsage);
                return 2;
            }
            steps.push_back({word == "load" ? commands::LoadImage : commands::SaveImage,
                             FileName(words[++i])});
        } else if (word == "filter") {
            steps.push_back({commands::Filter, std::nullopt});
        } else if (word == "binarize") {
            steps.push_back({commands::Binarize, std::nullopt});
        } else if (word == "thin") {
            steps.push_back({commands::Thinning, std::nullopt});
        } else if (word == "label") {
            steps.push_back({commands::Labeling, std::nullopt});
        } else {
            std::fprintf(err, "workbench-batch: unknown word %s\nTry 'workbench-batch --help' for more.\n",
                         ShownWord(word).c_str());
            return 2;
        }
    }
    if (steps.empty()) {
        std::fputs(kUsage, err);
        return 2;
    }

    BatchPrompts prompts(err);
    Pane image1, image2;
    std::unique_ptr<TBitmap> bitmap1;
    Workspace ws{image1, image2, bitmap1, prompts};
    for (Step& step : steps) {
        prompts.answer = step.file;
        try {
            step.command(ws);
        } catch (const Exception& error) {
            std::fprintf(err, "workbench-batch: %s\n", error.Message().toUtf8().constData());
            return 1;
        } catch (const std::exception& error) {
            std::fprintf(err, "workbench-batch: %s\n", error.what());
            return 1;
        }
    }
    return 0;
}
