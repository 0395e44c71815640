// Stands in for the installed application in the runs of the real launcher: notes each start in
// the file NEMBRAL_E2E_STARTED names, else in started.log in the folder it was started in, as one
// line "started in FOLDER: VERSION STATE", VERSION the first line of version.txt there ("-" when
// there is none) and STATE "complete" when version.txt and the package's other file (readme.txt
// of the scripts' packages, data\payload.bin of the road table's) are there, "incomplete"
// otherwise, so a start on a half-written installation shows.
//
// With NEMBRALS_STUB_STAY_SECONDS=N it then stays running for N seconds, holding its own
// executable open without delete sharing, as a running application keeps its file in use.
#include <windows.h>

#include <cstdlib>
#include <string>

namespace {

std::string utf8(const wchar_t *text, int length)
{
    const int size = WideCharToMultiByte(CP_UTF8, 0, text, length, nullptr, 0, nullptr, nullptr);
    std::string out(std::size_t(size > 0 ? size : 0), '\0');
    if (size > 0)
        WideCharToMultiByte(CP_UTF8, 0, text, length, out.data(), size, nullptr, nullptr);
    return out;
}

// The first line of `name`, without its line end; empty when the file cannot be read.
std::string firstLine(const wchar_t *name)
{
    HANDLE file = CreateFileW(name, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return {};
    char buffer[256];
    DWORD read = 0;
    const BOOL ok = ReadFile(file, buffer, sizeof buffer, &read, nullptr);
    CloseHandle(file);
    std::string line(buffer, ok ? read : 0);
    line = line.substr(0, line.find_first_of("\r\n"));
    return line;
}

bool exists(const wchar_t *name)
{
    return GetFileAttributesW(name) != INVALID_FILE_ATTRIBUTES;
}

}  // namespace

int main()
{
    wchar_t folder[MAX_PATH];
    const DWORD length = GetCurrentDirectoryW(MAX_PATH, folder);
    std::string version = firstLine(L"version.txt");
    const bool whole = exists(L"version.txt") && (exists(L"readme.txt") || exists(L"data\\payload.bin"));
    std::string line = "started in " + utf8(folder, int(length)) + ": " + (version.empty() ? "-" : version)
                       + (whole ? " complete" : " incomplete") + "\n";
    wchar_t named[MAX_PATH];
    const DWORD namedLength = GetEnvironmentVariableW(L"NEMBRAL_E2E_STARTED", named, MAX_PATH);
    HANDLE log = CreateFileW(namedLength > 0 && namedLength < MAX_PATH ? named : L"started.log", FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
    if (log == INVALID_HANDLE_VALUE)
        return 1;
    DWORD written = 0;
    WriteFile(log, line.data(), DWORD(line.size()), &written, nullptr);
    CloseHandle(log);

    const char *stay = std::getenv("NEMBRALS_STUB_STAY_SECONDS");
    if (stay != nullptr && std::atoi(stay) > 0) {
        wchar_t self[MAX_PATH];
        const DWORD selfLength = GetModuleFileNameW(nullptr, self, MAX_PATH);
        HANDLE held = selfLength > 0 && selfLength < MAX_PATH
                          ? CreateFileW(self, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                                        nullptr)
                          : INVALID_HANDLE_VALUE;
        Sleep(DWORD(std::atoi(stay)) * 1000u);
        if (held != INVALID_HANDLE_VALUE)
            CloseHandle(held);
    }
    return 0;
}
