// The version line. The input is the published version file; what follows its first line
// feed is the installed one. Each is read as the launcher reads it (first line, bounded),
// its white space removed, the two compared, and the log line that shows both written to the
// console with their escaping and its length cut.
//
// Properties: a line read is the start of the file up to the first line feed and at most
// ReadableFile::kMaxLineBytes long; a version has no white space and loses none of the line's
// other bytes; the console gets exactly one line, without control bytes (C0, DEL, C1) and of
// bounded length; printable ASCII text without a backslash is shown as it is. They hold
// whatever the escaping does with other bytes.

#include "fuzz/memoryfile.h"
#include "platform/filehelpers.h"
#include "platform/log.h"
#include "workflow/versionstring.h"

#include <sys/mman.h>
#include <sys/stat.h>

#include <fcntl.h>

#include <algorithm>
#include <cctype>
#include <string>
#include <string_view>

namespace {

UniqueFd g_console;  // standard output goes here: a memory file read back after each line

// White space as the "C" locale has it (this program never sets another).
bool isCSpace(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }

std::string readLineOf(std::string_view content)
{
    const MemoryFile file(reinterpret_cast<const std::uint8_t *>(content.data()), content.size());
    ReadableFile readable = canOpenForReading(file.path());
    fuzzCheck(readable.isOpen(), "a version file in memory cannot be opened");
    const std::string line = readable.readLine();
    const std::string_view expected = content.substr(0, std::min(content.find('\n'), ReadableFile::kMaxLineBytes));
    fuzzCheck(line == expected, "the line read is not the start of the file up to its first line feed");
    return line;
}

std::string checkedVersion(const std::string &line)
{
    const std::string version = versionString(line);
    fuzzCheck(std::none_of(version.begin(), version.end(), isCSpace), "a version keeps white space");
    fuzzCheck(static_cast<std::size_t>(std::count_if(line.begin(), line.end(), [](char c) { return !isCSpace(c); }))
                  == version.size(),
              "a version loses bytes that are not white space");
    fuzzCheck(versionString(version) == version, "removing white space twice changes a version");
    return version;
}

// What the console got for one logLine(text), checked.
std::string loggedLine(std::string_view text)
{
    logLine(text);
    struct stat st {};
    fuzzCheck(::fstat(g_console.get(), &st) == 0, "cannot stat the console file");
    std::string out(static_cast<std::size_t>(st.st_size), '\0');
    fuzzCheck(::pread(g_console.get(), out.data(), out.size(), 0) == static_cast<ssize_t>(out.size()),
              "cannot read the console file");
    fuzzCheck(::ftruncate(g_console.get(), 0) == 0, "cannot empty the console file");

    fuzzCheck(!out.empty() && out.back() == '\n' && out.find('\n') == out.size() - 1,
              "the console did not get exactly one line");
    // The cut keeps kMaxLogLineBytes and adds a marker naming how many bytes were left out.
    fuzzCheck(out.size() <= kMaxLogLineBytes + 64, "a log line is longer than the cut allows");
    for (std::size_t i = 0; i + 1 < out.size(); ++i) {
        const auto byte = static_cast<unsigned char>(out[i]);
        fuzzCheck(byte >= 0x20 && byte != 0x7f, "a log line holds a raw C0 or DEL byte");
        // C1 controls as UTF-8 (U+0080 to U+009F): C2 80 to C2 9F.
        fuzzCheck(!(byte == 0xc2 && static_cast<unsigned char>(out[i + 1]) >= 0x80
                    && static_cast<unsigned char>(out[i + 1]) <= 0x9f),
                  "a log line holds a raw C1 control");
    }
    if (text.size() <= kMaxLogLineBytes)
        fuzzCheck(out.compare(0, out.size() - 1, text) == 0 || text.find_first_not_of(" !\"#$%&'()*+,-./0123456789:;<=>?@ABCDEFGHIJKLMNOPQRSTUVWXYZ[]^_`abcdefghijklmnopqrstuvwxyz{|}~") != std::string_view::npos,
                  "printable ASCII text is not logged as it is");
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    // The fuzzer reports on standard error; standard output, where the log goes, is read back.
    g_console.reset(::memfd_create("fuzz-console", MFD_CLOEXEC));
    fuzzCheck(g_console.valid() && ::dup2(g_console.get(), STDOUT_FILENO) == STDOUT_FILENO,
              "cannot redirect standard output");
    // Appending: after the file is emptied, the next line lands at its start again.
    fuzzCheck(::fcntl(STDOUT_FILENO, F_SETFL, O_APPEND) == 0, "cannot make standard output append");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const std::string_view published(reinterpret_cast<const char *>(data), size);
    const std::size_t feed = published.find('\n');
    const std::string_view installed = feed == std::string_view::npos ? std::string_view() : published.substr(feed + 1);

    const std::string newLine = readLineOf(published);
    const std::string currentLine = readLineOf(installed);
    const std::string newVersion = checkedVersion(newLine);
    const std::string currentVersion = checkedVersion(currentLine);
    // Compared byte for byte, as the version check does, and logged as it logs them.
    loggedLine(newVersion == currentVersion ? "update not necessary" : "update necessary");

    // The line the version check logs, and a line read as it stands (white space included).
    loggedLine("NewVersion: " + escapedForLog(newVersion) + " , CurrentVersion: " + escapedForLog(currentVersion));
    loggedLine(escapedForLog(newLine));
    loggedLine(escapedForLog(published));
    return 0;
}
