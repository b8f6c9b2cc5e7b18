// The Mach stand-in: rights counted in references, messages with reply
// rights through port sets, too-large messages as the platform reports them,
// no-senders notifications, queue limits, exception ports, and faults turned
// into exception messages whose answer decides how the thread goes on. What
// installs fault handlers runs in a child process.
#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>

#include "platform/system/MachException.h"
#include "tests/crash/capture/ChildProcess.h"

using namespace platform::system;

namespace {

mach_port_t newPort(bool withSend = true) {
    mach_port_t port = MACH_PORT_NULL;
    EXPECT_EQ(mach_port_allocate(mach_task_self(), MACH_PORT_RIGHT_RECEIVE, &port), KERN_SUCCESS);
    if (withSend) {
        EXPECT_EQ(mach_port_insert_right(mach_task_self(), port, port, MACH_MSG_TYPE_MAKE_SEND), KERN_SUCCESS);
    }
    return port;
}

uint32_t refs(mach_port_t port, mach_port_right_t right) {
    mach_port_urefs_t n = 0;
    EXPECT_EQ(mach_port_get_refs(mach_task_self(), port, right, &n), KERN_SUCCESS);
    return n;
}

void destroy(mach_port_t port) { mach_port_mod_refs(mach_task_self(), port, MACH_PORT_RIGHT_RECEIVE, -1); }

struct Small {
    mach_msg_header_t header;
    uint64_t payload;
};

mach_msg_return_t sendSmall(mach_port_t to, uint64_t payload, mach_port_t reply = MACH_PORT_NULL,
                            mach_msg_option_t extra = 0) {
    Small m{};
    m.header.msgh_bits = MACH_MSGH_BITS(MACH_MSG_TYPE_COPY_SEND, reply ? MACH_MSG_TYPE_MAKE_SEND_ONCE : 0);
    m.header.msgh_size = sizeof m;
    m.header.msgh_remote_port = to;
    m.header.msgh_local_port = reply;
    m.header.msgh_id = 500;
    m.payload = payload;
    return mach_msg(&m.header, MACH_SEND_MSG | extra, sizeof m, 0, MACH_PORT_NULL, 0, MACH_PORT_NULL);
}

}  // namespace

TEST(MachPort, RightsAreCountedAndDieWithTheirPort) {
    mach_port_t port = newPort();
    EXPECT_EQ(refs(port, MACH_PORT_RIGHT_SEND), 1u);
    EXPECT_EQ(refs(port, MACH_PORT_RIGHT_RECEIVE), 1u);
    EXPECT_EQ(mach_port_mod_refs(mach_task_self(), port, MACH_PORT_RIGHT_SEND, 2), KERN_SUCCESS);
    EXPECT_EQ(mach_port_deallocate(mach_task_self(), port), KERN_SUCCESS);
    EXPECT_EQ(refs(port, MACH_PORT_RIGHT_SEND), 2u);
    EXPECT_EQ(mach_port_mod_refs(mach_task_self(), port, MACH_PORT_RIGHT_SEND, -3), KERN_INVALID_VALUE);
    // The receive right goes: the send references turn into a dead name.
    destroy(port);
    EXPECT_EQ(refs(port, MACH_PORT_RIGHT_DEAD_NAME), 2u);
    EXPECT_EQ(sendSmall(port, 1), MACH_SEND_INVALID_DEST);
    EXPECT_EQ(mach_port_deallocate(mach_task_self(), port), KERN_SUCCESS);
    EXPECT_EQ(mach_port_deallocate(mach_task_self(), port), KERN_SUCCESS);
    mach_port_urefs_t n;
    EXPECT_EQ(mach_port_get_refs(mach_task_self(), port, MACH_PORT_RIGHT_DEAD_NAME, &n), KERN_INVALID_NAME);
    // Thread and task ports need no release.
    EXPECT_EQ(mach_port_deallocate(mach_task_self(), mach_thread_self()), KERN_SUCCESS);
}

