// The Mach exception server on the stand-in: the reporter's mask by host
// version, the exception-to-signal map (EXC_GUARD included), the saved port
// set's size limit, requests the loop must refuse (more than two code words,
// a message too short for its codes), a request larger than its buffer,
// forwarding to an earlier handler, and stopping.
#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <cstring>

#include "crash/capture/handler/MachExceptionCallbacks.h"
#include "crash/capture/handler/PKROVCrashMachExceptionServer.h"
#include "platform/foundation/Exception.h"

namespace ps = platform::system;
using namespace ovcrash;

namespace {

struct Seen {
    std::atomic<int> calls{0};
    ps::exception_type_t type = 0;
    ps::mach_msg_type_number_t count = 0;
    int64_t codes[2] = {};
    ps::kern_return_t answer = ps::KERN_SUCCESS;
};

ps::kern_return_t record(ps::task_t, ps::thread_t, ps::exception_type_t type,
                         const ps::mach_exception_data_type_t* code, ps::mach_msg_type_number_t count, void* context) {
    auto* seen = static_cast<Seen*>(context);
    seen->type = type;
    seen->count = count;
    for (uint32_t i = 0; i < count && i < 2; ++i) seen->codes[i] = code[i];
    seen->calls.fetch_add(1);
    return seen->answer;
}

// Sends `size` bytes of a built 64-bit request (its code count set to
// `claimed`) to port and waits for the answer; the answer's return code.
ps::kern_return_t ask(ps::mach_port_t port, ps::mach_msg_size_t size, uint32_t claimed) {
    alignas(8) static uint8_t buffer[12000];
    std::memset(buffer, 0, sizeof buffer);
    const int64_t codes[2] = {1, 0x10};
    ps::exception_request_build(buffer, ps::EXCEPTION_DEFAULT | ps::MACH_EXCEPTION_CODES, ps::mach_thread_self(),
                                ps::mach_task_self(), ps::EXC_BAD_ACCESS, codes, 2, 0, nullptr, 0);
    std::memcpy(buffer + 64, &claimed, 4);
    ps::mach_port_t reply = ps::mach_reply_port();
    auto* h = reinterpret_cast<ps::mach_msg_header_t*>(buffer);
    h->msgh_bits =
        ps::MACH_MSGH_BITS_COMPLEX | ps::MACH_MSGH_BITS(ps::MACH_MSG_TYPE_COPY_SEND, ps::MACH_MSG_TYPE_MAKE_SEND_ONCE);
    h->msgh_size = size;
    h->msgh_remote_port = port;
    h->msgh_local_port = reply;
    ps::kern_return_t kr = ps::mach_msg(h, ps::MACH_SEND_MSG | ps::MACH_RCV_MSG, size, sizeof buffer, reply, 0, 0);
    if (kr == ps::KERN_SUCCESS) std::memcpy(&kr, buffer + 32, 4);
    ps::mach_port_mod_refs(ps::mach_task_self(), reply, ps::MACH_PORT_RIGHT_RECEIVE, -1);
    return kr;
}

}  // namespace

TEST(MachExceptionServer, GuardExceptionsAreAskedForFromDarwin13On) {
    EXPECT_EQ(mach_exception_reporter_mask(true, 12), 0x6Eu);
    EXPECT_EQ(mach_exception_reporter_mask(true, 13), 0x106Eu);
    EXPECT_EQ(mach_exception_reporter_mask(false, 20), 0x6Eu);
}

