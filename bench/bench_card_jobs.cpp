// How long the whole-card jobs take against the simulator, with and without
// a real line's timing, with the jobs' short read interval and with the
// component's own 100 ms:
//   ReadWholeCard   a whole 1K card with the factory keys as a face reads
//                   it: found, then mapped as it is read, in one pass.
//                   Aim: within 1.15 x the line's floor (about 1.94 s)
//   RefusedKey      one key the card refuses while mapping: the refused
//                   authentication and the search that selects it again.
//                   Aim: within 1.15 x the floor (about 31 ms)
//   BatchCard       one card of a production line: a fresh card, its keys
//                   mapped, 47 data blocks written from a template with a
//                   data row and each read back, recorded in an SQLite
//                   ledger, then the beep; cards_a_minute is what the line
//                   allows, the operator's hands not counted
//   ReadCard        a whole 1K card with the factory keys, the key map given
//   MapFactoryKeys  the key map of a card with the factory keys
//   MapLastKeys     the key map of a card whose keys are the last of the
//                   built-in list, as key A and as key B (key B not
//                   readable), so every sector tries the whole list twice
//   WriteCard       every data block written and read back (trailers left
//                   alone)
//   LoadKeyFile     a key file at the size limit (80,659 keys in 1 MiB,
//                   some twice) read and merged with the built-in keys, as
//                   orvelle-card and the Card page do before a job: no line,
//                   no arguments. Goal: well under a second (each key checked
//                   against all the others took 11 s of CPU).
// Arguments: pace_ms, the simulated reader's processing time (0: the
// simulator answers at once, whole; otherwise each reply byte takes its
// 1.04 ms at 9600 baud 8N1, and so does each request byte), and
// interval_ms, the job's read interval (10, or 0 for the component's
// 100 ms). Goal: read under 3 s paced with the short interval.
//
// Counters per job: exchanges, bytes on the line both ways, line_ms (the
// time those bytes take at 9600 baud), floor_ms (line_ms and the reader's
// processing for each exchange: no program can be faster on that line),
// of_floor (the time taken over that floor) and ms_per_exchange.
//
// Usage: bench_card_jobs [Google Benchmark options, e.g. --benchmark_filter=ReadCard]
#include "protocol/AccessConditions.h"
#include "protocol/BatchData.h"
#include "protocol/KeyFile.h"
#include "records/Ledger.h"
#include "serial/Comm.h"
#include "session/BatchJob.h"
#include "session/CardJobs.h"
#include "session/CardWork.h"
#include "session/JobLineScope.h"
#include "session/LinkSession.h"
#include "sim/SimServer.h"
#include "support/SessionProbe.h"

#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <QDir>
#include <QTemporaryDir>

#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

namespace {

// A reader's processing time: a card command takes the reader a millisecond
// or two on the radio side (select, three-pass authentication, a 16-byte
// read or write) before it starts its reply.
constexpr int ReaderProcessingMs = 2;
constexpr double LineByteMs = 10 * 1000.0 / 9600;

constexpr int Sectors = SectorCount;
const TKey FactoryKey = *ParseKey("FFFFFFFFFFFF");

// The simulator and a session on COM1 of a private port map, for the run.
struct TRig {
    QTemporaryDir Home;
    sim::TSimServer Sim;
    TSessionEvents Events;
    TLinkSession Session{Events};
    TCardJobEvents JobEvents;
    TCardJobs Jobs{Session, JobEvents};
    std::array<TBlockData, CardBlocks> FactoryCard{};

    bool Start()
    {
        const QString ports = Home.filePath("orvelle/ports");
        if (!Home.isValid() || !QDir().mkpath(ports))
            return false;
        ::setenv("XDG_CONFIG_HOME", Home.path().toLocal8Bit().constData(), 1);
        const std::string link = (ports + "/COM1").toStdString();
        if (::symlink(Sim.DevicePath().c_str(), link.c_str()) != 0)
            return false;
        for (int b = 0; b < CardBlocks; ++b)
            FactoryCard[size_t(b)] = Sim.Block(b);
        Session.ChoosePort(0);
        return Session.PortOpen();
    }