TEST(MachPort, MessagesArriveThroughPortSetsWithTheirReplyRight) {
    mach_port_t a = newPort(), b = newPort(), set = MACH_PORT_NULL, reply = newPort(false);
    ASSERT_EQ(mach_port_allocate(mach_task_self(), MACH_PORT_RIGHT_PORT_SET, &set), KERN_SUCCESS);
    ASSERT_EQ(mach_port_move_member(mach_task_self(), a, set), KERN_SUCCESS);
    ASSERT_EQ(mach_port_move_member(mach_task_self(), b, set), KERN_SUCCESS);
    ASSERT_EQ(sendSmall(b, 0x1122334455667788ull, reply), MACH_MSG_SUCCESS);

    alignas(8) uint8_t buffer[256];
    auto* h = reinterpret_cast<mach_msg_header_t*>(buffer);
    EXPECT_EQ(mach_msg(h, MACH_RCV_MSG, 0, sizeof buffer, b, 0, MACH_PORT_NULL), MACH_RCV_IN_SET);
    ASSERT_EQ(mach_msg(h, MACH_RCV_MSG, 0, sizeof buffer, set, 0, MACH_PORT_NULL), MACH_MSG_SUCCESS);
    EXPECT_EQ(h->msgh_local_port, b);
    EXPECT_EQ(h->msgh_remote_port, reply);
    EXPECT_EQ(MACH_MSGH_BITS_REMOTE(h->msgh_bits), MACH_MSG_TYPE_PORT_SEND_ONCE);
    EXPECT_EQ(h->msgh_size, sizeof(Small));
    EXPECT_EQ(reinterpret_cast<Small*>(buffer)->payload, 0x1122334455667788ull);
    mach_msg_trailer_t trailer;
    std::memcpy(&trailer, buffer + h->msgh_size, sizeof trailer);
    EXPECT_EQ(trailer.msgh_trailer_size, sizeof trailer);

    // The send-once right answers once.
    Small answer{};
    answer.header = {MACH_MSGH_BITS(MACH_MSG_TYPE_MOVE_SEND_ONCE, 0), sizeof answer, reply, MACH_PORT_NULL, 0, 600};
    ASSERT_EQ(mach_msg(&answer.header, MACH_SEND_MSG, sizeof answer, 0, MACH_PORT_NULL, 0, MACH_PORT_NULL),
              MACH_MSG_SUCCESS);
    EXPECT_EQ(mach_msg(&answer.header, MACH_SEND_MSG, sizeof answer, 0, MACH_PORT_NULL, 0, MACH_PORT_NULL),
              MACH_SEND_INVALID_DEST);
    ASSERT_EQ(mach_msg(h, MACH_RCV_MSG, 0, sizeof buffer, reply, 0, MACH_PORT_NULL), MACH_MSG_SUCCESS);
    EXPECT_EQ(h->msgh_id, 600);
    EXPECT_EQ(mach_msg(h, MACH_RCV_MSG | MACH_RCV_TIMEOUT, 0, sizeof buffer, set, 0, MACH_PORT_NULL),
              MACH_RCV_TIMED_OUT);
    for (mach_port_t p : {a, b, reply}) destroy(p);
    mach_port_mod_refs(mach_task_self(), set, MACH_PORT_RIGHT_PORT_SET, -1);
}

TEST(MachPort, TooLargeMessagesAreReportedAsThePlatformDoes) {
    mach_port_t port = newPort();
    struct Big {
        mach_msg_header_t header;
        uint8_t body[176];
    } big{};
    big.header = {MACH_MSGH_BITS(MACH_MSG_TYPE_COPY_SEND, 0), sizeof big, port, MACH_PORT_NULL, 0, 7};
    ASSERT_EQ(mach_msg(&big.header, MACH_SEND_MSG, sizeof big, 0, MACH_PORT_NULL, 0, MACH_PORT_NULL), MACH_MSG_SUCCESS);
    alignas(8) uint8_t small[64], large[512];
    auto* h = reinterpret_cast<mach_msg_header_t*>(small);
    // With MACH_RCV_LARGE the message stays and says how much room it needs.
    ASSERT_EQ(mach_msg(h, MACH_RCV_MSG | MACH_RCV_LARGE, 0, sizeof small, port, 0, MACH_PORT_NULL), MACH_RCV_TOO_LARGE);
    EXPECT_EQ(h->msgh_size, sizeof big + sizeof(mach_msg_trailer_t));
    ASSERT_EQ(
        mach_msg(reinterpret_cast<mach_msg_header_t*>(large), MACH_RCV_MSG, 0, sizeof large, port, 0, MACH_PORT_NULL),
        MACH_MSG_SUCCESS);
    // Without it the message is lost.
    ASSERT_EQ(mach_msg(&big.header, MACH_SEND_MSG, sizeof big, 0, MACH_PORT_NULL, 0, MACH_PORT_NULL), MACH_MSG_SUCCESS);
    EXPECT_EQ(mach_msg(h, MACH_RCV_MSG, 0, sizeof small, port, 0, MACH_PORT_NULL), MACH_RCV_TOO_LARGE);
    EXPECT_EQ(mach_msg(h, MACH_RCV_MSG | MACH_RCV_TIMEOUT, 0, sizeof small, port, 0, MACH_PORT_NULL),
              MACH_RCV_TIMED_OUT);
    destroy(port);
}

