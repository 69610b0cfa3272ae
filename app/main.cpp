// The workbench: one window, a picture on the left, the last result on the right.
#include <QApplication>

#include "app/application.h"
#include "app/form.h"

int main(int argc, char* argv[]) {
    // The program takes no arguments: Qt sees only the program's name.
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
        Application->ShowException(Exception(QString()));
    }
    return 0;
}
