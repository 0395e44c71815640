#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// The console log. Each call writes one whole line (text and end of line in a single write,
// then a flush) under a process-wide lock, so lines from the GUI thread and the download
// worker never interleave. A line longer than kMaxLogLineBytes is cut there and ends with a
// marker that says how much was left out. A console that has gone (a pipe without reader, a
// closed descriptor) loses the line and nothing else: the caller carries on.
void logLine(std::string_view text);       // standard output
void logErrorLine(std::string_view text);  // standard error

inline constexpr std::size_t kMaxLogLineBytes = 4096;

// Text from outside (a server's answer) made safe to log: printable ASCII (0x20 to 0x7e)
// stays as it is, every other byte becomes \xNN (two lowercase hex digits), so such text can
// never move the cursor, recolour or erase what the log shows, or split a line.
std::string escapedForLog(std::string_view bytes);
