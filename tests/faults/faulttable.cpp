#include "faulttable.h"

#include "faultpackage.h"

#include <QRegularExpression>

using namespace Qt::Literals::StringLiterals;

namespace {

QString exactly(const QString &line)
{
    return QRegularExpression::escape(line);
}

// The end of a first installation: the tool gone, its marker there, the archive removed, the
// application started.
const QStringList kInstalled{u"Mutex does not exist"_s, u"UNZIP complete!"_s, u"File deleted successfully\\."_s,
                             u"Start Nembral"_s};
// A first installation whose package the tool refused: its result says so, nothing to restore.
const QStringList kRefused{u"DOWNLOAD COMPLETE"_s, u"Mutex does not exist"_s, u"file not found"_s,
                           u"extraction failed"_s, u"Could not find Nembral"_s};
// The package could not be had after the wipe: nothing left to start.
const QStringList kNoPackage{u"version file does not exist"_s, u"installation necessary"_s,
                             u"downloadCompleteApplication"_s, u"File deleted successfully\\."_s,
                             u"Could not find Nembral"_s};
const QStringList kNothingToStart{u"Could not find Nembral"_s};
const QStringList kStartInstalled{u"Start Nembral"_s};
// The archive the tool refused and the result it left for the launcher, nothing else.
const QStringList kArchiveOnly{u"nembral"_s, u"nembral/nembral.zip"_s, u"nembral/unzip-result.txt"_s};

QStringList askedAbout(const QString &versionLine)
{
    return {u"version file does exist"_s, exactly(versionLine), u"update necessary"_s, u"new version available"_s,
            u"File deleted successfully\\."_s};
}

// Any one error code of the download service, as long as all attempts give the same.
const QString kSomeInetCode = u"800c00[0-9a-f]{2}"_s;

}  // namespace

