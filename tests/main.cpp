// Test entry: a QApplication on the offscreen platform, so that the window
// tests build real widgets without a display.
#include <QApplication>
#include <gtest/gtest.h>

#include <cstdlib>

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    setenv("QT_QPA_PLATFORM", "offscreen", /*overwrite=*/0);
    int qtArgc = 1;
    QApplication qt(qtArgc, argv);
    return RUN_ALL_TESTS();
}
