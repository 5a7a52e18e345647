#pragma once
// TCardWork: the whole-card workflow every face shares (the "Card" page,
// orvelle-card, any later program). One call is one sequence: look for the
// card, map its keys unless a whole map of that very card, made with every
// candidate key, is kept, then run the job. The key map is kept per card
// serial number and reused while the same card stays in the field. A cancel
// lasts for the whole sequence, not one job of it.
//
// Progress and questions go to the driving face (TCardWorkEvents); each job's
// end goes to every listener of the session (TSessionEvents::CardJobEnded),
// so the records see it whatever face drove it.

#include "session/CardJobs.h"
#include "session/CardWords.h"
#include "session/SessionEvents.h"

#include <optional>
#include <string>
#include <utility>
#include <vector>

class TLinkSession;

// "Map keys", "Read card", "Write card", "Compare".
const char* CardJobName(TCardJob Job);

// Where the candidate keys come from: key files, the built-in list, and a
// saved key map's keys, tried after the rest.
struct TKeySources {
    std::vector<std::string> KeyFiles;
    bool BuiltIn = true;
    const TKeyMap* Map = nullptr;
};

// "No keys to try: name a key file or use the built-in keys."
extern const char* const NoKeysText;

// The keys to try, in JobKeys' order (the dump's stated keys, the files',
// the built-in list), each once. None, with Error, when a key file is bad
// (it names the file and line) or no key is left at all; nothing has been
// sent then.
// A card dump given as a key file gives the keys its trailers state, and
// Notes, when given, gets "KEYS is a card dump: using the keys its N sector
// trailers state".
std::optional<TKeyList> KeysToTry(const TKeySources& Sources, const TDumpImage* Dump, std::string& Error,
    std::vector<std::string>* Notes = nullptr);

// Saves a card read: refused when no block of it is known (an earlier file
// of that name is worth more than one of nothing), in the form the name asks
// for (DumpFormatForName) or Format, and in a form other than text only when
// every digit is known.
bool SaveCardDump(const std::string& Path, const TDumpImage& Card, std::string& Error,
    std::optional<TDumpFormat> Format = std::nullopt);

// What a sequence's result is.
template <class TResult>
struct TWorkRun {
    TWorkEnd End = TWorkEnd::Refused;
    // The keys mapped by this sequence, when it mapped.
    std::optional<TMapResult> Map;
    // The job's result, when it ran (End is Done).
    std::optional<TResult> Result;
};

class TCardWorkEvents : public TCardJobEvents {
public:
    // A job of the sequence begins: the map, then the command's job.
    virtual void JobStarted(TCardJob /*Job*/) { }
    // Writing with trailers: every trailer of the dump that would change the
    // card's, asked once before the job; false cancels the write, and nothing
    // is written. ConfirmTrailer is still asked of each during the job.
    virtual bool ApproveTrailers(const std::vector<TTrailerChange>& /*Changes*/) { return true; }
};

class TCardWork {
public:
    TCardWork(TLinkSession& Session, TCardWorkEvents& Events);

    // Maps the keys also of a card a map is kept of: the key files may have
    // changed.
    TWorkRun<TMapResult> MapKeys(const TKeyList& Keys);
    // DumpFile, where the card tool saves the card read, names it in the records.
    TWorkRun<TReadResult> Read(const TKeyList& Keys, const std::string& DumpFile = {});
    // With Trailers, the trailers that differ from the card's and that the
    // events approve are written too. DumpFile names the dump in the records.
    TWorkRun<TWriteResult> Write(const TDumpImage& Dump, const TKeyList& Keys, bool Trailers, const std::string& DumpFile);
    TWorkRun<TCompareResult> Compare(const TDumpImage& Dump, const TKeyList& Keys, const std::string& DumpFile);

    // The map every mapping of a sequence starts from (a saved one): each
    // sector's keys of it are tried first, the candidates only for a key it
    // lacks or that does not open the sector.
    void StartFrom(const std::optional<TKeyMap>& Map) { FStartMap = Map; }

    // Ends the running sequence before its next exchange; the rest of it
    // does not run.
    void Cancel();
    // Cancelled, or the session asked to close.
    bool Stopped() const;
    bool Running() const { return FRunning; }

    // The map kept, of the card MapCard (none before the first map); a map
    // that did not try every sector is kept to be shown, not to be reused.
    const std::optional<TKeyMap>& KeyMap() const { return FKeyMap; }
    // What a job's line says to do when no key opened any sector, in the
    // words of the face that drives it (NoKeyStepWindow by default).
    void SetNoKeyStep(std::string Step) { FNoKeyStep = std::move(Step); }
    const TSerial& MapCard() const { return FMapCard; }
    // That card's trailers as mapping showed them, and as written since.
    const TDumpImage& MapTrailers() const { return FMapTrailers; }

private:
    template <class TResult, class TJob>
    TWorkRun<TResult> Sequence(TCardJob Job, const TKeyList& Keys, bool NeedsMap, const std::string& DumpFile, TJob&& Run);
    // The card in the field; none, with End and its line, when the session
    // is busy or no card answers.
    std::optional<TSerial> FindCard(TCardJob Job, TWorkEnd& End);
    bool HasMap(const TSerial& Serial, const TKeyList& Keys) const;
    // Maps the keys; true when every sector of Serial was tried.
    bool Map(const TSerial& Serial, const TKeyList& Keys, std::optional<TMapResult>& Result);
    // Keeps a map of a card; true when it tried every sector.
    bool Keep(const TMapResult& Result, const TKeyList& Keys);
    // Tells every listener how a job ended.
    void Ended(TCardJob Job, TWorkEnd End, const TJobResult* Result = nullptr, const std::string& DumpFile = {},
        const std::string& Tail = {});

    TLinkSession& FSession;
    TCardWorkEvents& FEvents;
    TCardJobs FJobs;
    bool FRunning = false;
    bool FCancelled = false;
    std::optional<TKeyMap> FKeyMap;
    TSerial FMapCard{};
    TKeyList FMappedWith; // sorted; empty when the map is not whole
    std::string FNoKeyStep = NoKeyStepWindow;
    TDumpImage FMapTrailers;
    std::optional<TKeyMap> FStartMap;
};
