#include "app/display.h"

#include <cstdlib>
#include <sys/stat.h>
#include <vector>

namespace {

bool Set(const DisplayEnvironment& environment, const char* name) {
    const char* value = environment.variable(name);
    return value != nullptr && *value != '\0';
}

bool HasX11(const DisplayEnvironment& environment) { return Set(environment, "DISPLAY"); }

// A Wayland client connects to WAYLAND_SOCKET, to WAYLAND_DISPLAY, or else
// to the socket "wayland-0" in XDG_RUNTIME_DIR.
bool HasWayland(const DisplayEnvironment& environment) {
    if (Set(environment, "WAYLAND_SOCKET") || Set(environment, "WAYLAND_DISPLAY")) return true;
    if (!Set(environment, "XDG_RUNTIME_DIR")) return false;
    return environment.exists(std::string(environment.variable("XDG_RUNTIME_DIR")) + "/wayland-0");
}

// The platform names in QT_QPA_PLATFORM: a list separated by ';', tried in
// order, each name possibly followed by ':' and its options.
std::vector<std::string> PlatformNames(const std::string& setting) {
    std::vector<std::string> names;
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = setting.find(';', start);
        const std::string entry = setting.substr(start, end == std::string::npos ? std::string::npos : end - start);
        const std::string name = entry.substr(0, entry.find(':'));
        if (!name.empty()) names.push_back(name);
        if (end == std::string::npos) return names;
        start = end + 1;
    }
}

bool IsWayland(const std::string& name) { return name.rfind("wayland", 0) == 0; }

}  // namespace

DisplayEnvironment ProcessEnvironment() {
    return {[](const char* name) -> const char* { return std::getenv(name); },
            [](const std::string& path) {
                struct stat info {};
                return ::stat(path.c_str(), &info) == 0;
            }};
}

std::optional<std::string> MissingDisplay(const DisplayEnvironment& environment) {
    const char* setting = environment.variable("QT_QPA_PLATFORM");
    const std::vector<std::string> names = PlatformNames(setting ? setting : "");
    // what: the display missing; why: the variables not set, and the platform
    // asked for; command: how to run the window on a virtual screen.
    const auto line = [&](const std::string& what, const std::string& why, const std::string& command) {
        const std::string platform = names.empty() ? "" : std::string("; QT_QPA_PLATFORM is ") + setting;
        return "workbench: cannot open the window: no " + what + " (" + why + platform +
               "); run it from a desktop session, or on a virtual screen with: " + command;
    };
    bool wantsX11 = names.empty(), wantsWayland = names.empty();  // Qt's own choice: either
    for (const std::string& name : names) {
        if (name == "xcb") {
            wantsX11 = true;
        } else if (IsWayland(name)) {
            wantsWayland = true;
        } else {
            return std::nullopt;  // a platform that needs no display, or one unknown here
        }
    }
    if ((wantsX11 && HasX11(environment)) || (wantsWayland && HasWayland(environment))) return std::nullopt;
    if (wantsX11 && wantsWayland)
        return line("display", "DISPLAY and WAYLAND_DISPLAY are not set", "xvfb-run workbench");
    if (wantsX11) return line("X display", "DISPLAY is not set", "xvfb-run workbench");
    return line("Wayland display", "WAYLAND_DISPLAY is not set", "QT_QPA_PLATFORM=xcb xvfb-run workbench");
}
