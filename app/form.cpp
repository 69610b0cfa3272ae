#include "app/form.h"

#include <QEvent>
#include <QFont>
#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPlainTextEdit>
#include <QPushButton>

#include "app/application.h"
#include "app/qt_bridge.h"

TForm1* Form1 = nullptr;

namespace {

// The window's layout: place on the screen, outer size (frame included),
// client size for the frame the layout was drawn with (4 pixels at the
// sides and bottom, 23 at the top) and the two fonts.
constexpr QPoint kWindowPosition(43, 121);
constexpr QSize kOuterSize(964, 586);
constexpr QSize kClientSize(956, 559);
const QString kFontFamily = QStringLiteral("MS Sans Serif");
constexpr int kWindowFontPixels = 11;
constexpr int kLargeFontPixels = 13;

QFont LayoutFont(int pixels) {
    // Where "MS Sans Serif" is missing, a plain sans-serif face stands in;
    // Chinese captions fall back to a CJK face.
    static const bool substituted = [] {
        QFont::insertSubstitutions(kFontFamily, {QStringLiteral("DejaVu Sans"), QStringLiteral("Liberation Sans"),
                                                 QStringLiteral("Noto Sans CJK TC"), QStringLiteral("Sans Serif")});
        return true;
    }();
    (void)substituted;
    QFont font(kFontFamily);
    font.setPixelSize(pixels);
    font.setStyleHint(QFont::SansSerif);
    return font;
}

QPushButton* MakeButton(QWidget* parent, const QString& objectName, const QRect& place, const QString& caption) {
    auto* button = new QPushButton(caption, parent);
    button->setObjectName(objectName);
    button->setGeometry(place);
    button->setFont(LayoutFont(kLargeFontPixels));
    return button;
}

QLabel* MakeCaption(QWidget* parent, const QString& objectName, const QRect& place, const QString& caption) {
    auto* label = new QLabel(caption, parent);
    label->setObjectName(objectName);
    label->setGeometry(place);
    label->setFont(LayoutFont(kLargeFontPixels));
    label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, Qt::blue);
    label->setPalette(palette);
    return label;
}

// Keeps a window's outer size, frame included, at the layout's size under
// whatever frame the window manager draws. The frame is known only once the
// window manager has framed the window, which it reports by moving or
// resizing it; each time the frame's thickness changes, the client area is
// sized afresh. With no frame at all the layout's client size stands.
class OuterSizeKeeper : public QObject {
public:
    OuterSizeKeeper(QWidget* window, QSize outer) : QObject(window), window_(window), outer_(outer) {
        window->installEventFilter(this);
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (watched == window_ && (event->type() == QEvent::Move || event->type() == QEvent::Resize ||
                                   event->type() == QEvent::Show || event->type() == QEvent::WindowActivate))
            Fit();
        return false;
    }

private:
    void Fit() {
        if (!window_->isVisible() || (window_->windowState() & (Qt::WindowMaximized | Qt::WindowFullScreen)))
            return;
        const QRect inner = window_->geometry(), outer = window_->frameGeometry();
        const QMargins frame(inner.left() - outer.left(), inner.top() - outer.top(), outer.right() - inner.right(),
                             outer.bottom() - inner.bottom());
        if (frame == fitted_) return;
        fitted_ = frame;
        if (frame.isNull()) return;
        const QRect controls = window_->childrenRect();
        const QSize need(controls.right() + 1, controls.bottom() + 1);
        const QSize client = ClientSizeFor(outer_, frame, need);
        if (window_->size() != client) window_->resize(client);
    }

    QWidget* window_;
    QSize outer_;
    QMargins fitted_;
};

}  // namespace

QSize ClientSizeFor(QSize outer, QMargins frame, QSize need) {
    const QSize inside(outer.width() - frame.left() - frame.right(), outer.height() - frame.top() - frame.bottom());
    return inside.expandedTo(need);
}

TImage::TImage(QWidget* parent) : QWidget(parent) {}

void TImage::paintEvent(QPaintEvent*) {
    if (Picture.Bitmap().Empty()) return;
    const QImage image = ImageOf(Picture.Bitmap());
    QPainter painter(this);
    if (!Stretch) {
        painter.drawImage(QPoint(0, 0), image);
        return;
    }
    if (shown_.isNull() || shownKey_ != Picture.Bitmap().Key() || shownSize_ != size()) {
        shown_ = QPixmap::fromImage(image.scaled(size(), Qt::IgnoreAspectRatio, Qt::SmoothTransformation));
        shownKey_ = Picture.Bitmap().Key();
        shownSize_ = size();
    }
    painter.drawPixmap(0, 0, shown_);
}

