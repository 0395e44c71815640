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

// The support log: a program without a console (the Windows launcher started from its
// shortcut) still leaves a record a user can send. Once started, every line of the console log,
// of either stream, is also appended to the file at `path` (relative to the working directory;
// its folder is made when missing), after a UTC time stamp "2026-01-31T12:00:00.000Z ", in the
// same single write under the same lock, so concurrent lines and runs never interleave within a
// line. When a line would take the file past kSupportLogMaxBytes, the file becomes `path`.1
// (replacing the one before) and a new one begins. Whatever goes wrong with the file (no folder,
// a full disk, no permission) costs its lines and nothing else: the console output and the
// caller are never affected, and the file is tried again with the next line.
void startSupportLog(std::string path);
inline constexpr char kSupportLogPath[] = "nembral/launcher.log";
inline constexpr std::size_t kSupportLogMaxBytes = std::size_t{1} << 20;

// Text from outside (a server's answer) made safe to log: well-formed UTF-8 stays as it is (a
// version "2.0-\u03b2" is shown as published), while every control character (C0, DEL, and C1,
// U+0080 to U+009F) and every byte that is not part of well-formed UTF-8 becomes \xNN (two
// lowercase hex digits per byte). Such text can never move the cursor, recolour or erase what
// the log shows, split a line, or leave the log in a broken encoding.
std::string escapedForLog(std::string_view bytes);
