#include "session/CardWork.h"

#include "protocol/PlainText.h"
#include "session/CardWords.h"
#include "session/JobLineScope.h"
#include "session/LinkSession.h"

#include <algorithm>
#include <utility>

const char* const NoKeysText = "No keys to try: name a key file or use the built-in keys.";

const char* CardJobName(TCardJob Job)
{
    switch (Job) {
    case TCardJob::MapKeys:
        return "Map keys";
    case TCardJob::Read:
        return "Read card";
    case TCardJob::Write:
        return "Write card";
    case TCardJob::Compare:
        return "Compare";
    }
    return "";
}

std::optional<TKeyList> KeysToTry(const TKeySources& Sources, const TDumpImage* Dump, std::string& Error,
    std::vector<std::string>* Notes)
{
    TKeyList fromFiles;
    for (const std::string& file : Sources.KeyFiles) {
        TFileError error;
        int trailers = 0;
        const std::optional<TKeyList> keys = ReadKeyFile(file, error, &trailers);
        if (!keys) {
            Error = error.Text();
            return std::nullopt;
        }
        if (trailers > 0 && Notes)
            Notes->push_back(file + " is a card dump: using the keys its " + std::to_string(trailers) + " sector trailers state");
        AddKeys(fromFiles, *keys);
    }
    TKeyList all = JobKeys(fromFiles, Dump, Sources.BuiltIn);
    if (Sources.Map) {
        for (const TSectorKeys& keys : *Sources.Map) {
            for (const std::optional<TKey>& key : {keys.KeyA, keys.KeyB})
                if (key)
                    AddKeys(all, std::span<const TKey>(&*key, 1));
        }
    }
    if (all.empty()) {
        Error = NoKeysText;
        return std::nullopt;
    }
    return all;
}

bool SaveCardDump(const std::string& Path, const TDumpImage& Card, std::string& Error, std::optional<TDumpFormat> Format)
{
    const bool nothing = std::all_of(Card.Known.begin(), Card.Known.end(), [](const TBlockData& K) { return K == TBlockData{}; });
    if (nothing) {
        Error = "no block could be read";
        return false;
    }
    return WriteDumpFile(Path, Card, Format.value_or(DumpFormatForName(Path)), Error);
}

namespace {

std::string TailOf(const TMapResult& /*Result*/) { return {}; }
std::string TailOf(const TReadResult& /*Result*/) { return {}; }
std::string TailOf(const TWriteResult& Result) { return Result.Wrote() ? std::string() : NothingWrittenText; }
std::string TailOf(const TCompareResult& Result) { return CompareText(Result); }

} // namespace

TCardWork::TCardWork(TLinkSession& Session, TCardWorkEvents& Events)
    : FSession(Session)
    , FEvents(Events)
    , FJobs(Session, Events)
{
}

void TCardWork::Cancel()
{
    FCancelled = true;
    FJobs.Cancel();
}

bool TCardWork::Stopped() const { return FCancelled || FSession.CloseRequested(); }

void TCardWork::Ended(TCardJob Job, TWorkEnd End, const TJobResult* Result, const std::string& DumpFile, const std::string& Tail)
{
    TCardJobRecord record;
    record.Job = Job;
    record.End = End;
    record.DumpFile = DumpFile;
    record.Cancelled = Stopped();
    std::string line = CardJobName(Job);
    switch (End) {
    case TWorkEnd::Refused:
        line += ": refused, another operation is running";
        break;
    case TWorkEnd::NoCard:
        line += std::string(": ") + NoCardText;
        break;
    case TWorkEnd::Declined:
        line += std::string(": cancelled; ") + NothingWrittenText;
        break;
    default:
        if (Result) {
            record.Serial = Result->Serial;
            record.Sectors = Result->Sectors;
            std::string subject = "card " + SerialText(Result->Serial.value_or(TSerial{}));
            if (!DumpFile.empty())
                subject += ", dump " + PrintableText(DumpFile);
            line += " (" + subject + "): " + (record.Cancelled ? "cancelled; " : "") + SectorResultsText(Result->Sectors);
            if (NoKeyOpens(Result->Sectors))
                line += std::string("; ") + NoKeyOpensText + ": " + FNoKeyStep;
            if (!Tail.empty())
                line += "; " + Tail;
        }
        break;
    }
    record.Line = line;
    FSession.Listeners().CardJobEnded(record);
}

