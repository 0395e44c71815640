"""Signed release statements through the real launcher against the https vendor server: a test
build of the launcher with a throw-away vendor key and next key built in (bin/nembral-launcher-signed,
keys in tests/e2e/release-keys of the build), and the key-less launcher beside it. Every refused
row fails six version (or package) attempts with its own code and then starts the installed
Nembral as it was: no question, no wipe, nothing extracted. On the wine way the keyed launcher
of the Windows build runs from a copy of the deployed folder, and the key-less one is the
deployed launcher itself, with its vendor port built in."""

import dataclasses
import os
import pathlib
import re
import shutil
import subprocess
import time

import pytest

import conftest

SIGN_PACKAGE = conftest.SOURCE / "tools/sign-package"
RELEASE_STATEMENT = conftest.SOURCE / "tools/release-statement"
STUB = b"#!/bin/sh\necho \"started in $(pwd -P): $(cat version.txt 2>/dev/null)\" >> started.log\n"
SEQ5 = ("--sequence", "5")
REFUSED = "800b0004"

# name: (keyed, installed, prior sequence, statement, release-statement options, served package,
#        failure code ("": accepted and installed), refusal line part)
ROWS = {
    "valid: installs, sequence remembered": (True, "", b"", "vendor", SEQ5, "", "", ""),
    "next key: accepted": (True, "", b"5\n", "next", SEQ5, "", "", ""),
    "forged signature": (True, "1.0", b"", "forged", SEQ5, "", REFUSED, "signature was not made"),
    "other key": (True, "1.0", b"", "other", SEQ5, "", REFUSED, "signature was not made"),
    "expired": (True, "1.0", b"", "vendor", SEQ5 + ("--expires", "2020-01-01T00:00:00Z"), "", REFUSED,
                "expired at 2020-01-01T00:00:00Z"),
    "rollback to a lower sequence": (True, "1.0", b"9\n", "vendor", SEQ5, "", REFUSED, "sequence 5 is lower than 9"),
    "statement missing": (True, "1.0", b"", "missing", (), "", REFUSED, "no second line"),
    "line 2 of 2 KiB": (True, "1.0", b"", "line of 2048", (), "", REFUSED, "2048 bytes long, more than 1024"),
    # Longer than the version download takes at all: refused by the download itself.
    "line 2 of 100 KiB": (True, "1.0", b"", "line of 102400", (), "", "800c000f", ""),
    # The statement is good; the package served is another one the vendor signed, of the same size
    # (the same archive under the next key's signature): only its SHA-256 tells it apart.
    "package swapped for another signed one": (True, "interrupted", b"", "vendor", SEQ5, "swapped", "80096010",
                                               "package refused: the package's SHA-256 is"),
    # The package download takes no more than the statement's size: a body without end fails each
    # attempt as soon as it is longer, instead of filling the disk.
    "package without end": (True, "interrupted", b"", "vendor", SEQ5, "endless", "800c000f", ""),
    "key-less launcher ignores a forged line 2": (False, "", b"", "forged", SEQ5, "", "", ""),
}


@pytest.fixture(scope="module")
def release(request, session_dir, vendor_session):
    if request.config.getoption("--way") not in ("linux", "wine"):
        pytest.skip("the launcher with a release key is a test build of this tree")
    way = request.getfixturevalue("way")
    build = pathlib.Path(request.config.getoption("--build")).resolve()
    keys = build / "tests/e2e/release-keys"
    signed = build / "bin" / ("nembral-launcher-signed.exe" if way.wine else "nembral-launcher-signed")
    if not signed.exists():
        pytest.skip(f"no {signed} in this build (configure with -DNEMBRAL_TEST_VENDOR_ENV=ON)")
    root = session_dir / "release"
    packages = root / "packages"
    if way.wine:
        # Beside the deployed program's DLLs and plug-ins, and the unzip.exe a user's copy has.
        shutil.copytree(way.tool_dir, root / "dist")
        shutil.copy(signed, root / "dist")
        launchers = {True: ["wine", str(root / "dist" / signed.name)], False: way.launcher}
        # The package's Nembrals.exe is the Windows stand-in that notes its start.
        conftest.write_zip(packages / "2.0/nembral.zip", conftest.good_entries(b"2.0"))
        subprocess.run([str(SIGN_PACKAGE), str(packages / "2.0/nembral.zip"), str(keys / "vendor-private.pem")],
                       check=True)
    else:
        launchers = {True: [str(signed)], False: [str(build / "bin/nembral-launcher")]}
        subprocess.run([str(conftest.MAKE_PACKAGE), "--sign-key", str(keys / "vendor-private.pem"), "2.0",
                        str(packages / "2.0")], check=True, stdout=subprocess.DEVNULL)
    swapped = packages / "swapped"
    swapped.mkdir()
    shutil.copy(packages / "2.0/nembral.zip", swapped / "nembral.zip")
    subprocess.run([str(SIGN_PACKAGE), str(swapped / "nembral.zip"), str(keys / "next-private.pem")], check=True)
    assert (swapped / "nembral.zip").stat().st_size == (packages / "2.0/nembral.zip").stat().st_size
    return way, launchers, build / "bin", keys, root, vendor_session.state


