// The window: its layout, and its seven buttons clicked as a user would, with
// scripted dialogs and message boxes.
#include <QApplication>
#include <QCursor>
#include <QFrame>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTimer>

#include "app/application.h"
#include "app/form.h"
#include "ops/filter.h"
#include "tests/app_test_support.h"

namespace {

// The cursor the user sees over the window: the override cursor's shape, or
// nothing when no override is up.
std::optional<Qt::CursorShape> ShownCursor() {
    const QCursor* cursor = QApplication::overrideCursor();
    if (cursor == nullptr) return std::nullopt;
    return cursor->shape();
}

// Scripted prompts that also note the cursor each prompt was opened under.
class CursorRecordingPrompts : public ScriptedPrompts {
public:
    std::vector<std::optional<Qt::CursorShape>> cursors;

    std::optional<FileName> ExecuteOpenPicture() override {
        cursors.push_back(ShownCursor());
        return ScriptedPrompts::ExecuteOpenPicture();
    }
    std::optional<FileName> ExecuteSavePicture() override {
        cursors.push_back(ShownCursor());
        return ScriptedPrompts::ExecuteSavePicture();
    }
    void ShowMessage(const std::string& text) override {
        cursors.push_back(ShownCursor());
        ScriptedPrompts::ShowMessage(text);
    }
};

// Sends a key press and its release to the widget that has the focus.
void PressKey(int key, Qt::KeyboardModifiers modifiers = Qt::NoModifier, const QString& text = {}) {
    QWidget* target = QApplication::focusWidget();
    ASSERT_NE(target, nullptr);
    QKeyEvent press(QEvent::KeyPress, key, modifiers, text);
    QApplication::sendEvent(target, &press);
    QKeyEvent release(QEvent::KeyRelease, key, modifiers, text);
    QApplication::sendEvent(target, &release);
}

class FormTest : public ::testing::Test {
protected:
    void SetUp() override {
        Application = &application;
        application.SetPrompts(&prompts);
        application.SetErrorBox([this](const QString& message) {
            errors << message;
            errorCursors.push_back(ShownCursor());
        });
        form = std::make_unique<TForm1>();
    }
    void TearDown() override {
        form.reset();
        Application = nullptr;
    }

    // Loads a picture file through the Load Image button.
    void LoadPicture(const QString& fileName) {
        prompts.openAnswers.push_back(fileName);
        form->Button1->click();
    }
    // Shows the window and waits until it is the active one, as after a
    // start; the focus is then on Load Image.
    void ShowActive() {
        form->show();
        form->activateWindow();
        for (int i = 0; i < 200 && !form->isActiveWindow(); ++i) QApplication::processEvents(QEventLoop::AllEvents, 10);
        ASSERT_TRUE(form->isActiveWindow());
        ASSERT_EQ(QApplication::focusWidget(), form->Button1);
    }
    QImage LeftPicture() const { return ImageOf(form->Image1->Picture.Bitmap()).copy(); }
    QImage RightPicture() const { return ImageOf(form->Image2->Picture.Bitmap()).copy(); }