TForm1::TForm1() {
    setObjectName(QStringLiteral("Form1"));
    setWindowTitle(QStringLiteral("Form1"));
    setFont(LayoutFont(kWindowFontPixels));
    resize(kClientSize);
    move(kWindowPosition);

    // In the order the layout creates them; later widgets lie on top.
    Image1 = new TImage(this);
    Image1->setObjectName(QStringLiteral("Image1"));
    Image1->setGeometry(272, 24, 321, 241);
    Image2 = new TImage(this);
    Image2->setObjectName(QStringLiteral("Image2"));
    Image2->setGeometry(608, 24, 321, 241);
    Bevel1 = new QFrame(this);
    Bevel1->setObjectName(QStringLiteral("Bevel1"));
    Bevel1->setGeometry(256, 8, 689, 273);
    Bevel1->setFrameStyle(QFrame::Box | QFrame::Sunken);
    Bevel1->setAttribute(Qt::WA_TransparentForMouseEvents);
    Bevel1->lower();
    Label1 = MakeCaption(this, QStringLiteral("Label1"), {264, 280, 73, 25}, QStringLiteral("原始圖檔"));
    Label2 = MakeCaption(this, QStringLiteral("Label2"), {616, 280, 89, 25}, QStringLiteral("處理後圖檔"));
    Button1 = MakeButton(this, QStringLiteral("Button1"), {16, 16, 89, 25}, QStringLiteral("Load Image"));
    Button2 = MakeButton(this, QStringLiteral("Button2"), {16, 240, 89, 25}, QStringLiteral("Close"));
    Button3 = MakeButton(this, QStringLiteral("Button3"), {16, 56, 89, 25}, QStringLiteral("濾波"));
    Button4 = MakeButton(this, QStringLiteral("Button4"), {128, 16, 97, 25}, QStringLiteral("Save Image"));
    Button5 = MakeButton(this, QStringLiteral("Button5"), {16, 96, 89, 25}, QStringLiteral("二值化"));
    Button6 = MakeButton(this, QStringLiteral("Button6"), {16, 136, 89, 25}, QStringLiteral("細線化"));
    Edit1 = new QLineEdit(QStringLiteral("8"), this);
    Edit1->setObjectName(QStringLiteral("Edit1"));
    Edit1->setGeometry(112, 136, 33, 24);
    Edit1->setFont(LayoutFont(kLargeFontPixels));
    Button7 = MakeButton(this, QStringLiteral("Button7"), {16, 176, 89, 25}, QStringLiteral("標籤化"));
    Memo1 = new QPlainTextEdit(QStringLiteral("Memo1"), this);
    Memo1->setObjectName(QStringLiteral("Memo1"));
    Memo1->setGeometry(312, 336, 145, 121);
    // The memo wants no tabs: Tab and Shift+Tab move on, as from any control.
    Memo1->setTabChangesFocus(true);

    QWidget* tabOrder[] = {Button1, Button2, Button3, Button4, Button5, Button6, Edit1, Button7, Memo1};
    for (std::size_t i = 1; i < std::size(tabOrder); ++i) setTabOrder(tabOrder[i - 1], tabOrder[i]);
    Button1->setFocus();
    new OuterSizeKeeper(this, kOuterSize);

    connect(Button1, &QPushButton::clicked, this, [this] { Run([this] { Button1Click(Button1); }); });
    connect(Button2, &QPushButton::clicked, this, [this] { Run([this] { Button2Click(Button2); }); });
    connect(Button3, &QPushButton::clicked, this, [this] { Run([this] { Button3Click(Button3); }); });
    connect(Button4, &QPushButton::clicked, this, [this] { Run([this] { Button4Click(Button4); }); });
    connect(Button5, &QPushButton::clicked, this, [this] { Run([this] { Button5Click(Button5); }); });
    connect(Button6, &QPushButton::clicked, this, [this] { Run([this] { Button6Click(Button6); }); });
    connect(Button7, &QPushButton::clicked, this, [this] { Run([this] { Button7Click(Button7); }); });
}

TForm1::~TForm1() = default;

Workspace TForm1::workspace() { return Workspace{*Image1, *Image2, Bitmap1, Application->prompts()}; }

template <class Command>
void TForm1::Run(Command command) {
    Application->Dispatch(command);
    // Painted now rather than at the next turn of the loop, which might be
    // inside the next command's dialog.
    Image1->repaint();
    Image2->repaint();
}

void TForm1::Button1Click(QObject*) {
    Workspace ws = workspace();
    commands::LoadImage(ws);
}

void TForm1::Button2Click(QObject*) { close(); }

void TForm1::Button3Click(QObject*) {
    Workspace ws = workspace();
    commands::Filter(ws);
}

void TForm1::Button4Click(QObject*) {
    Workspace ws = workspace();
    commands::SaveImage(ws);
}

void TForm1::Button5Click(QObject*) {
    Workspace ws = workspace();
    commands::Binarize(ws);
}

void TForm1::Button6Click(QObject*) {
    Workspace ws = workspace();
    commands::Thinning(ws);
}

void TForm1::Button7Click(QObject*) {
    Workspace ws = workspace();
    commands::Labeling(ws);
}
