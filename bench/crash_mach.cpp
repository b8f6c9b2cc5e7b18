// One fault's way back to the faulting thread: through the Mach stand-in (the
// fault becomes an exception message, a handler thread answers, the thread
// resumes) against plain signal delivery to a handler, in the same run. Each
// iteration faults on a page made inaccessible and lets the handler make it
// writable again, so both sides pay the same two protection changes.
#include <benchmark/benchmark.h>
#include <pthread.h>
#include <sys/mman.h>

#include <csignal>

#include "crash/capture/handler/MachExceptionCallbacks.h"

namespace ps = platform::system;

namespace {

void* gPage;

void protect() { mprotect(gPage, 4096, PROT_NONE); }
void unprotect() { mprotect(gPage, 4096, PROT_READ | PROT_WRITE); }

void* mapPage() { return mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0); }

void onSignal(int) { unprotect(); }

// Runs first: the stand-in's own action, once registered, would stand in front.
void BM_SignalFaultDelivery(benchmark::State& state) {
    gPage = mapPage();
    struct sigaction sa {};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    struct sigaction old;
    sigaction(SIGSEGV, &sa, &old);
    for (auto _ : state) {
        protect();
        *static_cast<volatile int*>(gPage) = 1;
    }
    sigaction(SIGSEGV, &old, nullptr);
    munmap(gPage, 4096);
}
BENCHMARK(BM_SignalFaultDelivery);

ps::mach_port_t gPort;

void* serve(void*) {
    alignas(8) uint8_t buffer[1024];
    for (;;) {
        auto* h = reinterpret_cast<ps::mach_msg_header_t*>(buffer);
        if (ps::mach_msg(h, ps::MACH_RCV_MSG, 0, sizeof buffer, gPort, 0, 0) != ps::MACH_MSG_SUCCESS) return nullptr;
        unprotect();
        ovcrash::mach_exception_reply(h, ps::KERN_SUCCESS);
    }
}

void BM_MachFaultRoundTrip(benchmark::State& state) {
    gPage = mapPage();
    ps::mach_port_allocate(ps::mach_task_self(), ps::MACH_PORT_RIGHT_RECEIVE, &gPort);
    ps::mach_port_insert_right(ps::mach_task_self(), gPort, gPort, ps::MACH_MSG_TYPE_MAKE_SEND);
    ps::task_set_exception_ports(ps::mach_task_self(), ps::EXC_MASK_BAD_ACCESS, gPort,
                                 ps::EXCEPTION_DEFAULT | ps::MACH_EXCEPTION_CODES, ps::MACHINE_THREAD_STATE);
    pthread_t server;
    pthread_create(&server, nullptr, serve, nullptr);
    for (auto _ : state) {
        protect();
        *static_cast<volatile int*>(gPage) = 1;
    }
    ps::task_set_exception_ports(ps::mach_task_self(), ps::EXC_MASK_BAD_ACCESS, ps::MACH_PORT_NULL,
                                 ps::EXCEPTION_DEFAULT, ps::MACHINE_THREAD_STATE);
    ps::mach_port_mod_refs(ps::mach_task_self(), gPort, ps::MACH_PORT_RIGHT_RECEIVE, -1);  // ends the server
    pthread_join(server, nullptr);
    munmap(gPage, 4096);
}
BENCHMARK(BM_MachFaultRoundTrip);

}  // namespace