TEST(MachPort, TheLastSendRightGoneTellsTheNotifyPort) {
    mach_port_t port = newPort(false), notify = newPort(false);
    mach_port_t previous = 1;
    ASSERT_EQ(mach_port_request_notification(mach_task_self(), port, MACH_NOTIFY_NO_SENDERS, 1, notify,
                                             MACH_MSG_TYPE_MAKE_SEND_ONCE, &previous),
              KERN_SUCCESS);
    EXPECT_EQ(previous, MACH_PORT_NULL);
    alignas(8) uint8_t buffer[128];
    auto* h = reinterpret_cast<mach_msg_header_t*>(buffer);
    // No sender was ever made: nothing yet.
    EXPECT_EQ(mach_msg(h, MACH_RCV_MSG | MACH_RCV_TIMEOUT, 0, sizeof buffer, notify, 0, MACH_PORT_NULL),
              MACH_RCV_TIMED_OUT);
    ASSERT_EQ(mach_port_insert_right(mach_task_self(), port, port, MACH_MSG_TYPE_MAKE_SEND), KERN_SUCCESS);
    ASSERT_EQ(mach_port_deallocate(mach_task_self(), port), KERN_SUCCESS);
    ASSERT_EQ(mach_msg(h, MACH_RCV_MSG | MACH_RCV_TIMEOUT, 0, sizeof buffer, notify, 0, MACH_PORT_NULL),
              MACH_MSG_SUCCESS);
    EXPECT_EQ(h->msgh_id, MACH_NOTIFY_NO_SENDERS);
    EXPECT_EQ(h->msgh_local_port, notify);
    destroy(port);
    destroy(notify);
}

TEST(MachPort, AFullQueueHoldsSendersUntilTheirTimeOut) {
    mach_port_t port = newPort();
    for (uint32_t i = 0; i < MACH_PORT_QLIMIT_DEFAULT; ++i) ASSERT_EQ(sendSmall(port, i), MACH_MSG_SUCCESS);
    EXPECT_EQ(sendSmall(port, 99, MACH_PORT_NULL, MACH_SEND_TIMEOUT), MACH_SEND_TIMED_OUT);
    destroy(port);
}

TEST(MachException, SwappedPortsComeBackCoalescedWithTheirRights) {
    auto result = crashtest::runInChild([] {
        mach_port_t first = newPort(), second = newPort();
        if (task_set_exception_ports(mach_task_self(), EXC_MASK_BAD_ACCESS | EXC_MASK_ARITHMETIC, first,
                                     EXCEPTION_DEFAULT, MACHINE_THREAD_STATE) != KERN_SUCCESS)
            _exit(1);
        if (task_set_exception_ports(mach_task_self(), EXC_MASK_BAD_ACCESS, first, 7, 1) != KERN_INVALID_ARGUMENT)
            _exit(2);
        exception_mask_t masks[EXC_TYPES_COUNT];
        mach_port_t ports[EXC_TYPES_COUNT];
        exception_behavior_t behaviors[EXC_TYPES_COUNT];
        thread_state_flavor_t flavors[EXC_TYPES_COUNT];
        mach_msg_type_number_t count = EXC_TYPES_COUNT;
        if (task_swap_exception_ports(mach_task_self(), EXC_MASK_BAD_ACCESS | EXC_MASK_ARITHMETIC | EXC_MASK_BREAKPOINT,
                                      second, EXCEPTION_STATE | MACH_EXCEPTION_CODES, MACHINE_THREAD_STATE, masks,
                                      &count, ports, behaviors, flavors) != KERN_SUCCESS)
            _exit(3);
        // The two types of `first` as one entry, the empty breakpoint slot apart.
        if (count != 2 || masks[0] != (EXC_MASK_BAD_ACCESS | EXC_MASK_ARITHMETIC) || ports[0] != first ||
            behaviors[0] != EXCEPTION_DEFAULT || masks[1] != EXC_MASK_BREAKPOINT || ports[1] != MACH_PORT_NULL)
            _exit(4);
        if (refs(first, MACH_PORT_RIGHT_SEND) != 2) _exit(5);  // ours and the one handed back
        count = EXC_TYPES_COUNT;
        if (task_get_exception_ports(mach_task_self(), EXC_MASK_ARITHMETIC, masks, &count, ports, behaviors, flavors) !=
                KERN_SUCCESS ||
            count != 1 || ports[0] != second || behaviors[0] != (EXCEPTION_STATE | MACH_EXCEPTION_CODES))
            _exit(6);
        _exit(0);
    });
    EXPECT_TRUE(result.exited(0)) << result.status;
}

