// The window: its layout, and its seven buttons clicked as a user would, with
// scripted dialogs and message boxes.
#include <QApplication>
#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTimer>

#include "app/application.h"
#include "app/form.h"
#include "ops/filter.h"
#include "tests/app_test_support.h"

namespace {

class FormTest : public ::testing::Test {
protected:
    void SetUp() override {
        Application = &application;
        application.SetPrompts(&prompts);
        application.SetErrorBox([this](const QString& message) { errors << message; });
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
    QImage LeftPicture() const { return form->Image1->Picture.Bitmap().Image(); }
    QImage RightPicture() const { return form->Image2->Picture.Bitmap().Image(); }

    ScratchDir dir;
    ScriptedPrompts prompts;
    QStringList errors;
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
    earlier.SetImage(RandomPicture(6, 5, 11));
    earlier.SaveToFile("A.bmp");
    form->Button5->click();
    form->Button6->click();
    EXPECT_EQ(prompts.messages, QStringList({"請載入圖檔!!", "請載入圖檔!!"}));
    EXPECT_TRUE(errors.isEmpty()) << errors.join("\n").toStdString();
    TBitmap thinned;
    thinned.LoadFromFile("C.bmp");
    EXPECT_EQ(thinned.Width(), 6);
    EXPECT_TRUE(SamePixels(RightPicture(), thinned.Image()));
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
    EXPECT_TRUE(SamePixels(stage.Image(), expected));
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
    EXPECT_TRUE(SamePixels(RightPicture(), labeled.Image()));

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
