// The window program started where there is no display: one line that says
// what is missing and how to run it, and exit status 1, before Qt starts.
#include <QProcess>
#include <QProcessEnvironment>

#include <algorithm>
#include <map>

#include "app/display.h"
#include "tests/app_test_support.h"

namespace {

struct DisplayCase {
    const char* name;
    std::map<std::string, std::string> variables;
    std::vector<std::string> sockets;  // files that exist
    // Nothing when the window may start; else the text the line holds
    // between "no " and the advice.
    std::optional<std::string> missing;
};

class MissingDisplayTest : public testing::TestWithParam<DisplayCase> {};

TEST_P(MissingDisplayTest, NamesWhatIsMissingOrLetsQtStart) {
    const DisplayCase& c = GetParam();
    const DisplayEnvironment environment{
        [&](const char* name) -> const char* {
            const auto found = c.variables.find(name);
            return found == c.variables.end() ? nullptr : found->second.c_str();
        },
        [&](const std::string& path) { return std::find(c.sockets.begin(), c.sockets.end(), path) != c.sockets.end(); }};
    const std::optional<std::string> line = MissingDisplay(environment);
    if (!c.missing) {
        EXPECT_EQ(line, std::nullopt);
        return;
    }
    ASSERT_TRUE(line.has_value());
    const std::string start = "workbench: cannot open the window: no " + *c.missing + "; run it from a desktop session, ";
    EXPECT_EQ(line->substr(0, start.size()), start) << *line;
    EXPECT_NE(line->find("xvfb-run workbench"), std::string::npos) << *line;
    EXPECT_EQ(line->find('\n'), std::string::npos) << *line;
}

const std::string kNeither = "display (DISPLAY and WAYLAND_DISPLAY are not set";

INSTANTIATE_TEST_SUITE_P(
    Platforms, MissingDisplayTest,
    testing::Values(
        DisplayCase{"nothing_set", {}, {}, kNeither + ")"},
        DisplayCase{"empty_values", {{"DISPLAY", ""}, {"WAYLAND_DISPLAY", ""}, {"QT_QPA_PLATFORM", ""}}, {}, kNeither + ")"},
        DisplayCase{"x11", {{"DISPLAY", ":0"}}, {}, std::nullopt},
        DisplayCase{"wayland", {{"WAYLAND_DISPLAY", "wayland-1"}}, {}, std::nullopt},
        DisplayCase{"wayland_socket_handed_over", {{"WAYLAND_SOCKET", "5"}}, {}, std::nullopt},
        DisplayCase{"wayland_default_socket", {{"XDG_RUNTIME_DIR", "/run/user/7"}}, {"/run/user/7/wayland-0"},
                    std::nullopt},
        DisplayCase{"runtime_folder_without_socket", {{"XDG_RUNTIME_DIR", "/run/user/7"}}, {}, kNeither + ")"},
        DisplayCase{"xcb_without_display", {{"QT_QPA_PLATFORM", "xcb"}, {"WAYLAND_DISPLAY", "wayland-0"}}, {},
                    "X display (DISPLAY is not set; QT_QPA_PLATFORM is xcb)"},
        DisplayCase{"xcb_with_display", {{"QT_QPA_PLATFORM", "xcb"}, {"DISPLAY", ":1"}}, {}, std::nullopt},
        DisplayCase{"xcb_with_options", {{"QT_QPA_PLATFORM", "xcb:nomitshm"}}, {},
                    "X display (DISPLAY is not set; QT_QPA_PLATFORM is xcb:nomitshm)"},
        DisplayCase{"wayland_without_display", {{"QT_QPA_PLATFORM", "wayland"}, {"DISPLAY", ":0"}}, {},
                    "Wayland display (WAYLAND_DISPLAY is not set; QT_QPA_PLATFORM is wayland)"},
        DisplayCase{"wayland_egl_with_display", {{"QT_QPA_PLATFORM", "wayland-egl"}, {"WAYLAND_DISPLAY", "w"}}, {},
                    std::nullopt},
        DisplayCase{"wayland_then_xcb_neither", {{"QT_QPA_PLATFORM", "wayland;xcb"}}, {},
                    kNeither + "; QT_QPA_PLATFORM is wayland;xcb)"},
        DisplayCase{"wayland_then_xcb_with_x11", {{"QT_QPA_PLATFORM", "wayland;xcb"}, {"DISPLAY", ":0"}}, {},
                    std::nullopt},
        DisplayCase{"offscreen", {{"QT_QPA_PLATFORM", "offscreen"}}, {}, std::nullopt},
        DisplayCase{"minimal", {{"QT_QPA_PLATFORM", "minimal"}}, {}, std::nullopt},
        DisplayCase{"framebuffer", {{"QT_QPA_PLATFORM", "linuxfb:fb=/dev/fb0"}}, {}, std::nullopt},
        DisplayCase{"vnc", {{"QT_QPA_PLATFORM", "vnc"}}, {}, std::nullopt},
        DisplayCase{"unknown_platform", {{"QT_QPA_PLATFORM", "bogus"}}, {}, std::nullopt},
        DisplayCase{"xcb_then_offscreen", {{"QT_QPA_PLATFORM", "xcb;offscreen"}}, {}, std::nullopt}),
    [](const testing::TestParamInfo<DisplayCase>& info) { return std::string(info.param.name); });

// The built program in an environment without a display, started as a user
// would start it.
struct WindowRun {
    bool finished = false;
    int exitCode = -1;  // -1 when a signal ended it
    QString errors;
};

WindowRun StartWindow(const std::optional<QString>& platform, const QStringList& arguments = {}, int waitMs = 20000) {
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "WAYLAND_SOCKET", "QT_QPA_PLATFORM"})
        environment.remove(QString::fromLatin1(name));
    if (platform) environment.insert(QStringLiteral("QT_QPA_PLATFORM"), *platform);
    QProcess process;
    process.setProcessEnvironment(environment);
    process.start(QStringLiteral(WORKBENCH_WINDOW_PATH), arguments);
    EXPECT_TRUE(process.waitForStarted());
    WindowRun run;
    run.finished = process.waitForFinished(waitMs);
    if (!run.finished) {
        process.kill();
        process.waitForFinished();
    }
    run.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    run.errors = QString::fromUtf8(process.readAllStandardError());
    return run;
}