namespace {

mach_port_t gHandlerPort;
int gAnswer;  // KERN_SUCCESS resumes at recovered()
int* volatile gBad = reinterpret_cast<int*>(0x10);

[[noreturn]] void recovered() { _exit(7); }

// Answers one exception: a state reply sends the thread to recovered(); a
// default one does the same through thread_set_state.
void* answerOne(void*) {
    alignas(8) uint8_t buffer[2048];
    auto* h = reinterpret_cast<mach_msg_header_t*>(buffer);
    if (mach_msg(h, MACH_RCV_MSG, 0, sizeof buffer, gHandlerPort, 0, MACH_PORT_NULL) != MACH_MSG_SUCCESS) _exit(20);
    struct {
        mach_msg_header_t header;
        NDR_record_t ndr;
        int32_t ret, flavor;
        uint32_t count;
        natural_t state[THREAD_STATE_MAX];
    } reply{};
    const bool identity = h->msgh_id == MACH_EXCEPTION_RAISE_ID + 2;
    const bool wide = h->msgh_id >= MACH_EXCEPTION_RAISE_ID;
    natural_t state[THREAD_STATE_MAX];
    if (identity) {
        // Thread, task, type, two 64-bit codes: EXC_BAD_ACCESS at 0x10.
        int64_t codes[2];
        std::memcpy(codes, buffer + 68, 16);
        int32_t type;
        std::memcpy(&type, buffer + 60, 4);
        if (!wide || type != EXC_BAD_ACCESS || codes[0] != KERN_INVALID_ADDRESS || codes[1] != 0x10) _exit(21);
        std::memcpy(state, buffer + 68 + 16 + 8, MACHINE_THREAD_STATE_COUNT * 4);
    } else {
        thread_t thread;
        std::memcpy(&thread, buffer + 28, 4);
        mach_msg_type_number_t count = THREAD_STATE_MAX;
        if (thread_get_state(thread, MACHINE_THREAD_STATE, state, &count) != KERN_SUCCESS) _exit(22);
#if defined(__x86_64__)
        reinterpret_cast<uint64_t*>(state)[16] = reinterpret_cast<uint64_t>(recovered);
#else
        reinterpret_cast<uint64_t*>(state)[32] = reinterpret_cast<uint64_t>(recovered);
#endif
        if (gAnswer == KERN_SUCCESS && thread_set_state(thread, MACHINE_THREAD_STATE, state, count) != KERN_SUCCESS)
            _exit(23);
    }
#if defined(__x86_64__)
    reinterpret_cast<uint64_t*>(state)[16] = reinterpret_cast<uint64_t>(recovered);
#else
    reinterpret_cast<uint64_t*>(state)[32] = reinterpret_cast<uint64_t>(recovered);
#endif
    reply.header = {MACH_MSGH_BITS(MACH_MSGH_BITS_REMOTE(h->msgh_bits), 0),
                    36,
                    h->msgh_remote_port,
                    MACH_PORT_NULL,
                    0,
                    h->msgh_id + 100};
    reply.ndr = NDR_record;
    reply.ret = gAnswer;
    if (identity) {
        reply.flavor = MACHINE_THREAD_STATE;
        reply.count = MACHINE_THREAD_STATE_COUNT;
        std::memcpy(reply.state, state, MACHINE_THREAD_STATE_COUNT * 4);
        reply.header.msgh_size = 44 + MACHINE_THREAD_STATE_COUNT * 4;
    }
    mach_msg(&reply.header, MACH_SEND_MSG, reply.header.msgh_size, 0, MACH_PORT_NULL, 0, MACH_PORT_NULL);
    return nullptr;
}

// The default action, not a sanitizer's handler, stands behind the stand-in.
void defaultSegv() {
    struct sigaction sa {};
    sa.sa_handler = SIG_DFL;
    sigaction(SIGSEGV, &sa, nullptr);
}

// Registers for EXC_BAD_ACCESS, answers from another thread, then faults.
void faultWith(exception_behavior_t behavior, int answer) {
    gHandlerPort = newPort();
    gAnswer = answer;
    if (task_set_exception_ports(mach_task_self(), EXC_MASK_BAD_ACCESS, gHandlerPort, behavior, MACHINE_THREAD_STATE) !=
        KERN_SUCCESS)
        _exit(30);
    pthread_t t;
    pthread_create(&t, nullptr, answerOne, nullptr);
    *gBad = 1;
}

}  // namespace

