"""The table of roads: every way a run of the launcher can go that a user could tell apart, one
row each. A row says what the vendor server does (its fault modes), what the working folder
holds before, what is done, and what a user could see after: how the run ends (exit code or the
page it waits on), the log lines in order, the files left, and which version started from where.
test_roads.py acts the rows out on each way the launcher ships (conftest.py, make_way) and compares.

Log patterns are regular expressions for one whole line each; "..." stands for any lines, and
Many(PATTERN) for any number of lines matching PATTERN. They match the lines the launcher's
window thread writes, without the download worker's (which interleave with them).
"""

import dataclasses
import re


@dataclasses.dataclass(frozen=True)
class Many:
    pattern: str


ANY = "..."


def exactly(line):
    return re.escape(line)


@dataclasses.dataclass(frozen=True)
class Row:
    name: str       # group/road
    outcome: str    # one line for people: what a sound program does

    # The vendor server.
    package: str = "good"        # what it publishes as nembral.zip (conftest.write_package)
    published: bytes = b"1.0\n"  # its version.txt
    server: tuple = ()           # fault options of tools/vendor-server
    server_up: bool = True

    # The working folder before.
    installed: bytes = b""  # version.txt of a whole installation made beforehand; empty: none
    prep: str = ""          # leftover, unremovable, relocated, install-dir-links-out, small-disk, read-only
    disk_kb: int = 1024     # size of the file system for small-disk and read-only

    # What is done.
    act: str = "launch"     # conftest.Runner.act_*
    args: tuple = ()        # the launcher's command line
    unset: tuple = ()       # variables taken out of the launcher's environment
    comspec: bool = False   # COMSPEC names an interpreter that records what it is asked to run
    unzip_delay_ms: int = 0
    workdir: str = ""       # "home": none given, the package's wrapper makes its own below a fresh HOME
    bound: int = 30         # seconds for the whole row, every run and wait included

    # What a user could see after.
    end: str = "exit"       # exit, error-page, question-page, copying (waits for good for the tool)
    exit_code: int = 0
    log: tuple = ()         # the window thread's lines (see above); empty: not checked
    err: tuple = None       # every line on standard error (the tool's, for the unzip acts), patterns
    counts: tuple = ()      # (line, n): the whole line appears n times in the output
    order: tuple = ()       # lines of the output that appear in this order
    failures: int = 0       # download failures of the (last) run, all with one code ...
    failure_code: str = ""  # ... matching this
    not_before: tuple = ()  # (line, seconds): the line comes no sooner than that after the start
    private_work: bool = False  # the working folder is the user's alone (mode 0700)
    files: tuple = ()       # every entry below the working folder after ("x?": may be there; "-": the folder is gone)
    version: bytes = b""    # nembral/nembral/version.txt after, white space trimmed; empty: none
    started: tuple = ()     # the starts of the application, "VERSION complete|incomplete" each, sorted,
                            # every one in the installation folder
    demo_log: bytes = b""   # what the demo application (tools/make-package) logged in its folder
    commands: tuple = ()    # what the recording interpreter was asked to run, in order
    no_requests: bool = False       # the server received nothing (the client refused first)
    outside_may_change: str = ""    # paths of the folder beside the working one that may change
    extra_memory_mb: int = -1       # peak memory above a typical run, at most
    same_as: str = ""               # cases of the harnesses this row replaces that it covers
    support_log: bool = False       # nembral/launcher.log holds the run's console lines, each time stamped

    # Ways this row does not apply to, with the reason (the installed copy, nsis, also inherits wine's).
    not_on: tuple = ()


def not_applying(row, way):
    """Why ROW does not run on WAY, or "": the copy the Windows setup installed runs under wine
    too, so what cannot apply to the wine way cannot apply there either."""
    reasons = dict(row.not_on)
    return reasons.get(way) or (reasons.get("wine", "") if way == "nsis" else "")


# The tree a good package of version 1.0 installs, below the working folder.
def tree(package="good"):
    entries = ["nembral", "nembral/nembral", "nembral/nembral/Nembrals.exe", "nembral/nembral/data",
               "nembral/nembral/data/payload.bin", "nembral/nembral/version.txt"]
    if package == "many":
        entries += [f"nembral/nembral/data/f{i:03d}.txt" for i in range(MANY_FILES)]
    return tuple(sorted(entries))


