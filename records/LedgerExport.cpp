// The records exported for a spreadsheet (CSV) or for programs (JSON
// Lines), one line at a time.
#include "records/LedgerSql.h"

#include "records/Records.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSqlError>
#include <QSqlQuery>

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

// The records, oldest first, that every condition of Where lets through
// (each with its value bound). A ledger of the first schema, read as it is,
// kept no cause, and one before the third no operator.
QString RecordsSql(const QStringList& Where, int Schema)
{
    return QStringLiteral("SELECT r.recorded_at, r.station, b.name, r.serial, r.row_no, r.result, r.detail, r.blocks, r.duration_ms,"
                          " b.columns, w.cells, %1, %2 FROM ledger_records r JOIN ledger_batches b ON b.id = r.batch_id"
                          " LEFT JOIN ledger_rows w ON w.batch_id = r.batch_id AND w.row_no = r.row_no%3 ORDER BY r.id")
        .arg(Schema >= 2 ? QStringLiteral("r.cause") : QStringLiteral("''"), Schema >= 3 ? QStringLiteral("r.operator") : QStringLiteral("''"),
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
    fields << Query.value(11).toString() << Query.value(12).toString();
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
        {QStringLiteral("operator"), Query.value(12).toString()},
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

} // namespace

namespace LedgerSql {

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

// A text of the stored shape (2026-12-08T06:05:31.123Z) is its own UTC
// form: only the others, which a ledger may hold from before, are
// converted: converting each of a million records takes seconds.
QString StoredUtcOf(const TLedgerDialect& Dialect, const QString& Column)
{
    return QStringLiteral("CASE WHEN length(%1) = 24 AND substr(%1, 11, 1) = 'T' AND substr(%1, 20, 1) = '.' AND substr(%1, 24, 1) = 'Z' THEN %1 ELSE %2 END")
        .arg(Column, Dialect.UtcOf(Column));
}

} // namespace LedgerSql

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
    const QString time = StoredUtcOf(FSql, QStringLiteral("r.recorded_at"));
    if (Filter.Since.isValid()) {
        Where << time + QStringLiteral(" >= ?");
        Values << UtcText(Filter.Since);
    }
    if (Filter.Until.isValid()) {
        Where << time + QStringLiteral(" < ?");
        Values << UtcText(Filter.Until);
    }
    if (!Filter.Result.isEmpty()) {
        Where << QStringLiteral("r.result = ?");
        Values << Filter.Result;
    }
    if (!Filter.Operator.isEmpty()) {
        Where << (FSchema >= 3 ? QStringLiteral("r.operator = ?") : QStringLiteral("'' = ?"));
        Values << Filter.Operator;
    }
    return true;
}

bool TLedger::Export(const TLedgerFilter& Filter, bool Json, const std::function<bool(const std::string& Line)>& Out, bool LocalTimes)
{
    FError.clear();
    QStringList header{QStringLiteral("time"), QStringLiteral("station"), QStringLiteral("batch"), QStringLiteral("serial"),
        QStringLiteral("row"), QStringLiteral("result"), QStringLiteral("detail"), QStringLiteral("cause"), QStringLiteral("operator")};
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
