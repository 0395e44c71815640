#pragma once

// Helpers for the Qt-free Windows tests: log capture, scratch directories and waiting.

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

}  // namespace testsupport
