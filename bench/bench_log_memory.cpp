// Memory of the window's message log, and the time a journal line takes.
//
//   bench_log_memory [--lines N] [--long] [--unbounded | --limit N] [--journal-lines N] [--skip-window] [--skip-journal]
//
// Log: the real window on Qt's offscreen platform, shown, takes N lines
// (1,000,000 by default) through TMainForm::Log, the path every operation's
// line takes, with the events run every 1,000 lines as the loop tests do.
// Resident memory (VmRSS) is printed at 100,000, 500,000 and N lines. The
// window keeps its latest TMainForm::LogLineLimit lines; --unbounded lifts
// that limit (maximumBlockCount 0 on MmoMsg, undo history back on), as the
// log was before; --limit N tries another limit. The
// line is "Search card successfule!", or with --long a 700-byte one (the worst
// case a line of the log reaches). Run once per setting: memory that a
// process has once taken is seldom given back.
//
// Journal: N lines (100,000 by default) written through TJournal into a
// temporary folder with the real clock; the median, 99th percentile and
// largest time of one Write.
#include "app/MainForm.h"
#include "bench/BenchSupport.h"
#include "records/Journal.h"

#include <QApplication>
#include <QPlainTextEdit>
#include <QTemporaryDir>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point Since) { return std::chrono::duration<double>(Clock::now() - Since).count(); }

QString LongLine()
{
    QString line = QStringLiteral("Read block1 success! ");
    while (line.size() < 700)
        line += QStringLiteral("00112233445566778899AABBCCDDEEFF ");
    return line.left(700);
}

int WindowPhase(long Lines, bool Long, bool Unbounded, int Limit)
{
    // COM1 leads nowhere: the start-up port choice fails at once, touches no
    // real serial port, and its box is not shown.
    QTemporaryDir config;
    ::setenv("XDG_CONFIG_HOME", config.path().toLocal8Bit().constData(), 1);
    // The window's journal goes there too, not to the user's records.
    ::setenv("XDG_STATE_HOME", config.path().toLocal8Bit().constData(), 1);
    std::filesystem::create_directories(config.path().toStdString() + "/orvelle/ports");
    std::filesystem::create_symlink(config.path().toStdString() + "/no-device", config.path().toStdString() + "/orvelle/ports/COM1");

    // A box would wait for an OK nobody gives.
    struct TNoBoxes : TFormDialogs {
        void MessageBox(QWidget*, const QString&, const QString&, int) override { }
    } noBoxes;
    TMainForm form;
    form.SetDialogs(&noBoxes);
    form.show();
    QCoreApplication::processEvents();
    auto* memo = form.findChild<QPlainTextEdit*>(QStringLiteral("MmoMsg"));
    if (!memo) {
        std::fprintf(stderr, "bench_log_memory: the window has no control named MmoMsg\n");
        return 1;
    }
    // The log as it was: no limit, and the edit's undo history on (setting a
    // block limit turns it off).
    if (Unbounded) {
        memo->setMaximumBlockCount(0);
        memo->setUndoRedoEnabled(true);
    } else if (Limit > 0)
        memo->setMaximumBlockCount(Limit);
    const QString line = Long ? LongLine() : QStringLiteral("Search card successfule!");
    std::printf("log: %ld lines of %lld bytes, %s (maximumBlockCount %d, undo %s)\n", Lines, (long long)line.size(),
        Unbounded ? "unbounded" : "bounded", memo->maximumBlockCount(), memo->isUndoRedoEnabled() ? "on" : "off");
    std::printf("  %9s  %10s  %8s\n", "lines", "VmRSS MiB", "seconds");
    std::printf("  %9d  %10.1f  %8.1f\n", 0, RssKiB() / 1024.0, 0.0);
    std::fflush(stdout);

    const auto start = Clock::now();
    for (long n = 1; n <= Lines; ++n) {
        form.Log(line);
        if (n % 1000 == 0)
            QCoreApplication::processEvents();
        if (n == 100000 || n == 500000 || n == Lines) {
            std::printf("  %9ld  %10.1f  %8.1f\n", n, RssKiB() / 1024.0, Seconds(start));
            std::fflush(stdout);
        }
    }
    std::printf("  lines the window holds: %d\n", memo->document()->blockCount());
    return 0;
}

int JournalPhase(long Lines)
{
    QTemporaryDir dir;
    TJournal journal(dir.path());
    int warnings = 0;
    journal.OnWarning = [&](const QString& Warning) {
        ++warnings;
        std::fprintf(stderr, "%s\n", qPrintable(Warning));
    };
    const QString line = QStringLiteral("Search card successfule!");
    std::vector<double> micros;
    micros.reserve(size_t(Lines));
    for (long n = 0; n < Lines; ++n) {
        const auto start = Clock::now();
        journal.Write(line);
        micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    if (warnings > 0)
        return 1;
    std::sort(micros.begin(), micros.end());
    std::printf("journal: %ld lines into %s\n", Lines, qPrintable(dir.path()));
    std::printf("  one Write: median %.1f us, p99 %.1f us, largest %.1f us\n", micros[micros.size() / 2],
        micros[size_t(double(micros.size() - 1) * 0.99)], micros.back());
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    long lines = 1000000;
    long journalLines = 100000;
    bool longLine = false;
    bool unbounded = false;
    int limit = 0;
    bool window = true;
    bool journal = true;
    for (int i = 1; i < argc; ++i) {
        const bool hasValue = i + 1 < argc;
        if (std::strcmp(argv[i], "--lines") == 0 && hasValue)
            lines = std::max(1L, std::atol(argv[++i]));
        else if (std::strcmp(argv[i], "--journal-lines") == 0 && hasValue)
            journalLines = std::max(1L, std::atol(argv[++i]));
        else if (std::strcmp(argv[i], "--long") == 0)
            longLine = true;
        else if (std::strcmp(argv[i], "--limit") == 0 && hasValue)
            limit = std::max(1, std::atoi(argv[++i]));
        else if (std::strcmp(argv[i], "--unbounded") == 0)
            unbounded = true;
        else if (std::strcmp(argv[i], "--skip-window") == 0)
            window = false;
        else if (std::strcmp(argv[i], "--skip-journal") == 0)
            journal = false;
        else {
            std::fprintf(stderr, "usage: %s [--lines N] [--long] [--unbounded | --limit N] [--journal-lines N] [--skip-window] [--skip-journal]\n", argv[0]);
            return 2;
        }
    }
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication app(argc, argv);
    int rc = 0;
    if (window)
        rc |= WindowPhase(lines, longLine, unbounded, limit);
    if (journal)
        rc |= JournalPhase(journalLines);
    return rc;
}
