// Async-signal-safe: constant tables, no allocation, no library formatting.
#include "crash/capture/handler/CrashSignalTables.h"

namespace ovcrash {

namespace {

struct signal_row {
    int32_t signo;
    const char* name;
};

// Searched from the top: signal 6 is always "SIGABRT".
constexpr signal_row kSignals[] = {
    {1, "SIGHUP"},   {2, "SIGINT"},   {3, "SIGQUIT"},    {4, "SIGILL"},   {5, "SIGTRAP"},   {6, "SIGABRT"},
    {6, "SIGIOT"},   {7, "SIGEMT"},   {8, "SIGFPE"},     {9, "SIGKILL"},  {10, "SIGBUS"},   {11, "SIGSEGV"},
    {12, "SIGSYS"},  {13, "SIGPIPE"}, {14, "SIGALRM"},   {15, "SIGTERM"}, {16, "SIGURG"},   {17, "SIGSTOP"},
    {18, "SIGTSTP"}, {19, "SIGCONT"}, {20, "SIGCHLD"},   {21, "SIGTTIN"}, {22, "SIGTTOU"},  {23, "SIGIO"},
    {24, "SIGXCPU"}, {25, "SIGXFSZ"}, {26, "SIGVTALRM"}, {27, "SIGPROF"}, {28, "SIGWINCH"}, {29, "SIGINFO"},
    {30, "SIGUSR1"}, {31, "SIGUSR2"},
};

struct code_row {
    int32_t signo;
    int32_t code;
    const char* name;
};

constexpr code_row kCodes[] = {
    {4, 0, "ILL_NOOP"},     {4, 1, "ILL_ILLOPC"}, {4, 2, "ILL_ILLTRP"},  {4, 3, "ILL_PRVOPC"},  {4, 4, "ILL_ILLOPN"},
    {4, 5, "ILL_ILLADR"},   {4, 6, "ILL_PRVREG"}, {4, 7, "ILL_COPROC"},  {4, 8, "ILL_BADSTK"},  {8, 0, "FPE_NOOP"},
    {8, 1, "FPE_FLTDIV"},   {8, 2, "FPE_FLTOVF"}, {8, 3, "FPE_FLTUND"},  {8, 4, "FPE_FLTRES"},  {8, 5, "FPE_FLTINV"},
    {8, 6, "FPE_FLTSUB"},   {8, 7, "FPE_INTDIV"}, {8, 8, "FPE_INTOVF"},  {11, 0, "SEGV_NOOP"},  {11, 1, "SEGV_MAPERR"},
    {11, 2, "SEGV_ACCERR"}, {10, 0, "BUS_NOOP"},  {10, 1, "BUS_ADRALN"}, {10, 2, "BUS_ADRERR"}, {10, 3, "BUS_OBJERR"},
    {5, 1, "TRAP_BRKPT"},   {5, 2, "TRAP_TRACE"}, {6, 0, "#0"},
};

const char* format_number(int32_t value, char (&buffer)[SIGNAL_TEXT_SIZE]) {
    char digits[12];
    size_t n = 0;
    // Work on the magnitude as unsigned so INT32_MIN needs no special case.
    uint32_t magnitude = value < 0 ? 0u - static_cast<uint32_t>(value) : static_cast<uint32_t>(value);
    do {
        digits[n++] = static_cast<char>('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    size_t out = 0;
    buffer[out++] = '#';
    if (value < 0) buffer[out++] = '-';
    while (n > 0) buffer[out++] = digits[--n];
    buffer[out] = '\0';
    return buffer;
}

}  // namespace

const char* async_signal_name(int32_t signo) {
    for (const auto& row : kSignals)
        if (row.signo == signo) return row.name;
    return nullptr;
}

const char* async_signal_code_name(int32_t signo, int32_t code) {
    for (const auto& row : kCodes)
        if (row.signo == signo && row.code == code) return row.name;
    return nullptr;
}

const char* async_signal_name_text(int32_t signo, char (&buffer)[SIGNAL_TEXT_SIZE]) {
    const char* name = async_signal_name(signo);
    return name ? name : format_number(signo, buffer);
}

const char* async_signal_code_text(int32_t signo, int32_t code, char (&buffer)[SIGNAL_TEXT_SIZE]) {
    const char* name = async_signal_code_name(signo, code);
    return name ? name : format_number(code, buffer);
}

int32_t signal_number_from_linux(int linux_signo) {
    switch (linux_signo) {
    case SIGHUP: return 1;
    case SIGINT: return 2;
    case SIGQUIT: return 3;
    case SIGILL: return 4;
    case SIGTRAP: return 5;
    case SIGABRT: return 6;
    case SIGFPE: return 8;
    case SIGKILL: return 9;
    case SIGBUS: return 10;
    case SIGSEGV: return 11;
    case SIGSYS: return 12;
    case SIGPIPE: return 13;
    case SIGALRM: return 14;
    case SIGTERM: return 15;
    case SIGURG: return 16;
    case SIGSTOP: return 17;
    case SIGTSTP: return 18;
    case SIGCONT: return 19;
    case SIGCHLD: return 20;
    case SIGTTIN: return 21;
    case SIGTTOU: return 22;
    case SIGIO: return 23;
    case SIGXCPU: return 24;
    case SIGXFSZ: return 25;
    case SIGVTALRM: return 26;
    case SIGPROF: return 27;
    case SIGWINCH: return 28;
    case SIGUSR1: return 30;
    case SIGUSR2: return 31;
#if defined(SIGSTKFLT)
    case SIGSTKFLT:
#endif
    case SIGPWR: return 1000 + linux_signo;
    default: return linux_signo;
    }
}

int32_t signal_code_from_linux(int linux_signo, int linux_code) {
    if (linux_code <= 0) return 0;
    if (linux_signo == SIGILL) {
        switch (linux_code) {
        case ILL_ILLOPC: return 1;
        case ILL_ILLTRP: return 2;
        case ILL_PRVOPC: return 3;
        case ILL_ILLOPN: return 4;
        case ILL_ILLADR: return 5;
        case ILL_PRVREG: return 6;
        case ILL_COPROC: return 7;
        case ILL_BADSTK: return 8;
        }
    } else if (linux_signo == SIGFPE) {
        switch (linux_code) {
        case FPE_FLTDIV: return 1;
        case FPE_FLTOVF: return 2;
        case FPE_FLTUND: return 3;
        case FPE_FLTRES: return 4;
        case FPE_FLTINV: return 5;
        case FPE_FLTSUB: return 6;
        case FPE_INTDIV: return 7;
        case FPE_INTOVF: return 8;
        }
    }
    // x86-64 reports a breakpoint instruction as sent by the kernel.
    if (linux_signo == SIGTRAP && linux_code == SI_KERNEL) return 1;  // TRAP_BRKPT
    // SEGV, BUS and TRAP codes share the platform's numbers; codes the
    // platform lacks keep Linux's and print as "#<code>".
    return linux_code;
}

void signal_info_from_linux(const siginfo_t* info, int32_t* signo, int32_t* code, uint64_t* address) {
    *signo = signal_number_from_linux(info->si_signo);
    *code = signal_code_from_linux(info->si_signo, info->si_code);
    bool fault =
        info->si_code > 0 && (info->si_signo == SIGILL || info->si_signo == SIGFPE || info->si_signo == SIGSEGV ||
                              info->si_signo == SIGBUS || info->si_signo == SIGTRAP);
    *address = fault ? reinterpret_cast<uint64_t>(info->si_addr) : 0;
}

}  // namespace ovcrash
