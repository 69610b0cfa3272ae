#include "app/application.h"

#include <QApplication>
#include <QFileDialog>
#include <QMessageBox>
#include <QWidget>

#include "app/qt_bridge.h"

TApplication* Application = nullptr;

namespace {

QWidget* DialogParent() { return Application ? Application->MainForm() : nullptr; }

const QString kOpenFilter = QStringLiteral(
    "All pictures (*.bmp *.dib *.png *.jpg *.jpeg *.tif *.tiff *.gif *.ppm *.pgm *.pbm *.pnm *.ico *.cur);;"
    "Bitmaps (*.bmp *.dib);;All files (*)");
const QString kSaveFilter = QStringLiteral("Bitmaps (*.bmp);;All files (*)");

}  // namespace

BusyCursor::BusyCursor() { QApplication::setOverrideCursor(Qt::WaitCursor); }
BusyCursor::~BusyCursor() { QApplication::restoreOverrideCursor(); }

ArrowCursor::ArrowCursor() : pushed_(QApplication::overrideCursor() != nullptr) {
    if (pushed_) QApplication::setOverrideCursor(Qt::ArrowCursor);
}
ArrowCursor::~ArrowCursor() {
    if (pushed_) QApplication::restoreOverrideCursor();
}

std::optional<FileName> DialogPrompts::ExecuteOpenPicture() {
    const ArrowCursor arrow;
    const QString name = QFileDialog::getOpenFileName(DialogParent(), QString(), QString(), kOpenFilter);
    if (name.isEmpty()) return std::nullopt;
    return FileNameOf(name);
}

std::optional<FileName> DialogPrompts::ExecuteSavePicture() {
    const ArrowCursor arrow;
    const QString name = QFileDialog::getSaveFileName(DialogParent(), QString(), QString(), kSaveFilter);
    if (name.isEmpty()) return std::nullopt;
    return FileNameOf(name);
}

void DialogPrompts::ShowMessage(const std::string& text) {
    const ArrowCursor arrow;
    QMessageBox box(QMessageBox::NoIcon, QApplication::applicationName(), TextOf(text), QMessageBox::Ok,
                    DialogParent());
    box.exec();
}

TApplication::TApplication() = default;

TApplication::~TApplication() {
    // Windows go first, with their controls and working pictures.
    forms_.clear();
}

void TApplication::Initialize() {
    QApplication::setApplicationName(QStringLiteral("workbench"));
    QApplication::setQuitOnLastWindowClosed(true);
}

void TApplication::Run() {
    if (mainForm_ == nullptr) return;
    mainForm_->show();
    QApplication::exec();
}

void TApplication::ShowException(const Exception& error) {
    if (errorBox_) {
        errorBox_(TextOf(error.Message()));
        return;
    }
    const ArrowCursor arrow;
    QMessageBox box(QMessageBox::Critical, QApplication::applicationName(), TextOf(error.Message()), QMessageBox::Ok,
                    DialogParent());
    box.exec();
}