    ScratchDir dir;
    CursorRecordingPrompts prompts;
    QStringList errors;
    std::vector<std::optional<Qt::CursorShape>> errorCursors;
    TApplication application;
    std::unique_ptr<TForm1> form;
};

TEST_F(FormTest, ControlsSitWhereTheLayoutPutsThem) {
    struct Control {
        QWidget* widget;
        QRect place;
        QString caption;
        int fontPixels;
    };
    const Control controls[] = {
        {form->Image1, {272, 24, 321, 241}, {}, 11},
        {form->Image2, {608, 24, 321, 241}, {}, 11},
        {form->Bevel1, {256, 8, 689, 273}, {}, 11},
        {form->Label1, {264, 280, 73, 25}, "原始圖檔", 13},
        {form->Label2, {616, 280, 89, 25}, "處理後圖檔", 13},
        {form->Button1, {16, 16, 89, 25}, "Load Image", 13},
        {form->Button2, {16, 240, 89, 25}, "Close", 13},
        {form->Button3, {16, 56, 89, 25}, "濾波", 13},
        {form->Button4, {128, 16, 97, 25}, "Save Image", 13},
        {form->Button5, {16, 96, 89, 25}, "二值化", 13},
        {form->Button6, {16, 136, 89, 25}, "細線化", 13},
        {form->Edit1, {112, 136, 33, 24}, "8", 13},
        {form->Button7, {16, 176, 89, 25}, "標籤化", 13},
        {form->Memo1, {312, 336, 145, 121}, "Memo1", 11},
    };
    for (const Control& c : controls) {
        SCOPED_TRACE(c.widget->objectName().toStdString());
        EXPECT_EQ(c.widget->geometry(), c.place);
        EXPECT_EQ(c.widget->font().pixelSize(), c.fontPixels);
        QString caption;
        if (auto* b = qobject_cast<QPushButton*>(c.widget)) caption = b->text();
        if (auto* l = qobject_cast<QLabel*>(c.widget)) caption = l->text();
        if (auto* e = qobject_cast<QLineEdit*>(c.widget)) caption = e->text();
        if (auto* m = qobject_cast<QPlainTextEdit*>(c.widget)) caption = m->toPlainText();
        EXPECT_EQ(caption, c.caption);
    }
    EXPECT_EQ(form->windowTitle(), "Form1");
    EXPECT_EQ(form->pos(), QPoint(43, 121));
    EXPECT_EQ(form->Label1->palette().color(QPalette::WindowText), QColor(Qt::blue));
    EXPECT_EQ(form->Label2->palette().color(QPalette::WindowText), QColor(Qt::blue));
    EXPECT_TRUE(form->Image1->Picture.Bitmap().Empty());
    EXPECT_TRUE(form->Image2->Picture.Bitmap().Empty());
    EXPECT_EQ(form->WorkingPicture(), nullptr);
}

TEST_F(FormTest, TabVisitsTheControlsInTheStoredOrder) {
    const QList<QWidget*> expected = {form->Button1, form->Button2, form->Button3, form->Button4, form->Button5,
                                      form->Button6, form->Edit1,   form->Button7, form->Memo1};
    QList<QWidget*> visited;
    QWidget* w = form->Button1;
    do {
        if (expected.contains(w) && !visited.contains(w)) visited << w;
        w = w->nextInFocusChain();
    } while (w != form->Button1 && visited.size() < expected.size());
    EXPECT_EQ(visited, expected);
}

TEST_F(FormTest, TabAndShiftTabGoRoundTheWholeCycle) {
    ShowActive();
    const QList<QWidget*> order = {form->Button1, form->Button2, form->Button3, form->Button4, form->Button5,
                                   form->Button6, form->Edit1,   form->Button7, form->Memo1};
    struct Way {
        const char* name;
        int key;
        Qt::KeyboardModifiers modifiers;
        int step;
    };
    for (const Way& way : {Way{"Tab", Qt::Key_Tab, Qt::NoModifier, 1}, Way{"Shift+Tab", Qt::Key_Backtab, Qt::ShiftModifier, -1}}) {
        SCOPED_TRACE(way.name);
        form->Button1->setFocus();
        QList<QWidget*> visited, expected;
        for (qsizetype i = 1; i <= order.size(); ++i) {
            PressKey(way.key, way.modifiers);
            visited << QApplication::focusWidget();
            expected << order[((way.step * i) % order.size() + order.size()) % order.size()];
        }
        EXPECT_EQ(visited, expected);
        EXPECT_EQ(visited.back(), form->Button1);
    }
    // Passing through typed nothing into the edit box or the memo.
    EXPECT_EQ(form->Edit1->text(), "8");
    EXPECT_EQ(form->Memo1->toPlainText(), "Memo1");
}

TEST_F(FormTest, TheSpaceBarPressesTheFocusedButton) {
    ShowActive();
    struct Press {
        int tabs;  // from Load Image
        QString message;
    };
    for (const Press& press : {Press{2, "請載入圖檔!!"}, Press{3, "沒有可以存檔的畫面喔!!"}}) {
        form->Button1->setFocus();
        for (int i = 0; i < press.tabs; ++i) PressKey(Qt::Key_Tab);
        SCOPED_TRACE(QApplication::focusWidget()->objectName().toStdString());
        prompts.messages.clear();
        PressKey(Qt::Key_Space, Qt::NoModifier, " ");
        EXPECT_EQ(prompts.messages, QStringList{press.message});
    }
    EXPECT_TRUE(QFile::exists("A.bmp"));  // the filter ran
}

TEST_F(FormTest, TheWaitCursorLastsForEachCommandOnEveryPath) {
    using Shapes = std::vector<std::optional<Qt::CursorShape>>;
    const Shapes busy = {Qt::WaitCursor}, none;
    struct Click {
        const char* what;
        QPushButton* TForm1::*button;
        Shapes atPrompts;   // the cursor under each dialog or message of the command
        Shapes atErrorBox;  // the cursor under the error box, once the command has failed
    };
    const Click clicks[] = {
        {"a cancelled load", &TForm1::Button1, busy, none},
        {"a filter with the left pane empty", &TForm1::Button3, busy, none},
        {"a save with the right pane empty", &TForm1::Button4, busy, none},
        {"a binarize without its input", &TForm1::Button5, busy, {std::nullopt}},
    };
    for (const Click& click : clicks) {
        SCOPED_TRACE(click.what);
        QFile::remove("A.bmp");
        prompts.cursors.clear();
        errorCursors.clear();
        prompts.openAnswers.push_back(std::nullopt);
        (form.get()->*click.button)->click();
        prompts.openAnswers.clear();
        EXPECT_EQ(prompts.cursors, click.atPrompts);
        EXPECT_EQ(errorCursors, click.atErrorBox);
        EXPECT_EQ(ShownCursor(), std::nullopt);
    }
    EXPECT_EQ(errors.size(), 1);
}

TEST_F(FormTest, RealMessageBoxesShowTheArrow) {
    application.SetPrompts(nullptr);
    application.SetErrorBox({});
    form->show();
    // Closes each message box once it is up, noting its text and the cursor over it.
    QStringList texts;
    std::vector<std::optional<Qt::CursorShape>> cursors;
    QTimer closer;
    QObject::connect(&closer, &QTimer::timeout, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (box == nullptr || !box->isVisible()) return;
        texts << box->text();
        cursors.push_back(ShownCursor());
        box->button(QMessageBox::Ok)->click();
    });
    closer.start(20);
    form->Button4->click();  // nothing to save: the program's own message, inside the command
    EXPECT_EQ(ShownCursor(), std::nullopt);
    form->Button5->click();  // the left pane empty, then no "A.bmp": the error box after the command
    EXPECT_EQ(ShownCursor(), std::nullopt);
    closer.stop();
    EXPECT_EQ(texts, QStringList({"沒有可以存檔的畫面喔!!", "請載入圖檔!!", R"(Cannot read "A.bmp": no such file)"}));
    EXPECT_EQ(cursors,
              (std::vector<std::optional<Qt::CursorShape>>{Qt::ArrowCursor, Qt::ArrowCursor, std::nullopt}));
}