TEST(MachExceptionServer, ExceptionsMapToTheSignalsReportsName) {
    int32_t signo, code;
    uint64_t address;
    const int64_t invalid[2] = {1, 0x10}, protection[2] = {2, 0x20}, any[2] = {5, 0};
    ASSERT_TRUE(mach_exception_signal_map(ps::EXC_BAD_ACCESS, invalid, 2, &signo, &code, &address));
    EXPECT_EQ(signo, 11);  // SIGSEGV, SEGV_MAPERR
    EXPECT_EQ(code, 1);
    EXPECT_EQ(address, 0x10u);
    ASSERT_TRUE(mach_exception_signal_map(ps::EXC_BAD_ACCESS, protection, 2, &signo, &code, &address));
    EXPECT_EQ(signo, 10);  // SIGBUS, BUS_ADRERR
    EXPECT_EQ(code, 2);
    ASSERT_TRUE(mach_exception_signal_map(ps::EXC_BREAKPOINT, any, 2, &signo, &code, &address));
    EXPECT_EQ(signo, 5);  // SIGTRAP, TRAP_BRKPT
    EXPECT_EQ(code, 1);
    // A guard exception, asked for on newer hosts, still gives a report.
    ASSERT_TRUE(mach_exception_signal_map(ps::EXC_GUARD, any, 2, &signo, &code, &address));
    EXPECT_EQ(signo, 9);
    EXPECT_FALSE(mach_exception_signal_map(ps::EXC_BAD_ACCESS, invalid, 1, &signo, &code, &address));
    EXPECT_FALSE(mach_exception_signal_map(ps::EXC_CRASH, any, 2, &signo, &code, &address));
}

TEST(MachExceptionServer, ASavedPortSetHoldsAtMost14Entries) {
    mach_exception_port_set layout{};
    layout.count = 14;
    for (uint32_t i = 0; i < 14; ++i) layout.masks[i] = 1u << (i % 13 + 1);
    PKROVCrashMachExceptionPortSet full(layout);
    EXPECT_EQ(full.set().size(), 14u);
    EXPECT_EQ(full.asyncSafeRepresentation().count, 14u);
    layout.count = 15;
    EXPECT_THROW(PKROVCrashMachExceptionPortSet{layout}, platform::foundation::Exception);
    std::vector<PKROVCrashMachExceptionPortSet::Port> ports;
    for (int i = 0; i < 15; ++i) ports.push_back(std::make_shared<PKROVCrashMachExceptionPort>(0, 2, 1, 1));
    EXPECT_THROW(PKROVCrashMachExceptionPortSet{ports}, platform::foundation::Exception);
    ports.pop_back();
    EXPECT_EQ(PKROVCrashMachExceptionPortSet(ports).asyncSafeRepresentation().count, 14u);
}

TEST(MachExceptionServer, RequestsAreCheckedBeforeTheCallbackSeesThem) {
    Seen seen;
    seen.answer = 42;
    platform::foundation::Error error;
    auto server = PKROVCrashMachExceptionServer::initWithCallBack(record, &seen, &error);
    ASSERT_TRUE(server) << error.localizedDescription();
    EXPECT_NE(server->serverThread(), 0u);
    auto port = server->exceptionPortWithMask(ps::EXC_MASK_BAD_ACCESS, &error);
    ASSERT_TRUE(port);
    EXPECT_EQ(port->behavior(), ps::EXCEPTION_DEFAULT | ps::MACH_EXCEPTION_CODES);

    EXPECT_EQ(ask(port->server_port(), 84, 2), 42);
    EXPECT_EQ(seen.calls.load(), 1);
    EXPECT_EQ(seen.type, ps::EXC_BAD_ACCESS);
    EXPECT_EQ(seen.count, 2u);
    EXPECT_EQ(seen.codes[1], 0x10);
    // Three code words, or two in a message with room for one, are refused.
    EXPECT_EQ(ask(port->server_port(), 92, 3), ps::KERN_FAILURE);
    EXPECT_EQ(ask(port->server_port(), 76, 2), ps::KERN_FAILURE);
    EXPECT_EQ(seen.calls.load(), 1);
    // Larger than the server's first buffer: it makes room and answers.
    EXPECT_EQ(ask(port->server_port(), 10000, 2), 42);
    EXPECT_EQ(seen.calls.load(), 2);
}

