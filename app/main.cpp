#include "app/MainForm.h"

#include <QApplication>

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

    TMainForm form;
    form.show();
    return app.exec();
}
