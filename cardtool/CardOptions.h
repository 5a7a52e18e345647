#pragma once
// What orvelle-card's command line asks for, once read and checked.

#include "cardtool/CardCommand.h"
#include "protocol/BatchData.h"
#include "protocol/DumpFile.h"

#include <QDateTime>
#include <QString>

#include <optional>
#include <string>
#include <vector>

struct TCardOptions {
    enum TAction { Run,
        Help,
        Version,
        Error };
    TAction Action = Run;
    // The usage for Help, the version line, or the error with a hint.
    QString Text;
    // Error: the mistake alone, control characters shown as \xHH.
    QString Why;

    // The command's row of the table; set on Run.
    const TCardCommand* Command = nullptr;
    // The dump to read into, write or compare with; batch: the template.
    std::string File;
    // A COM name of the port map, or a device path.
    std::string Port = "COM1";
    std::vector<std::string> KeyFiles;
    // --map: a saved key map every mapping starts from.
    std::string MapFile;
    // keys --save: where the map found is saved.
    std::string SaveMap;
    // --format: the form a read's dump (or keys --save's map: binary or text)
    // is saved in; none: by the file's name.
    std::optional<TDumpFormat> Format;
    bool BuiltInKeys = true; // --no-builtin-keys leaves them out
    bool Json = false;       // also on Error, when --json was among the arguments
    bool Trailers = false;
    bool Yes = false;
    bool Permanent = false; // --trailers may write a trailer that locks something for good
    // batch --approve-trailers: the digest (TrailersDigest) of the template's
    // trailers approved ahead; empty: none.
    QString ApprovedTrailers;
    int ReplyTimeoutMs = 500;

    // batch and ledger
    std::string DataFile; // --data: a row of data a card
    // --label (repeated) and --labels-only: how the data file is taken.
    TDataFileOptions DataOptions;
    QString LedgerSpec;     // --ledger FILE|URL; empty: the default SQLite file
    QString BatchName;      // --batch; empty: from the data file, else the template
    QString Station;        // --station; empty: host name and port
    QString Operator;       // --operator; batch: empty, the login name; ledger: a filter
    int Count = 0;          // --count: cards to do; 0: no limit
    bool Again = false;     // --again
    QString ReleaseStation; // ledger --release STATION

    // The ledger's claims, and a data file used twice.
    bool Force = false;      // ledger --release --force: a live station's claims too
    bool ListClaims = false; // ledger --claims
    bool ReuseData = false;  // batch --reuse-data
    // ledger --local: times in local time, not UTC.
    bool LocalTimes = false;
    bool Summary = false;   // ledger --summary
    std::string ReportFile; // ledger --report: the shift report's HTML file
    // ledger: only the records from Since, before Until (invalid: no
    // bound), of Station and of Result (empty: any).
    QDateTime Since;
    QDateTime Until;
    QString Result;
    // --ledger-password-file: where the PostgreSQL password is.
    std::string LedgerPasswordFile;

    // ports: the PATHs named, and --probe (--map COMn is MapFile).
    std::vector<std::string> Paths;
    bool Probe = false;
    // loop-report -o: the page's file; empty: beside the run.
    std::string OutputFile;
};

// The reply time-out's bounds: at least one wait step, at most a minute.
constexpr int MinReplyTimeoutMs = 50;
constexpr int MaxReplyTimeoutMs = 60000;
