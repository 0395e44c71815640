// Stands in for the installed application in the runs of the real launcher: notes each start,
// with the folder it was started in, in started.log there, and ends.
#include <windows.h>

#include <string>

int main()
{
    wchar_t folder[MAX_PATH];
    const DWORD length = GetCurrentDirectoryW(MAX_PATH, folder);
    const int size = WideCharToMultiByte(CP_UTF8, 0, folder, int(length), nullptr, 0, nullptr, nullptr);
    std::string line(std::size_t(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, folder, int(length), line.data(), size, nullptr, nullptr);
    line = "started in " + line + "\n";
    HANDLE log = CreateFileW(L"started.log", FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
    if (log == INVALID_HANDLE_VALUE)
        return 1;
    DWORD written = 0;
    WriteFile(log, line.data(), DWORD(line.size()), &written, nullptr);
    CloseHandle(log);
    return 0;
}
