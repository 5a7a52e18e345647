#include "records/LoopRunFiles.h"

#include "protocol/SafeFile.h"
#include "records/Records.h"
#include "records/RunEvents.h"
#include "records/RunReport.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <array>
#include <unistd.h>

namespace {

// The columns every run's CSV begins with, the totals after time and
// elapsed_s; later columns are passed over.
const char* const TotalNames[] = {"cycles", "search_failures", "auth_failures", "reads", "read_errors", "verify_errors", "writes", "write_errors"};
constexpr size_t TotalCount = std::size(TotalNames);
const char* const EventKinds[] = {"no-card", "authentication", "write", "read", "verification", "link"};

constexpr size_t MaxCsvBytes = size_t(64) << 20;
constexpr size_t MaxSummaryBytes = size_t(1) << 20;
constexpr uint64_t MaxEventsBytes = uint64_t(4) << 30;

struct TMinuteRow {
    QString Time;
    qint64 ElapsedS = 0;
    std::array<qint64, TotalCount> Totals{};
};

QString OldHeader()
{
    QString header = QStringLiteral("time,elapsed_s");
    for (const char* name : TotalNames)
        header += QLatin1Char(',') + QLatin1String(name);
    return header;
}

// Every line of a file read whole; a last line without its newline (cut
// short) is left out.
QStringList Lines(const std::vector<uint8_t>& Bytes)
{
    QString text = QString::fromUtf8(reinterpret_cast<const char*>(Bytes.data()), qsizetype(Bytes.size()));
    const qsizetype end = text.lastIndexOf(QLatin1Char('\n'));
    text.truncate(end < 0 ? 0 : end);
    return text.isEmpty() ? QStringList() : text.split(QLatin1Char('\n'));
}

std::optional<std::vector<TMinuteRow>> ReadMinuteRows(const QString& Csv, QString& Problem)
{
    std::string error;
    const std::optional<std::vector<uint8_t>> bytes = ReadRegularFile(LocalPath(Csv), MaxCsvBytes, error);
    if (!bytes) {
        Problem = FromLocalPath(error);
        return std::nullopt;
    }
    const QStringList lines = Lines(*bytes);
    if (lines.isEmpty() || !(lines.front() + QLatin1Char(',')).startsWith(OldHeader() + QLatin1Char(','))) {
        Problem = QStringLiteral("%1: not a loop run's report: its first line is not \"%2...\"").arg(Csv, OldHeader());
        return std::nullopt;
    }
    std::vector<TMinuteRow> rows;
    for (qsizetype n = 1; n < lines.size(); ++n) {
        const QStringList cells = lines.at(n).split(QLatin1Char(','));
        TMinuteRow row;
        bool ok = cells.size() >= 2 + qsizetype(TotalCount);
        if (ok) {
            row.Time = cells.at(0);
            row.ElapsedS = cells.at(1).toLongLong(&ok);
        }
        for (size_t i = 0; ok && i < TotalCount; ++i)
            row.Totals[i] = cells.at(2 + qsizetype(i)).toLongLong(&ok);
        if (!ok) {
            Problem = QStringLiteral("%1:%2: not a row of totals").arg(Csv).arg(n + 1);
            return std::nullopt;
        }
        rows.push_back(row);
    }
    return rows;
}

QString JsonText(const QJsonValue& Value)
{
    if (Value.isBool())
        return Value.toBool() ? QStringLiteral("yes") : QStringLiteral("no");
    if (Value.isDouble())
        return QString::number(Value.toDouble());
    return Value.toString();
}

// The summary's settings and totals; false with Problem when it is there
// but cannot be read.
bool ReadSummary(const QString& Json, TLoopRunData& Run, QString& Problem)
{
    if (!QFileInfo::exists(Json) && !QFileInfo(Json).isSymLink()) {
        Run.Note = QStringLiteral("No summary beside the report: the run did not end, or ended without one; the totals are its last row's.");
        return true;
    }
    std::string error;
    const std::optional<std::vector<uint8_t>> bytes = ReadRegularFile(LocalPath(Json), MaxSummaryBytes, error);
    if (!bytes) {
        Problem = FromLocalPath(error);
        return false;
    }
    QJsonParseError parse{};
    const QJsonDocument document = QJsonDocument::fromJson(QByteArray(reinterpret_cast<const char*>(bytes->data()), qsizetype(bytes->size())), &parse);
    if (!document.isObject()) {
        Problem = QStringLiteral("%1: not a run's summary: %2").arg(Json, parse.errorString());
        return false;
    }
    const QJsonObject summary = document.object();
    Run.Kind = summary.value(QStringLiteral("kind")).toString(Run.Kind);
    Run.Start = summary.value(QStringLiteral("start")).toString(Run.Start);
    Run.Stop = summary.value(QStringLiteral("stop")).toString();
    Run.ElapsedS = JsonText(summary.value(QStringLiteral("elapsed_s")));
    Run.CyclesPerMinute = QString::number(summary.value(QStringLiteral("cycles_per_minute")).toDouble(), 'f', 2);
    const QJsonObject settings = summary.value(QStringLiteral("settings")).toObject();
    for (auto it = settings.begin(); it != settings.end(); ++it)
        Run.Settings.emplace_back(it.key(), JsonText(it.value()));
    const QJsonObject totals = summary.value(QStringLiteral("totals")).toObject();
    Run.Totals.clear();
    for (const char* name : TotalNames)
        Run.Totals.emplace_back(QLatin1String(name), qint64(totals.value(QLatin1String(name)).toDouble()));
    return true;
}

// Each event's failed cycles counted into the minute rows they fell in
// (row i holds the cycles after row i-1's up to its own); an event past the
// last row is in no bar.
void CountIntoRows(const TLoopRunEvent& Event, const std::vector<TMinuteRow>& Rows, std::vector<double>& Counts)
{
    qint64 first = Event.Cycle;
    const qint64 last = Event.Cycle + Event.Count - 1;
    auto row = std::lower_bound(Rows.begin(), Rows.end(), first, [](const TMinuteRow& Row, qint64 Cycle) { return Row.Totals[0] < Cycle; });
    for (; row != Rows.end() && first <= last; ++row) {
        const qint64 taken = std::min(last, row->Totals[0]) - first + 1;
        Counts[size_t(row - Rows.begin())] += double(taken);
        first += taken;
    }
}

bool ReadEvents(const QString& Path, const std::vector<TMinuteRow>& Rows, TLoopRunData& Run, std::vector<std::vector<double>>& Counts,
    QString& Problem)
{
    if (!QFileInfo::exists(Path) && !QFileInfo(Path).isSymLink()) {
        Run.Note += (Run.Note.isEmpty() ? QString() : QStringLiteral(" ")) + QStringLiteral("No events file beside the report.");
        return true;
    }
    std::string error;
    const int fd = OpenRegularFile(LocalPath(Path), MaxEventsBytes, error);
    QFile file;
    if (fd < 0 || !file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        if (fd >= 0)
            ::close(fd);
        Problem = fd < 0 ? FromLocalPath(error) : QStringLiteral("%1: %2").arg(Path, file.errorString());
        return false;
    }
    if (QString::fromUtf8(file.readLine()).trimmed() != TRunEvents::Header()) {
        Problem = QStringLiteral("%1: not a run's events: its first line is not \"%2\"").arg(Path, TRunEvents::Header());
        return false;
    }
    for (qint64 n = 2; !file.atEnd(); ++n) {
        const QByteArray line = file.readLine();
        if (!line.endsWith('\n'))
            break; // cut short
        const QStringList cells = QString::fromUtf8(line.chopped(1)).split(QLatin1Char(','));
        TLoopRunEvent event;
        bool ok = cells.size() >= 5;
        bool counted = false;
        if (ok) {
            event = {cells.at(0), cells.at(1).toLongLong(&ok), cells.at(2), cells.at(3).toLongLong(&counted), cells.mid(4).join(QLatin1Char(','))};
            ok = ok && counted && event.Cycle > 0 && event.Count > 0;
        }
        if (!ok) {
            Problem = QStringLiteral("%1:%2: not an event row").arg(Path).arg(n);
            return false;
        }
        const auto kind = std::find(std::begin(EventKinds), std::end(EventKinds), event.Kind.toStdString());
        if (kind != std::end(EventKinds))
            CountIntoRows(event, Rows, Counts[size_t(kind - std::begin(EventKinds))]);
        if (Run.Events.size() < size_t(LoopReportEventRows))
            Run.Events.push_back(event);
        else
            ++Run.MoreEvents;
    }
    return true;
}

// "07:06:31", or with the date when the run spans days; each label its own
// (a chart's categories must differ).
QString RowLabel(const QString& Time, bool OneDay, const QStringList& Taken)
{
    QString label = OneDay ? Time.mid(11, 8) : Time.mid(5, 5) + QLatin1Char(' ') + Time.mid(11, 8);
    const QString plain = label;
    for (int n = 2; Taken.contains(label); ++n)
        label = plain + QStringLiteral(" (%1)").arg(n);
    return label;
}

// The bars: a minute row each, or a few to a bar for a long run.
void MakeBars(const std::vector<TMinuteRow>& Rows, const std::vector<std::vector<double>>& Counts, TLoopRunData& Run)
{
    const size_t per = std::max<size_t>(1, (Rows.size() + LoopReportBars - 1) / LoopReportBars);
    const bool oneDay = Rows.empty() || Rows.front().Time.left(10) == Rows.back().Time.left(10);
    for (const char* kind : EventKinds)
        Run.FailuresByKind.push_back({QLatin1String(kind), {}});
    for (size_t first = 0; first < Rows.size(); first += per) {
        const size_t last = std::min(Rows.size(), first + per) - 1;
        const qint64 cyclesBefore = first == 0 ? 0 : Rows[first - 1].Totals[0];
        const qint64 secondsBefore = first == 0 ? 0 : Rows[first - 1].ElapsedS;
        const qint64 seconds = Rows[last].ElapsedS - secondsBefore;
        Run.Minutes << RowLabel(Rows[last].Time, oneDay, Run.Minutes);
        Run.CycleRates.push_back(seconds > 0 ? double(Rows[last].Totals[0] - cyclesBefore) * 60.0 / double(seconds) : 0.0);
        for (size_t k = 0; k < Counts.size(); ++k) {
            double sum = 0;
            for (size_t i = first; i <= last; ++i)
                sum += Counts[k][i];
            Run.FailuresByKind[k].Values.push_back(sum);
        }
    }
}

} // namespace

