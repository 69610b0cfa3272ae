// The test suite's own manners: every case of a table has a name a person
// can read and find again in the next run, and Qt finds the environment it
// expects, so that the run prints nothing but the tests' results.
#include <QFileInfo>
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
// standard error each time it looks for its runtime folder.
TEST(QtEnvironment, TheRuntimeFolderIsPrivateAndQtSaysNothing) {
    static QStringList warnings;
    warnings.clear();
    const QtMessageHandler previous = qInstallMessageHandler(
        [](QtMsgType, const QMessageLogContext&, const QString& message) { warnings << message; });
    const QString folder = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    qInstallMessageHandler(previous);
    EXPECT_EQ(warnings, QStringList());
    ASSERT_FALSE(folder.isEmpty());
    EXPECT_EQ(QFileInfo(folder).permissions() & ~(QFile::ReadUser | QFile::WriteUser | QFile::ExeUser),
              QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    EXPECT_EQ(QString::fromLocal8Bit(qgetenv("XDG_RUNTIME_DIR")), folder);
}

}  // namespace
