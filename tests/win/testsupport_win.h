#pragma once

// Helpers for the Windows platform tests: log capture, scratch directories, waiting, and child
// processes started directly.

#include <windows.h>
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "harness.h"
#include "platform/win/handle_win.h"

namespace testsupport {

namespace fs = std::filesystem;

// True under wine, whose emulation differs from Windows where the cases say so.
inline bool underWine()
{
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

inline std::vector<std::string> splitLines(const std::string &text)
{
    std::vector<std::string> lines;
    std::string line;
    for (const char c : text) {
        if (c == '\n') {
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            lines.push_back(line);
            line.clear();
        } else {
            line.push_back(c);
        }
    }
    if (!line.empty())
        lines.push_back(line);
    return lines;
}

inline std::string readFile(const fs::path &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

inline void writeFile(const fs::path &path, const std::string &content)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

// Redirects the process's standard output and error (the descriptors, so every write of the
// log goes there) into files until stop() or destruction.
class OutputCapture {
public:
    OutputCapture()
    {
        static int counter = 0;
        const std::string stem = "nembral-capture-" + std::to_string(GetCurrentProcessId()) + "-"
                                 + std::to_string(++counter);
        outPath_ = fs::temp_directory_path() / (stem + "-out.txt");
        errPath_ = fs::temp_directory_path() / (stem + "-err.txt");
        std::fflush(stdout);
        std::fflush(stderr);
        savedOut_ = _dup(1);
        savedErr_ = _dup(2);
        const int out = _wopen(outPath_.c_str(), _O_CREAT | _O_TRUNC | _O_WRONLY | _O_BINARY, _S_IREAD | _S_IWRITE);
        const int err = _wopen(errPath_.c_str(), _O_CREAT | _O_TRUNC | _O_WRONLY | _O_BINARY, _S_IREAD | _S_IWRITE);
        _dup2(out, 1);
        _dup2(err, 2);
        _close(out);
        _close(err);
    }
    ~OutputCapture()
    {
        stop();
        std::error_code ec;
        fs::remove(outPath_, ec);
        fs::remove(errPath_, ec);
    }
    OutputCapture(const OutputCapture &) = delete;
    OutputCapture &operator=(const OutputCapture &) = delete;

    void stop()
    {
        if (savedOut_ < 0)
            return;
        std::fflush(stdout);
        std::fflush(stderr);
        _dup2(savedOut_, 1);
        _dup2(savedErr_, 2);
        _close(savedOut_);
        _close(savedErr_);
        savedOut_ = savedErr_ = -1;
    }
    std::vector<std::string> outLines()
    {
        stop();
        return splitLines(readFile(outPath_));
    }
    std::vector<std::string> errLines()
    {
        stop();
        return splitLines(readFile(errPath_));
    }

private:
    fs::path outPath_;
    fs::path errPath_;
    int savedOut_ = -1;
    int savedErr_ = -1;
};

// A fresh directory under the temporary directory, made the current directory while the
// object lives (the launcher works relative to it), removed afterwards.
class ScratchDirectory {
public:
    explicit ScratchDirectory(const std::string &tag)
    {
        static int counter = 0;
        path_ = fs::temp_directory_path()
                / ("nembral-" + tag + "-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(++counter));
        fs::remove_all(path_);
        fs::create_directories(path_);
        previous_ = fs::current_path();
        fs::current_path(path_);
    }
    ~ScratchDirectory()
    {
        std::error_code ec;
        fs::current_path(previous_, ec);
        fs::remove_all(path_, ec);
    }
    ScratchDirectory(const ScratchDirectory &) = delete;
    ScratchDirectory &operator=(const ScratchDirectory &) = delete;

    const fs::path &path() const { return path_; }

private:
    fs::path path_;
    fs::path previous_;
};

// Polls `condition` every 20 ms until it holds or `timeout` has passed; returns its last value.
inline bool waitUntil(const std::function<bool()> &condition, std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return condition();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

inline fs::path ownDirectory()
{
    wchar_t buffer[MAX_PATH * 4] = {};
    GetModuleFileNameW(nullptr, buffer, static_cast<DWORD>(std::size(buffer)));
    return fs::path(buffer).parent_path();
}

inline std::wstring quoted(const std::wstring &argument)
{
    return L"\"" + argument + L"\"";
}

// `program` with the given arguments, started directly (no interpreter in between). With
// `outputFile`, the child's standard output and error go to that file.
class ChildProcess {
public:
    // `workingDirectory`, when given, becomes the child's current folder, which it then holds
    // as a running program holds the folder it was started in.
    ChildProcess(const fs::path &program, const std::vector<std::wstring> &arguments, const fs::path &outputFile = {},
                 const fs::path &workingDirectory = {})
    {
        std::wstring commandLine = quoted(program.wstring());
        for (const std::wstring &argument : arguments)
            commandLine += L" " + quoted(argument);
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        WinHandle output;
        if (!outputFile.empty()) {
            SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
            output.reset(CreateFileW(outputFile.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, &inherit,
                                     CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
            startup.dwFlags = STARTF_USESTDHANDLES;
            startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
            startup.hStdOutput = output.get();
            startup.hStdError = output.get();
        }
        PROCESS_INFORMATION info{};
        if (CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, output.valid(), 0, nullptr,
                           workingDirectory.empty() ? nullptr : workingDirectory.c_str(), &startup, &info)) {
            process_.reset(info.hProcess);
            id_ = info.dwProcessId;
            WinHandle thread(info.hThread);
        }
    }
    ~ChildProcess()
    {
        if (running())
            kill();
    }
    ChildProcess(const ChildProcess &) = delete;
    ChildProcess &operator=(const ChildProcess &) = delete;

    bool started() const { return process_.valid(); }
    DWORD id() const { return id_; }
    bool running() const { return started() && WaitForSingleObject(process_.get(), 0) == WAIT_TIMEOUT; }
    // Exit code, or -1 when it did not end in time.
    long waitForExit(DWORD milliseconds)
    {
        if (!started() || WaitForSingleObject(process_.get(), milliseconds) != WAIT_OBJECT_0)
            return -1;
        DWORD code = 0;
        GetExitCodeProcess(process_.get(), &code);
        return static_cast<long>(code);
    }
    void kill()
    {
        TerminateProcess(process_.get(), 9);
        WaitForSingleObject(process_.get(), 10000);
    }

private:
    WinHandle process_;
    DWORD id_ = 0;
};

// A row of link cases: what it shows, its folder in the fixture, the link in that folder.
struct LinkRow {
    const char *name;
    const char *fixture;
    const char *link;
};

// One case of the links that scripts/test-windows.sh lays out in NEMBRAL_LINK_FIXTURE: wine 8
// makes neither directory symbolic links nor junctions through the API, but shows Unix links as
// directory reparse points. Links in CASE point into outside/CASE. While the case lives the
// working directory is CASE; without the variable the case reports that it skips.
class LinkFixtureCase {
public:
    explicit LinkFixtureCase(const char *name) : previous_(fs::current_path())
    {
        const char *root = std::getenv("NEMBRAL_LINK_FIXTURE");
        if (root == nullptr || *root == '\0') {
            harness::report("   skipped: NEMBRAL_LINK_FIXTURE is not set (scripts/test-windows.sh sets it)");
            return;
        }
        fs::current_path(fs::path(root) / name);
        outside_ = fs::path(root) / "outside" / name;
        entered_ = true;
    }
    ~LinkFixtureCase() { fs::current_path(previous_); }
    LinkFixtureCase(const LinkFixtureCase &) = delete;
    LinkFixtureCase &operator=(const LinkFixtureCase &) = delete;

    bool entered() const { return entered_; }
    const fs::path &outside() const { return outside_; }

    // Whether `path` (relative to CASE) reads back as a reparse point.
    static bool isReparsePoint(const fs::path &path)
    {
        const DWORD attributes = GetFileAttributesW(path.c_str());
        return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    }

private:
    fs::path previous_;
    fs::path outside_;
    bool entered_ = false;
};

}  // namespace testsupport
