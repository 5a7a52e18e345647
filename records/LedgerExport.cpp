// The records exported for a spreadsheet (CSV) or for programs (JSON
// Lines), one line at a time, or summed up per batch and station.
#include "records/LedgerSql.h"

#include "records/Records.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSqlError>
#include <QSqlQuery>

#include <map>

using namespace LedgerSql;

namespace {

// RFC 4180: a field with a comma, a quote or a line break is quoted, its
// quotes doubled. A spreadsheet runs a cell that begins with =, +, - or @
// (or with a tab or a carriage return before one) as a formula: such a cell,
// whose text may come from a data file or a card, gets a leading ' and
// stays text.
QString CsvField(const QString& Field)
{
    static const QRegularExpression formula(QStringLiteral("^[=+\\-@\t\r]"));
    static const QRegularExpression special(QStringLiteral("[,\"\r\n]"));
    QString quoted = Field.contains(formula) ? QLatin1Char('\'') + Field : Field;
    if (!quoted.contains(special))
        return quoted;
    quoted.replace(QLatin1Char('"'), QStringLiteral("\"\""));
    return QLatin1Char('"') + quoted + QLatin1Char('"');
}

std::string CsvLine(const QStringList& Fields)
{
    QString line;
    for (int i = 0; i < Fields.size(); ++i) {
        if (i > 0)
            line += QLatin1Char(',');
        line += CsvField(Fields[i]);
    }
    return line.toStdString() + "\r\n";
}

// The positions of a batch's label columns.
std::vector<int> LabelColumns(const QStringList& Columns)
{
    std::vector<int> out;
    for (int i = 0; i < Columns.size(); ++i) {
        if (!IsCardDataColumn(Columns[i]))
            out.push_back(i);
    }
    return out;
}

// A stored time (ISO 8601 with its offset, or Z) in UTC, or in local time
// with its offset; a text that is no such time is given as it is.
QString ExportTime(const QString& Stored, bool Local)
{
    const QDateTime when = QDateTime::fromString(Stored, Qt::ISODateWithMs);
    if (!when.isValid())
        return Stored;
    return Local ? IsoTimeStamp(when.toLocalTime()) : when.toUTC().toString(QStringLiteral("yyyy-MM-dd'T'HH:mm:ss.zzz'Z'"));
}

QString WhereText(const QStringList& Where) { return Where.isEmpty() ? QString() : QStringLiteral(" WHERE ") + Where.join(QStringLiteral(" AND ")); }

// The records, oldest first, that every condition of Where lets through
// (each with its value bound). A ledger of the first schema, read as it is,
// kept no cause.
QString RecordsSql(const QStringList& Where, int Schema)
{
    return QStringLiteral("SELECT r.recorded_at, r.station, b.name, r.serial, r.row_no, r.result, r.detail, r.blocks, r.duration_ms,"
                          " b.columns, w.cells, %1 FROM ledger_records r JOIN ledger_batches b ON b.id = r.batch_id"
                          " LEFT JOIN ledger_rows w ON w.batch_id = r.batch_id AND w.row_no = r.row_no%2 ORDER BY r.id")
        .arg(Schema >= 2 ? QStringLiteral("r.cause") : QStringLiteral("''"),
            WhereText(Where));
}

// RecordsSql's row as a CSV line: the fixed columns, then the batch's labels.
std::string CsvRecord(const QSqlQuery& Query, const std::vector<int>& Labels, bool Local)
{
    const QStringList cells = ListOf(Query.value(10).toString());
    QStringList fields;
    fields << ExportTime(Query.value(0).toString(), Local);
    for (int i = 1; i < 7; ++i)
        fields << Query.value(i).toString();
    fields << Query.value(11).toString();
    for (const int i : Labels)
        fields << cells.value(i);
    return CsvLine(fields);
}

// RecordsSql's row as a JSON line, with the labels of the record's own batch.
std::string JsonRecord(const QSqlQuery& Query, bool Local)
{
    const QStringList cells = ListOf(Query.value(10).toString());
    const QStringList columns = ListOf(Query.value(9).toString());
    QJsonObject labels;
    for (const int i : LabelColumns(columns))
        labels.insert(columns[i], cells.value(i));
    const QJsonObject record{
        {QStringLiteral("time"), ExportTime(Query.value(0).toString(), Local)},
        {QStringLiteral("station"), Query.value(1).toString()},
        {QStringLiteral("batch"), Query.value(2).toString()},
        {QStringLiteral("serial"), Query.value(3).toString()},
        {QStringLiteral("row"), Query.value(4).toInt()},
        {QStringLiteral("result"), Query.value(5).toString()},
        {QStringLiteral("detail"), Query.value(6).toString()},
        {QStringLiteral("cause"), Query.value(11).toString()},
        {QStringLiteral("blocks_written"), JsonArrayOf(Query.value(7).toString())},
        {QStringLiteral("duration_ms"), Query.value(8).toLongLong()},
        {QStringLiteral("labels"), labels},
    };
    return QJsonDocument(record).toJson(QJsonDocument::Compact).toStdString() + "\n";
}

// The rank of the p-th percentile (Percent/100) among N sorted values, N at
// least 1: the nearest rank, ceil(p * N), the value at that rank being the
// percentile itself (never one between two). In integer SQL, so that both
// databases give the same rank: the only place the rule is written.
QString NearestRank(int Percent, const QString& N) { return QStringLiteral("((%1 * %2 + 99) / 100)").arg(N).arg(Percent); }

// The done cards' median and 95th percentile durations, per batch and
// station (batch name, station, median, p95) or over all of them (median,
// p95).
QString CardTimesSql(const QStringList& Where, bool PerGroup)
{
    const QString partition = PerGroup ? QStringLiteral("PARTITION BY r.batch_id, r.station ") : QString();
    return QStringLiteral("SELECT %1MAX(CASE WHEN k = %2 THEN ms END), MAX(CASE WHEN k = %3 THEN ms END) FROM"
                          " (SELECT b.name AS batch, r.station AS station, r.duration_ms AS ms,"
                          " ROW_NUMBER() OVER (%4ORDER BY r.duration_ms) AS k, COUNT(*) OVER (%5) AS n"
                          " FROM ledger_records r JOIN ledger_batches b ON b.id = r.batch_id%6) d%7")
        .arg(PerGroup ? QStringLiteral("batch, station, ") : QString(), NearestRank(50, QStringLiteral("n")), NearestRank(95, QStringLiteral("n")),
            partition, partition.trimmed(), WhereText(Where + QStringList{QStringLiteral("r.result = 'done'")}),
            PerGroup ? QStringLiteral(" GROUP BY batch, station") : QString());
}

std::optional<qint64> MsOf(const QVariant& Value)
{
    if (Value.isNull())
        return std::nullopt;
    return Value.toLongLong();
}

// Done cards an hour between two stored times; none when they are the same
// instant (or not times).
std::optional<double> CardsPerHour(int Done, const QString& First, const QString& Last)
{
    const QDateTime first = QDateTime::fromString(First, Qt::ISODateWithMs);
    const QDateTime last = QDateTime::fromString(Last, Qt::ISODateWithMs);
    const qint64 span = first.msecsTo(last);
    if (!first.isValid() || !last.isValid() || span <= 0)
        return std::nullopt;
    return double(Done) * 3600000.0 / double(span);
}

} // namespace

