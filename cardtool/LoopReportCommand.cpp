// loop-report RUN [-o FILE]: a loop run's report page, drawn from the files
// the run left (records/LoopRunFiles.h) by the same call the window makes
// when a run ends.
#include "cardtool/CardTool.h"

#include "charts/ChartsApplication.h"
#include "charts/LoopReport.h"
#include "protocol/PlainText.h"
#include "records/LoopRunFiles.h"

#include <QFile>

int TCardTool::MakeLoopReport()
{
    if (!ChartsCanDraw()) {
        Say("the report's charts cannot be drawn: the program was started without its drawing application");
        return ExitNotDone;
    }
    const TLoopReportResult result = WriteLoopReport(QFile::decodeName(FOptions.File.c_str()), QFile::decodeName(FOptions.OutputFile.c_str()), LoopReportHtml);
    switch (result.End) {
    case TLoopReportEnd::Written:
        break;
    case TLoopReportEnd::RunUnreadable:
        Say("the run cannot be read: " + result.Problem.toStdString() + "; no report written");
        return ExitRunUnreadable;
    case TLoopReportEnd::NotWritten:
        Say("the report cannot be written: " + result.Problem.toStdString());
        if (FOptions.Json)
            PrintOut(JsonErrorOf(FLastSaid, ExitNotDone));
        return ExitNotDone;
    }
    const std::string path = QFile::encodeName(result.Html).toStdString();
    const std::string text = FOptions.Json ? "{\"command\": \"loop-report\", \"report\": " + JsonStringOf(path) + ", \"exit\": 0}\n" : PrintableText(path) + "\n";
    return PrintOut(text) ? ExitDone : ExitNotDone;
}
