// A stand-in for cmd.exe that only records what it was asked to run: its switch and the rest of
// its command line, one a line, appended in one write to the file named in "<this program>.record".
// Told to run "sleep", it takes three seconds first, so that a caller that waited for it shows.
// Qt-free and statically linked, so a copy runs from any folder.
#include <windows.h>

#include <string>

namespace {

std::string narrow(const std::wstring &wide)
{
    const int size = WideCharToMultiByte(CP_UTF8, 0, wide.data(), int(wide.size()), nullptr, 0, nullptr, nullptr);
    std::string bytes(std::size_t(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide.data(), int(wide.size()), bytes.data(), size, nullptr, nullptr);
    return bytes;
}

std::wstring readTarget()
{
    wchar_t self[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, self, MAX_PATH);
    if (length == 0 || length == MAX_PATH)
        return {};
    const std::wstring sidecar = std::wstring(self, length) + L".record";
    HANDLE file = CreateFileW(sidecar.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return {};
    char buffer[2048];
    DWORD got = 0;
    const BOOL read = ReadFile(file, buffer, sizeof buffer, &got, nullptr);
    CloseHandle(file);
    if (!read)
        return {};
    const int size = MultiByteToWideChar(CP_UTF8, 0, buffer, int(got), nullptr, 0);
    std::wstring target(std::size_t(size), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, buffer, int(got), target.data(), size);
    while (!target.empty() && (target.back() == L'\n' || target.back() == L'\r' || target.back() == L' '))
        target.pop_back();
    return target;
}

}  // namespace

int main()
{
    // The interpreter reads its command line as given: "/c <command>", with no program name
    // in front when the caller named the program separately.
    const std::wstring commandLine = GetCommandLineW();
    const std::size_t space = commandLine.find(L' ');
    std::string record = narrow(commandLine.substr(0, space)) + '\n';
    if (space != std::wstring::npos)
        record += narrow(commandLine.substr(space + 1)) + '\n';
    if (space != std::wstring::npos && commandLine.substr(space + 1) == L"sleep")
        Sleep(3000);

    const std::wstring target = readTarget();
    if (target.empty())
        return 1;
    HANDLE file = CreateFileW(target.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return 1;
    DWORD written = 0;
    const BOOL ok = WriteFile(file, record.data(), DWORD(record.size()), &written, nullptr);
    CloseHandle(file);
    return ok && written == record.size() ? 0 : 1;
}