MANY_FILES = 120

# The end of a first installation: the tool gone, its marker there, the archive removed, the
# application started.
INSTALLED = (ANY, "Mutex does not exist", "UNZIP complete!", r"File deleted successfully\.", "Start Nembral")
# A first installation tick by tick: the decision, the wipe, the package download; the tracker's
# ticks while the tool works (mutex held, or not yet taken and no version file); then the
# completion and the start.
FIRST_INSTALL = ("version file does not exist", "installation necessary", "downloadCompleteApplication",
                 r"File deleted successfully\.", "DOWNLOAD COMPLETE", "run command",
                 Many("Mutex does exist|Mutex does not exist|file not found|DOWNLOAD COMPLETE"),
                 "Mutex does not exist", "UNZIP complete!", r"File deleted successfully\.", "Start Nembral")
# The tracker waiting for a marker that a failed extraction will never write.
COPYING = (ANY, "DOWNLOAD COMPLETE", "Mutex does not exist", "file not found")
# A first installation whose package the tool refused: its result says so, nothing to restore. A
# tool quicker than the tracker's own checks has failed by the tick that started it.
REFUSED = (ANY, "DOWNLOAD COMPLETE", Many("run command"), "Mutex does not exist", "file not found",
           "extraction failed", "Could not find Nembral")
# An update that could not finish: the installation set aside comes back and starts.
RESTORED = ("previous installation restored", "Start Nembral")
# The package could not be had after the wipe: nothing left to start.
NO_PACKAGE = ("version file does not exist", "installation necessary", "downloadCompleteApplication",
              r"File deleted successfully\.", "Could not find Nembral")
NOTHING_TO_START = ("Could not find Nembral",)
START_INSTALLED = (ANY, "Start Nembral")
UP_TO_DATE = ("version file does exist", "NewVersion: 1.0 , CurrentVersion: 1.0", "update not necessary",
              "start application", "Start Nembral", r"File deleted successfully\.")
# The archive the tool refused and the result it leaves for the launcher, nothing else.
ARCHIVE_ONLY = ("nembral", "nembral/nembral.zip", "nembral/unzip-result.txt")
SOME_INET_CODE = "800c00[0-9a-f]{2}"
ONE = ("1.0 complete",)
INSTALLED_0_9 = ("0.9 complete",)
ONLY_VERSION = ("--faulty-file", "version.txt")
PACKAGE_ONCE = ("--faulty-file", "nembral.zip", "--faulty-requests", "1")
UNZIP_ERR = r"unzip\.exe: .*"


def asked(version_line):
    return ("version file does exist", exactly(version_line), "update necessary", "new version available",
            r"File deleted successfully\.")


NO_MOUNT = ("wine", "the working folder on a mounted file system of its own needs root and a Linux mount"),
NO_PROC = ("wine", "finding and killing the extraction tool reads /proc"),
NO_DELAY = (("deb", "the packaged unzip.exe reads no test switch, so its extraction cannot be slowed down"),
            ("wine", "the deployed unzip.exe reads no test switch, so its extraction cannot be slowed down"))
TOOL_ALONE = (("wine", "the Windows tool's archive faults are rows of tests/tools' suites under wine"),)
# wine's download service (urlmon) where it differs from the Linux downloader: the codes it gives
# for the same fault, and the faults it does not report at all (the rows say which).
WINE_CODES = {"800c0004": "800c0008",  # a refused connection: INET_E_DOWNLOAD_FAILURE
              "800c000e": "800c0019"}  # a certificate it does not trust: INET_E_INVALID_CERTIFICATE
WINE_TAKES_CUT_BODY = ("wine", "wine's download service takes a body cut short as complete: no failure, no retry")