TEST_F(FormTest, NoPaneRepaintsWhileACommandRuns) {
    // Counts the panes' paint events, and those that came while the wait
    // cursor was up, that is in the middle of a command.
    struct PaintCounter : QObject {
        int paints = 0, duringCommand = 0;
        bool eventFilter(QObject*, QEvent* event) override {
            if (event->type() == QEvent::Paint) {
                ++paints;
                if (QApplication::overrideCursor() != nullptr) ++duringCommand;
            }
            return false;
        }
    } counter;
    // A dialog that runs the event loop while it is open, as a real one does.
    struct LoopingPrompts : CursorRecordingPrompts {
        std::optional<FileName> ExecuteOpenPicture() override {
            for (int i = 0; i < 20; ++i) QApplication::processEvents(QEventLoop::AllEvents, 5);
            return CursorRecordingPrompts::ExecuteOpenPicture();
        }
        std::optional<FileName> ExecuteSavePicture() override {
            for (int i = 0; i < 20; ++i) QApplication::processEvents(QEventLoop::AllEvents, 5);
            return CursorRecordingPrompts::ExecuteSavePicture();
        }
        void ShowMessage(const std::string& text) override {
            for (int i = 0; i < 20; ++i) QApplication::processEvents(QEventLoop::AllEvents, 5);
            CursorRecordingPrompts::ShowMessage(text);
        }
    } looping;
    application.SetPrompts(&looping);
    form->show();
    for (int i = 0; i < 20; ++i) QApplication::processEvents(QEventLoop::AllEvents, 5);
    form->Image1->installEventFilter(&counter);
    form->Image2->installEventFilter(&counter);

    ASSERT_TRUE(RandomPicture(40, 30, 5).save("in.png"));
    looping.openAnswers.push_back(QString("in.png"));
    form->Button1->click();
    form->Button3->click();
    looping.saveAnswers.push_back(std::nullopt);
    form->Button4->click();  // opens the save dialog, which here loops and is cancelled
    for (int i = 0; i < 20; ++i) QApplication::processEvents(QEventLoop::AllEvents, 5);

    EXPECT_EQ(counter.duringCommand, 0);
    EXPECT_GE(counter.paints, 2);  // both panes repainted once the commands had ended
}

