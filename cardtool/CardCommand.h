#pragma once
// What a row of orvelle-card's command table says about a command, and one
// of its option table about an option. The rows themselves are in
// Commands.cpp; the usage, the parser's checks, the results' "command" and
// the dispatch are all read from them, so that a command is spelled once.

#include <QString>

#include <initializer_list>

class QCommandLineParser;
class TCardTool;
struct TCardOptions;

// The command's one argument, and what the run does with it before the port
// opens: a mistake in it sends nothing to the reader.
enum class TCardOperand {
    None,
    DumpToRead, // "a dump FILE": read in, and named in the results
    DumpToSave, // "a dump FILE": found writable now, saved once the card is read
    Template,   // "TEMPLATE": read in
    Paths,      // "[PATH...]": any number, none needed
    Run         // "RUN": a loop run's CSV or its stem, read by the command
};

// What the results show beside each sector's keys and result.
enum class TCardResults {
    Sectors,  // nothing more
    Written,  // the blocks a write left alone and a declined trailer; a line when nothing was written
    Compared, // the differing blocks, and how much was compared
    Streamed  // no table at the end: a line or an object as each thing is done
};

// A row names its fields (designated), and leaves out those it has none of.
struct TCardCommand {
    const char* Name = nullptr;
    TCardOperand Operand = TCardOperand::None;
    // --help: the synopsis, its later lines indented as they are to be shown,
    // and the help, one line of its column a line.
    const char* Synopsis = nullptr;
    const char* Help = nullptr;
    // The options of this command alone or of a few (TCardOption::Listed);
    // those of every command, and of every one that UsesReader, come with
    // their scope.
    std::initializer_list<const char*> Options = {};
    // Opens a port and talks to the reader on it.
    bool UsesReader = false;
    TCardResults Results = TCardResults::Sectors;
    // A rule between the command's options once every value is read: the
    // mistake, or empty. None for most.
    QString (*Check)(const TCardOptions& Options, const QCommandLineParser& Parser) = nullptr;
    // Before the port opens, after the input files: ExitDone, or the exit
    // status with the reason said. None for most.
    int (TCardTool::*Prepare)() = nullptr;
    // The command itself: the exit status.
    int (TCardTool::*Run)() = nullptr;
};

struct TCardOption {
    enum TScope {
        Everywhere, // every command, and none
        Reader,     // every command that uses a reader
        Listed      // the commands that list it
    };
    const char* Name;  // without the dashes
    char Short;        // a one-letter name too, or 0
    const char* Value; // the value's name as --help shows it; none for a switch
    const char* Help;  // one line of the help column a line
    TScope Scope;
};