# The deployed Windows copy's roads under wine, once a script of their own (windows-roads), are
# rows here that name it in same_as; its other checks are the same cases as rows that now also
# run on wine: offline with an installation (net/refused-installed), two launchers at once
# (conc/two-launchers-together), a launcher killed during an update (update/killed-after-the-wipe),
# an update whose package is missing or refused (update/package-unreachable,
# update/package-refused) and a damaged package on a first install (archive/corrupt-via-launcher).
ROWS = (
    # The roads every user meets.
    Row("road/first-install",
        "nothing installed: downloads with a visible percentage, extracts, starts the demo 1.0, exits 0",
        package="demo", log=FIRST_INSTALL, err=(),
        counts=(("CallbackHandler", 2), ("Downloaded OK", 2)),
        order=("version file downloaded!", "version file does not exist", "downloadCompleteApplication", "100",
               "nembral downloaded!", "DOWNLOAD COMPLETE"),
        files=("nembral", "nembral/nembral", "nembral/nembral/Nembrals.exe", "nembral/nembral/README.txt",
               "nembral/nembral/nembral-demo.log", "nembral/nembral/version.txt"),
        version=b"1.0", demo_log=b"Nembral 1.0 running\n", support_log=True,
        same_as="tst_launcher firstInstall(shell); tst_faults baseline/first-install",
        not_on=(("wine", "the demo application is a Linux program; road/first-install-stand-in is the road there"),)),
    # The support log, nembral/launcher.log, cannot be written: nothing else changes.
    Row("log/support-log-is-a-folder",
        "a folder where the support log goes: installs, starts and exits as always",
        prep="log-folder", log=FIRST_INSTALL, files=tree() + ("nembral/launcher.log",), version=b"1.0", started=ONE),
    Row("log/support-log-disk-full",
        "the support log on a full disk (/dev/full): installs, starts and exits as always",
        prep="log-full", log=FIRST_INSTALL, files=tree() + ("nembral/launcher.log -> /dev/full",), version=b"1.0",
        started=ONE, not_on=(("wine", "wine makes no symbolic links"),)),
    Row("road/first-install-stand-in",
        "nothing installed, the package of the stand-in application: extracts through the interpreter, starts 1.0 whole from its folder, exit 0",
        log=FIRST_INSTALL, files=tree(), version=b"1.0", started=ONE, support_log=True,
        same_as="windows-roads first install through cmd.exe and unzip.exe; test-windows-installer.sh "
                "launcher from the shortcut and from a console in its folder (way nsis)",
        not_on=(("linux", "road/first-install covers it with the demo application"),
                ("deb", "road/first-install covers it with the demo application"))),
    Row("road/default-working-folder",
        "no working folder given: the package's wrapper makes ~/.local/share/nembral-launcher, private, and installs there",
        package="demo", workdir="home", log=FIRST_INSTALL, private_work=True,
        files=("nembral", "nembral/nembral", "nembral/nembral/Nembrals.exe", "nembral/nembral/README.txt",
               "nembral/nembral/nembral-demo.log", "nembral/nembral/version.txt"),
        version=b"1.0", demo_log=b"Nembral 1.0 running\n", same_as="test-package.sh install road",
        not_on=(("linux", "the default working folder is the package wrapper's"),
                ("wine", "the default working folder is the installer's shortcut's"))),
    Row("road/first-install-comspec",
        "COMSPEC names the interpreter: the extraction and the start go through it with /c, exit 0",
        comspec=True, log=FIRST_INSTALL, files=tree(), version=b"1.0", started=ONE,
        commands=("/c", "unzip.exe nembral/nembral.zip nembral", "/c", "cd ./nembral/nembral/ && Nembrals.exe"),
        same_as="tst_launcher firstInstall(COMSPEC interpreter)",
        not_on=(("wine", "the Windows recording interpreter runs nothing: road/first-install-recorded and road/up-to-date-recorded"),
                ("nsis", "wine's cmd.exe is the interpreter there"))),
    # The Windows recording interpreter does not run what it is asked to: the launcher waits for
    # the tool that never comes, or has handed the start over.
    Row("road/first-install-recorded",
        "COMSPEC names an interpreter that only records: the package is in place, the extraction goes to it with /c, the launcher waits for the tool",
        comspec=True, end="copying", log=FIRST_INSTALL[:6] + (Many("Mutex does not exist|file not found|DOWNLOAD COMPLETE"),),
        files=("nembral", "nembral/nembral.zip"), commands=("/c", "unzip.exe nembral/nembral.zip nembral"),
        same_as="windows-roads first install with the recording interpreter",
        not_on=(("linux", "the interpreter there runs what it records: road/first-install-comspec"),
                ("deb", "the interpreter there runs what it records: road/first-install-comspec"))),
    Row("road/up-to-date-recorded",
        "COMSPEC names an interpreter that only records, up to date: the start goes to it with /c, exit 0",
        comspec=True, installed=b"1.0\n", log=UP_TO_DATE, files=tree(), version=b"1.0",
        commands=("/c", "cd ./nembral/nembral/ && Nembrals.exe"),
        same_as="windows-roads up to date with the recording interpreter",
        not_on=(("linux", "the interpreter there runs what it records: road/first-install-comspec"),
                ("deb", "the interpreter there runs what it records: road/first-install-comspec"))),
    Row("road/up-to-date",
        "installed 1.0 (CR LF) and published 1.0: only the version file is fetched, 1.0 starts, exit 0",
        installed=b"1.0\r\n", log=UP_TO_DATE,
        counts=(("CallbackHandler", 1), ("version file downloaded!", 1), ("nembral downloaded!", 0)),
        files=tree(), version=b"1.0", started=ONE,
        same_as="tst_launcher upToDate(no arguments); test-package.sh start road (no HOME, the folder given)"),
    Row("road/toolkit-option",
        "\"-platform offscreen\" and an unknown option: the toolkit takes its own, the rest is ignored, up to date",
        installed=b"1.0\n", args=("-platform", "offscreen", "--no-such-option"), unset=("QT_QPA_PLATFORM",),
        log=UP_TO_DATE, files=tree(), version=b"1.0", started=ONE,
        same_as="tst_launcher upToDate(toolkit option and an unknown one)"),
    Row("road/question-update",
        "installed 1.0, 2.0 published: the question page; \"Update to New Version\" clicked installs 2.0, exit 0",
        published=b"2.0\n", installed=b"1.0\n", act="click-update", bound=60,
        log=asked("NewVersion: 2.0 , CurrentVersion: 1.0") + INSTALLED, files=tree(), version=b"2.0",
        started=("2.0 complete",), same_as="windows-roads question page, update"),
    # "Update to New Version" that cannot finish: the installation that was there comes back whole.
    Row("update/package-unreachable",
        "installed 1.0, 2.0 published without its package: six failures, 1.0 restored as it was and started, exit 0",
        published=b"2.0\n", installed=b"1.0\n", package="none", act="click-update", bound=60,
        log=asked("NewVersion: 2.0 , CurrentVersion: 1.0") + ("downloadCompleteApplication",) + RESTORED,
        failures=6, failure_code="800c0005", files=tree(), version=b"1.0", started=ONE),
    Row("update/package-refused",
        "installed 1.0, 2.0 published with a package the tool refuses: 1.0 restored as it was and started, exit 0",
        published=b"2.0\n", installed=b"1.0\n", package="corrupt", act="click-update", bound=60,
        log=(ANY, "file not found", "extraction failed") + RESTORED, files=tree(), version=b"1.0", started=ONE),
    Row("update/killed-after-the-wipe",
        "launcher killed during the update's download: the next run restores 1.0 whole first, then asks again",
        published=b"2.0\n", installed=b"1.0\n", server=("--stall-after", "100", "--faulty-file", "nembral.zip"),
        act="kill-update", bound=60, end="question-page",
        # The killed download's part file stays until the next download clears it.
        log=("previous installation restored",) + asked("NewVersion: 2.0 , CurrentVersion: 1.0"),
        files=tree() + ("nembral/.nembral.zip.part-*?",), version=b"1.0"),
    Row("update/application-running",
        "installed 1.0 running and holding its file, 2.0 published, \"Update to New Version\" clicked: one line names what is in use, error page, nothing downloaded or started",
        published=b"2.0\n", installed=b"1.0\n", act="click-update-running", bound=60, end="error-page",
        log=asked("NewVersion: 2.0 , CurrentVersion: 1.0"),
        err=(r'cannot install: "nembral/nembral(/Nembrals\.exe)?" could not be removed: .+',),
        counts=(("downloadCompleteApplication", 0), ("run command", 0), ("Start Nembral", 0)),
        # The marker goes first; whatever the wipe reached before the file in use may be gone.
        files=("nembral", "nembral/nembral", "nembral/nembral/Nembrals.exe", "nembral/nembral/data?",
               "nembral/nembral/data/payload.bin?"),
        started=ONE, same_as="windows-roads update while Nembrals.exe runs",
        not_on=(("linux", "a running program's file can be removed on Linux"),
                ("deb", "a running program's file can be removed on Linux"))),
    Row("road/question-skip",
        "installed 1.0, 2.0 published: the question page; \"Skip Update\" clicked starts 1.0 as it was, exit 0",
        published=b"2.0\n", installed=b"1.0\n", act="click-skip", bound=60,
        log=asked("NewVersion: 2.0 , CurrentVersion: 1.0") + ("Start Nembral",),
        counts=(("downloadCompleteApplication", 0),), files=tree(), version=b"1.0", started=ONE,
        same_as="windows-roads question page, skip"),

    # Network.
    Row("net/refused-first-run", "six attempts fail with 0x800c0004, error page, nothing written",
        package="none", server_up=False, end="error-page", log=NOTHING_TO_START, failures=6,
        failure_code="800c0004", counts=(("CallbackHandler", 6), ("run command", 0)),
        not_before=(("Could not find Nembral", 6),), files=(),
        same_as="tst_launcher staysOnErrorPage(offline first run)"),
    Row("net/refused-installed", "six attempts fail with 0x800c0004, the installed 0.9 starts, exit 0",
        server_up=False, installed=b"0.9\n", log=START_INSTALLED, failures=6, failure_code="800c0004",
        files=tree(), version=b"0.9", started=INSTALLED_0_9),
    Row("net/reset-version",
        "every version request reset (TCP RST): six failures 0x800c0008, error page, no file",
        server=("--reset-after", "2") + ONLY_VERSION, end="error-page", log=NOTHING_TO_START, failures=6,
        failure_code="800c0008", files=(),
        not_on=(("wine", "under wine the six attempts over a reset connection do not end within the row's time"),)),
    Row("net/reset-package-once",
        "package connection reset midway once: one failure 0x800c0008, the retry installs, no partial file",
        server=("--reset-after", "20000") + PACKAGE_ONCE, log=INSTALLED, failures=1, failure_code="800c0008",
        files=tree(), version=b"1.0", started=ONE, not_on=(WINE_TAKES_CUT_BODY,)),
    Row("net/cut-package-once",
        "package body cut short of its length once: one failure 0x800c0008, the retry installs",
        server=("--cut-after", "20000") + PACKAGE_ONCE, log=INSTALLED, failures=1, failure_code="800c0008",
        files=tree(), version=b"1.0", started=ONE, not_on=(WINE_TAKES_CUT_BODY,)),
    Row("net/stall-package-once",
        "package stalls midway once: given up after the stall limit with 0x800c000b, the retry installs",
        server=("--stall-after", "20000") + PACKAGE_ONCE, bound=130, log=INSTALLED, failures=1,
        failure_code="800c000b", files=tree(), version=b"1.0", started=ONE,
        not_on=(("wine", "wine's download service has no stall limit: it waits for good"),)),
    Row("net/trickle-version", "version file trickled at 3 bytes/s: no time-out while bytes come, installs",
        published=b"1.0\n# trickled\n", server=("--rate", "3") + ONLY_VERSION, bound=40, log=INSTALLED,
        files=tree(), version=b"1.0", started=ONE),
    Row("net/status-503-twice",
        "version answered 503 twice: two failures 0x800c0008, the third attempt installs",
        server=("--status", "503", "--faulty-requests", "2") + ONLY_VERSION, log=INSTALLED, failures=2,
        failure_code="800c0008", files=tree(), version=b"1.0", started=ONE),
    Row("net/package-404-after-wipe",
        "package missing (404): the leftover tree is wiped first, six failures 0x800c0005, error page",
        package="none", prep="leftover", end="error-page", log=NO_PACKAGE, failures=6, failure_code="800c0005",
        counts=(("CallbackHandler", 7), ("Start Nembral", 0), ("run command", 0)),
        not_before=(("Could not find Nembral", 6),), files=("nembral",), support_log=True,
        same_as="tst_launcher staysOnErrorPage(package missing after the wipe); windows-roads package 404"),
    Row("net/endless-version",
        "endless version body: each attempt stops early with one error code, no file, memory and lines stay small, error page",
        server=("--endless", "--rate", "262144") + ONLY_VERSION, end="error-page", log=NOTHING_TO_START,
        failures=6, failure_code=SOME_INET_CODE, files=(), extra_memory_mb=16),
    Row("net/oversize-version",
        "64 MiB version body: each attempt stops early with one error code, memory and lines stay small, the installed 0.9 starts",
        server=("--oversize", "67108864") + ONLY_VERSION, installed=b"0.9\n", log=START_INSTALLED, failures=6,
        failure_code=SOME_INET_CODE, files=tree(), version=b"0.9", started=INSTALLED_0_9, extra_memory_mb=16),
    Row("net/redirect-loop", "version URL redirects to itself: six failures 0x800c0014, error page",
        server=("--redirect-loop",) + ONLY_VERSION, end="error-page", log=NOTHING_TO_START, failures=6,
        failure_code="800c0014", files=(),
        not_on=(("wine", "under wine the six attempts at a redirect loop do not end within the row's time"),)),
    Row("net/redirect-downgrade",
        "version URL redirects to plain http: never followed (the http server is never asked), six failures, error page",
        server=("--redirect-to", "http://127.0.0.1:%AUX%") + ONLY_VERSION, end="error-page",
        log=NOTHING_TO_START, failures=6, failure_code=SOME_INET_CODE, files=(), no_requests=True,
        # The Windows launcher ends a transfer at the service's redirect notice (tested on the
        # adapter in tst_callbackhandler); wine's URLDownloadToFile never passes it on.
        not_on=(("wine", "wine's download service follows the redirect without telling the launcher"),)),
    Row("net/tls-untrusted", "certificate from another CA: six failures 0x800c000e, no request sent, error page",
        server=("--cert", "untrusted"), end="error-page", log=NOTHING_TO_START, failures=6,
        failure_code="800c000e", files=(), no_requests=True),
    Row("net/tls-wrong-host-installed",
        "certificate for another host name: six failures 0x800c000e, no request sent, the installed 0.9 starts",
        server=("--cert", "wrong-host"), installed=b"0.9\n", log=START_INSTALLED, failures=6,
        failure_code="800c000e", files=tree(), version=b"0.9", started=INSTALLED_0_9, no_requests=True),

    # The version line.
    Row("version/newer-published",
        "printable newer version: logged exactly as published (white space removed), question page",
        published=b"2.0-rc.1+build\\7 \n", installed=b"1.0\n", end="question-page",
        log=asked("NewVersion: 2.0-rc.1+build\\7 , CurrentVersion: 1.0"), files=tree(), version=b"1.0"),
    Row("version/control-bytes", "control bytes in the published line: logged escaped (\\x1b), question page",
        published=b"1.0\x1b[2J\x07beta\n", installed=b"1.0\n", end="question-page",
        log=asked("NewVersion: 1.0\\x1b[2J\\x07beta , CurrentVersion: 1.0"), files=tree(), version=b"1.0"),

    # The disk.
    Row("disk/full-during-download",
        "1 MiB disk, 3 MiB package: six failures 0x80070070, no partial file, error page",
        package="big", prep="small-disk", disk_kb=1024, end="error-page", log=NO_PACKAGE, failures=6,
        failure_code="80070070", files=("nembral",), not_on=NO_MOUNT),
    Row("disk/full-during-extraction",
        "4 MiB disk, 16 MiB tree: the tool fails and cleans up, the launcher reads its result: error page, archive gone",
        package="zeros", prep="small-disk", disk_kb=4096, end="error-page", log=REFUSED, files=("nembral",),
        not_on=NO_MOUNT),
    Row("disk/read-only-installed", "read-only working directory: six failures 0x80070005, the installed 0.9 starts",
        installed=b"0.9\n", prep="read-only", log=START_INSTALLED, failures=6, failure_code="80070005",
        files=tree(), version=b"0.9", started=INSTALLED_0_9, not_on=NO_MOUNT),
    Row("disk/vanished-working-dir",
        "working directory deleted during the package download: six failures 0x80070003, nothing recreated, error page",
        server=("--rate", "16384", "--faulty-file", "nembral.zip"), act="vanishing-dir", end="error-page",
        log=NO_PACKAGE, failures=6, failure_code="80070003", files=("-",),
        not_on=(("wine", "Windows does not let a folder in use as a working directory be deleted"),)),

    # The archive, given to the extraction tool directly.
    Row("archive/corrupt", "not a zip: exit 1, one line, nothing put in place, no staging left",
        package="corrupt", act="unzip", exit_code=1, err=(r"unzip\.exe: .*nembral/nembral\.zip.*",),
        files=ARCHIVE_ONLY, same_as="windows-roads corrupt package: unzip.exe refuses it"),
    Row("archive/truncated", "zip cut in half: exit 1, one line, nothing put in place, no staging left",
        package="truncated", act="unzip", exit_code=1, err=(r"unzip\.exe: .*nembral/nembral\.zip.*",),
        files=ARCHIVE_ONLY, not_on=TOOL_ALONE),
    Row("archive/name-climbs-out",
        "entry \"nembral/../../../outside/evil.txt\": refused by name, exit 1, outside untouched",
        package="dot-dot", act="unzip", exit_code=1,
        err=(r"unzip\.exe: .*nembral/\.\./\.\./\.\./outside/evil\.txt.*",), files=ARCHIVE_ONLY, not_on=TOOL_ALONE),
    Row("archive/absolute-name",
        "entry named by the outside folder's absolute path: refused, exit 1, outside untouched",
        package="absolute", act="unzip", exit_code=1, err=(r"unzip\.exe: .*/outside/evil\.txt.*",),
        files=ARCHIVE_ONLY, not_on=TOOL_ALONE),
    Row("archive/link-climbs-out",
        "link to the outside folder and an entry through it: refused, exit 1, outside untouched",
        package="link-out", act="unzip", exit_code=1, err=(r"unzip\.exe: .*nembral/escape.*",),
        files=ARCHIVE_ONLY, not_on=TOOL_ALONE),
    Row("archive/no-version-file",
        "archive without nembral/version.txt: exit 1, one line, nothing put in place, no staging left",
        package="no-version", act="unzip", exit_code=1, err=(r"unzip\.exe: .*version\.txt.*",),
        files=ARCHIVE_ONLY, not_on=TOOL_ALONE),
    Row("archive/no-executable",
        "archive without nembral/Nembrals.exe: exit 1, one line, nothing put in place, no staging left",
        package="no-exe", act="unzip", exit_code=1, err=(r"unzip\.exe: .*Nembrals\.exe.*",), files=ARCHIVE_ONLY,
        not_on=TOOL_ALONE),
    Row("archive/bomb", "256 MiB of zeros in a small archive, 8 MiB disk: exit 1, one line, the space is given back",
        package="bomb", prep="small-disk", disk_kb=8192, act="unzip", bound=60, exit_code=1, err=(UNZIP_ERR,),
        files=ARCHIVE_ONLY, not_on=TOOL_ALONE),
    Row("archive/error-output-gone",
        "not a zip, standard error a pipe without reader: exit 1 (not killed by SIGPIPE), nothing left",
        package="corrupt", act="unzip-output-gone", exit_code=1, err=(), files=ARCHIVE_ONLY, not_on=TOOL_ALONE),
    Row("archive/corrupt-via-launcher",
        "corrupt package: the tool fails, nothing installed, the launcher reads its result: error page, archive gone",
        package="corrupt", end="error-page", log=REFUSED, files=("nembral",)),
    Row("archive/no-executable-then-fixed",
        "package without the executable is never taken for an installation: the next run installs the fixed package",
        package="no-exe", act="twice-fixed", bound=50, log=INSTALLED, files=tree(), version=b"1.0", started=ONE),

    # Concurrency.
    Row("conc/two-launchers-together",
        "two launchers at once in one directory: both exit 0, every start sees a whole installation",
        server=("--rate", "65536", "--faulty-file", "nembral.zip"), act="two-together", bound=45,
        # The second launcher may find the first one's installation complete before its own
        # unzip.exe has taken the mutex (a slow process start under wine): it starts it and exits,
        # and its tool's result file is left, to be removed before the next extraction.
        log=START_INSTALLED, files=tree() + ("nembral/nembral.zip?", "nembral/unzip-result.txt?"), version=b"1.0",
        started=("1.0 complete", "1.0 complete")),
    Row("conc/second-during-extraction",
        "a second launcher during the first one's extraction waits on the mutex; both start the one installation",
        package="many", act="second-during-extraction", unzip_delay_ms=50, bound=50, log=START_INSTALLED,
        files=tree("many"), version=b"1.0", started=("1.0 complete", "1.0 complete"), not_on=NO_DELAY),
    Row("conc/killed-download", "launcher killed mid-download: the next run installs, the orphaned partial file is gone",
        server=("--rate", "8192") + PACKAGE_ONCE, act="kill-download", bound=40, log=INSTALLED, files=tree(),
        version=b"1.0", started=ONE, not_on=NO_PROC),
    Row("conc/killed-extraction",
        "unzip.exe killed midway: never \"UNZIP complete!\", the launcher keeps waiting; the next run installs, no staging left",
        package="many", act="kill-extraction", unzip_delay_ms=50, bound=50, log=INSTALLED, files=tree("many"),
        version=b"1.0", started=ONE, same_as="tst_launcher extractionKilled", not_on=NO_PROC + NO_DELAY),

    # The wipe, links and the console.
    Row("wipe/unremovable-entry",
        "leftover tree with an entry that cannot be removed: one line naming it and why, error page, nothing downloaded or started",
        prep="unremovable", end="error-page",
        log=("version file does not exist", "installation necessary", r"File deleted successfully\."),
        err=(r'cannot install: "nembral/nembral/data/locked\.bin" could not be removed: '
             r'(Operation not permitted|Permission denied)',),
        counts=(("CallbackHandler", 1),),
        files=("nembral", "nembral/nembral", "nembral/nembral/data", "nembral/nembral/data/locked.bin",
               "nembral/nembral/data/old.bin?", "nembral/nembral/Nembrals.exe?"),
        same_as="tst_launcher treeThatCannotBeWiped", not_on=NO_MOUNT),
    Row("link/nembral-relocated",
        "./nembral a link to a folder elsewhere (an installation moved there): installs there, keeps the link, touches nothing beside nembral/nembral and the support log in the target",
        prep="relocated", log=INSTALLED, files=("nembral -> ../outside",), version=b"1.0", started=ONE,
        outside_may_change="nembral(/.*)?|launcher\\.log",
        same_as="tst_launcher linkedInstallFolder(the folder on the way is a link)",
        not_on=(("wine", "wine makes no symbolic links or junctions"),)),
    Row("link/install-dir-points-outside",
        "./nembral/nembral a link to a folder outside: the link goes and is never followed, its target stays, installs in a real folder",
        prep="install-dir-links-out", log=INSTALLED, files=tree(), version=b"1.0", started=ONE,
        same_as="tst_launcher linkedInstallFolder(the installed folder is a link)",
        not_on=(("wine", "wine makes no symbolic links or junctions"),)),
    Row("pipe/output-gone",
        "standard output and error pipes without reader: installs and starts as if logged, exit 0",
        act="output-gone", files=tree(), version=b"1.0", started=ONE,
        same_as="tst_launcher lostConsole(first install)",
        not_on=(("wine", "a pipe without reader is a POSIX case (SIGPIPE)"),)),
    Row("pipe/output-gone-up-to-date",
        "standard output and error pipes without reader, up to date: starts the installed 1.0, exit 0",
        act="output-gone", installed=b"1.0\n", files=tree(), version=b"1.0", started=ONE,
        same_as="tst_launcher lostConsole(up to date)",
        not_on=(("wine", "a pipe without reader is a POSIX case (SIGPIPE)"),)),
)
