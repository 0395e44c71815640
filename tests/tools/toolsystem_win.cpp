#include "tests/tools/toolsystem.h"

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>

#include "platform/win/handle_win.h"

#include <windows.h>
#include <tlhelp32.h>

#include <string>

// The slot of this program's import table through which it, the tool's code linked in
// included, calls FlushFileBuffers; the loader fills it.
// NOLINTNEXTLINE(bugprone-reserved-identifier): the name the linker gives that slot
extern "C" BOOL(WINAPI *__imp_FlushFileBuffers)(HANDLE);

namespace {

using Flush = BOOL(WINAPI *)(HANDLE);

DWORD refusedWith = 0;

BOOL WINAPI refusedFlush(HANDLE)
{
    SetLastError(refusedWith);
    return FALSE;
}

void setFlushSlot(Flush flush)
{
    DWORD previous = 0;
    if (VirtualProtect(reinterpret_cast<void *>(&__imp_FlushFileBuffers), sizeof flush, PAGE_READWRITE, &previous)) {
        __imp_FlushFileBuffers = flush;
        VirtualProtect(reinterpret_cast<void *>(&__imp_FlushFileBuffers), sizeof flush, previous, &previous);
    }
}

// The threads of process `pid` with the description `name` (SetThreadDescription). -1 when
// this system cannot read thread descriptions.
int threadsNamed(DWORD pid, const std::wstring &name)
{
    using GetDescription = HRESULT(WINAPI *)(HANDLE, PWSTR *);
    static const auto get = reinterpret_cast<GetDescription>(
        reinterpret_cast<void *>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "GetThreadDescription")));
    if (!get)
        return -1;
    const WinHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
    if (!snapshot.valid())
        return -1;
    THREADENTRY32 entry{};
    entry.dwSize = sizeof entry;
    int named = 0;
    for (BOOL more = Thread32First(snapshot.get(), &entry); more; more = Thread32Next(snapshot.get(), &entry)) {
        if (entry.th32OwnerProcessID != pid)
            continue;
        const WinHandle thread(OpenThread(THREAD_QUERY_LIMITED_INFORMATION, FALSE, entry.th32ThreadID));
        PWSTR description = nullptr;
        if (thread.valid() && SUCCEEDED(get(thread.get(), &description)) && description != nullptr) {
            named += name == description;
            LocalFree(description);
        }
    }
    return named;
}

}  // namespace

int namedWorkerThreads(qint64 pid)
{
    return threadsNamed(static_cast<DWORD>(pid), L"unzip worker");
}

bool filesHavePermissions()
{
    return false;
}

int masked(int permissions)
{
    return permissions;
}

int permissionsOf(const QString &path)
{
    return QFileInfo::exists(path) ? 0 : -1;
}

// Tried once: a link made where the tests work, then looked for (wine reports success and
// makes nothing).
bool symbolicLinksCanBeMade()
{
    static const bool can = [] {
        QTemporaryDir dir;
        const std::wstring link = QDir::toNativeSeparators(dir.filePath(QStringLiteral("link"))).toStdWString();
        constexpr DWORD kAllowUnprivileged = 0x2;  // SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE
        CreateSymbolicLinkW(link.c_str(), L"target", kAllowUnprivileged);
        const DWORD attributes = GetFileAttributesW(link.c_str());
        return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    }();
    return can;
}

// QFile::link would make a shell shortcut (.lnk) instead.
bool makeFolderLink(const QString &target, const QString &link)
{
    constexpr DWORD kFolderUnprivileged = 0x1 | 0x2;  // SYMBOLIC_LINK_FLAG_DIRECTORY | ..._ALLOW_UNPRIVILEGED_CREATE
    const std::wstring name = QDir::toNativeSeparators(link).toStdWString();
    CreateSymbolicLinkW(name.c_str(), QDir::toNativeSeparators(target).toStdWString().c_str(), kFolderUnprivileged);
    const DWORD attributes = GetFileAttributesW(name.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

bool isFolderLink(const QString &path)
{
    const DWORD attributes = GetFileAttributesW(QDir::toNativeSeparators(path).toStdWString().c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

// Read access, as a scanner asks: an open for attributes alone does not count for sharing.
std::shared_ptr<void> holdWithoutDeleteSharing(const QString &path)
{
    auto held = std::make_shared<WinHandle>(CreateFileW(QDir::toNativeSeparators(path).toStdWString().c_str(), GENERIC_READ,
                                                        FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                                        FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    return held->valid() ? held : nullptr;
}

std::shared_ptr<void> refuseFlushes(int error)
{
    const Flush real = __imp_FlushFileBuffers;
    refusedWith = static_cast<DWORD>(error);
    setFlushSlot(&refusedFlush);
    return {&refusedWith, [real](void *) { setFlushSlot(real); }};
}

// A move from a subfolder shows as an addition, like a file made in place.
std::unique_ptr<DirectoryEvents> DirectoryEvents::watch(const QString &)
{
    return nullptr;
}

bool startWithLostStandardError(QProcess &process, const QString &program, const QStringList &args,
                                const QString &workingDirectory)
{
    HANDLE readEnd = nullptr;
    HANDLE writeEnd = nullptr;
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    if (!CreatePipe(&readEnd, &writeEnd, &inherit, 0))
        return false;
    WinHandle(readEnd).reset();  // the reader goes at once
    const WinHandle lost(writeEnd);
    process.setWorkingDirectory(workingDirectory);
    process.setCreateProcessArgumentsModifier([stderrHandle = lost.get()](QProcess::CreateProcessArguments *a) {
        a->inheritHandles = TRUE;
        a->startupInfo->dwFlags |= STARTF_USESTDHANDLES;
        a->startupInfo->hStdInput = GetStdHandle(STD_INPUT_HANDLE);
        a->startupInfo->hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
        a->startupInfo->hStdError = stderrHandle;
    });
    process.start(program, args);
    return process.waitForStarted(10000);
}

void prepareForStopRequest(QProcess &process)
{
    // A console of its own, which this process can join to send it Ctrl+C.
    process.setCreateProcessArgumentsModifier(
        [](QProcess::CreateProcessArguments *a) { a->flags |= CREATE_NEW_CONSOLE; });
}

bool requestStop(QProcess &process)
{
    FreeConsole();
    if (!AttachConsole(static_cast<DWORD>(process.processId())))
        return false;
    SetConsoleCtrlHandler(nullptr, TRUE);  // not for this process
    const bool sent = GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0);
    FreeConsole();
    Sleep(100);
    SetConsoleCtrlHandler(nullptr, FALSE);
    return sent;
}

bool systemCallsCanBeRecorded()
{
    return false;
}

QByteArray consoleLineEnd()
{
    return QByteArrayLiteral("\r\n");
}