struct StartCase {
    const char* name;
    std::optional<QString> platform;
    QStringList arguments;
};

class NoDisplayStartTest : public testing::TestWithParam<StartCase> {};

TEST_P(NoDisplayStartTest, PrintsOneLineAndExitsWithOne) {
    ScratchDir dir;
    const WindowRun run = StartWindow(GetParam().platform, GetParam().arguments);
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(run.exitCode, 1) << run.errors.toStdString();
    EXPECT_EQ(run.errors.count('\n'), 1) << run.errors.toStdString();
    EXPECT_TRUE(run.errors.startsWith("workbench: cannot open the window: no ")) << run.errors.toStdString();
    EXPECT_TRUE(run.errors.contains("from a desktop session")) << run.errors.toStdString();
    EXPECT_TRUE(run.errors.contains("xvfb-run workbench")) << run.errors.toStdString();
    EXPECT_FALSE(run.errors.contains("Reinstalling")) << run.errors.toStdString();
    EXPECT_TRUE(QDir(".").entryList(QDir::AllEntries | QDir::NoDotAndDotDot).isEmpty()) << "the window wrote files";
}

INSTANTIATE_TEST_SUITE_P(
    Platforms, NoDisplayStartTest,
    testing::Values(StartCase{"qt_chooses", std::nullopt, {}}, StartCase{"empty_setting", QString(), {}},
                    StartCase{"xcb", QStringLiteral("xcb"), {}}, StartCase{"wayland", QStringLiteral("wayland"), {}},
                    StartCase{"wayland_then_xcb", QStringLiteral("wayland;xcb"), {}},
                    // The program reads no arguments: these change nothing.
                    StartCase{"with_arguments", std::nullopt, {"--help", "-platform", "offscreen"}}),
    [](const testing::TestParamInfo<StartCase>& info) { return std::string(info.param.name); });

// A platform that needs no display is Qt's to start: the window opens on the
// offscreen platform and runs until it is ended.
TEST(NoDisplayStart, OffscreenNeedsNoDisplay) {
    ScratchDir dir;
    const WindowRun run = StartWindow(QStringLiteral("offscreen"), {}, 3000);
    EXPECT_FALSE(run.finished) << "ended with " << run.exitCode << ": " << run.errors.toStdString();
    EXPECT_FALSE(run.errors.contains("cannot open the window")) << run.errors.toStdString();
}

// A platform unknown here is left to Qt, which refuses it in its own words.
TEST(NoDisplayStart, AnUnknownPlatformIsLeftToQt) {
    ScratchDir dir;
    const WindowRun run = StartWindow(QStringLiteral("no-such-platform"));
    ASSERT_TRUE(run.finished);
    EXPECT_NE(run.exitCode, 0);
    EXPECT_FALSE(run.errors.contains("cannot open the window")) << run.errors.toStdString();
}

}  // namespace
