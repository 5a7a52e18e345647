// Every test program runs with a QApplication on the offscreen platform, so
// serial events and real windows work the same as in the program. Whatever a
// window records (journal, run reports) goes to a folder of the run's own,
// never to the user's: a test that looks at the records makes its own.
#include <QApplication>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cstdlib>

int main(int argc, char** argv)
{
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QTemporaryDir state;
    if (state.isValid())
        ::setenv("XDG_STATE_HOME", state.path().toLocal8Bit().constData(), 1);
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
