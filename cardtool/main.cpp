// orvelle-card: whole-card work (map the keys, read, write, compare) from a
// command, with no display.
#include "cardtool/CardCommandLine.h"
#include "cardtool/CardTool.h"
#include "cardtool/Output.h"
#include "charts/ChartsApplication.h"

#include <QCoreApplication>

#include <signal.h>

#include <cstdio>
#include <cstring>
#include <memory>

namespace {

// Only the shift report and the loop report draw (charts need a
// QApplication, made on the offscreen platform); every other command stays
// a Qt Core program that no display or window system is asked about.
bool AsksForReport(int argc, char* argv[])
{
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], "--report") == 0 || std::strncmp(argv[i], "--report=", 9) == 0 || std::strcmp(argv[i], "loop-report") == 0)
            return true;
    return false;
}

} // namespace

int main(int argc, char* argv[])
{
    // A closed pipe is a write that fails, told and answered with exit status
    // 1, not the silent end of the program; during a job it cancels the job.
    ::signal(SIGPIPE, SIG_IGN);
    const std::unique_ptr<QCoreApplication> app = AsksForReport(argc, argv) ? MakeChartsApplication(argc, argv) : std::make_unique<QCoreApplication>(argc, argv);
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
