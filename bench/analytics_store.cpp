// Hits completed and stored through a tracker, each save committed; a burst
// of 10,000 hits sent from the main thread until all are stored and committed;
// the latency of one hit from send to commit; database bytes per stored hit;
// memory over 100,000 hits. Beside them, the limit the store works against:
// one-row commits of a row of a stored hit's size straight through SQLite
// (WAL, synchronous NORMAL), from C and from python's sqlite3.
#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <future>
#include <vector>

#include "analytics/TLY.h"
#include "analytics/TLYBatchingDispatcher.h"
#include "analytics/TLYDataStore.h"
#include "analytics/TLYTrackerImpl.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/Sandbox.h"
#include "platform/foundation/Thread.h"
#include "platform/foundation/Value.h"
#include "tests/support/ShellTools.h"

using platform::foundation::Value;

namespace {

void drain() {
    std::promise<void> done;
    TLY::thread().perform([&done] { done.set_value(); });
    done.get_future().wait();
}

double residentKiB() {
    long pages = 0, resident = 0;
    if (FILE* f = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
        std::fclose(f);
    }
    return double(resident) * double(sysconf(_SC_PAGESIZE)) / 1024.0;
}

struct Setup {
    std::string home;
    std::shared_ptr<TLYDataStore> store;
    std::shared_ptr<TLYBatchingDispatcher> sender;
    std::shared_ptr<TLYTrackerImpl> tracker;