TEST(MachException, ASuccessfulAnswerResumesWithTheHandlersState) {
    auto viaReply =
        crashtest::runInChild([] { faultWith(EXCEPTION_STATE_IDENTITY | MACH_EXCEPTION_CODES, KERN_SUCCESS); });
    EXPECT_TRUE(viaReply.exited(7)) << viaReply.status;
    auto viaSetState = crashtest::runInChild([] { faultWith(EXCEPTION_DEFAULT, KERN_SUCCESS); });
    EXPECT_TRUE(viaSetState.exited(7)) << viaSetState.status;
}

TEST(MachException, AFailedAnswerDeliversTheSignal) {
    auto unhandled = crashtest::runInChild([] {
        defaultSegv();
        faultWith(EXCEPTION_DEFAULT, KERN_FAILURE);
    });
    EXPECT_TRUE(unhandled.signaled(SIGSEGV)) << unhandled.status;
    // A signal handler installed before takes it, as the kernel would deliver it.
    auto handled = crashtest::runInChild([] {
        struct sigaction sa {};
        sa.sa_handler = [](int) { _exit(9); };
        sigaction(SIGSEGV, &sa, nullptr);
        faultWith(EXCEPTION_DEFAULT, KERN_FAILURE);
    });
    EXPECT_TRUE(handled.exited(9)) << handled.status;
}

TEST(MachException, AThreadFaultingWhileItServesThePortGetsTheSignal) {
    auto result = crashtest::runInChild([] {
        defaultSegv();
        gHandlerPort = newPort();
        task_set_exception_ports(mach_task_self(), EXC_MASK_BAD_ACCESS, gHandlerPort, EXCEPTION_DEFAULT,
                                 MACHINE_THREAD_STATE);
        alignas(8) uint8_t buffer[256];
        mach_msg(reinterpret_cast<mach_msg_header_t*>(buffer), MACH_RCV_MSG | MACH_RCV_TIMEOUT, 0, sizeof buffer,
                 gHandlerPort, 0, MACH_PORT_NULL);
        *gBad = 1;  // nobody else could ever answer this thread's exception
    });
    EXPECT_TRUE(result.signaled(SIGSEGV)) << result.status;
}

TEST(MachException, AThreadsOwnPortComesBeforeTheTasks) {
    auto result = crashtest::runInChild([] {
        // The task's port is served by nobody: using it would hang the child.
        mach_port_t unserved = newPort();
        task_set_exception_ports(mach_task_self(), EXC_MASK_BAD_ACCESS, unserved, EXCEPTION_DEFAULT,
                                 MACHINE_THREAD_STATE);
        gHandlerPort = newPort();
        gAnswer = KERN_SUCCESS;
        if (thread_set_exception_ports(mach_thread_self(), EXC_MASK_BAD_ACCESS, gHandlerPort, EXCEPTION_DEFAULT,
                                       MACHINE_THREAD_STATE) != KERN_SUCCESS)
            _exit(30);
        exception_mask_t masks[EXC_TYPES_COUNT];
        mach_port_t ports[EXC_TYPES_COUNT];
        exception_behavior_t behaviors[EXC_TYPES_COUNT];
        thread_state_flavor_t flavors[EXC_TYPES_COUNT];
        mach_msg_type_number_t count = EXC_TYPES_COUNT;
        if (thread_get_exception_ports(mach_thread_self(), EXC_MASK_BAD_ACCESS, masks, &count, ports, behaviors,
                                       flavors) != KERN_SUCCESS ||
            count != 1 || ports[0] != gHandlerPort)
            _exit(31);
        pthread_t t;
        pthread_create(&t, nullptr, answerOne, nullptr);
        *gBad = 1;
    });
    EXPECT_TRUE(result.exited(7)) << result.status;
}
