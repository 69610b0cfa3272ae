// The workbench: one window, a picture on the left, the last result on the right.
#include <QApplication>

#include <cstdio>

#include "app/application.h"
#include "app/display.h"
#include "app/form.h"
#include "app/qt_bridge.h"

int main(int /*argc*/, char* argv[]) {
    // The program takes no arguments: Qt sees only the program's name.
    if (const std::optional<std::string> missing = MissingDisplay(ProcessEnvironment())) {
        std::fprintf(stderr, "%s\n", missing->c_str());
        return 1;
    }
    files::InstallSignalCleanup();
    KeepQtQuiet();
    int qtArgc = 1;
    QApplication qt(qtArgc, argv);
    TApplication application;
    Application = &application;
    try {
        Application->Initialize();
        Application->CreateForm(Form1);
        Application->Run();
    } catch (const Exception& error) {
        Application->ShowException(error);
    } catch (...) {
        Application->ShowException(Exception(std::string()));
    }
    return 0;
}