std::optional<std::pair<QVariant, QStringList>> TLedger::ExportedBatch(const QString& Batch)
{
    const auto batch = Select(QStringLiteral("look for batch %1").arg(Batch), QStringLiteral("SELECT id, columns FROM ledger_batches WHERE name = ?"), {Batch});
    if (!batch)
        return std::nullopt;
    if (batch->empty()) {
        FError = QStringLiteral("ledger %1: no batch named %2").arg(FPlaceText, Batch);
        return std::nullopt;
    }
    return std::pair{batch->front().value(0), ListOf(batch->front().value(1).toString())};
}

bool TLedger::FilterRecords(const TLedgerFilter& Filter, QStringList& Where, QVariantList& Values, QStringList* Columns)
{
    if (!Filter.Batch.isEmpty()) {
        const auto batch = ExportedBatch(Filter.Batch);
        if (!batch)
            return false;
        Where << QStringLiteral("r.batch_id = ?");
        Values << batch->first;
        if (Columns)
            *Columns = batch->second;
    }
    if (!Filter.Station.isEmpty()) {
        Where << QStringLiteral("r.station = ?");
        Values << Filter.Station;
    }
    // Compared as stored times are (UTC, ms, Z: text in the order of time),
    // a time of a ledger read as it is made so first.
    if (Filter.Since.isValid()) {
        Where << FSql.UtcOf(QStringLiteral("r.recorded_at")) + QStringLiteral(" >= ?");
        Values << UtcText(Filter.Since);
    }
    if (Filter.Until.isValid()) {
        Where << FSql.UtcOf(QStringLiteral("r.recorded_at")) + QStringLiteral(" < ?");
        Values << UtcText(Filter.Until);
    }
    if (!Filter.Result.isEmpty()) {
        Where << QStringLiteral("r.result = ?");
        Values << Filter.Result;
    }
    return true;
}

