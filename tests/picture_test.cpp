// The picture layer: loading every kind of file into 24-bit rows, BMP round
// trips, and failures that name the file and the reason and lose nothing.
#include <QFileInfo>

#include <csignal>
#include <sys/resource.h>

#include "core/picture.h"
#include "tests/app_test_support.h"

namespace {

// The reference rendering of a corpus file, beside its folder.
QString ReferenceOf(const QString& path) {
    return QFileInfo(path).dir().filePath("../reference/" + QFileInfo(path).completeBaseName() + ".png");
}

// Good files load and show their reference rendering where one exists;
// the others load or are refused with the loader's own error, naming the file.
class PictureCorpusTest : public testing::TestWithParam<CorpusFile> {};

TEST_P(PictureCorpusTest, LoadsOrIsRefusedCleanly) {
    const CorpusFile& file = GetParam();
    TPicture picture;
    try {
        picture.LoadFromFile(FileNameOf(file.path));
    } catch (const Exception& error) {
        EXPECT_NE(file.folder, "good") << error.what();
        EXPECT_TRUE(TextOf(error.Message()).startsWith(QStringLiteral("Cannot read \"%1\": ").arg(file.path))) << error.what();
        return;
    }
    EXPECT_EQ(ImageOf(picture.Bitmap()).format(), QImage::Format_BGR888);
    const QImage reference(ReferenceOf(file.path));
    if (file.folder == "good" && !reference.isNull()) {
        EXPECT_TRUE(SamePixels(ImageOf(picture.Bitmap()), reference.convertToFormat(QImage::Format_RGB32)));
    }
}

INSTANTIATE_TEST_SUITE_P(Bmpsuite, PictureCorpusTest, testing::ValuesIn(AllCorpusFiles()), CorpusFileName);

// The table above is only as good as the corpus it finds.
TEST(PictureTest, TheCorpusIsThereWithItsReferences) {
    int good = 0, withReference = 0;
    for (const CorpusFile& file : AllCorpusFiles()) {
        if (file.folder != "good") continue;
        ++good;
        withReference += !QImage(ReferenceOf(file.path)).isNull();
    }
    EXPECT_GE(good, 27) << "corpus missing at " << WORKBENCH_BMPSUITE_DIR;
    EXPECT_GE(withReference, 10);
}

TEST(PictureTest, OtherPictureKindsLoadAsTwentyFourBitRows) {
    ScratchDir dir;
    const QImage picture = RandomPicture(13, 9, 5);
    for (const char* kind : {"png", "ppm", "jpg"}) {
        SCOPED_TRACE(kind);
        const QString name = QStringLiteral("picture.") + kind;
        ASSERT_TRUE(picture.save(name));
        TPicture loaded;
        loaded.LoadFromFile(FileNameOf(name));
        EXPECT_EQ(ImageOf(loaded.Bitmap()).format(), QImage::Format_BGR888);
        EXPECT_EQ(ImageOf(loaded.Bitmap()).size(), picture.size());
        if (QByteArray("png ppm").contains(kind)) {
            EXPECT_TRUE(SamePixels(ImageOf(loaded.Bitmap()), picture));
        }
    }
    // Qt writes no GIF: a one-pixel GIF by hand, palette entry 0 red, LZW
    // codes clear, 0, end.
    const char gif[] = "GIF89a\x01\x00\x01\x00\x80\x00\x00\xff\x00\x00\x00\x00\x00"
                       "\x2c\x00\x00\x00\x00\x01\x00\x01\x00\x00\x02\x02\x44\x01\x00\x3b";
    ASSERT_TRUE(WriteBytes("red.gif", QByteArray(gif, sizeof gif - 1)));
    TPicture loaded;
    loaded.LoadFromFile("red.gif");
    ASSERT_EQ(loaded.Bitmap().Width(), 1);
    EXPECT_EQ(QByteArray(reinterpret_cast<const char*>(ImageOf(loaded.Bitmap()).constScanLine(0)), 3),
              QByteArray("\x00\x00\xff", 3));  // blue, green, red
}

TEST(PictureTest, BmpRoundTripsKeepSizeAndPixels) {
    ScratchDir dir;
    struct Size {
        int width, height;
    };
    for (const Size size : {Size{0, 0}, Size{1, 1}, Size{47, 33}, Size{2, 5}, Size{641, 3}}) {
        SCOPED_TRACE(testing::Message() << size.width << " x " << size.height);
        TBitmap written;
        if (size.width > 0) written = BitmapOf(RandomPicture(size.width, size.height, size.width + size.height));
        written.SaveToFile("round.bmp");
        const qint64 rowBytes = (3 * size.width + 3) / 4 * 4;
        EXPECT_EQ(QFileInfo("round.bmp").size(), 54 + rowBytes * size.height);
        TBitmap read;
        read.LoadFromFile("round.bmp");
        EXPECT_EQ(read.Width(), size.width);
        EXPECT_EQ(read.Height(), size.height);
        if (size.width > 0) {
            EXPECT_TRUE(SamePixels(ImageOf(read), ImageOf(written)));
        }
        // Written again, the same bytes: nothing of the file is lost or invented.
        const QByteArray first = FileBytes("round.bmp");
        read.SaveToFile("again.bmp");
        EXPECT_EQ(FileBytes("again.bmp"), first);
    }
}

TEST(PictureTest, LoadFailuresNameTheFileAndTheReason) {
    ScratchDir dir;
    ASSERT_TRUE(QDir().mkdir("folder.bmp"));
    ASSERT_TRUE(WriteBytes("empty.bmp", {}));
    ASSERT_TRUE(WriteBytes("text.bmp", "this is not a picture\n"));
    ASSERT_TRUE(RandomPicture(3, 3, 1).save("real.png"));
    struct Case {
        QString file;
        bool bmpOnly;
        QString reason;
    };
    const Case cases[] = {
        {"missing.bmp", true, "no such file"},
        {"folder.bmp", false, "it is a folder"},
        {"empty.bmp", false, "the file is empty"},
        {"text.bmp", true, "not a BMP file"},
        {"text.bmp", false, "not a picture format this program reads"},
        {"real.png", true, "not a BMP file"},
        {"no/such/folder.bmp", false, "no such file"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file.toStdString());
        try {
            if (c.bmpOnly) {
                TBitmap bitmap;
                bitmap.LoadFromFile(FileNameOf(c.file));
            } else {
                TPicture picture;
                picture.LoadFromFile(FileNameOf(c.file));
            }
            ADD_FAILURE() << "loaded";
        } catch (const Exception& error) {
            EXPECT_EQ(TextOf(error.Message()), QStringLiteral("Cannot read \"%1\": %2").arg(c.file, c.reason));
        }
    }
}

TEST(PictureTest, AHugeDeclaredSizeIsRefusedWithTheLimit) {
    ScratchDir dir;
    // A 40-byte-header BMP that claims 100000 x 100000 24-bit pixels and holds none.
    const QByteArray header = test_bytes::BmpHeaders(100000, 100000, 24, 54);
    ASSERT_TRUE(WriteBytes("huge.bmp", header));
    TBitmap bitmap;
    try {
        bitmap.LoadFromFile("huge.bmp");
        ADD_FAILURE() << "loaded";
    } catch (const Exception& error) {
        EXPECT_TRUE(TextOf(error.Message()).contains("100000")) << error.what();
        EXPECT_TRUE(TextOf(error.Message()).contains(QString::number(kMaxPicturePixels))) << error.what();
    }
    EXPECT_TRUE(bitmap.Empty());
}

// Everything in the scratch folder but the named files, hidden ones included.
QStringList Leftovers(const QStringList& expected) {
    QStringList found = QDir().entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
    for (const QString& name : expected) found.removeAll(name);
    return found;
}

TEST(PictureTest, FailedWritesKeepTheEarlierFileAndLeaveNoTemporaryFile) {
    ScratchDir dir;
    TBitmap picture;
    picture = BitmapOf(RandomPicture(64, 64, 9));
    ASSERT_TRUE(QDir().mkdir("A.bmp"));
    ASSERT_TRUE(WriteBytes("locked.bmp", "earlier contents"));
    ASSERT_TRUE(QFile::setPermissions("locked.bmp", QFileDevice::ReadOwner | QFileDevice::ReadGroup));
    struct Case {
        QString file;
        QString reason;
    };
    const Case cases[] = {
        {"A.bmp", "it is a folder"},
        {"locked.bmp", "the file is read-only"},
        {"missing/out.bmp", "no such folder"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file.toStdString());
        try {
            picture.SaveToFile(FileNameOf(c.file));
            ADD_FAILURE() << "written";
        } catch (const Exception& error) {
            EXPECT_EQ(TextOf(error.Message()), QStringLiteral("Cannot write \"%1\": %2").arg(c.file, c.reason));
        }
    }
    // A folder where nothing may be created.
    try {
        picture.SaveToFile("/proc/workbench.bmp");
        ADD_FAILURE() << "written";
    } catch (const Exception& error) {
        EXPECT_TRUE(TextOf(error.Message()).startsWith(R"(Cannot write "/proc/workbench.bmp": )")) << error.what();
    }
    EXPECT_EQ(FileBytes("locked.bmp"), "earlier contents");
    EXPECT_TRUE(QFileInfo("A.bmp").isDir());
    EXPECT_EQ(Leftovers({"A.bmp", "locked.bmp"}), QStringList());
}

TEST(PictureTest, AFullDiskKeepsTheEarlierFileByteForByte) {
    ScratchDir dir;
    TBitmap small, large;
    small = BitmapOf(RandomPicture(8, 8, 1));
    large = BitmapOf(RandomPicture(300, 300, 2));
    small.SaveToFile("B.bmp");
    const QByteArray earlier = FileBytes("B.bmp");

    // A file-size limit makes the disk "full" after 64 KiB for this process.
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    const auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit limited = saved;
    limited.rlim_cur = 64 * 1024;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);
    QString message;
    try {
        large.SaveToFile("B.bmp");
    } catch (const Exception& error) {
        message = TextOf(error.Message());
    }
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, previousHandler);

    EXPECT_EQ(message, R"(Cannot write "B.bmp": the file would be larger than the file size limit allows)");
    EXPECT_EQ(FileBytes("B.bmp"), earlier);
    EXPECT_EQ(Leftovers({"B.bmp"}), QStringList());
}

TEST(PictureTest, CopiesAreIndependent) {
    TBitmap original;
    original = BitmapOf(RandomPicture(5, 4, 3));
    const QImage before = ImageOf(original).copy();
    TBitmap copy;
    copy.Assign(original);
    copy.ScanLine(2)[4] ^= 0xFF;
    copy.Rows().row(0)[0] ^= 0xFF;
    EXPECT_TRUE(SamePixels(ImageOf(original), before));
    EXPECT_FALSE(SamePixels(ImageOf(copy), before));
}

}  // namespace
