// main() of every window test: one QApplication for the process (offscreen unless the test
// environment says otherwise), then GoogleTest.
#include <QApplication>
#include <gtest/gtest.h>

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
#ifdef QUILLON_TEST_FONT_DIR
    // The offscreen platform on Windows draws with the fonts of one folder, and a Wine prefix
    // has none of its own: the build machine's (Wine does not hand QT_* variables over).
    if (qEnvironmentVariableIsEmpty("QT_QPA_FONTDIR")) qputenv("QT_QPA_FONTDIR", QUILLON_TEST_FONT_DIR);
#endif
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