bool TLedger::Export(const TLedgerFilter& Filter, bool Json, const std::function<bool(const std::string& Line)>& Out, bool LocalTimes)
{
    FError.clear();
    QStringList header{QStringLiteral("time"), QStringLiteral("station"), QStringLiteral("batch"), QStringLiteral("serial"),
        QStringLiteral("row"), QStringLiteral("result"), QStringLiteral("detail"), QStringLiteral("cause")};
    QStringList where;
    QVariantList values;
    QStringList columns;
    if (!FilterRecords(Filter, where, values, &columns))
        return false;
    const std::vector<int> labels = LabelColumns(columns);
    for (const int i : labels)
        header << columns[i];
    const auto stopped = [this]() {
        FError = QStringLiteral("ledger %1: the records' output was closed").arg(FPlaceText);
        return false;
    };
    if (!Json && !Out(CsvLine(header)))
        return stopped();
    if (!Ready(QStringLiteral("read the records")))
        return false;
    QSqlQuery query(QSqlDatabase::database(FConnection, false));
    query.setForwardOnly(true);
    const auto failed = [&]() {
        FError = QStringLiteral("ledger %1: cannot read the records: %2").arg(FPlaceText, DriverText(query.lastError()));
        return false;
    };
    if (!Run(query, RecordsSql(where, FSchema), values))
        return failed();
    while (query.next()) {
        if (!Out(Json ? JsonRecord(query, LocalTimes) : CsvRecord(query, labels, LocalTimes)))
            return stopped();
    }
    if (query.lastError().type() != QSqlError::NoError)
        return failed();
    return true;
}

