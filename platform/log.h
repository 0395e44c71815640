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

// Text from outside (a server's answer) made safe to log: well-formed UTF-8 stays as it is (a
// version "2.0-\u03b2" is shown as published), while every control character (C0, DEL, and C1,
// U+0080 to U+009F) and every byte that is not part of well-formed UTF-8 becomes \xNN (two
// lowercase hex digits per byte). Such text can never move the cursor, recolour or erase what
// the log shows, split a line, or leave the log in a broken encoding.
std::string escapedForLog(std::string_view bytes);