    Setup() {
        char pattern[] = "/tmp/qm-bench-tly-XXXXXX";
        home = mkdtemp(pattern);
        platform::foundation::Bundle::setMainBundlePath(QM_BUNDLE_DIR);
        platform::foundation::Sandbox::setHome(home);
        sender = TLYBatchingDispatcher::dispatcher();  // no collection host reachable: hits stay stored
        store = sender->dataStore();
        tracker = TLYTrackerImpl::trackerWithDispatcher(sender, "bench");
        tracker->set("&tid", "UA-BENCH");
        tracker->set("&cd", "MainViewController");
    }
    ~Setup() {
        drain();
        store->close();
        std::filesystem::remove_all(home);
    }
    void send() {
        tracker->setTrackingCredits(60.0);  // past the rate limiter
        tracker->send(Value(Value::Dictionary{{"&t", Value("screenview")}}));
    }
    uint64_t databaseBytes() const {
        uint64_t total = 0;
        for (const char* suffix : {"", "-wal"}) {
            std::error_code ec;
            auto size = std::filesystem::file_size(*TLYDataStore::databaseFullPath(kTLYStoreFileName) + suffix, ec);
            if (!ec) total += size;
        }
        return total;
    }
};

// The size of the parameters of the hit that Setup sends, as stored.
constexpr int kPeerRowBytes = 420;

void BM_PeerSqliteOneRowCommits(benchmark::State& state) {
    char pattern[] = "/tmp/qm-bench-peer-XXXXXX";
    const std::string dir = mkdtemp(pattern);
    sqlite3* db = nullptr;
    sqlite3_open((dir + "/peer.sql").c_str(), &db);
    sqlite3_exec(db, "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;", nullptr, nullptr, nullptr);
    sqlite3_exec(db, "CREATE TABLE t(_pk INTEGER PRIMARY KEY, timestamp REAL, parameters BLOB)", nullptr, nullptr,
                 nullptr);
    sqlite3_stmt* insert = nullptr;
    sqlite3_prepare_v2(db, "INSERT INTO t(timestamp, parameters) VALUES(?, ?)", -1, &insert, nullptr);
    const std::vector<uint8_t> row(kPeerRowBytes, 'x');
    double t = 0;
    for (auto _ : state) {
        sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
        sqlite3_bind_double(insert, 1, t += 1);
        sqlite3_bind_blob(insert, 2, row.data(), int(row.size()), SQLITE_STATIC);
        sqlite3_step(insert);
        sqlite3_reset(insert);
        sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
    }
    state.SetItemsProcessed(int64_t(state.iterations()));
    sqlite3_finalize(insert);
    sqlite3_close(db);
    std::filesystem::remove_all(dir);
}
BENCHMARK(BM_PeerSqliteOneRowCommits)->Unit(benchmark::kMicrosecond)->UseRealTime();

// Python times its own loop and prints the rows per second.
void BM_PeerPythonSqliteOneRowCommits(benchmark::State& state) {
    char pattern[] = "/tmp/qm-bench-peer-XXXXXX";
    const std::string dir = mkdtemp(pattern);
    const std::string script = "import sqlite3, sys, time\n"
                               "c = sqlite3.connect(sys.argv[1], isolation_level=None)\n"
                               "c.execute('PRAGMA journal_mode=WAL'); c.execute('PRAGMA synchronous=NORMAL')\n"
                               "c.execute('CREATE TABLE t(_pk INTEGER PRIMARY KEY, timestamp REAL, parameters BLOB)')\n"
                               "row, n = b'x' * " +
                               std::to_string(kPeerRowBytes) +
                               ", 20000\n"
                               "start = time.perf_counter()\n"
                               "for i in range(n):\n"
                               "    c.execute('BEGIN')\n"
                               "    c.execute('INSERT INTO t(timestamp, parameters) VALUES(?, ?)', (float(i), row))\n"
                               "    c.execute('COMMIT')\n"
                               "print(n / (time.perf_counter() - start))\n";
    double rate = 0;
    for (auto _ : state) {
        std::filesystem::remove(dir + "/peer.sql");
        const qmtest::Ran ran = qmtest::run({"python3", "-c", script, dir + "/peer.sql"});
        if (!ran.ok() || std::sscanf(ran.out.c_str(), "%lf", &rate) != 1) state.SkipWithError("python3 did not answer");
    }
    state.counters["rows_per_second"] = rate;
    std::filesystem::remove_all(dir);
}
BENCHMARK(BM_PeerPythonSqliteOneRowCommits)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

void BM_HitsCompletedAndStored(benchmark::State& state) {
    Setup setup;
    int64_t sent = 0;
    for (auto _ : state) {
        setup.send();
        // Bounded queue: the sender waits for the store every 256 hits.
        if (++sent % 256 == 0) drain();
    }
    drain();
    state.SetItemsProcessed(sent);
    int64_t stored = setup.store->hitCount();
    state.counters["stored_hits"] = double(stored);
    state.counters["db_bytes_per_hit"] = stored > 0 ? double(setup.databaseBytes()) / double(stored) : 0;
}
BENCHMARK(BM_HitsCompletedAndStored)->Unit(benchmark::kMicrosecond)->UseRealTime();

// The main thread sends 10,000 hits as fast as it can; the time runs until the
// last one is committed. The store keeps them all (no ceiling reached).
void BM_BurstOfTenThousandHits(benchmark::State& state) {
    constexpr int kBurst = 10000;
    Setup setup;
    setup.store->setMaxHitCount(uint64_t(kBurst) * 100);
    setup.send();
    drain();
    for (auto _ : state) {
        for (int i = 0; i < kBurst; ++i) setup.send();
        drain();
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * kBurst);
    state.counters["stored_hits"] = double(setup.store->hitCount());
}
BENCHMARK(BM_BurstOfTenThousandHits)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);

// One hit at a time: from send on the main thread to its commit.
void BM_OneHitSendToCommit(benchmark::State& state) {
    Setup setup;
    setup.send();
    drain();
    for (auto _ : state) {
        setup.send();
        drain();
    }
    state.SetItemsProcessed(int64_t(state.iterations()));
}
BENCHMARK(BM_OneHitSendToCommit)->Unit(benchmark::kMicrosecond)->UseRealTime();

void BM_MemoryOverHundredThousandHits(benchmark::State& state) {
    Setup setup;
    for (int i = 0; i < 5000; ++i) setup.send();  // warm up to the store's 2000-hit ceiling
    drain();
    double before = residentKiB();
    for (auto _ : state) {
        for (int i = 0; i < 100000; ++i) {
            setup.send();
            if (i % 256 == 0) drain();
        }
        drain();
    }
    state.counters["rss_growth_kib"] = residentKiB() - before;
    state.counters["stored_hits"] = double(setup.store->hitCount());
    state.SetItemsProcessed(int64_t(state.iterations()) * 100000);
}
BENCHMARK(BM_MemoryOverHundredThousandHits)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