    void LoadFactoryCard()
    {
        for (int b = 0; b < CardBlocks; ++b)
            Sim.SetBlock(b, FactoryCard[size_t(b)]);
    }

    // Every sector: key A = key B = Key, key B not readable.
    void LoadCardWithKeys(const TKey& Key)
    {
        LoadFactoryCard();
        for (int s = 0; s < Sectors; ++s) {
            TBlockData t = Sim.Block(TrailerOf(s));
            std::copy(Key.begin(), Key.end(), t.begin());
            std::copy(Key.begin(), Key.end(), t.begin() + TrailerKeyBOffset);
            SetAccess(t, {0, 0, 0, 3});
            Sim.SetBlock(TrailerOf(s), t);
        }
    }
};

TRig* Rig = nullptr;

bool AllDone(const TSectorOutcomes& Outcomes)
{
    return std::all_of(Outcomes.begin(), Outcomes.end(), [](const TSectorOutcome& O) { return O.Result == TSectorResult::Done; });
}

// Runs Job once per iteration (Prepare before each, untimed) with the pace
// and the read interval of the case; false from Job ends the case with an
// error.
template <class TPrepare, class TJob>
double RunCase(benchmark::State& State, TPrepare&& Prepare, TJob&& Job)
{
    Rig->Sim.SetPace(int(State.range(0)));
    Rig->Jobs.JobReadIntervalMs = uint32_t(State.range(1));
    size_t exchanges = 0;
    size_t bytes = 0;
    std::chrono::duration<double, std::milli> jobTime{};
    for (auto _ : State) {
        State.PauseTiming();
        Prepare();
        const size_t logStart = Rig->Sim.Log().size();
        State.ResumeTiming();
        const auto start = std::chrono::steady_clock::now();
        const bool done = Job();
        jobTime += std::chrono::steady_clock::now() - start;
        if (!done) {
            State.SkipWithError("the job did not do every sector");
            break;
        }
        State.PauseTiming();
        const auto log = Rig->Sim.Log();
        for (size_t i = logStart; i < log.size(); ++i) {
            exchanges += log[i].FromProgram;
            bytes += log[i].Bytes.size();
        }
        State.ResumeTiming();
    }
    const double runs = double(State.iterations());
    const double floor = (double(bytes) * LineByteMs + double(exchanges) * double(State.range(0))) / runs;
    State.counters["exchanges"] = double(exchanges) / runs;
    State.counters["bytes"] = double(bytes) / runs;
    State.counters["line_ms"] = double(bytes) * LineByteMs / runs;
    State.counters["floor_ms"] = floor;
    State.counters["of_floor"] = floor > 0 ? jobTime.count() / runs / floor : 0;
    State.counters["ms_per_exchange"] = exchanges ? jobTime.count() / double(exchanges) : 0;
    return jobTime.count() / runs;
}

void LoadFactoryCard() { Rig->LoadFactoryCard(); }

TKeyMap FactoryKeyMap()
{
    TKeyMap map;
    map.fill(TSectorKeys{FactoryKey, std::nullopt}); // key B readable: no key
    return map;
}

void ReadCard(benchmark::State& State)
{
    const TKeyMap keys = FactoryKeyMap();
    auto read = [&] {
        const std::optional<TReadResult> result = Rig->Jobs.ReadCard(keys);
        return result && AllDone(result->Sectors) && result->Image.AllKnown();
    };
    RunCase(State, LoadFactoryCard, read);
}

void ReadWholeCard(benchmark::State& State)
{
    const TKeyList candidates = CandidateKeys({}, true);
    TCardWorkEvents events;
    auto read = [&] {
        // A new workflow each time: no map kept from the last run.
        TCardWork work(Rig->Session, events);
        const TWorkRun<TReadResult> run = work.Read(candidates);
        return run.End == TWorkEnd::Done && AllDone(run.Result->Sectors) && run.Result->Image.AllKnown();
    };
    RunCase(State, LoadFactoryCard, read);
}

void RefusedKey(benchmark::State& State)
{
    TCardReader& reader = TSessionProbe::Reader(Rig->Session);
    const TKey wrong = *ParseKey("A1B2C3D4E5F6");
    const auto select = [&] {
        Rig->LoadFactoryCard();
        reader.SearchCardSerial(SearchModes::AllCards);
    };
    auto probe = [&] {
        const TJobLineScope line(Rig->Session, uint32_t(State.range(1)));
        return !reader.Authenticate(0, KeySources::TypedA, &wrong) && reader.SearchCardSerial(SearchModes::AllCards);
    };
    RunCase(State, select, probe);
}

void BatchCard(benchmark::State& State)
{
    QTemporaryDir dir;
    QString error;
    const std::unique_ptr<TLedger> ledger = TLedger::Open(dir.filePath("ledger.sqlite"), QStringLiteral("bench"), error);
    std::string csv = "number,block 4\n";
    for (int row = 1; row <= 200; ++row) {
        char line[64];
        std::snprintf(line, sizeof line, "%d,%032d\n", row, row);
        csv += line;
    }
    TFileError fileError;
    const std::optional<TBatchData> data = ParseBatchData(csv, "bench.csv", fileError);
    if (!ledger || !data) {
        State.SkipWithError("no ledger or no data");
        return;
    }
    TDumpImage image;
    for (int b = 1; b < CardBlocks; ++b) {
        if (!IsTrailer(b))
            image.SetBlock(b, TBlockData{uint8_t(b), 0xBA, 0x7C, 0x40});
    }
    const TBatchStart start = BatchStartOf(QStringLiteral("bench"), "template.txt", "bench.csv", data);
    if (!ledger->StartBatch(start)) {
        State.SkipWithError("the batch did not start");
        return;
    }
    TBatchSettings settings;
    settings.Batch = start.Name;
    settings.Station = QStringLiteral("bench");
    settings.Keys = CandidateKeys({}, true);
    settings.CardImage = CardImages(image, data);
    settings.Count = 1;
    struct TLast : TBatchEvents {
        std::optional<TBatchCard> Card;
        void CardEnded(const TBatchCard& Card_, const TBatchCounters&) override { Card = Card_; }
    } events;
    TBatchJob job(Rig->Session, *ledger, events);
    uint8_t next = 0;
    auto place = [&] { Rig->Sim.InsertBlankCard(std::array<uint8_t, 4>{0x4B, 0xE0, 0x00, ++next}); };
    auto prepare = [&] {
        events.Card.reset();
        return job.Run(settings) == TBatchEnd::CountReached && events.Card && events.Card->Result == TBatchResult::Done
            && events.Card->Written.size() == 47;
    };
    const double msPerCard = RunCase(State, place, prepare);
    State.counters["cards_a_minute"] = msPerCard > 0 ? 60000 / msPerCard : 0;
}

void MapFactoryKeys(benchmark::State& State)
{
    // The factory card's trailers make key B readable: key A alone is found.
    const TKeyList candidates = CandidateKeys({}, true);
    auto map = [&] {
        const std::optional<TMapResult> found = Rig->Jobs.MapKeys(candidates);
        return found && AllDone(found->Sectors) && found->Keys == FactoryKeyMap();
    };
    RunCase(State, LoadFactoryCard, map);
}

void MapLastKeys(benchmark::State& State)
{
    const TKey last = DefaultKeys().back();
    const TKeyList candidates = CandidateKeys({}, true);
    auto map = [&] {
        const std::optional<TMapResult> found = Rig->Jobs.MapKeys(candidates);
        return found && AllDone(found->Sectors)
            && std::all_of(found->Keys.begin(), found->Keys.end(), [&](const TSectorKeys& K) { return K == TSectorKeys{last, last}; });
    };
    auto load = [&] { Rig->LoadCardWithKeys(last); };
    RunCase(State, load, map);
}

void WriteCard(benchmark::State& State)
{
    int pass = 0;
    TDumpImage dump;
    auto prepare = [&] {
        Rig->LoadFactoryCard();
        // New data every time, so that every block really changes.
        ++pass;
        dump = TDumpImage{};
        for (int b = 1; b < CardBlocks; ++b) {
            if (!IsTrailer(b))
                dump.SetBlock(b, TBlockData{uint8_t(b), uint8_t(pass), 0xC0, 0xDE});
        }
    };
    auto write = [&] {
        TKeyMap keys = FactoryKeyMap();
        const std::optional<TWriteResult> written = Rig->Jobs.WriteCard(dump, keys, false);
        return written && AllDone(written->Sectors);
    };
    RunCase(State, prepare, write);
}

void LoadKeyFile(benchmark::State& State)
{
    // 13 bytes a line; every 100th key a second time, so that the merge has
    // something to drop.
    QTemporaryDir dir;
    const std::string path = dir.filePath("limit.keys").toStdString();
    std::string content;
    for (int i = 0; content.size() + 13 <= 1024 * 1024; ++i) {
        char line[16];
        std::snprintf(line, sizeof line, "%012X\n", (i % 100 == 99 ? i - 50 : i) * 7919);
        content += line;
    }
    if (FILE* file = std::fopen(path.c_str(), "wb")) {
        std::fwrite(content.data(), 1, content.size(), file);
        std::fclose(file);
    }
    size_t keys = 0;
    for (auto _ : State) {
        TFileError error;
        const std::optional<TKeyList> read = ReadKeyFile(path, error);
        if (!read) {
            State.SkipWithError(error.Text().c_str());
            break;
        }
        keys = read->size();
        benchmark::DoNotOptimize(CandidateKeys(*read, true));
    }
    State.counters["keys"] = double(keys);
}

// Paced and not, with one read interval.
void Cases(benchmark::internal::Benchmark* B, int IntervalMs)
{
    B->ArgNames({"pace_ms", "interval_ms"});
    for (const int pace : {ReaderProcessingMs, 0})
        B->Args({pace, IntervalMs});
    B->UseRealTime()->Unit(benchmark::kMillisecond);
}

void ShortInterval(benchmark::internal::Benchmark* B) { Cases(B, int(TCardJobs::ShortReadIntervalMs)); }
// On the paced line only: what the aims are about.
void Paced(benchmark::internal::Benchmark* B)
{
    B->ArgNames({"pace_ms", "interval_ms"});
    B->Args({ReaderProcessingMs, int(TCardJobs::ShortReadIntervalMs)});
    B->UseRealTime()->Unit(benchmark::kMillisecond);
}
void ComponentInterval(benchmark::internal::Benchmark* B) { Cases(B, 0); }

} // namespace

