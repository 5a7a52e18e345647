// What the window records: the journal holds every line of its log and the
// program's own records, a loop test leaves its report, "Save log..." writes
// the visible log, and a state folder that cannot be written stops nothing.
#include "app/MainForm.h"
#include "app/Version.h"
#include "support/FormFixture.h"

#include <QAction>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QPushButton>
#include <QRegularExpression>
#include <QTimer>

#include <gtest/gtest.h>

#include <filesystem>

namespace {

QStringList FileLines(const QString& Path)
{
    QFile file(Path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return {};
    return QString::fromUtf8(file.readAll()).split('\n', Qt::SkipEmptyParts);
}

// Every journal line in order, without its time stamp.
QStringList JournalLines(const std::string& StateFolder)
{
    const QDir folder(QString::fromStdString(StateFolder) + "/journal");
    QStringList lines;
    const QRegularExpression stamp(R"(^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}[+-]\d\d:\d\d )");
    for (const QString& day : folder.entryList({"*.log"}, QDir::Files, QDir::Name))
        for (const QString& line : FileLines(folder.filePath(day))) {
            EXPECT_TRUE(stamp.match(line).hasMatch()) << line.toStdString();
            lines << QString(line).remove(stamp);
        }
    return lines;
}

bool IsOwnRecord(const QString& Line)
{
    static const QRegularExpression own(R"(^(Orvelle \S+ (started|ended)|Port COM\d .*|Link panel: .*|Loop (read|write) (started|stopped): .*)$)");
    return own.match(Line).hasMatch();
}

TEST(WindowRecords, TheJournalHoldsTheLogAndALoopLeavesItsReport)
{
    TFormFixture F;
    F.Click(Ctl<QPushButton>(*F.Form, "Button9"));
    F.Click(Ctl<QPushButton>(*F.Form, "Button7"));
    // Two good cycles of the loop read, then Stop from inside the loop.
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        if (Ctl<QLabel>(*F.Form, "LbReadSum")->text().endsWith("0000002"))
            F.Form->BtnStopReadClick();
    });
    poll.start(5);
    F.Click(Ctl<QPushButton>(*F.Form, "BtnStartRead"));
    poll.stop();

    const QStringList journal = JournalLines(F.Home().StateFolder());
    QStringList logged;
    for (const QString& line : journal)
        if (!IsOwnRecord(line))
            logged << line;
    EXPECT_EQ(logged, F.LogLines());
    const QString device = QString::fromStdString(std::filesystem::canonical(F.Sim.DevicePath()).string());
    for (const QString& record : {QStringLiteral("Orvelle %1 started").arg(OrvelleVersion), "Port COM1 opened: " + device,
             QStringLiteral("Link panel: Linked")})
        EXPECT_TRUE(journal.contains(record)) << record.toStdString();
    const QStringList loops = journal.filter(QRegularExpression("^Loop read "));
    ASSERT_EQ(loops.size(), 2);
    EXPECT_TRUE(loops[0].startsWith("Loop read started: block 1, stored key A, port COM1")) << loops[0].toStdString();
    EXPECT_TRUE(loops[1].contains(" 2 reads,")) << loops[1].toStdString();

    const QDir runs(QString::fromStdString(F.Home().StateFolder()) + "/runs");
    const QStringList reports = runs.entryList({"*-loop-read.csv"}, QDir::Files);
    ASSERT_EQ(reports.size(), 1);
    EXPECT_TRUE(runs.exists(QString(reports[0]).replace(".csv", ".json")));
    const QStringList rows = FileLines(runs.filePath(reports[0]));
    ASSERT_EQ(rows.size(), 2) << "the header and the row at Stop";
    EXPECT_TRUE(rows[0].startsWith("time,elapsed_s,cycles,"));
    EXPECT_EQ(rows[1].split(',').mid(2, 4), (QStringList{"2", "0", "0", "2"})) << rows[1].toStdString();
    EXPECT_EQ(StatusPanel(*F.Form, 0)->text(), "Report: " + runs.filePath(reports[0]));

    // "Save log..." writes what the log shows.
    const QString saved = QString::fromStdString(F.Home().StateFolder()) + "/saved.txt";
    F.Form->SaveFileNameHandler = [&] { return saved; };
    Ctl<QAction>(*F.Form, "SaveLog")->trigger();
    EXPECT_EQ(FileLines(saved), F.LogLines());
    EXPECT_TRUE(F.Boxes.empty());
}

TEST(WindowRecords, AnUnwritableStateFolderStopsNothing)
{
    TFormOptions options;
    options.UnwritableState = true;
    TFormFixture F(options);
    EXPECT_EQ(F.LinkPanel(), QStringLiteral("Linked"));
    F.Click(Ctl<QPushButton>(*F.Form, "Button9"));
    EXPECT_EQ(F.LastLog(), QStringLiteral("Search card successfule!"));
    EXPECT_TRUE(StatusPanel(*F.Form, 0)->text().startsWith("Journal not written: ")) << StatusPanel(*F.Form, 0)->text().toStdString();
    EXPECT_TRUE(F.Boxes.empty());
}

} // namespace
