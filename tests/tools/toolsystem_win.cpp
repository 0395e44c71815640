#include "tests/tools/toolsystem.h"

#include "tests/support/threadnames_win.h"

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>

#include <windows.h>

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
        constexpr DWORD kAllowUnprivileged = 0x2; // SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE
        CreateSymbolicLinkW(link.c_str(), L"target", kAllowUnprivileged);
        const DWORD attributes = GetFileAttributesW(link.c_str());
        return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    }();
    return can;
}

// QFile::link would make a shell shortcut (.lnk) instead.
bool makeFolderLink(const QString &target, const QString &link)
{
    constexpr DWORD kFolderUnprivileged = 0x1 | 0x2; // SYMBOLIC_LINK_FLAG_DIRECTORY | ..._ALLOW_UNPRIVILEGED_CREATE
    const std::wstring name = QDir::toNativeSeparators(link).toStdWString();
    CreateSymbolicLinkW(name.c_str(), QDir::toNativeSeparators(target).toStdWString().c_str(), kFolderUnprivileged);
    const DWORD attributes = GetFileAttributesW(name.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
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
    CloseHandle(readEnd);
    process.setWorkingDirectory(workingDirectory);
    process.setCreateProcessArgumentsModifier([writeEnd](QProcess::CreateProcessArguments *a) {
        a->inheritHandles = TRUE;
        a->startupInfo->dwFlags |= STARTF_USESTDHANDLES;
        a->startupInfo->hStdInput = GetStdHandle(STD_INPUT_HANDLE);
        a->startupInfo->hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
        a->startupInfo->hStdError = writeEnd;
    });
    process.start(program, args);
    const bool started = process.waitForStarted(10000);
    CloseHandle(writeEnd);
    return started;
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
    SetConsoleCtrlHandler(nullptr, TRUE); // not for this process
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