std::optional<TSerial> TCardWork::FindCard(TCardJob Job, TWorkEnd& End)
{
    TOperationScope scope(FSession);
    if (!scope) {
        End = TWorkEnd::Refused;
        Ended(Job, End);
        return std::nullopt;
    }
    const TJobLineScope line(FSession, FJobs.JobReadIntervalMs);
    const std::optional<TCardId> card = FSession.FindAnyCard();
    if (!card) {
        End = TWorkEnd::NoCard;
        Ended(Job, End);
        return std::nullopt;
    }
    return card->Serial;
}

bool TCardWork::HasMap(const TSerial& Serial, const TKeyList& Keys) const
{
    if (!FKeyMap || FMapCard != Serial || FMappedWith.empty())
        return false;
    // Sorted once, when mapped: each of tens of thousands of keys against all
    // the others would hold the window for seconds.
    return std::all_of(Keys.begin(), Keys.end(),
        [this](const TKey& Key) { return std::binary_search(FMappedWith.begin(), FMappedWith.end(), Key); });
}

bool TCardWork::Map(const TSerial& Serial, const TKeyList& Keys, std::optional<TMapResult>& Result)
{
    FEvents.JobStarted(TCardJob::MapKeys);
    Result = FJobs.MapKeys(Keys, FStartMap ? &*FStartMap : nullptr);
    if (!Result) {
        Ended(TCardJob::MapKeys, TWorkEnd::Refused);
        return false;
    }
    if (!Result->Serial) {
        Ended(TCardJob::MapKeys, TWorkEnd::NoCard);
        return false;
    }
    Ended(TCardJob::MapKeys, TWorkEnd::Done, &*Result);
    return Keep(*Result, Keys) && *Result->Serial == Serial;
}

bool TCardWork::Keep(const TMapResult& Result, const TKeyList& Keys)
{
    // A sector not tried (cancelled, card gone) would pass for one no key
    // opens: such a map is shown, but the next job maps again.
    const bool whole = std::none_of(Result.Sectors.begin(), Result.Sectors.end(), [](const TSectorOutcome& Sector) {
        return Sector.Result == TSectorResult::NotRun || Sector.Result == TSectorResult::CardGone;
    });
    FKeyMap = Result.Keys;
    FMapTrailers = Result.Trailers;
    FMapCard = *Result.Serial;
    FMappedWith = whole ? Keys : TKeyList{};
    std::sort(FMappedWith.begin(), FMappedWith.end());
    return whole;
}

template <class TResult, class TJob>
TWorkRun<TResult> TCardWork::Sequence(TCardJob Job, const TKeyList& Keys, bool NeedsMap, const std::string& DumpFile, TJob&& Run)
{
    TWorkRun<TResult> run;
    if (FRunning) { // asked from inside a sequence's own events
        Ended(Job, TWorkEnd::Refused);
        return run;
    }
    FRunning = true;
    FCancelled = false;
    const std::optional<TSerial> serial = FindCard(Job, run.End);
    // The search selected the card just now: the first job starts on it.
    FJobs.StartOn(serial);
    bool mapped = true;
    if (serial && !Stopped() && NeedsMap && !HasMap(*serial, Keys))
        mapped = Map(*serial, Keys, run.Map);
    if (!serial) {
        // FindCard said why.
    } else if (Stopped()) {
        run.End = TWorkEnd::Stopped;
    } else if (!mapped) {
        // Map said how the map ended.
        if (!run.Map)
            run.End = TWorkEnd::Refused;
        else if (!run.Map->Serial)
            run.End = TWorkEnd::NoCard;
        else
            run.End = TWorkEnd::MapNotWhole;
    } else {
        FEvents.JobStarted(Job);
        run.End = Run(run, *serial);
        if (run.End == TWorkEnd::Declined) {
            Ended(Job, run.End);
        } else if (!run.Result) {
            run.End = TWorkEnd::Refused;
            Ended(Job, run.End);
        } else if (!run.Result->Serial) {
            run.End = TWorkEnd::NoCard;
            Ended(Job, run.End);
        } else {
            run.End = TWorkEnd::Done;
            Ended(Job, run.End, &*run.Result, DumpFile, TailOf(*run.Result));
        }
    }
    FJobs.StartOn(std::nullopt);
    FRunning = false;
    return run;
}

