#include <QCoreApplication>

#include "app/files.h"
#include "app/picture.h"
#include "batch/batch.h"

int main(int argc, char* argv[]) {
    files::InstallSignalCleanup();
    KeepQtQuiet();
    int qtArgc = 1;
    QCoreApplication qt(qtArgc, argv);  // for Qt's picture format plug-ins
    return RunBatch(std::vector<std::string>(argv + 1, argv + argc), stderr);
}
