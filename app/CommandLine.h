#pragma once
// The program's command line: read before any window or port exists, so
// --help and --version work without a display.

#include <QString>
#include <QStringList>

struct TCommandLine {
    enum TAction { Run,
        Help,
        Version,
        Error };
    TAction Action = Run;
    // The port the window starts on: 0 for COM1 .. 3 for COM4.
    int PortIndex = 0;
    // What to print: the usage for Help (and after an error), the version
    // line, or the error.
    QString Text;
    // --line: only the line window, on the ledger Ledger (empty: the
    // default); no port is opened.
    bool Line = false;
    QString Ledger;
    // Qt's -platform NAME, when given: a platform chosen on the command line
    // (offscreen, vnc, ...) needs no display from the environment.
    QString Platform;
};

// Args as the program got them, the program's name first.
TCommandLine ParseCommandLine(const QStringList& Args);
