#pragma once
// The console log in the platform's format on standard error:
// "2026-12-07 04:43:55.123 Quenmira[1234:5678] message". Tests may capture it.
// A message is one line, whatever paths or values it quotes: it is shown
// through escapingControls (Format.h), so that no file name can forge a line
// of the log or drive the terminal.
#include <functional>
#include <string>

namespace platform::foundation {

void log(const std::string& message);
// printf-style convenience.
void logf(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Replaces the sink (null restores standard error); the sink gets whole lines
// without the trailing newline.
void setLogSink(std::function<void(const std::string& line)> sink);
void setProcessName(const std::string& name);

}  // namespace platform::foundation
