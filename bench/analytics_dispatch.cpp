// Hits taken from the hit store (the real one, over SQLite on the analytics
// thread), sent to a loopback collector in 20-hit gzip batches and deleted, per
// second; and the gzip bytes a screen view costs in a full batch.
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

#include "analytics/TLY.h"
#include "analytics/TLYAnalyticsPropertiesStore.h"
#include "analytics/TLYBatchingDispatcher.h"
#include "analytics/TLYDataStore.h"
#include "platform/foundation/RunLoop.h"
#include "platform/foundation/Sandbox.h"
#include "tests/analytics/dispatch_support.h"

namespace {

using platform::foundation::Value;

// A minimal keep-alive collector that answers every request 200.
class Collector {
public:
    Collector() {
        listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(listener_, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
        socklen_t len = sizeof addr;
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&addr), &len);
        port_ = ntohs(addr.sin_port);
        ::listen(listener_, 16);
        thread_ = std::thread([this] { serve(); });
    }
    ~Collector() {
        stop_ = true;
        ::shutdown(listener_, SHUT_RDWR);
        ::close(listener_);
        thread_.join();
    }
    std::string baseURL() const { return "http://127.0.0.1:" + std::to_string(port_); }

private:
    void serve() {
        while (!stop_) {
            int fd = ::accept(listener_, nullptr, nullptr);
            if (fd < 0) return;
            std::thread([fd] { connection(fd); }).detach();
        }
    }
    static void connection(int fd) {
        std::string buffer;
        char chunk[65536];
        for (;;) {
            size_t end;
            while ((end = buffer.find("\r\n\r\n")) == std::string::npos) {
                ssize_t n = ::read(fd, chunk, sizeof chunk);
                if (n <= 0) return (void)::close(fd);
                buffer.append(chunk, size_t(n));
            }
            size_t length = 0;
            if (size_t at = buffer.find("Content-Length: "); at != std::string::npos && at < end)
                length = std::stoul(buffer.substr(at + 16));
            while (buffer.size() < end + 4 + length) {
                ssize_t n = ::read(fd, chunk, sizeof chunk);
                if (n <= 0) return (void)::close(fd);
                buffer.append(chunk, size_t(n));
            }
            buffer.erase(0, end + 4 + length);
            static const char reply[] = "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n";
            if (::write(fd, reply, sizeof reply - 1) < 0) return (void)::close(fd);
        }
    }
    int listener_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

Value screenView(int i) {
    return Value(Value::Dictionary{{"&t", "screenview"},
                                   {"&cd", "MainViewController"},
                                   {"&tid", "UA-12345678-1"},
                                   {"&cid", "2c5f0b9e-5d2b-4b8e-9d7c-1f3c2a4b6e8d"},
                                   {"&an", "Quenmira"},
                                   {"&av", "1.0"},
                                   {"&sr", "750x1334"},
                                   {"&ul", "en-us"},
                                   {"&z", std::to_string(100000000 + i)}});
}

struct Fixture {
    Fixture() {
        ::setenv(kTLYCollectURLEnvironmentVariable, collector.baseURL().c_str(), 1);
        platform::foundation::Sandbox::setHome(dir.path());
        store = TLYDataStore::dataStore();
        store->setMaxHitCount(0);  // each round's hits all wait to be sent
        TLYBatchingDispatcher::Environment env;
        // As in the application: the dispatcher and the store work on the analytics thread.
        env.analyticsLoop = nullptr;
        env.propertiesStore =
            TLYAnalyticsPropertiesStore::initWithSqlStore(TLYSqlStore::initWithDatabaseName("aux.sql", dir.path()));
        env.reachabilityApi = tlytest::ScriptedReachability::api();
        env.sendThroughTracker = [](const Value&) {};
        dispatcher = TLYBatchingDispatcher::initWithDataStore(store, env);
        dispatcher->setUrlConnectionClass(
            [this](const platform::net::URLRequest& r, platform::foundation::dispatch::Queue* q,
                   TLYURLConnection::CompletionHandler h, platform::foundation::RunLoop* l) {
                lastBody = r.httpBody().size();
                return TLYURLConnection::initWithRequest(r, q, std::move(h), l);
            });
    }
    // Whether a request is out, asked on the analytics thread that owns the answer.
    bool sending() {
        std::promise<bool> answer;
        TLY::thread().perform([&] { answer.set_value(dispatcher->hasConnection()); });
        return answer.get_future().get();
    }
    ~Fixture() {
        dispatcher.reset();
        platform::foundation::RunLoop::main().runUntilIdle();
        store->close();
    }
    tlytest::TempDir dir;
    Collector collector;
    std::shared_ptr<TLYDataStore> store;
    std::shared_ptr<TLYBatchingDispatcher> dispatcher;
    size_t lastBody = 0;
};

void BM_HitsSentAndDeletedPerSecond(benchmark::State& state) {
    Fixture f;
    const int perRound = 2000;
    int64_t sent = 0;
    for (auto _ : state) {
        state.PauseTiming();
        for (int i = 0; i < perRound; ++i) f.dispatcher->queueDispatch(screenView(i));
        // Stored and committed before the clock runs.
        tlytest::pumpUntil([&] { return f.store->hitCount() == perRound; }, 60);
        f.sending();  // after the commit queued behind the last hit
        state.ResumeTiming();
        f.dispatcher->dispatch();
        // Asked every few milliseconds: each question takes the analytics thread from the sender.
        auto next = std::chrono::steady_clock::now();
        tlytest::pumpUntil(
            [&] {
                if (std::chrono::steady_clock::now() < next) return false;
                next = std::chrono::steady_clock::now() + std::chrono::milliseconds(5);
                return f.store->hitCount() == 0 && !f.sending();
            },
            60);
        sent += perRound;
    }
    state.SetItemsProcessed(sent);
    if (f.store->hitCount() != 0) state.SkipWithError("hits were left unsent");
    state.counters["gzip_bytes_per_hit"] = double(f.lastBody) / 20.0;
}
BENCHMARK(BM_HitsSentAndDeletedPerSecond)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
