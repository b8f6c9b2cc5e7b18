#pragma once
// Signal and signal-code names as reports carry them, in the platform's own
// numbering, and the translation from the numbers Linux delivers into that
// numbering at the moment a signal is caught.
// Async-signal-safe: constant tables, formatting into the caller's buffer.
#include <csignal>
#include <cstddef>
#include <cstdint>

namespace ovcrash {

// The platform's numbers of the signals crash capture names itself.
inline constexpr int32_t PLATFORM_SIGILL = 4, PLATFORM_SIGTRAP = 5, PLATFORM_SIGABRT = 6, PLATFORM_SIGFPE = 8,
                         PLATFORM_SIGBUS = 10, PLATFORM_SIGSEGV = 11, PLATFORM_SIGSYS = 12, PLATFORM_SIGPIPE = 13,
                         PLATFORM_SIGUSR2 = 31;
inline constexpr int32_t PLATFORM_TRAP_BRKPT = 1, PLATFORM_TRAP_TRACE = 2;

// Room for "#" and any 32-bit number, with the terminator.
inline constexpr size_t SIGNAL_TEXT_SIZE = 16;

// The table's name, or nullptr when no row matches.
const char* async_signal_name(int32_t signo);
const char* async_signal_code_name(int32_t signo, int32_t code);

// The table's name, else "#<decimal>" formatted into buffer.
const char* async_signal_name_text(int32_t signo, char (&buffer)[SIGNAL_TEXT_SIZE]);
const char* async_signal_code_text(int32_t signo, int32_t code, char (&buffer)[SIGNAL_TEXT_SIZE]);

// A Linux signal number in the platform's numbering. Signals the platform
// lacks (SIGSTKFLT, SIGPWR) become 1000 + their Linux number, so that no
// table row names them wrongly; real-time signals keep their number.
int32_t signal_number_from_linux(int linux_signo);
// A Linux si_code of that signal as the platform numbers it; 0 or below (sent
// by a process, as abort() does) becomes 0.
int32_t signal_code_from_linux(int linux_signo, int linux_code);

// Number, code and fault address of a caught signal in the platform's terms.
// The address is 0 when the signal was sent by a process or does not carry
// a fault address.
void signal_info_from_linux(const siginfo_t* info, int32_t* signo, int32_t* code, uint64_t* address);

}  // namespace ovcrash
