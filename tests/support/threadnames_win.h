#pragma once

// The threads of another process that carry a given description (SetThreadDescription), as a
// process list shows them. Qt-free, for every Windows test that counts the tool's workers.

#include <windows.h>
#include <tlhelp32.h>

#include <string>

// -1 when this system cannot read thread descriptions.
inline int threadsNamed(DWORD pid, const std::wstring &name)
{
    using GetDescription = HRESULT(WINAPI *)(HANDLE, PWSTR *);
    static const auto get = reinterpret_cast<GetDescription>(
        reinterpret_cast<void *>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "GetThreadDescription")));
    if (!get)
        return -1;
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return -1;
    THREADENTRY32 entry{};
    entry.dwSize = sizeof entry;
    int named = 0;
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
        if (entry.th32OwnerProcessID != pid)
            continue;
        const HANDLE thread = OpenThread(THREAD_QUERY_LIMITED_INFORMATION, FALSE, entry.th32ThreadID);
        if (thread == nullptr)
            continue;
        PWSTR description = nullptr;
        if (SUCCEEDED(get(thread, &description)) && description != nullptr) {
            named += name == description;
            LocalFree(description);
        }
        CloseHandle(thread);
    }
    CloseHandle(snapshot);
    return named;
}
