#include "app/CommandLine.h"
#include "app/FormDialogs.h"
#include "app/LineWindow.h"
#include "app/MainForm.h"

#include <QApplication>
#include <QIcon>

#include <cstdio>
#include <cstdlib>

int main(int argc, char* argv[])
{
    QStringList args;
    for (int i = 0; i < argc; ++i)
        args << QString::fromLocal8Bit(argv[i]);
    const TCommandLine command = ParseCommandLine(args);
    switch (command.Action) {
    case TCommandLine::Help:
    case TCommandLine::Version:
        if (std::fputs(command.Text.toLocal8Bit().constData(), stdout) < 0 || std::fflush(stdout) != 0) {
            std::perror("orvelle: standard output");
            return 1;
        }
        return 0;
    case TCommandLine::Error:
        std::fputs(command.Text.toLocal8Bit().constData(), stderr);
        return 2;
    case TCommandLine::Run:
        break;
    }

    // Without a display Qt would abort with a message about platform plugins;
    // say plainly what is missing instead. A platform named on the command
    // line is the user's choice, and Qt's to check.
    const bool hasDisplay = std::getenv("DISPLAY") || std::getenv("WAYLAND_DISPLAY")
        || std::getenv("QT_QPA_PLATFORM") || !command.Platform.isEmpty();
    if (!hasDisplay) {
        std::fprintf(stderr,
            "orvelle: no graphical display found (DISPLAY is not set).\n"
            "Run it on a desktop, or under a virtual display: xvfb-run -a orvelle\n");
        return 2;
    }

    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Orvelle"));
    QApplication::setApplicationDisplayName(QStringLiteral("Orvelle"));
    // The installed desktop entry and icon carry the application id: Wayland
    // matches the window to its menu entry by it, and X11 desktops get the
    // icon through the theme (none when run from the build folder).
    QGuiApplication::setDesktopFileName(QStringLiteral("org.orvelle.Orvelle"));
    QApplication::setWindowIcon(QIcon::fromTheme(QStringLiteral("org.orvelle.Orvelle")));

    // The line window alone watches a ledger: no reader, no port.
    if (command.Line) {
        TFormDialogs dialogs;
        TLineWindow line(command.Ledger);
        line.AddStations(dialogs, [] { return QString(); });
        line.show();
        return app.exec();
    }

    TMainForm form;
    form.SetStartPort(command.PortIndex);
    form.show();
    return app.exec();
}