TEST(MachExceptionServer, StopsAndEndsWhenItsPortSetIsGone) {
    Seen seen;
    auto server = PKROVCrashMachExceptionServer::initWithCallBack(record, &seen, nullptr);
    ASSERT_TRUE(server);
    EXPECT_TRUE(server->stop(5000));
    EXPECT_TRUE(server->stop(5000));  // once is enough
    EXPECT_FALSE(server->serverContext());

    // A receive error that cannot pass ends the thread instead of spinning.
    auto orphan = PKROVCrashMachExceptionServer::initWithCallBack(record, &seen, nullptr);
    ASSERT_TRUE(orphan);
    ps::mach_port_mod_refs(ps::mach_task_self(), orphan->serverContext()->port_set, ps::MACH_PORT_RIGHT_PORT_SET, -1);
    EXPECT_TRUE(orphan->stop(5000));

    // A stop message that cannot be sent ends the stop at once.
    auto deaf = PKROVCrashMachExceptionServer::initWithCallBack(record, &seen, nullptr);
    ASSERT_TRUE(deaf);
    ps::mach_port_mod_refs(ps::mach_task_self(), deaf->serverContext()->notify_port, ps::MACH_PORT_RIGHT_RECEIVE, -1);
    EXPECT_FALSE(deaf->stop(5000));
}

namespace {

struct Earlier {
    ps::mach_port_t port;
    ps::kern_return_t answer;
};

void* answerOnce(void* arg) {
    auto* e = static_cast<Earlier*>(arg);
    alignas(8) uint8_t buffer[1024];
    auto* h = reinterpret_cast<ps::mach_msg_header_t*>(buffer);
    if (ps::mach_msg(h, ps::MACH_RCV_MSG, 0, sizeof buffer, e->port, 0, 0) != 0) return nullptr;
    mach_exception_reply(h, e->answer);
    return nullptr;
}

}  // namespace

TEST(MachExceptionServer, ExceptionsGoFirstToTheHandlerRegisteredBefore) {
    Earlier earlier{ps::mach_reply_port(), ps::KERN_SUCCESS};
    ps::mach_port_insert_right(ps::mach_task_self(), earlier.port, earlier.port, ps::MACH_MSG_TYPE_MAKE_SEND);
    mach_exception_port_set set{};
    set.count = 2;
    set.masks[0] = ps::EXC_MASK_BREAKPOINT;  // not for this type
    set.ports[0] = earlier.port;
    set.behaviors[0] = ps::EXCEPTION_DEFAULT;
    set.masks[1] = ps::EXC_MASK_BAD_ACCESS;
    set.ports[1] = earlier.port;
    set.behaviors[1] = ps::EXCEPTION_DEFAULT;
    const int64_t codes[2] = {1, 0x10};
    pthread_t t;
    pthread_create(&t, nullptr, answerOnce, &earlier);
    EXPECT_EQ(mach_exception_forward(ps::mach_task_self(), ps::mach_thread_self(), ps::EXC_BAD_ACCESS, codes, 2, &set),
              ps::KERN_SUCCESS);
    pthread_join(t, nullptr);
    // Only the 32-bit code forms are forwarded; a type nobody asked for is not.
    set.behaviors[1] = ps::EXCEPTION_DEFAULT | ps::MACH_EXCEPTION_CODES;
    EXPECT_EQ(mach_exception_forward(ps::mach_task_self(), ps::mach_thread_self(), ps::EXC_BAD_ACCESS, codes, 2, &set),
              ps::KERN_FAILURE);
    EXPECT_EQ(mach_exception_forward(ps::mach_task_self(), ps::mach_thread_self(), ps::EXC_ARITHMETIC, codes, 2, &set),
              ps::KERN_FAILURE);
    ps::mach_port_mod_refs(ps::mach_task_self(), earlier.port, ps::MACH_PORT_RIGHT_RECEIVE, -1);
}