QString LoopRunStem(const QString& CsvOrStem)
{
    for (const QLatin1String end : {QLatin1String("-events.csv"), QLatin1String(".csv"), QLatin1String(".json"), QLatin1String(".html")})
        if (CsvOrStem.endsWith(end))
            return CsvOrStem.chopped(end.size());
    return CsvOrStem;
}

std::optional<TLoopRunData> ReadLoopRun(const QString& CsvOrStem, QString* Problem)
{
    const QString stem = LoopRunStem(CsvOrStem);
    TLoopRunData run;
    run.Csv = stem + QStringLiteral(".csv");
    QString problem;
    const std::optional<std::vector<TMinuteRow>> rows = ReadMinuteRows(run.Csv, problem);
    // The CSV's own figures first; the summary, when there, has the last word.
    if (rows) {
        run.Kind = stem.contains(QStringLiteral("loop-write")) ? QStringLiteral("loop-write") : QStringLiteral("loop-read");
        const TMinuteRow last = rows->empty() ? TMinuteRow{} : rows->back();
        for (size_t i = 0; i < TotalCount; ++i)
            run.Totals.emplace_back(QLatin1String(TotalNames[i]), last.Totals[i]);
        run.ElapsedS = QString::number(last.ElapsedS);
    }
    std::vector<std::vector<double>> counts(std::size(EventKinds), std::vector<double>(rows ? rows->size() : 0, 0.0));
    if (!rows || !ReadSummary(stem + QStringLiteral(".json"), run, problem)
        || !ReadEvents(TRunReport::EventsPath(run.Csv), *rows, run, counts, problem)) {
        if (Problem)
            *Problem = problem;
        return std::nullopt;
    }
    MakeBars(*rows, counts, run);
    return run;
}

TLoopReportResult WriteLoopReport(const QString& CsvOrStem, const QString& Html, const TLoopReportDraw& Draw)
{
    TLoopReportResult result;
    const std::optional<TLoopRunData> run = ReadLoopRun(CsvOrStem, &result.Problem);
    if (!run) {
        result.End = TLoopReportEnd::RunUnreadable;
        return result;
    }
    const QByteArray page = Draw ? Draw(*run) : QByteArray();
    if (page.isEmpty()) {
        result.Problem = QStringLiteral("the report's charts cannot be drawn");
        return result;
    }
    const QString path = Html.isEmpty() ? LoopRunStem(CsvOrStem) + QStringLiteral(".html") : Html;
    std::string error;
    if (!ReplaceFile(LocalPath(path), {reinterpret_cast<const uint8_t*>(page.constData()), size_t(page.size())}, error)) {
        result.Problem = FromLocalPath(error);
        return result;
    }
    result.End = TLoopReportEnd::Written;
    result.Html = path;
    return result;
}
