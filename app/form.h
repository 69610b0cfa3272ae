// The main window: seven command buttons, the two picture panes with their
// captions and frame, an edit box and a memo, laid out at fixed places.
#pragma once

#include <QMargins>
#include <QPixmap>
#include <QWidget>
#include <memory>

#include "core/commands.h"

class QFrame;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;

// A picture pane. Until stretching is switched on it shows its picture at
// its own size from the top-left corner; then scaled to fill the pane.
class TImage : public QWidget, public Pane {
    Q_OBJECT
public:
    explicit TImage(QWidget* parent);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QPixmap shown_;        // the picture as last drawn, scaled to the pane
    std::uint64_t shownKey_ = 0;  // which picture shown_ was made from
    QSize shownSize_;
};

// The picture dialogs have no settings of their own: each stands for the
// dialog the commands open through the application's prompts.
struct TOpenPictureDialog {};
struct TSavePictureDialog {};

// The client size that gives a window the outer size `outer` inside the
// frame `frame` that the window manager draws, but never less than `need`.
QSize ClientSizeFor(QSize outer, QMargins frame, QSize need);

class TForm1 : public QWidget {
    Q_OBJECT
public:
    TForm1();
    ~TForm1() override;

    QPushButton* Button1;
    QPushButton* Button2;
    TImage* Image1;
    QPushButton* Button3;
    QPushButton* Button4;
    TOpenPictureDialog OpenPictureDialog1;
    TSavePictureDialog SavePictureDialog1;
    QPushButton* Button5;
    QPushButton* Button6;
    TImage* Image2;
    QFrame* Bevel1;
    QLineEdit* Edit1;
    QLabel* Label1;
    QLabel* Label2;
    QPushButton* Button7;
    QPlainTextEdit* Memo1;

    void Button1Click(QObject* Sender);  // Load Image
    void Button2Click(QObject* Sender);  // Close
    void Button3Click(QObject* Sender);  // Filter
    void Button4Click(QObject* Sender);  // Save Image
    void Button5Click(QObject* Sender);  // Binarize
    void Button6Click(QObject* Sender);  // Thinning
    void Button7Click(QObject* Sender);  // Labeling

    // The window's working picture, or null when it holds none.
    const TBitmap* WorkingPicture() const { return Bitmap1.get(); }

private:
    Workspace workspace();
    // Runs a command; the panes repaint once it has ended, whatever happened.
    template <class Command>
    void Run(Command command);

    std::unique_ptr<TBitmap> Bitmap1;
};

// The main window, once the application has built it.
extern TForm1* Form1;
