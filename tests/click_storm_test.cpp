// A long seeded storm of clicks on the seven buttons, with dialogs that pick
// random corpus pictures (good, questionable and bad) or cancel, and stage
// files that sometimes vanish or are replaced by other pictures. After every click: the window is in one
// piece, the left pane changed only by Load Image, and after an operation
// that succeeded the right pane holds exactly the stage file it wrote.
#include <QPushButton>

#include "app/application.h"
#include "app/form.h"
#include "tests/app_test_support.h"

namespace {

TEST(ClickStormTest, TheWindowSurvivesThousandsOfRandomClicks) {
    constexpr int kClicks = 2400;
    const QStringList pictures = CorpusFiles("good") + CorpusFiles("questionable") + CorpusFiles("bad");
    ASSERT_GT(pictures.size(), 50);

    ScratchDir dir;
    ScriptedPrompts prompts;
    QStringList errors;
    TApplication application;
    Application = &application;
    application.SetPrompts(&prompts);
    application.SetErrorBox([&](const QString& message) { errors << message; });
    TForm1 form;

    std::mt19937 rng(20261208);
    auto chance = [&](int percent) { return static_cast<int>(rng() % 100) < percent; };
    QPushButton* const buttons[] = {form.Button1, form.Button3, form.Button4, form.Button5, form.Button6, form.Button7};
    const QString stageOf[] = {{}, "A.bmp", {}, "B.bmp", "C.bmp", "D.bmp"};
    int operationsChecked = 0, loads = 0, failures = 0;

    for (int click = 0; click < kClicks; ++click) {
        SCOPED_TRACE(click);
        const int which = static_cast<int>(rng() % std::size(buttons));
        // Now and then a stage file goes missing, or another picture (good,
        // damaged or hostile) takes its place.
        if (chance(3)) QFile::remove(stageOf[1 + 2 * (rng() % 2)]);
        if (chance(3)) {
            const QString stage = QStringList{"A.bmp", "B.bmp", "C.bmp"}[rng() % 3];
            QFile::remove(stage);
            QFile::copy(pictures[rng() % pictures.size()], stage);
        }
        if (which == 0) prompts.openAnswers.push_back(chance(15) ? std::nullopt : std::optional(pictures[rng() % pictures.size()]));
        if (which == 2) prompts.saveAnswers.push_back(chance(30) ? std::nullopt : std::optional<QString>("saved.bmp"));

        const QImage leftBefore = ImageOf(form.Image1->Picture.Bitmap()).copy();
        const std::uint64_t leftKey = form.Image1->Picture.Bitmap().Key();
        const qsizetype errorsBefore = errors.size();
        buttons[which]->click();
        const bool failed = errors.size() > errorsBefore;
        failures += failed;
        for (qsizetype e = errorsBefore; e < errors.size(); ++e)
            ASSERT_TRUE(errors[e].startsWith("Cannot read \"")) << errors[e].toStdString();

        if (which == 0) {
            ++loads;
            continue;
        }
        ASSERT_TRUE(SamePixels(ImageOf(form.Image1->Picture.Bitmap()), leftBefore));
        ASSERT_EQ(form.Image1->Picture.Bitmap().Key(), leftKey);
        if (!stageOf[which].isEmpty() && !failed) {
            TBitmap stage;
            stage.LoadFromFile(FileNameOf(stageOf[which]));
            ASSERT_EQ(stage.Width(), form.Image2->Picture.Bitmap().Width());
            ASSERT_EQ(stage.Height(), form.Image2->Picture.Bitmap().Height());
            if (!stage.Empty()) {
                ASSERT_TRUE(SamePixels(ImageOf(form.Image2->Picture.Bitmap()), ImageOf(stage)));
            }
            ++operationsChecked;
        }
        if (which == 2 && QFile::exists("saved.bmp") && !form.Image2->Picture.Bitmap().Empty()) {
            TBitmap saved;
            saved.LoadFromFile("saved.bmp");
            ASSERT_TRUE(SamePixels(ImageOf(saved), ImageOf(form.Image2->Picture.Bitmap())));
            QFile::remove("saved.bmp");
        }
    }
    // The storm covered the ground: many loads, many checked operations, and
    // failing commands that left the window running.
    EXPECT_GT(loads, kClicks / 10);
    EXPECT_GT(operationsChecked, kClicks / 4);
    EXPECT_GT(failures, 10);
    EXPECT_TRUE(prompts.openAnswers.empty());

    form.show();
    form.Button2->click();
    EXPECT_FALSE(form.isVisible());
    Application = nullptr;
}

}  // namespace
