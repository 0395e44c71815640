#pragma once

#include <string_view>

// The console log. Each call writes one whole line (text and end of line in a single write,
// then a flush) under a process-wide lock, so lines from the GUI thread and the download
// worker never interleave.
void logLine(std::string_view text);       // standard output
void logErrorLine(std::string_view text);  // standard error
