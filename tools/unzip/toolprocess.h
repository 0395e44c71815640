#pragma once

#include <string>
#include <vector>

// What the extraction tool needs from its process, per system.

// The command-line arguments after the program name, as UTF-8 (on Windows read from the
// wide command line, so that any file name comes through).
std::vector<std::string> toolArguments(int argc, char **argv);

// Settings made once at start, before any thread: on POSIX the locale that names files in
// UTF-8 and a fixed time zone file (see the body).
void prepareProcess();

// The processors this process may run on.
unsigned availableCores();

// Names the calling thread, so that the tool's workers can be told apart in a process list.
void nameCurrentThread(const char *name);
