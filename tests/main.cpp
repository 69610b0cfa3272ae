// Test entry: a QApplication on the offscreen platform, so that the window
// tests build real widgets without a display.
#include <QApplication>
#include <gtest/gtest.h>

#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>
#include <filesystem>
#include <string>

namespace {

// Qt keeps its runtime files in XDG_RUNTIME_DIR, a folder of the user's own
// with mode 0700, which a desktop session sets up. Where there is none (a
// build machine, a container), or not one Qt accepts, the tests and the
// programs they start get a private one of their own for the run.
class RuntimeFolder {
public:
    RuntimeFolder() {
        const char* set = std::getenv("XDG_RUNTIME_DIR");
        struct stat info {};
        if (set != nullptr && ::stat(set, &info) == 0 && S_ISDIR(info.st_mode) && info.st_uid == ::geteuid() &&
            (info.st_mode & 07777) == 0700)
            return;
        std::string name = "/tmp/workbench-tests-runtime-XXXXXX";
        if (::mkdtemp(name.data()) == nullptr) return;  // made with mode 0700
        made_ = name;
        ::setenv("XDG_RUNTIME_DIR", made_.c_str(), 1);
    }
    ~RuntimeFolder() {
        if (made_.empty()) return;
        std::error_code ignored;
        std::filesystem::remove_all(made_, ignored);
    }

private:
    std::string made_;
};

}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    setenv("QT_QPA_PLATFORM", "offscreen", /*overwrite=*/0);
    const RuntimeFolder runtime;
    int qtArgc = 1;
    QApplication qt(qtArgc, argv);
    return RUN_ALL_TESTS();
}
