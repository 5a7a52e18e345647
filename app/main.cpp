#include "app/MainForm.h"

#include <QApplication>
#include <QIcon>

#include <cstdio>
#include <cstdlib>

int main(int argc, char* argv[])
{
    // Without a display Qt would abort with a message about platform plugins;
    // say plainly what is missing instead.
    const bool hasDisplay = std::getenv("DISPLAY") || std::getenv("WAYLAND_DISPLAY")
        || std::getenv("QT_QPA_PLATFORM");
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

    TMainForm form;
    form.show();
    return app.exec();
}