@pytest.fixture(scope="module")
def runs(request, release):
    """Every selected row run first, side by side as the roads run; the tests then check each."""
    names = [item.callspec.params["name"] for item in request.session.items
             if hasattr(item, "callspec") and item.originalname == "test_release_statement"]
    # The refused rows first: each waits out six attempts, an accepted row downloads once.
    names.sort(key=lambda name: not ROWS[name][6])
    return conftest.side_by_side(request.config, release[0], {n: n for n in names}, lambda name: run_row(name, release),
                                 "release rows")


def started_lines(path):
    """(folder, version) of each start the stand-in noted, the folder as a Unix path."""
    found = []
    for line in conftest.lines_of(path):
        folder, version = re.fullmatch(r"started in (.*): (\S*).*", conftest.unix_started(line)).groups()
        found.append((folder, "" if version == "-" else version))
    return found


def publish(served, keys, package, statement, options, kind):
    served.mkdir(parents=True)
    shutil.copy(package.parent.parent / kind / "nembral.zip" if kind == "swapped" else package, served / "nembral.zip")
    version = served / "version.txt"
    if statement == "missing":
        version.write_bytes(b"2.0\n")
    elif statement.startswith("line of "):
        version.write_bytes(b"2.0\n" + b"x" * int(statement[8:]) + b"\n")
    else:
        key = "vendor" if statement == "forged" else statement
        subprocess.run([str(RELEASE_STATEMENT), *options, "2.0", str(package), str(keys / f"{key}-private.pem"),
                        str(version)], check=True, stdout=subprocess.DEVNULL)
        if statement == "forged":
            data = bytearray(version.read_bytes())
            at = data.index(b" ed25519=") + 20
            data[at] = ord("B") if data[at] != ord("B") else ord("A")
            version.write_bytes(bytes(data))


def entries(folder):
    return sorted(str(p.relative_to(folder)) for p in folder.rglob("*"))


@dataclasses.dataclass
class Run:
    process: conftest.Process = None
    exited: bool = False
    work: pathlib.Path = None
    before: list = None
    failed: Exception = None  # what went wrong before the launcher could be judged