// A few minutes in all, most of them the key map of the last keys with the
// component's interval: some 820 exchanges of at least 100 ms each. The
// long interval's figures are mostly that interval: one run each.
BENCHMARK(ReadWholeCard)->Apply(Paced)->Iterations(3);
BENCHMARK(RefusedKey)->Apply(Paced)->Iterations(50);
BENCHMARK(BatchCard)->Apply(Paced)->Iterations(5);
BENCHMARK(ReadCard)->Apply(ShortInterval)->Iterations(3);
BENCHMARK(ReadCard)->Apply(ComponentInterval)->Iterations(1);
BENCHMARK(MapFactoryKeys)->Apply(ShortInterval)->Iterations(3);
BENCHMARK(MapFactoryKeys)->Apply(ComponentInterval)->Iterations(1);
BENCHMARK(MapLastKeys)->Apply(ShortInterval)->Iterations(1);
BENCHMARK(MapLastKeys)->Apply(ComponentInterval)->Iterations(1);
BENCHMARK(WriteCard)->Apply(ShortInterval)->Iterations(3);
BENCHMARK(WriteCard)->Apply(ComponentInterval)->Iterations(1);
BENCHMARK(LoadKeyFile)->Unit(benchmark::kMillisecond);

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 2;
    auto rig = std::make_unique<TRig>();
    if (!rig->Start()) {
        std::fprintf(stderr, "bench_card_jobs: cannot link the simulator's reader as COM1\n");
        return 1;
    }
    Rig = rig.get();
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    Rig = nullptr;
    return 0;
}
