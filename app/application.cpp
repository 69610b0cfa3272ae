#include "app/application.h"

#include <QApplication>
#include <QFileDialog>
#include <QMessageBox>
#include <QWidget>

#include "app/qt_bridge.h"
#include "codec/formats.h"

TApplication* Application = nullptr;

namespace {

QWidget* DialogParent() { return Application ? Application->MainForm() : nullptr; }

// "*.bmp *.dib" for the extensions of the formats.
QString Patterns(const std::vector<codec::Format>& formats, bool firstOnly = false) {
    QStringList patterns;
    for (const codec::Format format : formats) {
        for (const std::string_view extension : codec::ExtensionsOf(format)) {
            patterns << QStringLiteral("*.") + QString::fromLatin1(extension.data(), static_cast<qsizetype>(extension.size()));
            if (firstOnly) break;
        }
    }
    return patterns.join(QLatin1Char(' '));
}

}  // namespace

// Every picture the program reads, then the stage files' format, which the
// chain's later steps read and Save Image writes.
QString OpenFilter() {
    return QStringLiteral("All pictures (%1);;Bitmaps (%2);;All files (*)")
        .arg(Patterns(codec::ReadFormats()), Patterns({codec::kStageFileFormat}));
}

QString SaveFilter() {
    return QStringLiteral("Bitmaps (%1);;All files (*)").arg(Patterns({codec::kStageFileFormat}, /*firstOnly=*/true));
}

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
    const QString name = QFileDialog::getOpenFileName(DialogParent(), QString(), QString(), OpenFilter());
    if (name.isEmpty()) return std::nullopt;
    return FileNameOf(name);
}

std::optional<FileName> DialogPrompts::ExecuteSavePicture() {
    const ArrowCursor arrow;
    const QString name = QFileDialog::getSaveFileName(DialogParent(), QString(), QString(), SaveFilter());
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
