#pragma once

// Entry names that Windows takes for something other than a file of that name, with the
// reason the extraction tool gives for refusing them (a part of it), or "" for names that look
// alike but are plain files. The name rules are the same on every system, so the entry-check
// table and the extraction table (tests/tools), which also runs against the Windows tool under
// wine, share these rows.
struct WindowsNameRow {
    const char *row;
    const char *name;
    const char *problem;  // "": accepted
};

inline constexpr WindowsNameRow kWindowsNameRows[] = {
    {"backslashes climbing out", "nembral\\..\\..\\x", "\"..\""},
    {"drive and root", "C:\\nembral\\x", "absolute"},
    {"drive-relative", "C:nembral\\x", "absolute"},
    {"UNC path", "\\\\server\\share\\x", "absolute"},
    {"device path", "\\\\?\\C:\\x", "absolute"},
    {"UNC path, slashes", "//server/share/x", "absolute"},
    {"drive letter inside", "nembral/C:x", "':'"},
    {"alternate data stream", "nembral/a.txt:stream", "alternate data stream"},
    {"stream of a folder", "nembral:x/a.txt", "alternate data stream"},
    {"CON", "nembral/CON", "reserved device name"},
    {"NUL.txt", "nembral/NUL.txt", "reserved device name"},
    {"nul.tar.gz, lower case", "nembral/nul.tar.gz", "reserved device name"},
    {"AUX as a folder", "nembral/aux/x", "reserved device name"},
    {"PRN with a space", "nembral/PRN .log", "reserved device name"},
    {"COM1", "nembral/COM1", "reserved device name"},
    {"LPT9.dat", "nembral/LPT9.dat", "reserved device name"},
    {"COM superscript 2", "nembral/COM\xc2\xb2", "reserved device name"},
    {"CONOUT$", "nembral/conout$", "reserved device name"},
    {"device name inside a name", "nembral/CONFIG.txt", ""},
    {"COM10 is a file", "nembral/COM10", ""},
    {"device name as extension", "nembral/x.CON", ""},
    {"trailing dot", "nembral/version.txt.", "dot or a space"},
    {"trailing space", "nembral/Nembrals.exe ", "dot or a space"},
    {"folder with a trailing dot", "nembral./x", "dot or a space"},
    {"three dots", "nembral/...", "dot or a space"},
    {"short name of the top folder", "NEMBRA~1/version.txt", "short name"},
    {"short name with an extension", "nembral/VERSIO~1.TXT", "short name"},
    {"short name, two digits", "nembral/NEMBR~12/x", "short name"},
    {"tilde in a long name", "nembral/backup~1.old.txt", ""},
    {"tilde without a number", "nembral/a~b", ""},
    {"tilde in a name too long to be short", "nembral/NEMBRAL~1", ""},
    {"question mark", "nembral/what?.txt", "does not allow"},
    {"pipe", "nembral/a|b", "does not allow"},
    {"control character", "nembral/a\tb", "does not allow"},
    {"non-ASCII", "nembral/Donn\xc3\xa9"
                  "es/\xce\xb1.txt",
     ""},
};
