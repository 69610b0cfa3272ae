// Shared by the tests: a scratch folder that is the current directory for
// one test, and writers of the bytes of hand-made picture files.
#pragma once

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <filesystem>
#include <string>

// Makes a fresh folder in /tmp the current directory for the object's
// lifetime; the folder goes with it, whatever the bytes of the names in it.
class ScratchDir {
public:
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    const std::string& path() const { return path_; }

private:
    std::string path_;
    std::filesystem::path previous_;
};

// Byte writers for hand-made files: numbers appended in little-endian (BMP,
// ICO) or big-endian (PNG) order, or written over bytes already there.
namespace test_bytes {

void AppendLe16(QByteArray& out, std::uint16_t value);
void AppendLe32(QByteArray& out, std::uint32_t value);
void AppendBe32(QByteArray& out, std::uint32_t value);
void PutLe32(QByteArray& out, qsizetype at, std::uint32_t value);

// The 54 bytes of a BMP file's header and BITMAPINFOHEADER for a picture of
// width x height at the given bits per pixel, uncompressed, its pixels
// right after the headers; fileSize as the header should claim it.
QByteArray BmpHeaders(std::int32_t width, std::int32_t height, std::uint16_t bitsPerPixel, std::uint32_t fileSize);

// One PNG chunk: its length, its four-letter type, the data and the CRC.
QByteArray PngChunk(const char* type, const QByteArray& data);

}  // namespace test_bytes
