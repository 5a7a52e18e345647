// orvelle-card: whole-card work (map the keys, read, write, compare) from a
// command, with no display.
#include "cardtool/CardCommandLine.h"
#include "cardtool/CardTool.h"

#include <QCoreApplication>

#include <cstdio>

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    // The name the session gives its messages on standard error.
    QCoreApplication::setApplicationName(QStringLiteral("orvelle-card"));
    const TCardOptions options = ParseCardCommandLine(QCoreApplication::arguments());
    switch (options.Action) {
    case TCardOptions::Help:
    case TCardOptions::Version:
        if (std::fputs(options.Text.toLocal8Bit().constData(), stdout) < 0 || std::fflush(stdout) != 0) {
            std::perror("orvelle-card: standard output");
            return ExitNotDone;
        }
        return ExitDone;
    case TCardOptions::Error:
        std::fputs(options.Text.toLocal8Bit().constData(), stderr);
        return ExitUsage;
    case TCardOptions::Run:
        break;
    }
    TCardTool tool(options);
    const int status = tool.Run();
    return tool.OutputLost() && status == ExitDone ? ExitNotDone : status;
}
