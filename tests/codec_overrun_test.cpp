// A byte source or a file's read that hands over more bytes than it was
// asked for breaks its contract: the decoder stops with std::logic_error in
// the wording of whichever read it was, at the first read as in the middle
// of the file, and asks for nothing more.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include <jpeglib.h>
#include <tiffio.h>

#include "codec/gif.h"
#include "codec/jpeg.h"
#include "codec/png.h"
#include "codec/pnm.h"
#include "codec/tiff.h"
#include "tests/codec_test_files.h"
#include "tests/codec_test_support.h"
#include "tests/tiff_test_files.h"

namespace {

using codec_test::Bytes;
using codec_test::kLimit;

constexpr const char* kSourceWording = "the byte source gave more bytes than asked for";
constexpr const char* kFileWording = "the file gave more bytes than asked for";

codec_test::Picture Patterned(int width, int height) {
    codec_test::Picture picture(width, height);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) picture.at(x, y) = codec_test::Colour(codec_test::Pattern(x, y, 4));
    return picture;
}

Bytes SmallPng() { return codec_test::EncodePng(Patterned(40, 30)); }

Bytes SmallGif() {
    return codec_test::GifWriter(40, 30, 4).Frame(0, 0, 40, 30, [](int x, int y) { return codec_test::Pattern(x, y, 4); }).Finish();
}

Bytes SmallPgm() {
    const std::string head = "P5\n40 30\n255\n";
    Bytes file(head.begin(), head.end());
    for (int i = 0; i < 40 * 30; ++i) file.push_back(static_cast<std::uint8_t>(i * 7));
    return file;
}

Bytes SmallJpeg() {
    jpeg_compress_struct cinfo{};
    jpeg_error_mgr errors{};
    cinfo.err = jpeg_std_error(&errors);
    jpeg_create_compress(&cinfo);
    unsigned char* out = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&cinfo, &out, &size);
    cinfo.image_width = 40;
    cinfo.image_height = 30;
    cinfo.input_components = 3;
    cinfo.in_color_space = JCS_RGB;
    jpeg_set_defaults(&cinfo);
    jpeg_start_compress(&cinfo, TRUE);
    std::vector<JSAMPLE> row(3 * 40);
    for (JDIMENSION y = 0; y < cinfo.image_height; ++y) {
        for (std::size_t i = 0; i < row.size(); ++i) row[i] = static_cast<JSAMPLE>((i * 5 + y * 11) & 0xFF);
        JSAMPROW rows[1] = {row.data()};
        jpeg_write_scanlines(&cinfo, rows, 1);
    }
    jpeg_finish_compress(&cinfo);
    Bytes file(out, out + size);
    jpeg_destroy_compress(&cinfo);
    std::free(out);
    return file;
}

Bytes SmallTiff() {
    tifftest::Page page;
    page.bits = 8;
    page.samples = 3;
    page.photometric = PHOTOMETRIC_RGB;
    page.compression = COMPRESSION_LZW;
    page.rowsPerStrip = 3;
    return tifftest::Write({page}).bytes;
}

Bytes store;  // rows for whatever a decoder gets to

ops::RowView Rows(int width, int height) {
    store.assign(3 * static_cast<std::size_t>(width) * static_cast<std::size_t>(height), 0);
    return ops::RowView{store.data(), width, height, 3 * width};
}

// What a decode threw: the wording of a std::logic_error, or a note of
// anything else.
std::string Thrown(const std::function<void()>& decode) {
    try {
        decode();
    } catch (const std::logic_error& error) {
        return error.what();
    } catch (const std::exception& error) {
        return std::string("other exception: ") + error.what();
    }
    return "nothing thrown";
}

struct StreamCase {
    const char* name;
    codec::DeclaredSize (*decode)(const codec::ByteSource&, const codec::AllocateRows&, std::uint64_t);
    Bytes (*make)();
};

class StreamOverrun : public testing::TestWithParam<StreamCase> {};

TEST_P(StreamOverrun, StopsWithTheSourcesWording) {
    const StreamCase& c = GetParam();
    const Bytes file = c.make();
    for (const std::size_t overrunAt : {std::size_t{0}, file.size() / 2}) {
        std::size_t at = 0;
        const codec::ByteSource pieces = codec_test::PiecesOf(file, at);
        int overruns = 0, askedAfter = 0;
        const codec::ByteSource source = [&](std::uint8_t* buffer, std::size_t size) {
            if (overruns > 0) ++askedAfter;
            if (at + size > overrunAt) {
                ++overruns;
                return size + 1;
            }
            return pieces(buffer, size);
        };
        EXPECT_EQ(Thrown([&] { c.decode(source, Rows, kLimit); }), kSourceWording) << "at " << overrunAt;
        EXPECT_EQ(overruns, 1) << "at " << overrunAt;
        EXPECT_EQ(askedAfter, 0) << "at " << overrunAt;
    }
}

INSTANTIATE_TEST_SUITE_P(Codec, StreamOverrun,
                         testing::Values(StreamCase{"png", codec::DecodePng, SmallPng},
                                         StreamCase{"jpeg", codec::DecodeJpeg, SmallJpeg},
                                         StreamCase{"gif", codec::DecodeGif, SmallGif},
                                         StreamCase{"pnm", codec::DecodePnm, SmallPgm}),
                         [](const testing::TestParamInfo<StreamCase>& info) { return std::string(info.param.name); });

// The header and directories are read by the decoder itself, the strips by
// libtiff through its read procedure: both say the same.
TEST(TiffOverrun, StopsWithTheFilesWording) {
    const Bytes file = SmallTiff();
    for (const std::uint64_t overrunAt : {std::uint64_t{0}, std::uint64_t{8}, file.size() / 2, file.size() - 4}) {
        int overruns = 0, askedAfter = 0;
        const codec::RandomAccess access{
            file.size(), [&](std::uint64_t offset, std::uint8_t* buffer, std::size_t size) {
                if (overruns > 0) ++askedAfter;
                if (offset <= overrunAt && overrunAt < offset + size) {
                    ++overruns;
                    return size + 1;
                }
                const std::size_t n = std::min<std::size_t>(size, static_cast<std::size_t>(file.size() - offset));
                std::memcpy(buffer, file.data() + offset, n);
                return n;
            }};
        EXPECT_EQ(Thrown([&] { codec::DecodeTiff(access, Rows, kLimit); }), kFileWording) << "at " << overrunAt;
        EXPECT_EQ(overruns, 1) << "at " << overrunAt;
        EXPECT_EQ(askedAfter, 0) << "at " << overrunAt;
    }
}

}  // namespace