TEST_F(FormTest, TheClientAreaFillsTheOuterSizeInsideTheFrame) {
    const QSize outer(964, 586), controls(945, 457);
    struct Frame {
        QMargins margins;
        QSize client;
    };
    const Frame frames[] = {
        {{4, 23, 4, 4}, {956, 559}},     // the frame the layout was drawn with
        {{1, 20, 1, 5}, {962, 561}},     // openbox's default theme
        {{0, 0, 0, 0}, {964, 586}},      // a frame of no thickness
        {{30, 200, 30, 30}, {945, 457}}, // thicker than the room left: the controls still fit
        {{5, 120, 5, 5}, {954, 461}},
        {{5, 140, 5, 5}, {954, 457}},
    };
    for (const Frame& f : frames) EXPECT_EQ(ClientSizeFor(outer, f.margins, controls), f.client) << f.margins.top();
    EXPECT_EQ(form->childrenRect().bottomRight() + QPoint(1, 1), QPoint(controls.width(), controls.height()));
}

TEST_F(FormTest, FilterWithNothingLoadedShowsTheMessageAndWritesAnEmptyStageFile) {
    form->Button3->click();
    EXPECT_EQ(prompts.messages, QStringList{"請載入圖檔!!"});
    EXPECT_TRUE(errors.isEmpty()) << errors.join("\n").toStdString();
    EXPECT_TRUE(form->Image2->Picture.Bitmap().Empty());
    EXPECT_TRUE(form->Image2->Stretch);
    EXPECT_EQ(FileBytes("A.bmp").size(), 54);  // a valid BMP file of 0 x 0 pixels
    // Reading it back gives an empty picture, which Binarize passes through.
    form->Button5->click();
    EXPECT_TRUE(errors.isEmpty()) << errors.join("\n").toStdString();
    EXPECT_EQ(FileBytes("B.bmp").size(), 54);
}

TEST_F(FormTest, TheLeftPaneCheckNeverStopsAnOperation) {
    TBitmap earlier;  // a stage file left by an earlier run
    earlier = BitmapOf(RandomPicture(6, 5, 11));
    earlier.SaveToFile("A.bmp");
    form->Button5->click();
    form->Button6->click();
    EXPECT_EQ(prompts.messages, QStringList({"請載入圖檔!!", "請載入圖檔!!"}));
    EXPECT_TRUE(errors.isEmpty()) << errors.join("\n").toStdString();
    TBitmap thinned;
    thinned.LoadFromFile("C.bmp");
    EXPECT_EQ(thinned.Width(), 6);
    EXPECT_TRUE(SamePixels(RightPicture(), ImageOf(thinned)));
}

