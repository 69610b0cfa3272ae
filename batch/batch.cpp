#include "batch/batch.h"

#include <cerrno>
#include <functional>
#include <optional>
#include <string>
#include <utility>

#include "core/centre_lines.h"
#include "core/chain.h"
#include "core/commands.h"
#include "core/measure.h"

namespace {

// A word as a message shows it: on one line, every byte that is not
// printable text escaped.
std::string ShownWord(const std::string& word) {
    const std::string shown = FileName(word).Shown();  // in double quotes
    std::string quoted(1, '\'');
    quoted.append(shown, 1, shown.size() - 2);
    quoted += '\'';
    return quoted;
}

// The program's own messages keep the window's words, each followed by an
// English gloss on the same line for readers who know no Chinese.
std::string Glossed(const std::string& text) {
    std::string line = text;
    if (text == kPleaseLoadMessage) line += " (no picture loaded: use load FILE first)";
    if (text == kNothingToSaveMessage) line += " (nothing to save: run an operation first)";
    return line;
}

// Answers each dialog with the file named after its word, and shows each
// message as one line on standard error.
class BatchPrompts : public Prompts {
public:
    explicit BatchPrompts(std::FILE* err) : err_(err) {}
    std::optional<FileName> answer;
    bool saveAsked = false;  // whether Save Image got as far as its dialog

    std::optional<FileName> ExecuteOpenPicture() override { return std::exchange(answer, std::nullopt); }
    std::optional<FileName> ExecuteSavePicture() override {
        saveAsked = true;
        return std::exchange(answer, std::nullopt);
    }
    void ShowMessage(const std::string& text) override {
        std::fprintf(err_, "workbench-batch: %s\n", Glossed(text).c_str());
    }

private:
    std::FILE* err_;
};

struct Step {
    std::function<void(Workspace&)> command;
    std::optional<FileName> file;  // the word's FILE, byte for byte
    bool save = false;
};

// measure: the skeleton measures of "C.bmp" (whatever format it holds, as
// any picture is read) beside it, and their summary on standard output.
void Measure(std::FILE* out) {
    const ops::SkeletonMeasures measures = MeasurePictureFile(FileName(StageFileName(ops::Stage::kThinned)));
    WriteMeasureTables("", measures);
    const std::string line = MeasureSummaryLine(measures.totals) + "\n";
    if (std::fputs(line.c_str(), out) < 0 || std::fflush(out) != 0)
        throw Exception("Cannot write the measures' summary: " + files::Reason(errno));
}

// vectorize FILE: the centre lines of "C.bmp", read as measure reads it, as
// FILE in the format its extension names.
void Vectorize(const FileName& target, codec::VectorFormat format, double tolerance) {
    VectorizePictureFile(FileName(StageFileName(ops::Stage::kThinned)), target, format, tolerance);
}

}  // namespace

int RunBatch(const std::vector<std::string>& words, std::FILE* err, int page, std::FILE* out,
             const ops::ChainSettings& settings, std::optional<double> simplify) {
    std::vector<Step> steps;
    bool vectorizes = false;
    for (std::size_t i = 0; i < words.size(); ++i) {
        const std::string& word = words[i];
        if (word == "load" || word == "save" || word == "vectorize") {
            if (i + 1 == words.size()) {
                std::fprintf(err, "workbench-batch: %s needs a FILE\nTry 'workbench-batch --help' for more.\n",
                             ShownWord(word).c_str());
                return 2;
            }
            const FileName file(words[++i]);
            if (word == "vectorize") {
                const std::optional<codec::VectorFormat> format = codec::VectorFormatOfFile(file.bytes());
                if (!format) {
                    std::fprintf(err,
                                 "workbench-batch: 'vectorize' writes a file named %s, not %s\n"
                                 "Try 'workbench-batch --help' for more.\n",
                                 codec::VectorExtensions(), file.Shown().c_str());
                    return 2;
                }
                steps.push_back({[file, format = *format, tolerance = simplify.value_or(0)](Workspace&) {
                                     Vectorize(file, format, tolerance);
                                 },
                                 std::nullopt});
                vectorizes = true;
                continue;
            }
            const bool save = word == "save";
            steps.push_back({save ? commands::SaveImage : commands::LoadImage, file, save});
        } else if (word == "filter") {
            steps.push_back({commands::Filter, std::nullopt});
        } else if (word == "binarize") {
            steps.push_back({[out](Workspace& ws) {
                                 commands::Binarize(ws);
                                 if (!ws.settings.threshold.otsu()) return;
                                 const std::string line = "binarize: threshold " + std::to_string(ws.level) + " (otsu)\n";
                                 if (std::fputs(line.c_str(), out) < 0 || std::fflush(out) != 0)
                                     throw Exception("Cannot write the threshold: " + files::Reason(errno));
                             },
                             std::nullopt});
        } else if (word == "thin") {
            steps.push_back({commands::Thinning, std::nullopt});
        } else if (word == "label") {
            steps.push_back({commands::Labeling, std::nullopt});
        } else if (word == "measure") {
            steps.push_back({[out](Workspace&) { Measure(out); }, std::nullopt});
        } else {
            // An option after the words is taken for a word: say where options go.
            std::fprintf(err, "workbench-batch: unknown word %s%s\nTry 'workbench-batch --help' for more.\n",
                         ShownWord(word).c_str(), word.starts_with('-') ? " (options go before the words)" : "");
            return 2;
        }
    }
    if (steps.empty()) {
        std::fputs("workbench-batch: no words to run, such as load FILE filter\nTry 'workbench-batch --help' for more.\n",
                   err);
        return 2;
    }
    if (simplify && !vectorizes) {
        std::fprintf(err, "workbench-batch: '--simplify' needs the word vectorize (or, with --out, --vector)\n"
                          "Try 'workbench-batch --help' for more.\n");
        return 2;
    }

    BatchPrompts prompts(err);
    Pane image1, image2;
    std::unique_ptr<TBitmap> bitmap1;
    Workspace ws{image1, image2, bitmap1, prompts, page, settings};
    // A save with nothing to save writes no file; the words after it still
    // run, as in the window, but a script must not take the run for a success.
    bool unsaved = false;
    for (Step& step : steps) {
        prompts.answer = step.file;
        prompts.saveAsked = false;
        try {
            step.command(ws);
        } catch (const Exception& error) {
            std::fprintf(err, "workbench-batch: %s\n", error.Message().c_str());
            return 1;
        } catch (const std::exception& error) {
            std::fprintf(err, "workbench-batch: %s\n", error.what());
            return 1;
        }
        if (step.save && !prompts.saveAsked) unsaved = true;
    }
    return unsaved ? 1 : 0;
}