def run_row(name, release):
    """Row NAME acted out in the calling thread: its folders, its server and its launcher."""
    keyed, installed, prior, statement, options, served_kind, code, refusal = ROWS[name]
    way, launchers, tools, keys, root, state = release
    result = Run()
    try:
        row = root / name.replace(" ", "-").replace(":", "")
        work, served = row / "work", row / "served"
        publish(served, keys, root / "packages/2.0/nembral.zip", statement, options, served_kind or "2.0")
        install = work / "nembral/nembral"
        if installed:
            install.mkdir(parents=True)
            conftest.write(install / "Nembrals.exe", conftest.application if way.wine else STUB, 0o755)
            if installed == "1.0":
                conftest.write(install / "version.txt", b"1.0\n")
        if prior:
            conftest.write(work / "nembral/release-sequence", prior)
        work.mkdir(parents=True, exist_ok=True)
        result.work, result.before = work, entries(work)

        # At a bounded rate: wine's https transfer tells the launcher of progress only now and then.
        server_options = ("--endless", "--rate", "262144", "--faulty-file", "nembral.zip") \
            if served_kind == "endless" else ()
        # The deployed Windows launcher has its port built in; the keyed one takes it from the
        # environment, by name under wine (whose certificate check matches no IP address).
        port = 0 if keyed else way.fixed_port
        vendor = conftest.Vendor(served, state, port, options=server_options)
        try:
            env = dict(os.environ)
            for variable in ("COMSPEC", "DISPLAY", "WAYLAND_DISPLAY", "https_proxy", "HTTPS_PROXY", "all_proxy",
                             "ALL_PROXY", "NEMBRAL_E2E_STARTED"):
                env.pop(variable, None)
            runtime = row / "runtime"
            runtime.mkdir(mode=0o700)
            host = "localhost" if way.wine else "127.0.0.1"
            env.update(QT_QPA_PLATFORM="offscreen", SSL_CERT_FILE=vendor.ca, XDG_RUNTIME_DIR=str(runtime),
                       NEMBRAL_TEST_VENDOR_HOST=f"{host}:{vendor.port}", NEMBRAL_DEMO_HEADLESS="1",
                       PATH=f"{tools}:{env['PATH']}", ASAN_OPTIONS="detect_leaks=0")
            if way.wine:
                env.update(way.wine.env, WINEPATH=conftest.winpath(root / "dist"), WINEQT_QPA_PLATFORM="offscreen")
            run = result.process = conftest.Process(launchers[keyed], work, env)
            result.exited = run.wait_exit(time.monotonic() + 90 * way.slow)
            run.kill()
        finally:
            vendor.stop()
        # The installed Nembral notes its start while this thread's wine session still runs.
        if "Start Nembral" in run.out:
            started = install / "started.log"
            conftest.poll(lambda: started.exists() and started.read_bytes().endswith(b"\n"), 10)
    except Exception as e:  # noqa: BLE001 - the row's test fails with it
        result.failed = e
    return result


@pytest.mark.parametrize("name", list(ROWS))
def test_release_statement(name, release, runs):
    keyed, installed, prior, statement, options, served_kind, code, refusal = ROWS[name]
    way = release[0]
    result = runs[name]
    if result.failed:
        raise result.failed
    run, exited, work, before = result.process, result.exited, result.work, result.before
    install = work / "nembral/nembral"
    out = run.out
    shown = "\n".join(out[-60:])
    assert exited, f"still running after {90 * way.slow} s\n" + shown
    assert run.proc.returncode == 0, shown
    assert "new version available" not in out, shown
    sequence = work / "nembral/release-sequence"

    if not code:
        gui = [l for l in conftest.gui_lines(out) if not l.startswith(("release statement ", "package "))]
        assert gui[:6] == ["version file does not exist", "installation necessary", "downloadCompleteApplication",
                           "File deleted successfully.", "DOWNLOAD COMPLETE", "run command"], shown
        assert gui[-1] == "Start Nembral", shown
        assert conftest.failure_lines(out) == [], shown
        assert (install / "version.txt").read_bytes() == b"2.0\n"
        if keyed:
            assert out.index("package matches the release statement") < out.index("run command"), shown
            assert sequence.read_bytes() == b"5\n"
        else:
            assert not sequence.exists()
            assert "package matches the release statement" not in out
        return

    # Refused: six failed attempts, each with its reason, then the installed Nembral starts.
    assert conftest.failure_lines(out) == ["An error occured : error code = 0x" + code] * 6, shown
    if refusal:
        assert sum(refusal in line for line in out) == 6, shown
    assert "run command" not in out and "Could not find Nembral" not in out, shown
    assert out.count("Start Nembral") == 1, shown
    started = install / "started.log"
    assert started_lines(started) == [(str(install.resolve()), "1.0" if installed == "1.0" else "")]
    statement_good = bool(served_kind)  # only the package was refused
    # The support log (nembral/launcher.log) is written by every run.
    ignored = {"nembral/nembral/started.log", "nembral/launcher.log"} | ({"nembral/release-sequence"} if statement_good else set())
    assert [e for e in entries(work) if e not in ignored] == [e for e in before if e not in ignored]
    assert not (work / "version.txt").exists() and not (work / "nembral/nembral.zip").exists()  # nothing refused stays
    if statement_good:
        assert sequence.read_bytes() == b"5\n"
    else:
        assert (sequence.read_bytes() if sequence.exists() else b"") == prior