TWorkRun<TMapResult> TCardWork::MapKeys(const TKeyList& Keys)
{
    // The map is the job itself: its result is kept as any map is.
    return Sequence<TMapResult>(TCardJob::MapKeys, Keys, false, {}, [&](TWorkRun<TMapResult>& Run, const TSerial&) {
        Run.Result = FJobs.MapKeys(Keys, FStartMap ? &*FStartMap : nullptr);
        if (Run.Result && Run.Result->Serial)
            Keep(*Run.Result, Keys);
        return TWorkEnd::Done;
    });
}

TWorkRun<TReadResult> TCardWork::Read(const TKeyList& Keys, const std::string& DumpFile)
{
    // Without a map of this card the read makes one as it goes: one pass.
    return Sequence<TReadResult>(TCardJob::Read, Keys, false, DumpFile, [&](TWorkRun<TReadResult>& Run, const TSerial& Serial) {
        if (HasMap(Serial, Keys)) {
            Run.Result = FJobs.ReadCard(*FKeyMap);
            return TWorkEnd::Done;
        }
        std::optional<TMapReadResult> both = FJobs.MapAndRead(Keys, FStartMap ? &*FStartMap : nullptr);
        if (!both)
            return TWorkEnd::Done;
        if (both->Map.Serial) {
            Keep(both->Map, Keys);
            Run.Map = std::move(both->Map);
        }
        Run.Result = std::move(both->Read);
        return TWorkEnd::Done;
    });
}

TWorkRun<TWriteResult> TCardWork::Write(const TDumpImage& Dump, const TKeyList& Keys, bool Trailers, const std::string& DumpFile)
{
    return Sequence<TWriteResult>(TCardJob::Write, Keys, true, DumpFile, [&](TWorkRun<TWriteResult>& Run, const TSerial&) {
        // One question for every trailer that would change the card's.
        if (Trailers) {
            const std::vector<TTrailerChange> changes = TrailerChanges(Dump, FMapTrailers);
            if (!changes.empty() && !FEvents.ApproveTrailers(changes))
                return TWorkEnd::Declined;
        }
        Run.Result = FJobs.WriteCard(Dump, *FKeyMap, Trailers);
        if (Run.Result && Run.Result->Serial) {
            // The trailers as the card has them now, for the next write.
            for (int sector = 0; sector < SectorCount; ++sector) {
                const size_t trailer = TrailerOf(sector);
                if (Run.Result->Trailers.Known[trailer] != TBlockData{}) {
                    FMapTrailers.Data[trailer] = Run.Result->Trailers.Data[trailer];
                    FMapTrailers.Known[trailer] = Run.Result->Trailers.Known[trailer];
                }
            }
        }
        return TWorkEnd::Done;
    });
}

TWorkRun<TCompareResult> TCardWork::Compare(const TDumpImage& Dump, const TKeyList& Keys, const std::string& DumpFile)
{
    return Sequence<TCompareResult>(TCardJob::Compare, Keys, true, DumpFile,
        [&](TWorkRun<TCompareResult>& Run, const TSerial&) {
            Run.Result = FJobs.Compare(Dump, *FKeyMap);
            return TWorkEnd::Done;
        });
}
