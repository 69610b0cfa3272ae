#include "tests/test_support.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdlib>

ScratchDir::ScratchDir() {
    std::string name = "/tmp/workbench-test-XXXXXX";
    if (::mkdtemp(name.data()) == nullptr) {
        ADD_FAILURE() << "cannot make a scratch folder in /tmp";
        return;
    }
    path_ = name;
    previous_ = std::filesystem::current_path();
    std::filesystem::current_path(path_);
}

ScratchDir::~ScratchDir() {
    if (path_.empty()) return;
    std::error_code ignored;
    std::filesystem::current_path(previous_, ignored);
    // A test may leave files it made read-only or folders it closed.
    for (const auto& entry : std::filesystem::recursive_directory_iterator(path_, ignored))
        if (entry.is_directory(ignored))
            std::filesystem::permissions(entry.path(), std::filesystem::perms::owner_all,
                                         std::filesystem::perm_options::add, ignored);
    std::filesystem::remove_all(path_, ignored);
}

namespace test_bytes {

void AppendLe16(QByteArray& out, std::uint16_t value) {
    out.append(static_cast<char>(value & 0xff));
    out.append(static_cast<char>(value >> 8));
}

void AppendLe32(QByteArray& out, std::uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8) out.append(static_cast<char>((value >> shift) & 0xff));
}

void AppendBe32(QByteArray& out, std::uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8) out.append(static_cast<char>((value >> shift) & 0xff));
}

void PutLe32(QByteArray& out, qsizetype at, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) out[at + i] = static_cast<char>((value >> (8 * i)) & 0xff);
}

QByteArray BmpHeaders(std::int32_t width, std::int32_t height, std::uint16_t bitsPerPixel, std::uint32_t fileSize) {
    QByteArray out("BM", 2);
    AppendLe32(out, fileSize);
    AppendLe32(out, 0);   // reserved
    AppendLe32(out, 54);  // where the pixels start
    AppendLe32(out, 40);  // BITMAPINFOHEADER
    AppendLe32(out, static_cast<std::uint32_t>(width));
    AppendLe32(out, static_cast<std::uint32_t>(height));
    AppendLe16(out, 1);  // planes
    AppendLe16(out, bitsPerPixel);
    for (int field = 0; field < 6; ++field) AppendLe32(out, 0);  // BI_RGB, sizes, resolution, palette
    return out;
}

QByteArray PngChunk(const char* type, const QByteArray& data) {
    QByteArray out;
    AppendBe32(out, static_cast<std::uint32_t>(data.size()));
    const QByteArray body = QByteArray(type, 4) + data;
    out += body;
    AppendBe32(out, static_cast<std::uint32_t>(
                        ::crc32(0, reinterpret_cast<const Bytef*>(body.constData()), static_cast<uInt>(body.size()))));
    return out;
}

}  // namespace test_bytes