QList<FaultRow> faultTable()
{
    const QStringList tree = installedTree();
    const QStringList manyTree = installedTree(Package::Many);
    const QStringList onlyVersion{u"--faulty-file"_s, u"version.txt"_s};
    const QStringList onlyPackageOnce{u"--faulty-file"_s, u"nembral.zip"_s, u"--faulty-requests"_s, u"1"_s};

    // One row per fault, its fields grouped on lines by what they say.
    // clang-format off
    return {
        // The reference: nothing wrong.
        {.fault = u"baseline/first-install"_s,
         .outcome = u"installs 1.0, starts it, exits 0"_s,
         .end = End::Exit, .tail = kInstalled, .disk = tree, .installedVersion = "1.0", .started = {u"1.0 complete"_s}},

        // Network.
        {.fault = u"net/refused-first-run"_s,
         .outcome = u"six attempts fail with 0x800c0004, error page, nothing written"_s,
         .package = Package::None, .serverUp = false,
         .end = End::ErrorPage, .tail = kNothingToStart, .failures = 6, .failureCode = u"800c0004"_s, .disk = {}},
        {.fault = u"net/refused-installed"_s,
         .outcome = u"six attempts fail with 0x800c0004, the installed 0.9 starts, exit 0"_s,
         .serverUp = false, .installed = "0.9",
         .end = End::Exit, .tail = kStartInstalled, .failures = 6, .failureCode = u"800c0004"_s, .disk = tree,
         .installedVersion = "0.9", .started = {u"0.9 complete"_s}},
        {.fault = u"net/reset-version"_s,
         .outcome = u"every version request reset (TCP RST): six failures 0x800c0008, error page, no file"_s,
         .serverOptions = QStringList{u"--reset-after"_s, u"2"_s} + onlyVersion,
         .end = End::ErrorPage, .tail = kNothingToStart, .failures = 6, .failureCode = u"800c0008"_s, .disk = {}},
        {.fault = u"net/reset-package-once"_s,
         .outcome = u"package connection reset midway once: one failure 0x800c0008, the retry installs, no partial file"_s,
         .serverOptions = QStringList{u"--reset-after"_s, u"20000"_s} + onlyPackageOnce,
         .end = End::Exit, .tail = kInstalled, .failures = 1, .failureCode = u"800c0008"_s, .disk = tree,
         .installedVersion = "1.0", .started = {u"1.0 complete"_s}},
        {.fault = u"net/cut-package-once"_s,
         .outcome = u"package body cut short of its length once: one failure 0x800c0008, the retry installs"_s,
         .serverOptions = QStringList{u"--cut-after"_s, u"20000"_s} + onlyPackageOnce,
         .end = End::Exit, .tail = kInstalled, .failures = 1, .failureCode = u"800c0008"_s, .disk = tree,
         .installedVersion = "1.0", .started = {u"1.0 complete"_s}},
        {.fault = u"net/stall-package-once"_s,
         .outcome = u"package stalls midway once: given up after the stall limit with 0x800c000b, the retry installs"_s,
         .serverOptions = QStringList{u"--stall-after"_s, u"20000"_s} + onlyPackageOnce, .boundSeconds = 130,
         .end = End::Exit, .tail = kInstalled, .failures = 1, .failureCode = u"800c000b"_s, .disk = tree,
         .installedVersion = "1.0", .started = {u"1.0 complete"_s}},
        {.fault = u"net/trickle-version"_s,
         .outcome = u"version file trickled at 3 bytes/s: no time-out while bytes come, installs"_s,
         .published = "1.0\n# trickled\n", .serverOptions = QStringList{u"--rate"_s, u"3"_s} + onlyVersion,
         .boundSeconds = 40,
         .end = End::Exit, .tail = kInstalled, .disk = tree, .installedVersion = "1.0", .started = {u"1.0 complete"_s}},
        {.fault = u"net/status-503-twice"_s,
         .outcome = u"version answered 503 twice: two failures 0x800c0008, the third attempt installs"_s,
         .serverOptions = QStringList{u"--status"_s, u"503"_s, u"--faulty-requests"_s, u"2"_s} + onlyVersion,
         .end = End::Exit, .tail = kInstalled, .failures = 2, .failureCode = u"800c0008"_s, .disk = tree,
         .installedVersion = "1.0", .started = {u"1.0 complete"_s}},
        {.fault = u"net/package-404-after-wipe"_s,
         .outcome = u"package missing (404): the leftover tree is wiped first, six failures 0x800c0005, error page"_s,
         .package = Package::None, .prep = Prep::LeftoverTree,
         .end = End::ErrorPage, .tail = kNoPackage, .failures = 6, .failureCode = u"800c0005"_s,
         .disk = {u"nembral"_s}},
        {.fault = u"net/endless-version"_s,
         .outcome = u"endless version body: each attempt stops early with one error code, no file, memory and lines stay small, error page"_s,
         .serverOptions = QStringList{u"--endless"_s, u"--rate"_s, u"262144"_s} + onlyVersion,
         .end = End::ErrorPage, .tail = kNothingToStart, .failures = 6, .failureCode = kSomeInetCode, .disk = {},
         .extraMemoryMb = 16},
        {.fault = u"net/oversize-version"_s,
         .outcome = u"64 MiB version body: each attempt stops early with one error code, memory and lines stay small, the installed 0.9 starts"_s,
         .serverOptions = QStringList{u"--oversize"_s, u"67108864"_s} + onlyVersion, .installed = "0.9",
         .end = End::Exit, .tail = kStartInstalled, .failures = 6, .failureCode = kSomeInetCode, .disk = tree,
         .installedVersion = "0.9", .started = {u"0.9 complete"_s}, .extraMemoryMb = 16},
        {.fault = u"net/redirect-loop"_s,
         .outcome = u"version URL redirects to itself: six failures 0x800c0014, error page"_s,
         .serverOptions = QStringList{u"--redirect-loop"_s} + onlyVersion,
         .end = End::ErrorPage, .tail = kNothingToStart, .failures = 6, .failureCode = u"800c0014"_s, .disk = {}},
        {.fault = u"net/redirect-downgrade"_s,
         .outcome = u"version URL redirects to plain http: never followed (the http server is never asked), six failures, error page"_s,
         .serverOptions = QStringList{u"--redirect-to"_s, u"http://127.0.0.1:%AUX%"_s} + onlyVersion,
         .end = End::ErrorPage, .tail = kNothingToStart, .failures = 6, .failureCode = kSomeInetCode, .disk = {},
         .noRequests = true},
        {.fault = u"net/tls-untrusted"_s,
         .outcome = u"certificate from another CA: six failures 0x800c000e, no request sent, error page"_s,
         .serverOptions = {u"--cert"_s, u"untrusted"_s},
         .end = End::ErrorPage, .tail = kNothingToStart, .failures = 6, .failureCode = u"800c000e"_s, .disk = {},
         .noRequests = true},
        {.fault = u"net/tls-wrong-host-installed"_s,
         .outcome = u"certificate for another host name: six failures 0x800c000e, no request sent, the installed 0.9 starts"_s,
         .serverOptions = {u"--cert"_s, u"wrong-host"_s}, .installed = "0.9",
         .end = End::Exit, .tail = kStartInstalled, .failures = 6, .failureCode = u"800c000e"_s, .disk = tree,
         .installedVersion = "0.9", .started = {u"0.9 complete"_s}, .noRequests = true},

        // The version line.
        {.fault = u"version/newer-published"_s,
         .outcome = u"printable newer version: logged exactly as published (white space removed), question page"_s,
         .published = "2.0-rc.1+build\\7 \n", .installed = "1.0",
         .end = End::QuestionPage, .tail = askedAbout(u"NewVersion: 2.0-rc.1+build\\7 , CurrentVersion: 1.0"_s),
         .disk = tree, .installedVersion = "1.0"},
        {.fault = u"version/control-bytes"_s,
         .outcome = u"control bytes in the published line: logged escaped (\\x1b), question page"_s,
         .published = "1.0\x1b[2J\x07" "beta\n", .installed = "1.0",
         .end = End::QuestionPage, .tail = askedAbout(u"NewVersion: 1.0\\x1b[2J\\x07beta , CurrentVersion: 1.0"_s),
         .disk = tree, .installedVersion = "1.0"},

        // The disk.
        {.fault = u"disk/full-during-download"_s,
         .outcome = u"1 MiB disk, 3 MiB package: six failures 0x80070070, no partial file, error page"_s,
         .package = Package::Big, .prep = Prep::SmallDisk, .smallDiskKb = 1024,
         .end = End::ErrorPage, .tail = kNoPackage, .failures = 6,
         .failureCode = u"80070070"_s, .disk = {u"nembral"_s}},
        {.fault = u"disk/full-during-extraction"_s,
         .outcome = u"4 MiB disk, 16 MiB tree: the tool fails and cleans up, the launcher reads its result: error page, archive gone"_s,
         .package = Package::Zeros, .prep = Prep::SmallDisk, .smallDiskKb = 4096,
         .end = End::ErrorPage, .tail = kRefused, .disk = {u"nembral"_s}},
        {.fault = u"disk/read-only-installed"_s,
         .outcome = u"read-only working directory: six failures 0x80070005, the installed 0.9 starts"_s,
         .installed = "0.9", .prep = Prep::ReadOnly,
         .end = End::Exit, .tail = kStartInstalled, .failures = 6, .failureCode = u"80070005"_s, .disk = tree,
         .installedVersion = "0.9", .started = {u"0.9 complete"_s}},
        {.fault = u"disk/vanished-working-dir"_s,
         .outcome = u"working directory deleted during the package download: six failures 0x80070003, nothing recreated, error page"_s,
         .serverOptions = {u"--rate"_s, u"16384"_s, u"--faulty-file"_s, u"nembral.zip"_s}, .act = Act::LaunchVanishingDir,
         .end = End::ErrorPage, .tail = kNothingToStart, .failures = 6, .failureCode = u"80070003"_s,
         .disk = {u"-"_s}},

        // The archive, given to the extraction tool directly.
        {.fault = u"archive/corrupt"_s,
         .outcome = u"not a zip: exit 1, one line, nothing put in place, no staging left"_s,
         .package = Package::Corrupt, .act = Act::Unzip,
         .exitCode = 1, .errLines = {u"unzip\\.exe: .*nembral/nembral\\.zip.*"_s}, .disk = kArchiveOnly},
        {.fault = u"archive/truncated"_s,
         .outcome = u"zip cut in half: exit 1, one line, nothing put in place, no staging left"_s,
         .package = Package::Truncated, .act = Act::Unzip,
         .exitCode = 1, .errLines = {u"unzip\\.exe: .*nembral/nembral\\.zip.*"_s}, .disk = kArchiveOnly},
        {.fault = u"archive/name-climbs-out"_s,
         .outcome = u"entry \"nembral/../../../outside/evil.txt\": refused by name, exit 1, outside untouched"_s,
         .package = Package::DotDot, .act = Act::Unzip,
         .exitCode = 1, .errLines = {u"unzip\\.exe: .*nembral/\\.\\./\\.\\./\\.\\./outside/evil\\.txt.*"_s},
         .disk = kArchiveOnly},
        {.fault = u"archive/absolute-name"_s,
         .outcome = u"entry named by the outside folder's absolute path: refused, exit 1, outside untouched"_s,
         .package = Package::Absolute, .act = Act::Unzip,
         .exitCode = 1, .errLines = {u"unzip\\.exe: .*/outside/evil\\.txt.*"_s}, .disk = kArchiveOnly},
        {.fault = u"archive/link-climbs-out"_s,
         .outcome = u"link to the outside folder and an entry through it: refused, exit 1, outside untouched"_s,
         .package = Package::LinkOut, .act = Act::Unzip,
         .exitCode = 1, .errLines = {u"unzip\\.exe: .*nembral/escape.*"_s}, .disk = kArchiveOnly},
        {.fault = u"archive/no-version-file"_s,
         .outcome = u"archive without nembral/version.txt: exit 1, one line, nothing put in place, no staging left"_s,
         .package = Package::NoVersion, .act = Act::Unzip,
         .exitCode = 1, .errLines = {u"unzip\\.exe: .*version\\.txt.*"_s}, .disk = kArchiveOnly},
        {.fault = u"archive/no-executable"_s,
         .outcome = u"archive without nembral/Nembrals.exe: exit 1, one line, nothing put in place, no staging left"_s,
         .package = Package::NoExe, .act = Act::Unzip,
         .exitCode = 1, .errLines = {u"unzip\\.exe: .*Nembrals\\.exe.*"_s}, .disk = kArchiveOnly},
        {.fault = u"archive/bomb"_s,
         .outcome = u"256 MiB of zeros in a small archive, 8 MiB disk: exit 1, one line, the space is given back"_s,
         .package = Package::Bomb, .prep = Prep::SmallDisk, .smallDiskKb = 8192, .act = Act::Unzip, .boundSeconds = 60,
         .exitCode = 1, .errLines = {u"unzip\\.exe: .*"_s}, .disk = kArchiveOnly},
        {.fault = u"archive/error-output-gone"_s,
         .outcome = u"not a zip, standard error a pipe without reader: exit 1 (not killed by SIGPIPE), nothing left"_s,
         .package = Package::Corrupt, .act = Act::UnzipOutputGone,
         .exitCode = 1, .disk = kArchiveOnly},
        {.fault = u"archive/corrupt-via-launcher"_s,
         .outcome = u"corrupt package: the tool fails, nothing installed, the launcher reads its result: error page, archive gone"_s,
         .package = Package::Corrupt,
         .end = End::ErrorPage, .tail = kRefused, .disk = {u"nembral"_s}},
        {.fault = u"archive/no-executable-then-fixed"_s,
         .outcome = u"package without the executable is never taken for an installation: the next run installs the fixed package"_s,
         .package = Package::NoExe, .act = Act::LaunchTwiceFixed, .boundSeconds = 50,
         .end = End::Exit, .tail = kInstalled, .disk = tree, .installedVersion = "1.0",
         .started = {u"1.0 complete"_s}},

        // Concurrency.
        {.fault = u"conc/two-launchers-together"_s,
         .outcome = u"two launchers at once in one directory: both exit 0, every start sees a whole installation"_s,
         .serverOptions = {u"--rate"_s, u"65536"_s, u"--faulty-file"_s, u"nembral.zip"_s},
         .act = Act::TwoLaunchersTogether, .boundSeconds = 45,
         .end = End::Exit, .tail = kStartInstalled, .disk = tree + QStringList{u"nembral/nembral.zip?"_s},
         .installedVersion = "1.0", .started = {u"1.0 complete"_s, u"1.0 complete"_s}},
        {.fault = u"conc/second-during-extraction"_s,
         .outcome = u"a second launcher during the first one's extraction waits on the mutex; both start the one installation"_s,
         .package = Package::Many, .act = Act::SecondDuringExtraction, .unzipDelayMs = 50, .boundSeconds = 50,
         .end = End::Exit, .tail = kStartInstalled, .disk = manyTree, .installedVersion = "1.0",
         .started = {u"1.0 complete"_s, u"1.0 complete"_s}},
        {.fault = u"conc/killed-download"_s,
         .outcome = u"launcher killed mid-download: the next run installs, the orphaned partial file is gone"_s,
         .serverOptions = QStringList{u"--rate"_s, u"8192"_s} + onlyPackageOnce, .act = Act::KillDownload,
         .boundSeconds = 40,
         .end = End::Exit, .tail = kInstalled, .disk = tree, .installedVersion = "1.0", .started = {u"1.0 complete"_s}},
        {.fault = u"conc/killed-extraction"_s,
         .outcome = u"unzip.exe killed midway: never \"UNZIP complete!\", the launcher keeps waiting; the next run installs, no staging left"_s,
         .package = Package::Many, .act = Act::KillExtraction, .unzipDelayMs = 50, .boundSeconds = 50,
         .end = End::Exit, .tail = kInstalled, .disk = manyTree, .installedVersion = "1.0",
         .started = {u"1.0 complete"_s}},

        // The wipe, links and the console.
        {.fault = u"wipe/unremovable-entry"_s,
         .outcome = u"leftover tree with an entry that cannot be removed: one line naming it and why, error page, nothing downloaded or started"_s,
         .prep = Prep::ImmutableEntry,
         .end = End::ErrorPage,
         .tail = {u"version file does not exist"_s, u"installation necessary"_s, u"File deleted successfully\\."_s},
         .oneLineNaming = u".*nembral/nembral.*(Operation not permitted|Permission denied).*"_s,
         .disk = {u"nembral"_s, u"nembral/nembral"_s, u"nembral/nembral/data"_s, u"nembral/nembral/data/locked.bin"_s,
                  u"nembral/nembral/data/old.bin?"_s, u"nembral/nembral/Nembrals.exe?"_s}},
        {.fault = u"link/nembral-relocated"_s,
         .outcome = u"./nembral a link to a folder elsewhere (an installation moved there): installs there, keeps the link, touches nothing beside nembral/nembral and the support log in the target"_s,
         .prep = Prep::NembralRelocated,
         .end = End::Exit, .tail = kInstalled, .disk = {u"nembral -> ../outside"_s}, .installedVersion = "1.0",
         .started = {u"1.0 complete"_s}, .outsideMayChange = u"nembral(/.*)?|launcher\\.log"_s},
        {.fault = u"link/install-dir-points-outside"_s,
         .outcome = u"./nembral/nembral a link to a folder outside: the link goes and is never followed, its target stays, installs in a real folder"_s,
         .prep = Prep::InstallDirLinksOut,
         .end = End::Exit, .tail = kInstalled, .disk = tree, .installedVersion = "1.0", .started = {u"1.0 complete"_s}},
        {.fault = u"pipe/output-gone"_s,
         .outcome = u"standard output and error pipes without reader: installs and starts as if logged, exit 0"_s,
         .act = Act::LaunchOutputGone,
         .end = End::Exit, .disk = tree, .installedVersion = "1.0", .started = {u"1.0 complete"_s}},
    };
    // clang-format on
}