TEST_F(FormTest, SaveWithAnEmptyRightPaneShowsTheMessageAndOpensNoDialog) {
    form->Button4->click();
    EXPECT_EQ(prompts.messages, QStringList{"沒有可以存檔的畫面喔!!"});
    EXPECT_EQ(prompts.saveCount, 0);
}

TEST_F(FormTest, CancelledDialogsChangeNothing) {
    ASSERT_TRUE(RandomPicture(9, 7, 1).save("in.png"));
    LoadPicture("in.png");
    form->Button3->click();
    const QByteArray stage = FileBytes("A.bmp");
    const QImage left = LeftPicture(), right = RightPicture();

    prompts.openAnswers.push_back(std::nullopt);
    form->Button1->click();
    prompts.saveAnswers.push_back(std::nullopt);
    form->Button4->click();

    EXPECT_TRUE(SamePixels(LeftPicture(), left));
    EXPECT_TRUE(SamePixels(RightPicture(), right));
    EXPECT_EQ(FileBytes("A.bmp"), stage);
    EXPECT_EQ(QDir().entryList(QDir::Files | QDir::Hidden).size(), 2);  // in.png, A.bmp
    EXPECT_TRUE(prompts.messages.isEmpty());
    // The cancelled load still gave the window a new, empty working picture.
    ASSERT_NE(form->WorkingPicture(), nullptr);
    EXPECT_TRUE(form->WorkingPicture()->Empty());
}

TEST_F(FormTest, FilterShowsTheFilteredCopyAndLeavesTheLeftPaneAlone) {
    const QImage input = RandomPicture(47, 33, 7);
    ASSERT_TRUE(input.save("in.bmp"));
    LoadPicture("in.bmp");
    ASSERT_TRUE(SamePixels(LeftPicture(), input));
    EXPECT_TRUE(form->Image1->Stretch);

    form->Button3->click();

    EXPECT_TRUE(SamePixels(LeftPicture(), input));
    QImage expected = input.convertToFormat(QImage::Format_BGR888);
    ops::FilterReference({expected.bits(), expected.width(), expected.height(), expected.bytesPerLine()});
    EXPECT_TRUE(SamePixels(RightPicture(), expected));
    TBitmap stage;
    stage.LoadFromFile("A.bmp");
    EXPECT_TRUE(SamePixels(ImageOf(stage), expected));
    EXPECT_TRUE(prompts.messages.isEmpty());
}

TEST_F(FormTest, SaveWritesTheBytesOfTheLastStageFile) {
    ASSERT_TRUE(RandomPicture(5, 3, 2).save("in.png"));
    LoadPicture("in.png");
    form->Button3->click();
    prompts.saveAnswers.push_back(QString("result.png"));  // a BMP file whatever the name says
    form->Button4->click();
    EXPECT_EQ(FileBytes("result.png"), FileBytes("A.bmp"));
    EXPECT_FALSE(FileBytes("A.bmp").isEmpty());
}

TEST_F(FormTest, AFailingCommandShowsOneErrorAndKeepsTheRightPane) {
    ASSERT_TRUE(RandomPicture(4, 4, 3).save("in.png"));
    LoadPicture("in.png");
    form->Button3->click();
    const QImage right = RightPicture();
    QFile::remove("A.bmp");

    form->Button5->click();  // Binarize without "A.bmp"

    EXPECT_EQ(errors, QStringList{R"(Cannot read "A.bmp": no such file)"});
    EXPECT_TRUE(prompts.messages.isEmpty());
    EXPECT_TRUE(SamePixels(RightPicture(), right));
    EXPECT_FALSE(QFile::exists("B.bmp"));
    EXPECT_TRUE(form->isEnabled());
}

