// orvelle-card: whole-card work (map the keys, read, write, compare) from a
// command, with no display.
#include "cardtool/CardCommandLine.h"
#include "cardtool/CardTool.h"
#include "cardtool/Output.h"

#include <QCoreApplication>

#include <signal.h>

#include <cstdio>

int main(int argc, char* argv[])
{
    // A closed pipe is a write that fails, told and answered with exit status
    // 1, not the silent end of the program; during a job it cancels the job.
    ::signal(SIGPIPE, SIG_IGN);
    QCoreApplication app(argc, argv);
    // The name the session gives its messages on standard error.
    QCoreApplication::setApplicationName(QStringLiteral("orvelle-card"));
    const TCardOptions options = ParseCardCommandLine(QCoreApplication::arguments());
    switch (options.Action) {
    case TCardOptions::Help:
    case TCardOptions::Version:
        return PrintOut(options.Text.toLocal8Bit().toStdString()) ? ExitDone : ExitNotDone;
    case TCardOptions::Error:
        std::fputs(options.Text.toLocal8Bit().constData(), stderr);
        if (options.Json)
            PrintOut(JsonErrorOf(options.Why.toLocal8Bit().toStdString(), ExitUsage));
        return ExitUsage;
    case TCardOptions::Run:
        break;
    }
    TCardTool tool(options);
    return tool.Run();
}
