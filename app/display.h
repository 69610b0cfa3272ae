// Whether the window has a display to open on, decided before Qt is started:
// without one, Qt's platform plug-in aborts the process with advice about
// reinstalling, which is wrong and reads as a crash.
#pragma once

#include <functional>
#include <optional>
#include <string>

// The environment as the check reads it: a variable's value, or null when
// it is not set; and whether a file exists (a Wayland socket).
struct DisplayEnvironment {
    std::function<const char*(const char*)> variable;
    std::function<bool(const std::string&)> exists;
};

// The process's own environment and file system.
DisplayEnvironment ProcessEnvironment();

// One line for standard error when the platform Qt would pick for the window
// (QT_QPA_PLATFORM, by default X11 or Wayland) has no display to connect to:
// what is missing and how to run the program instead. Nothing when there is
// a display, or when the platform is one that needs none (offscreen,
// minimal, a framebuffer, VNC) or one this check does not know; Qt then
// decides for itself.
std::optional<std::string> MissingDisplay(const DisplayEnvironment& environment);
