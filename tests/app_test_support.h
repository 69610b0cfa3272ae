// Shared by the window, command and batch tests: scripted prompts, the BMP
// corpus, and picture helpers; with the scratch folder and byte writers.
#pragma once

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QString>
#include <gtest/gtest.h>

#include <cctype>
#include <cstdint>
#include <cstring>
#include <deque>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "app/qt_bridge.h"
#include "core/commands.h"
#include "tests/test_support.h"

// Answers dialogs from queues and records every message shown.
class ScriptedPrompts : public Prompts {
public:
    std::deque<std::optional<QString>> openAnswers, saveAnswers;
    QStringList messages;
    int openCount = 0, saveCount = 0;

    std::optional<FileName> ExecuteOpenPicture() override {
        ++openCount;
        return Next(openAnswers);
    }
    std::optional<FileName> ExecuteSavePicture() override {
        ++saveCount;
        return Next(saveAnswers);
    }
    void ShowMessage(const std::string& text) override { messages << TextOf(text); }

private:
    static std::optional<FileName> Next(std::deque<std::optional<QString>>& answers) {
        if (answers.empty()) {
            ADD_FAILURE() << "a dialog opened that the test did not expect";
            return std::nullopt;
        }
        std::optional<QString> answer;
        answer.swap(answers.front());
        answers.pop_front();
        if (!answer) return std::nullopt;
        return FileNameOf(*answer);
    }
};

// The BMP files of one folder of the corpus ("good", "questionable", "bad"),
// with their paths.
inline QStringList CorpusFiles(const QString& folder) {
    const QString dir = QStringLiteral(WORKBENCH_BMPSUITE_DIR "/") + folder;
    QStringList files;
    for (const QString& name : QDir(dir).entryList({"*.bmp"}, QDir::Files)) files << dir + "/" + name;
    return files;
}

// One file of the corpus, as a case of a table: its folder and its path.
struct CorpusFile {
    QString folder, path;
};

inline std::vector<CorpusFile> AllCorpusFiles() {
    std::vector<CorpusFile> all;
    for (const char* folder : {"good", "questionable", "bad"})
        for (const QString& path : CorpusFiles(QString::fromLatin1(folder))) all.push_back({folder, path});
    return all;
}

// A case's name: the folder and the file's name without ".bmp", every byte
// that gtest does not allow in a name made '_' ("good_pal8os2v2_16").
inline std::string CorpusFileName(const testing::TestParamInfo<CorpusFile>& info) {
    std::string name = (info.param.folder + "_" + QFileInfo(info.param.path).completeBaseName()).toStdString();
    for (char& c : name)
        if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
    return name;
}

inline QByteArray FileBytes(const QString& name) {
    QFile file(name);
    if (!file.open(QIODevice::ReadOnly)) return {};
    return file.readAll();
}

inline bool WriteBytes(const QString& name, const QByteArray& bytes) {
    QFile file(name);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

// A random 24-bit picture.
inline QImage RandomPicture(int width, int height, std::uint32_t seed) {
    QImage image(width, height, QImage::Format_BGR888);
    std::mt19937 rng(seed);
    for (int y = 0; y < height; ++y) {
        std::uint8_t* row = image.scanLine(y);
        for (int x = 0; x < 3 * width; ++x) row[x] = static_cast<std::uint8_t>(rng());
    }
    return image;
}

// Dark strokes on a light background: a picture the whole chain has work on.
inline QImage StrokePicture(int width, int height) {
    QImage image(width, height, QImage::Format_BGR888);
    image.fill(QColor(235, 235, 235));
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            if ((x / 6 + y / 9) % 5 == 0 || (x > width / 3 && x < width / 3 + 4)) image.setPixelColor(x, y, QColor(20, 30, 40));
    return image;
}

// True when the two pictures have the same size and the same 24-bit pixels.
inline bool SamePixels(const QImage& a, const QImage& b) {
    if (a.size() != b.size()) return false;
    const QImage x = a.convertToFormat(QImage::Format_BGR888), y = b.convertToFormat(QImage::Format_BGR888);
    for (int row = 0; row < x.height(); ++row)
        if (std::memcmp(x.constScanLine(row), y.constScanLine(row), 3 * static_cast<std::size_t>(x.width())) != 0) return false;
    return true;
}