std::optional<TLedgerSummary> TLedger::Summary(const TLedgerFilter& Filter, bool LocalTimes)
{
    FError.clear();
    QStringList where;
    QVariantList values;
    if (!FilterRecords(Filter, where, values))
        return std::nullopt;
    // Rows left as RowsLeft counts them; open claims of the line's station
    // in its batch.
    const QString utc = FSql.UtcOf(QStringLiteral("r.recorded_at"));
    const auto groups = Select(QStringLiteral("count the records"),
        QStringLiteral("SELECT b.name, r.station, SUM(CASE WHEN r.result = 'done' THEN 1 ELSE 0 END), SUM(CASE WHEN r.result = 'failed' THEN 1 ELSE 0 END),"
                       " SUM(CASE WHEN r.result = 'repeat' THEN 1 ELSE 0 END), MIN(%1), MAX(%1),"
                       " (SELECT COUNT(*) FROM ledger_rows w WHERE w.batch_id = r.batch_id AND w.done_serial IS NULL AND w.claim_id IS NULL),"
                       " (SELECT COUNT(*) FROM ledger_claims c WHERE c.batch_id = r.batch_id AND c.station = r.station AND c.is_open = 1)"
                       " FROM ledger_records r JOIN ledger_batches b ON b.id = r.batch_id%2 GROUP BY r.batch_id, b.name, r.station")
            .arg(utc, WhereText(where)),
        values);
    if (!groups)
        return std::nullopt;
    // A ledger of the first schema kept no cause.
    const auto causes = Select(QStringLiteral("count the failures"),
        QStringLiteral("SELECT b.name, r.station, %1, COUNT(*) FROM ledger_records r JOIN ledger_batches b ON b.id = r.batch_id%2 GROUP BY b.name, r.station%3")
            .arg(FSchema >= 2 ? QStringLiteral("r.cause") : QStringLiteral("''"), WhereText(where + QStringList{QStringLiteral("r.result = 'failed'")}),
                FSchema >= 2 ? QStringLiteral(", r.cause") : QString()),
        values);
    if (!causes)
        return std::nullopt;
    const auto times = Select(QStringLiteral("read the card times"), CardTimesSql(where, true), values);
    if (!times)
        return std::nullopt;
    const auto allTimes = Select(QStringLiteral("read the card times"), CardTimesSql(where, false), values);
    if (!allTimes)
        return std::nullopt;

    // The lines in one order whatever the database's collation.
    using TLineKey = std::pair<QString, QString>;
    std::map<TLineKey, TLedgerSummaryLine> lines;
    std::map<TLineKey, std::pair<QString, QString>> spans; // stored UTC texts
    for (const QVariantList& row : *groups) {
        const TLineKey key{row.value(0).toString(), row.value(1).toString()};
        TLedgerSummaryLine& line = lines[key];
        line.Batch = key.first;
        line.Station = key.second;
        line.Done = row.value(2).toInt();
        line.Failed = row.value(3).toInt();
        line.Repeats = row.value(4).toInt();
        spans[key] = {row.value(5).toString(), row.value(6).toString()};
        line.RowsLeft = row.value(7).toInt();
        line.OpenClaims = row.value(8).toInt();
    }
    std::map<QString, int> totalCauses;
    std::map<TLineKey, std::map<QString, int>> lineCauses;
    for (const QVariantList& row : *causes) {
        const int count = row.value(3).toInt();
        lineCauses[{row.value(0).toString(), row.value(1).toString()}][row.value(2).toString()] += count;
        totalCauses[row.value(2).toString()] += count;
    }
    for (const QVariantList& row : *times) {
        const auto line = lines.find({row.value(0).toString(), row.value(1).toString()});
        if (line == lines.end())
            continue;
        line->second.MedianMs = MsOf(row.value(2));
        line->second.P95Ms = MsOf(row.value(3));
    }

    TLedgerSummary summary;
    TLedgerSummaryLine& total = summary.Total;
    QString first;
    QString last;
    for (auto& [key, line] : lines) {
        const auto& [lineFirst, lineLast] = spans[key];
        line.FailedByCause.assign(lineCauses[key].begin(), lineCauses[key].end());
        line.CardsPerHour = CardsPerHour(line.Done, lineFirst, lineLast);
        line.First = ExportTime(lineFirst, LocalTimes);
        line.Last = ExportTime(lineLast, LocalTimes);
        total.Done += line.Done;
        total.Failed += line.Failed;
        total.Repeats += line.Repeats;
        total.RowsLeft += line.RowsLeft;
        total.OpenClaims += line.OpenClaims;
        if (first.isEmpty() || lineFirst < first)
            first = lineFirst;
        if (last.isEmpty() || lineLast > last)
            last = lineLast;
        summary.Groups.push_back(line);
    }
    total.FailedByCause.assign(totalCauses.begin(), totalCauses.end());
    total.CardsPerHour = CardsPerHour(total.Done, first, last);
    total.First = first.isEmpty() ? QString() : ExportTime(first, LocalTimes);
    total.Last = last.isEmpty() ? QString() : ExportTime(last, LocalTimes);
    if (!allTimes->empty()) {
        total.MedianMs = MsOf(allTimes->front().value(0));
        total.P95Ms = MsOf(allTimes->front().value(1));
    }
    return summary;
}

QDateTime ParseLedgerTime(const QString& Text, const QDateTime& Now, QString& Error)
{
    static const QRegularExpression relative(QStringLiteral("^-([0-9]{1,6})([hm])$"));
    static const QRegularExpression date(QStringLiteral("^[0-9]{4}-[0-9]{2}-[0-9]{2}$"));
    // Seconds and milliseconds may follow the minutes; a zone is Z or an
    // offset (+01:00, +0100, +01).
    static const QRegularExpression dateTime(
        QStringLiteral("^[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}(:[0-9]{2}(\\.[0-9]{1,3})?)?(Z|[+-][0-9]{2}(:?[0-9]{2})?)?$"));
    const QDate today = Now.toLocalTime().date();
    QDateTime when;
    if (Text == QLatin1String("today")) {
        when = today.startOfDay();
    } else if (Text == QLatin1String("yesterday")) {
        when = today.addDays(-1).startOfDay();
    } else if (const QRegularExpressionMatch ago = relative.match(Text); ago.hasMatch()) {
        const qint64 minutes = ago.captured(1).toLongLong() * (ago.captured(2) == QLatin1String("h") ? 60 : 1);
        when = Now.addSecs(-minutes * 60);
    } else if (date.match(Text).hasMatch()) {
        const QDate day = QDate::fromString(Text, Qt::ISODate);
        if (day.isValid())
            when = day.startOfDay();
    } else if (dateTime.match(Text).hasMatch()) {
        when = QDateTime::fromString(Text, Qt::ISODateWithMs);
    }
    if (!when.isValid())
        Error = QStringLiteral("'%1' is not a time: give an ISO 8601 date or date-time, today, yesterday, or -8h/-30m").arg(Text);
    return when;
}
