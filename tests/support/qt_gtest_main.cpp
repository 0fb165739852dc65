// GoogleTest entry point for tests that need a QApplication (widgets, timers, network). The
// windows get the same font stand-ins as in the program.

#include "font_substitutes.h"

#include <QApplication>

#include <gtest/gtest.h>

int main(int argc, char **argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    // Listing the tests (as the build's test discovery does) needs no display.
    if (::testing::GTEST_FLAG(list_tests))
        return RUN_ALL_TESTS();
    QApplication app(argc, argv);
    fonts::installFontSubstitutes();
    return RUN_ALL_TESTS();
}
