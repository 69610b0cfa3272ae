// The project's manners: every case of a table has a name a person can read
// and find again in the next run; Qt finds the environment it expects, so
// that the run prints nothing but the tests' results; the licence is the
// same wherever it is named; and the README starts by saying what the
// program is.
#include <QFileInfo>
#include <QRegularExpression>
#include <QStandardPaths>

#include <cctype>

#include "tests/app_test_support.h"

namespace {

// gtest numbers the cases of a table (".../0", ".../1") unless a name
// generator names them; ctest then shows them by their parameter's bytes.
TEST(TestNames, EveryTableCaseHasAReadableName) {
    const testing::UnitTest& unit = *testing::UnitTest::GetInstance();
    int parameterized = 0;
    for (int s = 0; s < unit.total_test_suite_count(); ++s) {
        const testing::TestSuite& suite = *unit.GetTestSuite(s);
        for (int t = 0; t < suite.total_test_count(); ++t) {
            const testing::TestInfo& test = *suite.GetTestInfo(t);
            if (test.value_param() == nullptr) continue;
            ++parameterized;
            const std::string name = test.name();
            const std::string last = name.substr(name.rfind('/') + 1);
            const bool numbered = std::all_of(last.begin(), last.end(), [](unsigned char c) { return std::isdigit(c); });
            EXPECT_FALSE(numbered) << suite.name() << "." << name << " has no name generator";
        }
    }
    EXPECT_GT(parameterized, 0);
}

// Without XDG_RUNTIME_DIR, or with one that others may enter, Qt warns on
// standard error each time it looks for its runtime folder; with one that
// it cannot use it falls back to a folder of its own.
TEST(QtEnvironment, TheRuntimeFolderIsPrivateAndQtSaysNothing) {
    static QStringList warnings;
    warnings.clear();
    const QtMessageHandler previous = qInstallMessageHandler(
        [](QtMsgType, const QMessageLogContext&, const QString& message) { warnings << message; });
    const QString folder = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    qInstallMessageHandler(previous);
    EXPECT_EQ(warnings.join('\n').toStdString(), "");
    ASSERT_FALSE(folder.isEmpty());
    EXPECT_EQ(QFileInfo(folder).permissions() & ~(QFile::ReadUser | QFile::WriteUser | QFile::ExeUser),
              QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    EXPECT_EQ(qgetenv("XDG_RUNTIME_DIR").toStdString(), folder.toStdString());
}

QString SourceFile(const char* name) {
    return QString::fromUtf8(FileBytes(QStringLiteral(WORKBENCH_SOURCE_DIR "/") + QString::fromLatin1(name)));
}

// LICENSE holds the MIT licence; the package's copyright file gives the same
// text in Debian's format, one space in front of each line and " ." for an
// empty one; the metainfo names it.
TEST(Licence, IsTheMitLicenceWhereverItIsNamed) {
    const QString licence = SourceFile("LICENSE");
    ASSERT_TRUE(licence.startsWith("MIT License\n\nCopyright (c) 2026 The Workbench project\n\n")) << licence.toStdString();
    const QString terms = licence.mid(licence.indexOf("Permission is hereby granted"));
    ASSERT_GT(terms.size(), 900);

    const QString copyright = SourceFile("data/copyright");
    EXPECT_TRUE(copyright.startsWith("Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n"));
    EXPECT_TRUE(copyright.contains("\nFiles: *\nCopyright: 2026 The Workbench project\nLicense: MIT\n"));
    const qsizetype body = copyright.indexOf("\nLicense: MIT\n ");
    ASSERT_GE(body, 0) << "no licence text";
    QString debian = copyright.mid(body + 15);
    debian.replace("\n .\n", "\n\n").replace("\n ", "\n");
    EXPECT_EQ(debian.toStdString(), terms.toStdString());

    EXPECT_TRUE(SourceFile("data/org.example.workbench.metainfo.xml.in").contains("<project_license>MIT</project_license>"));
}

// A reader who opens the README learns what the program is before being told
// what to run; the dated measurements live in docs/performance.md, and the
// README links to them.
TEST(Readme, SaysWhatTheProgramIsBeforeTheCommands) {
    const QString readme = SourceFile("README.md");
    ASSERT_TRUE(readme.startsWith("# Workbench\n\n"));
    const QString opening = readme.mid(13, readme.indexOf("```") - 13).simplified();
    const qsizetype sentences = opening.count(QRegularExpression(R"([.!?](\s|$))"));
    EXPECT_GE(sentences, 2) << opening.toStdString();
    EXPECT_LE(sentences, 3) << opening.toStdString();
    EXPECT_TRUE(readme.contains("(docs/performance.md)"));
    const QString performance = SourceFile("docs/performance.md");
    for (const char* table : {"| size | pictures | shell loop |", "| operation | ours (ms) | OpenCV (ms) |",
                              "| operation | before | after |"}) {
        EXPECT_FALSE(readme.contains(QLatin1String(table))) << table;
        EXPECT_TRUE(performance.contains(QLatin1String(table))) << table;
    }
}

}  // namespace