TEST_F(FormTest, LoadingAnUnreadableFileKeepsTheLeftPane) {
    ASSERT_TRUE(RandomPicture(4, 4, 3).save("in.png"));
    LoadPicture("in.png");
    const QImage left = LeftPicture();
    ASSERT_TRUE(WriteBytes("notes.bmp", "just some text\n"));
    LoadPicture("notes.bmp");
    ASSERT_EQ(errors.size(), 1);
    EXPECT_TRUE(errors[0].startsWith(R"(Cannot read ")")) << errors[0].toStdString();
    EXPECT_TRUE(errors[0].contains("notes.bmp"));
    EXPECT_TRUE(SamePixels(LeftPicture(), left));
}

TEST_F(FormTest, TheWholeChainEndsInTheLabeledPictureAndSaveCopiesIt) {
    ASSERT_TRUE(StrokePicture(61, 45).save("strokes.png"));
    LoadPicture("strokes.png");
    for (QPushButton* button : {form->Button3, form->Button5, form->Button6, form->Button7}) button->click();
    EXPECT_TRUE(errors.isEmpty()) << errors.join("\n").toStdString();
    EXPECT_TRUE(prompts.messages.isEmpty());
    for (const char* stage : {"A.bmp", "B.bmp", "C.bmp", "D.bmp"}) EXPECT_TRUE(QFile::exists(stage)) << stage;

    // Labeling used up the working picture; the right pane shows "D.bmp".
    EXPECT_EQ(form->WorkingPicture(), nullptr);
    TBitmap labeled;
    labeled.LoadFromFile("D.bmp");
    EXPECT_TRUE(SamePixels(RightPicture(), ImageOf(labeled)));

    prompts.saveAnswers.push_back(QString("final.bmp"));
    form->Button4->click();
    EXPECT_EQ(FileBytes("final.bmp"), FileBytes("D.bmp"));

    // Labeling again with no working picture runs on a fresh one.
    form->Button7->click();
    EXPECT_TRUE(errors.isEmpty()) << errors.join("\n").toStdString();
    EXPECT_EQ(FileBytes("D.bmp"), FileBytes("final.bmp"));
}

TEST_F(FormTest, LabelingKeepsTheWorkingPictureWhenItsInputIsMissing) {
    ASSERT_TRUE(RandomPicture(4, 4, 3).save("in.png"));
    LoadPicture("in.png");
    form->Button7->click();
    EXPECT_EQ(errors, QStringList{R"(Cannot read "C.bmp": no such file)"});
    EXPECT_NE(form->WorkingPicture(), nullptr);
}

TEST_F(FormTest, TypingIntoTheEditAndMemoChangesNoResult) {
    ASSERT_TRUE(RandomPicture(12, 10, 4).save("in.png"));
    LoadPicture("in.png");
    form->Button3->click();
    form->Button5->click();
    form->Button6->click();
    const QByteArray thinned = FileBytes("C.bmp");
    form->Edit1->setText("1");
    form->Memo1->setPlainText("anything");
    form->Button6->click();
    EXPECT_EQ(FileBytes("C.bmp"), thinned);
}

TEST_F(FormTest, CloseEndsTheMessageLoop) {
    form->show();
    QTimer::singleShot(0, form->Button2, [this] { form->Button2->click(); });
    // A second timer ends the loop anyway, so a broken Close fails instead of hanging.
    bool timedOut = false;
    QTimer guard;
    guard.setSingleShot(true);
    QObject::connect(&guard, &QTimer::timeout, [&] {
        timedOut = true;
        QApplication::quit();
    });
    guard.start(5000);
    QApplication::exec();
    EXPECT_FALSE(timedOut);
    EXPECT_FALSE(form->isVisible());
}

}  // namespace

namespace {

// The dialogs list the formats of the table, in the order the program has
// always named them, then the stage files' format.
TEST(DialogFilterTest, ListsEveryFormatReadThenTheStageFilesFormat) {
    EXPECT_EQ(OpenFilter().toStdString(),
              "All pictures (*.bmp *.dib *.png *.jpg *.jpeg *.jpe *.jfif *.tif *.tiff *.gif *.ppm *.pgm *.pbm *.pnm "
              "*.ico *.cur);;Bitmaps (*.bmp *.dib);;All files (*)");
    EXPECT_EQ(SaveFilter().toStdString(), "Bitmaps (*.bmp);;All files (*)");
}

}  // namespace
