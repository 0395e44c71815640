"""What the table's rows run in: the vendor server with its throw-away CA, packages, fresh
working folders, the ways the launcher ships, an X display for clicks, and the acts a row does.

Options (CTest passes them; see CMakeLists.txt): --way NAME (linux, deb, wine, nsis), --build DIR
(the build folder of the launcher and unzip.exe; for wine the Windows build, whose dist/ is run),
--setup FILE (for nsis: the installer, installed into a fresh wine prefix), --rows REGEX (rows
whose name matches), --jobs N (rows run side by side; a way whose launcher has its vendor host
built in runs them one at a time, unless each row can have a network of its own: see NETWORKS).
"""

import array
import atexit
import concurrent.futures
import contextlib
import dataclasses
import fcntl
import hashlib
import os
import pathlib
import random
import re
import shutil
import signal
import socket
import ssl
import stat
import subprocess
import tempfile
import threading
import time
import zipfile

import pytest

import table

SOURCE = pathlib.Path(__file__).resolve().parents[2]
VENDOR_SERVER = SOURCE / "tools/vendor-server/vendor-server"
MAKE_PACKAGE = SOURCE / "tools/make-package"
READ_LNK = SOURCE / "tools/read-lnk"

# How long a launcher on a page must stay silent to count as waiting there.
QUIET_S = 2.0
# Rows side by side under wine, each in a prefix of its own: wine's programs are heavy for the
# two cores of our machines.
WINE_JOBS = 2


def pytest_addoption(parser):
    parser.addoption("--way", default="linux", help="the way the launcher ships that the rows run on")
    parser.addoption("--build", default=str(SOURCE / "build"), help="build folder (bin/nembral-launcher, bin/test-tool/unzip.exe)")
    parser.addoption("--rows", default="", help="only rows whose name matches this regular expression")
    parser.addoption("--jobs", type=int, default=6, help="rows run side by side")
    parser.addoption("--deb", default="", help="the Debian package, for --way deb")
    parser.addoption("--setup", default="", help="the Windows installer, for --way nsis")
    parser.addoption("--vendor-host", default="", help="the vendor host the package was built with (default: "
                     "from the CMakeCache.txt beside it, else localhost:8443)")
    parser.addoption("--slow", type=float, default=1.0, help="factor on every row's bound (sanitizer builds)")


def pytest_generate_tests(metafunc):
    if "row" not in metafunc.fixturenames:
        return
    only = re.compile(metafunc.config.getoption("--rows"))
    rows = [r for r in table.ROWS if only.search(r.name)]
    metafunc.parametrize("row", rows, ids=[r.name for r in rows])


# --- files -------------------------------------------------------------------------------------

def write(path, data, mode=None):
    path = pathlib.Path(path)
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_bytes(data)
    if mode is not None:
        path.chmod(mode)


def walk(folder):
    """(name relative to FOLDER, path) of every entry below FOLDER; links are not followed."""
    for dirpath, dirnames, filenames in os.walk(folder):
        for name in dirnames + filenames:
            path = pathlib.Path(dirpath) / name
            yield str(path.relative_to(folder)), path


def listing(folder):
    """Every entry below FOLDER, sorted and relative; links as "name -> target"."""
    return sorted(name + (" -> " + os.readlink(path) if path.is_symlink() else "") for name, path in walk(folder))


def snapshot(folder):
    """What could change of every entry below FOLDER: kind, mode, size, change time, content."""
    entries = {}
    for name, path in walk(folder):
        st = path.lstat()
        entries[name] = f"mode {st.st_mode:o} size {st.st_size} changed {st.st_ctime_ns}"
        if stat.S_ISREG(st.st_mode):
            entries[name] += " sha1 " + hashlib.sha1(path.read_bytes()).hexdigest()
    return entries


def differences(before, after):
    lines = [f"removed: {k}" for k in before if k not in after]
    lines += [f"changed: {k} ({before[k]} -> {after[k]})" for k in before if k in after and after[k] != before[k]]
    lines += [f"added: {k}" for k in after if k not in before]
    return lines


# --- packages ----------------------------------------------------------------------------------

# Stands in for the installed application: notes each start, the folder it runs in, and whether
# its installation was whole, in the file NEMBRAL_E2E_STARTED names.
APPLICATION = (b"#!/bin/sh\n"
               b"trap '' PIPE\n"
               b"if [ -f version.txt ] && [ -f data/payload.bin ]; then state=complete; else state=incomplete; fi\n"
               b"v=$(head -n1 version.txt 2>/dev/null | tr -d '\\r')\n"
               b"echo \"started in $(pwd -P): ${v:--} $state\" >> \"${NEMBRAL_E2E_STARTED:-/dev/null}\"\n")


# What a package or an installation holds as Nembrals.exe: APPLICATION, or the way's own program
# where that cannot run (make_way sets it once a session).
application = APPLICATION


def random_bytes(size, seed):
    return random.Random(seed).randbytes(size)


def _info(name, mode=0o644, directory=False):
    info = zipfile.ZipInfo(name, date_time=(2024, 1, 1, 0, 0, 0))
    info.create_system = 3
    info.external_attr = ((0o40755 if directory else 0o100000 | mode) << 16) | (0x10 if directory else 0)
    info.compress_type = zipfile.ZIP_DEFLATED
    return info


def good_entries(version=b"1.0"):
    """The good package's entries, the version file last: packaging tools put it anywhere, and
    last is the unkind case for a tool that writes in place."""
    return [("nembral/", None), ("nembral/Nembrals.exe", (application, 0o755)), ("nembral/data/", None),
            ("nembral/data/payload.bin", (random_bytes(48 * 1024, 7), 0o644)),
            ("nembral/version.txt", (version + b"\n", 0o644))]


def write_zip(path, entries):
    path = pathlib.Path(path)
    path.parent.mkdir(parents=True, exist_ok=True)
    with zipfile.ZipFile(path, "w") as z:
        for name, content in entries:
            if content is None:
                z.writestr(_info(name, directory=True), b"")
            elif isinstance(content, tuple) and content[0] == "link":
                info = _info(name)
                info.external_attr = (0o120777 << 16)
                info.compress_type = zipfile.ZIP_STORED
                z.writestr(info, content[1])
            elif isinstance(content, tuple) and content[0] == "zeros":
                with z.open(_info(name), "w", force_zip64=True) as f:
                    chunk = bytes(1 << 20)
                    for _ in range(content[1] >> 20):
                        f.write(chunk)
            else:
                z.writestr(_info(name, content[1]), content[0])


def package_entries(kind, outside, version):
    good = good_entries(version)
    extra = {
        "good": [],
        "big": [("nembral/data/big.bin", (random_bytes(3 << 20, 11), 0o644))],
        "many": [(f"nembral/data/f{i:03d}.txt", (f"{i}\n".encode(), 0o644)) for i in range(table.MANY_FILES)],
        "zeros": [("nembral/data/zeros.bin", ("zeros", 16 << 20))],
        "dot-dot": [("nembral/../../../outside/evil.txt", (b"written through a name\n", 0o644))],
        "absolute": [(str(outside) + "/evil.txt", (b"written through an absolute name\n", 0o644))],
        "link-out": [("nembral/escape", ("link", b"../../../outside")),
                     ("nembral/escape/evil.txt", (b"written through a link\n", 0o644))],
        "bomb": [("nembral/data/bomb.bin", ("zeros", 256 << 20))],
    }
    if kind == "no-version":
        return [e for e in good if e[0] != "nembral/version.txt"]
    if kind == "no-exe":
        return [e for e in good if e[0] != "nembral/Nembrals.exe"]
    return good[:3] + extra[kind] + good[3:]


_made = {}
_made_lock = threading.Lock()


def write_package(kind, path, outside, version=b"1.0"):
    """nembral.zip of KIND at PATH: the table's packages (a Python zip writer, so that a row can
    publish what no packaging tool would make) or "demo", the demo application that
    tools/make-package builds. Each is made once a session and copied."""
    path = pathlib.Path(path)
    if kind == "none":
        return
    path.parent.mkdir(parents=True, exist_ok=True)
    if kind == "absolute":  # names the row's own outside folder
        return make_package(kind, path, outside, version)
    with _made_lock:
        key = (kind, version)
        if key not in _made:
            folder = tempfile.mkdtemp(prefix="nembral-e2e-package-")
            atexit.register(shutil.rmtree, folder, True)
            made = pathlib.Path(folder) / "nembral.zip"
            make_package(kind, made, outside, version)
            _made[key] = made
    shutil.copy(_made[key], path)


def make_package(kind, path, outside, version):
    if kind == "demo":
        with tempfile.TemporaryDirectory() as out:
            subprocess.run([str(MAKE_PACKAGE), version.decode(), out], check=True, stdout=subprocess.DEVNULL)
            path.parent.mkdir(parents=True, exist_ok=True)
            shutil.copy(pathlib.Path(out) / "nembral.zip", path)
        return
    if kind == "corrupt":
        write(path, random_bytes(4096, 3))
        return
    if kind == "truncated":
        write_zip(path, good_entries(version))
        with open(path, "r+b") as f:
            f.truncate(path.stat().st_size // 2)
        return
    write_zip(path, package_entries(kind, outside, version))


def write_installation(install_dir, version_file):
    install_dir = pathlib.Path(install_dir)
    write(install_dir / "Nembrals.exe", application, 0o755)
    write(install_dir / "data/payload.bin", random_bytes(1024, 5))
    write(install_dir / "version.txt", version_file)


# --- processes ---------------------------------------------------------------------------------

class Process:
    """A program run with its standard output and error collected line by line, each line with
    the time it came."""

    def __init__(self, argv, cwd, env, out=subprocess.PIPE, err=subprocess.PIPE):
        self.started = time.monotonic()
        self.lines = {"out": [], "err": []}
        self.changed = threading.Condition()
        # nsenter enters the namespace and becomes the program: the pid is the program's.
        self.proc = subprocess.Popen(NETWORKS.prefix() + argv, cwd=cwd, env=env, stdin=subprocess.DEVNULL, stdout=out,
                                     stderr=err, start_new_session=True)
        self.readers = []
        for name, stream in (("out", self.proc.stdout), ("err", self.proc.stderr)):
            if stream is not None:
                t = threading.Thread(target=self._read, args=(name, stream), daemon=True)
                t.start()
                self.readers.append(t)
        self.peak_kb = 0

    def _read(self, name, stream):
        for raw in stream:
            line = raw.decode("latin-1").rstrip("\n").rstrip("\r")
            with self.changed:
                self.lines[name].append((time.monotonic() - self.started, line))
                self.changed.notify_all()
        with self.changed:
            self.changed.notify_all()

    @property
    def out(self):
        with self.changed:
            return [line for _, line in self.lines["out"]]

    @property
    def err(self):
        with self.changed:
            return [line for _, line in self.lines["err"]]

    def running(self):
        return self.proc.poll() is None

    def sample(self):
        try:
            for line in pathlib.Path(f"/proc/{self.proc.pid}/status").read_text().splitlines():
                if line.startswith("VmHWM:"):
                    self.peak_kb = max(self.peak_kb, int(line.split()[1]))
        except (OSError, ValueError):
            pass

    def wait_until(self, condition, deadline):
        """Waits until CONDITION(out lines) holds or the monotonic DEADLINE passes."""
        while True:
            self.sample()
            if condition(self.out):
                return True
            if time.monotonic() >= deadline:
                return False
            with self.changed:
                self.changed.wait(0.1)

    def wait_exit(self, deadline):
        while self.running() and time.monotonic() < deadline:
            self.sample()
            time.sleep(0.05)
        if not self.running():
            for t in self.readers:
                t.join(5)
        return not self.running()

    def kill(self):
        if self.running():
            with contextlib.suppress(ProcessLookupError):
                os.kill(self.proc.pid, signal.SIGKILL)
        self.proc.wait()
        for t in self.readers:
            t.join(5)


WORKER_LINES = {"CallbackHandler", "Finding resource...", "Connecting...", "Sending request...",
                "Mime type available", "Cache filename available", "Begin download", "End download",
                "Downloaded OK", "nembral downloaded!", "version file downloaded!", ""}
WORKER_LINE = re.compile(r"^(-?\d+|Status code : \d+|An error occured : error code = 0x[0-9a-f]+)$")
OTHER_LINE = re.compile(r"^(Nembral \S+ running|Cannot use the working directory.*)$")


def gui_lines(out):
    """The lines the window thread writes: without the download worker's, which interleave with
    them, and without the demo application's (it shares the launcher's output)."""
    return [l for l in out if l not in WORKER_LINES and not WORKER_LINE.match(l) and not OTHER_LINE.match(l)]


def failure_lines(out):
    return [l for l in out if l.startswith("An error occured : error code = ")]


def log_regex(patterns):
    parts = []
    for p in patterns:
        if p == table.ANY:
            parts.append(r"(?:.*\n)*")
        elif isinstance(p, table.Many):
            parts.append(rf"(?:(?:{p.pattern})\n)*")
        else:
            parts.append(rf"(?:{p})\n")
    return re.compile(r"\A" + "".join(parts) + r"\Z")


def log_matches(patterns, lines):
    return bool(log_regex(patterns).match("".join(l + "\n" for l in lines)))


def processes_in(folder):
    """Processes whose working directory is FOLDER or below it (the launcher's children run on
    after it)."""
    wanted = os.path.realpath(folder)
    found = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit() or int(entry) == os.getpid():
            continue
        try:
            cwd = os.readlink(f"/proc/{entry}/cwd")
        except OSError:
            continue
        cwd = cwd.removesuffix(" (deleted)")
        if cwd == wanted or cwd.startswith(wanted + "/"):
            found.append(int(entry))
    return found


def gone(pid):
    try:
        data = pathlib.Path(f"/proc/{pid}/stat").read_text()
    except OSError:
        return True
    return data[data.rindex(")") + 2] == "Z"


def extraction_tool_in(work):
    for pid in processes_in(work):
        with contextlib.suppress(OSError):
            args = pathlib.Path(f"/proc/{pid}/cmdline").read_bytes().split(b"\0")
            if len(args) >= 3 and args[0].endswith(b"unzip.exe") and args[1:3] == [b"nembral/nembral.zip", b"nembral"]:
                return pid
    return 0


def poll(condition, seconds, step=0.025):
    deadline = time.monotonic() + seconds
    while not condition():
        if time.monotonic() >= deadline:
            return False
        time.sleep(step)
    return True


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def port_free(port):
    """Nothing listens on PORT at localhost (which may reach ::1 first)."""
    for family, address in ((socket.AF_INET, "127.0.0.1"), (socket.AF_INET6, "::1")):
        with socket.socket(family) as s:
            s.settimeout(1)
            if s.connect_ex((address, port)) == 0:
                return False
    return True


def pipe_without_reader():
    r, w = os.pipe()
    os.close(r)
    return w


# --- a loopback network for each row -----------------------------------------------------------

class Networks:
    """Network namespaces, one per thread that acts rows out, each with a loopback of its own: a
    way whose launcher has its vendor port built in then runs its rows side by side, each row's
    server on that port of its own loopback. Made only where namespaces can be (as root), and
    only for native programs: wine's sockets are opened by its server, outside them."""

    def __init__(self):
        self.lock = threading.Lock()
        self.made = []
        self.local = threading.local()

    def _add(self, name):
        return (subprocess.run(["ip", "netns", "add", name], capture_output=True).returncode == 0
                and subprocess.run(["ip", "-n", name, "link", "set", "lo", "up"], capture_output=True).returncode == 0)

    def available(self):
        name = f"nembral-e2e-{os.getpid()}-probe"
        made = shutil.which("ip") and shutil.which("nsenter") and self._add(name)
        subprocess.run(["ip", "netns", "del", name], capture_output=True)
        return bool(made)

    def enter(self):
        """This thread's programs start in its own namespace from now on."""
        if getattr(self.local, "prefix", None):
            return
        with self.lock:
            name = f"nembral-e2e-{os.getpid()}-{len(self.made)}"
            self.made.append(name)
            if len(self.made) == 1:
                atexit.register(self.remove)
        if not self._add(name):
            raise RuntimeError(f"cannot make the network namespace {name}")
        self.local.prefix = [shutil.which("nsenter"), f"--net=/run/netns/{name}", "--"]

    def prefix(self):
        """What starts a program in this thread's namespace; nothing when it has none."""
        return list(getattr(self.local, "prefix", None) or [])

    def remove(self):
        for name in self.made:
            subprocess.run(["ip", "netns", "del", name], capture_output=True)


NETWORKS = Networks()


# --- the vendor server -------------------------------------------------------------------------

class Vendor:
    """tools/vendor-server publishing SERVED on loopback with the session's throw-away CA. With
    LOG, the server writes its output into that file instead, in a session of its own, so that it
    may outlive this program (the demo's kept server)."""

    def __init__(self, served, state, port=0, options=(), request_log=None, log=None):
        argv = [str(VENDOR_SERVER), "--dir", str(served), "--port", str(port), "--state-dir", str(state), "--quiet"]
        if request_log:
            argv += ["--request-log", str(request_log)]
        argv = NETWORKS.prefix() + argv + list(options)
        if log:
            with open(log, "wb") as out:
                self.proc = subprocess.Popen(argv, stdout=out, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL,
                                             start_new_session=True)
            poll(lambda: self.proc.poll() is not None or "vendor-server: serving" in pathlib.Path(log).read_text(), 30)
            self._started(pathlib.Path(log).read_text().splitlines(), lambda: pathlib.Path(log).read_text())
            return
        self.proc = subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE, stdin=subprocess.DEVNULL)
        self._started((raw.decode() for raw in self.proc.stdout), lambda: self.proc.stderr.read().decode())
        # Nothing more is read from it; it must never block writing.
        threading.Thread(target=self.proc.stdout.read, daemon=True).start()
        threading.Thread(target=self.proc.stderr.read, daemon=True).start()

    def _started(self, lines, output):
        self.port = None
        self.ca = None
        for line in lines:
            line = line.strip()
            if line.startswith("PORT="):
                self.port = int(line[5:])
            elif line.startswith("SSL_CERT_FILE="):
                self.ca = line[len("SSL_CERT_FILE="):]
            elif line.startswith("vendor-server: serving"):
                self.serving = line
                break
        else:
            self.port = None
        if self.port is None:
            self.proc.kill()
            self.proc.wait()
            raise RuntimeError("the vendor server did not start: " + output())

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(5)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()


# --- the X display -----------------------------------------------------------------------------

class Display:
    """An Xvfb display of its own, for runs that are clicked through X with xdotool; or the
    display NAME, which is someone else's."""

    def __init__(self, name=None):
        self.proc = None
        self.name = name
        if name:
            return
        r, w = os.pipe()
        self.proc = subprocess.Popen(["Xvfb", "-displayfd", str(w), "-screen", "0", "1024x768x24", "-nolisten", "tcp"],
                                     pass_fds=(w,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(w)
        with os.fdopen(r) as f:
            self.name = ":" + f.readline().strip()

    def find(self, *criteria, seconds=30):
        """The first visible window that matches xdotool's search CRITERIA, once there is one; ""
        when none comes within SECONDS."""
        env = dict(os.environ, DISPLAY=self.name)
        deadline = time.monotonic() + seconds
        window = ""
        while not window and time.monotonic() < deadline:
            window = subprocess.run(["xdotool", "search", "--onlyvisible", *criteria], env=env,
                                    capture_output=True, text=True).stdout.split("\n")[0]
            time.sleep(0.1)
        return window

    def click(self, pid, x, y, answered, seconds=30):
        """Clicks at X, Y in the visible window of process PID once it is there; again while
        ANSWERED() says the click was lost (it came before the window took input)."""
        env = dict(os.environ, DISPLAY=self.name)
        window = self.find("--pid", str(pid), seconds=seconds)
        if not window:
            return False
        time.sleep(1)  # let it paint
        for _ in range(3):
            subprocess.run(["xdotool", "mousemove", "--window", window, str(x), str(y), "sleep", "0.3", "click", "1"],
                           env=env, capture_output=True)
            if poll(answered, 5, 0.1):
                return True
        return False

    def stop(self):
        if self.proc:
            self.proc.terminate()
            self.proc.wait()


@pytest.fixture(scope="session")
def session_dir():
    with tempfile.TemporaryDirectory(prefix="nembral-e2e-") as d:
        yield pathlib.Path(d)


# --- the ways the launcher ships ---------------------------------------------------------------

def unix_started(line, prefix=None):
    """A start the stand-in noted, its folder as Linux names it: the Windows one names it as wine
    shows it (Z:\\tmp\\..., or C:\\users\\... in PREFIX's drive_c)."""
    drives = {"Z": ""} | ({"C": str(prefix / "drive_c")} if prefix else {})
    return re.sub(r"^(started in )([CZ]):([^:]*)",
                  lambda m: m[1] + drives.get(m[2], m[2] + ":") + m[3].replace("\\", "/"), line)


def winpath(path):
    """PATH as a program under wine sees it (drive Z: is the Unix root); a Windows path as it is."""
    path = str(path)
    return path if re.match(r"[A-Za-z]:\\", path) else "Z:" + path.replace("/", "\\")


class Wine:
    """A wine prefix that trusts the session's CA: the lane's (WINEPREFIX) when one is given, else
    one of its own in the build folder, made now and removed at the end. Headless and quiet: no
    debug channels, no prompts to install Mono or Gecko. wine's programs draw on the display their
    session began with, so a run on another display begins a new session. A KEPT prefix (the
    demo's) is used again when it is there, and stays."""

    def __init__(self, build, name="e2e-wineprefix", fresh=False, kept=False):
        self.own = fresh or kept or not os.environ.get("WINEPREFIX")
        self.kept = kept
        self.prefix = build / name if self.own else pathlib.Path(os.environ["WINEPREFIX"])
        self.env = {"WINEPREFIX": str(self.prefix), "WINEDEBUG": "-all", "WINEDLLOVERRIDES": "mscoree,mshtml="}
        self.display = None
        if self.own:
            atexit.register(self.close)
            if not (kept and (self.prefix / "system.reg").exists()):
                shutil.rmtree(self.prefix, ignore_errors=True)
                self.run(["wine", "wineboot", "-i"])

    def run(self, argv):
        """ARGV's standard output, its line ends taken off; the session ends when it fails."""
        env = dict(os.environ, **self.env)
        env.pop("DISPLAY", None)
        env.pop("WAYLAND_DISPLAY", None)
        # The wine server is started by the first program of a session, and opens the sockets of
        # all of them: in the namespace of the thread that starts it.
        result = subprocess.run(NETWORKS.prefix() + argv, env=env, stdin=subprocess.DEVNULL, capture_output=True,
                                timeout=300)
        if result.returncode != 0:
            pytest.exit(f"{argv} failed under wine: {result.stderr.decode(errors='replace')}", 2)
        return result.stdout.decode(errors="replace").replace("\r", "").strip()

    def unix(self, path):
        return self.run(["winepath", "-u", path])

    def end_session(self):
        subprocess.run(["wineserver", "-k"], env=dict(os.environ, **self.env), capture_output=True)
        subprocess.run(["wineserver", "-w"], env=dict(os.environ, **self.env), capture_output=True, timeout=60)

    def on_display(self, display):
        if display != self.display:
            self.end_session()
            self.display = display

    def trust(self, trust_ca, ca):
        """Adds CA to the prefix's root store for good. The wine server keeps the registry in
        memory and writes it to the prefix when it ends (or now and then); one killed before that,
        as `wineserver -k` does to a server slow to end on a loaded machine, loses the CA, and every
        https download in the prefix then fails with 0x800c0019. So the session ends by itself
        here, and the registry it saved must hold the CA."""
        self.run(["wine", str(trust_ca), winpath(ca)])
        subprocess.run(["wineserver", "-w"], env=dict(os.environ, **self.env), capture_output=True, timeout=120)
        thumbprint = hashlib.sha1(ssl.PEM_cert_to_DER_cert(pathlib.Path(ca).read_text())).hexdigest().upper()
        if thumbprint not in (self.prefix / "system.reg").read_text(errors="replace"):
            pytest.exit(f"the CA {ca} ({thumbprint}) is not in {self.prefix}/system.reg after trust-ca", 2)

    def end_row(self):
        """Whatever of a row still runs under wine (a launcher an interpreter started) goes."""
        self.end_session()
        self.display = None

    def close(self):
        self.end_session()
        if self.own and not self.kept:
            shutil.rmtree(self.prefix, ignore_errors=True)


class WinePerThread:
    """A wine prefix of its own for each thread that acts rows out, made when the thread first
    needs it and trusting the session's CA: rows side by side then meet neither in one wine
    server's named objects (the extraction's mutex) nor on one loopback. Stands for that
    thread's Wine."""

    def __init__(self, build, name="e2e-wineprefix", prepare=None):
        self.build, self.name, self.prepare = build, name, prepare
        self.lock = threading.Lock()
        self.count = 0
        self.made = []
        self.free = []
        self.trusted = None
        self.local = threading.local()

    def trust(self, trust_ca, ca):
        with self.lock:
            self.trusted = (trust_ca, ca)
            made = list(self.made)
        for wine in made:
            wine.trust(trust_ca, ca)

    def get(self):
        wine = getattr(self.local, "wine", None)
        if wine is None:
            with self.lock:
                wine = self.free.pop() if self.free else None
                # Taken here, under the lock: two threads never make the same prefix.
                number = self.count
                self.count += 1
            if wine:
                # Its server may have been started outside this thread's namespace.
                wine.end_session()
            else:
                wine = Wine(self.build, f"{self.name}-{number}", fresh=True)
                if self.prepare:
                    self.prepare(wine)
                with self.lock:
                    self.made.append(wine)
                    trusted = self.trusted
                if trusted:
                    wine.trust(*trusted)
            self.local.wine = wine
        return wine

    def release(self):
        """This thread is done with its prefix: the next thread that needs one takes it."""
        wine = getattr(self.local, "wine", None)
        if wine:
            self.local.wine = None
            with self.lock:
                self.free.append(wine)

    def release_all(self):
        """The threads that took prefixes have ended: every prefix but this thread's is free for
        the threads of the next group of rows."""
        with self.lock:
            mine = getattr(self.local, "wine", None)
            self.free = [wine for wine in self.made if wine is not mine]

    def __getattr__(self, name):
        return getattr(self.get(), name)


@dataclasses.dataclass
class Way:
    name: str
    launcher: list          # the command that starts it
    tool_dir: pathlib.Path  # where unzip.exe is
    fixed_port: int = 0     # the vendor port built in, when it cannot be given
    networks: bool = False  # each row on a loopback of its own (NETWORKS), side by side
    jobs: int = 0           # at most this many rows side by side (0: as many as --jobs)
    installed_in: pathlib.PurePath = None  # tool_dir within each thread's wine prefix
    slow: float = 1.0
    clean: bool = False     # started in a clean environment, as a user's session starts it
    wine: Wine = None       # the Windows build, run by wine in this prefix
    trust_ca: pathlib.Path = None  # the Windows helper that adds a CA to the prefix's root store
    # An installed copy that runs in its own folder (tool_dir), every row's working folder: the
    # entries the setup put there, which are no row's and must stay as they are.
    program: frozenset = frozenset()

    def folder(self):
        """Where unzip.exe is: for a copy installed in a prefix per thread, in this thread's."""
        return self.wine.prefix / self.installed_in if self.installed_in else self.tool_dir

    def environment(self, world, port):
        if self.clean:
            env = {"PATH": "/usr/bin:/bin", "LANG": "C.UTF-8"}
        else:
            env = dict(os.environ)
            for name in ("COMSPEC", "DISPLAY", "WAYLAND_DISPLAY", "http_proxy", "https_proxy", "HTTPS_PROXY",
                         "all_proxy", "ALL_PROXY", "NEMBRAL_UNZIP_ENTRY_DELAY_MS", "NEMBRAL_TEST_VENDOR_HOST"):
                env.pop(name, None)
            # The tool is found on the search path, so the working folder holds only what the
            # launcher puts there (and a small disk needs no room for the tool).
            env["PATH"] = f"{self.tool_dir}:{env['PATH']}"
        env.update(QT_QPA_PLATFORM="offscreen", SSL_CERT_FILE=str(world.ca), XDG_RUNTIME_DIR=str(world.runtime),
                   NEMBRAL_E2E_STARTED=str(world.started_log), NEMBRAL_DEMO_HEADLESS="1")
        if self.wine:
            # A program under wine sees WINEX as X. unzip.exe is found on the search path, as the
            # Windows lookup finds it beside the launcher of a user's copy; an installed copy's
            # is in its working folder.
            env.update(self.wine.env, WINEQT_QPA_PLATFORM="offscreen", NEMBRAL_E2E_STARTED=winpath(world.started_log))
            if not self.program:
                env["WINEPATH"] = winpath(self.tool_dir)
        if self.name == "deb":
            # The package's wrapper enters the working folder it is given, or makes one below HOME.
            if world.row.workdir == "home":
                env["HOME"] = str(world.home)
            else:
                env["NEMBRAL_LAUNCHER_WORKDIR"] = str(world.work)
        if not self.fixed_port:
            env["NEMBRAL_TEST_VENDOR_HOST"] = f"127.0.0.1:{port}"
        # Sanitizer builds: the worker threads and the loading animation live until the process
        # ends by design, and a leak report at exit would change the exit code.
        asan = env.get("ASAN_OPTIONS", "")
        if "detect_leaks" not in asan:
            env["ASAN_OPTIONS"] = (asan + ":" if asan else "") + "detect_leaks=0"
        return env


def built_in_port(binary, host):
    """The port of HOST, the loopback vendor host the package's BINARY was built with (from its
    build's cache: a short host is built into the code, not kept as a string to read back)."""
    if b"NEMBRAL_TEST_VENDOR_HOST" in pathlib.Path(binary).read_bytes():
        pytest.exit(f"{binary} is a test build (it reads NEMBRAL_TEST_VENDOR_HOST); a package never is", 2)
    port = loopback_port(host)
    if not port:
        pytest.exit(f"the package was built for the vendor host {host}; its roads need localhost:PORT", 2)
    return port


def loopback_port(host):
    """The port of the loopback vendor HOST (localhost[:PORT] or 127.0.0.1[:PORT]); None for
    another host."""
    match = re.fullmatch(r"(?:localhost|127\.0\.0\.1)(?::(\d+))?", host)
    return int(match.group(1) or 443) if match else None


def package_vendor_host(config, deb):
    return config.getoption("--vendor-host") or built_vendor_host(pathlib.Path(deb).parent)


def built_vendor_host(build):
    """The vendor host the launcher of the build folder BUILD was made with."""
    cache = pathlib.Path(build) / "CMakeCache.txt"
    found = re.search(r"^NEMBRAL_VENDOR_HOST:\w+=(.*)$", cache.read_text(), re.M) if cache.exists() else None
    return found.group(1) if found else "localhost:8443"


def make_way(config, session_dir):
    global application
    name = config.getoption("--way")
    slow = config.getoption("--slow")
    build = pathlib.Path(config.getoption("--build")).resolve()
    if name == "linux":
        launcher = build / "bin/nembral-launcher"
        if not launcher.exists():
            pytest.exit(f"no launcher at {launcher}", 2)
        tools = session_dir / "tool"
        tools.mkdir(exist_ok=True)
        with contextlib.suppress(FileExistsError):
            # The tool's test build: the rows that watch an extraction slow it down.
            (tools / "unzip.exe").symlink_to(build / "bin/test-tool/unzip.exe")
        return Way(name, [str(launcher)], tools, slow=slow)
    networks = NETWORKS.available()
    if name == "deb":
        # The package unpacked as dpkg would install it, below a throw-away root; the wrapper in
        # /usr/bin finds the rest relative to itself.
        deb = config.getoption("--deb")
        if not deb:
            pytest.exit("--way deb needs --deb PACKAGE", 2)
        root = session_dir / "root"
        subprocess.run(["dpkg-deb", "-x", deb, str(root)], check=True)
        private = root / "usr/lib/nembral-launcher"
        port = built_in_port(private / "nembral-launcher", package_vendor_host(config, deb))
        way = Way(name, [str(root / "usr/bin/nembral-launcher")], private, fixed_port=port, slow=slow, clean=True,
                  networks=networks)
    elif name in ("wine", "nsis"):
        # The application is the Windows stand-in, which notes its starts as APPLICATION does.
        stub, trust_ca = build / "bin/nembrals-stub.exe", build / "bin/trust-ca.exe"
        dist = build / "dist"
        needed = [stub, trust_ca] + ([dist / "nembral-launcher.exe", dist / "unzip.exe"] if name == "wine" else [])
        for path in needed:
            if not path.exists():
                pytest.exit(f"no {path} (scripts/build-windows.sh builds it)", 2)
        application = stub.read_bytes()
        common = dict(slow=max(slow, 2.0), trust_ca=trust_ca, networks=networks, jobs=WINE_JOBS)
        if name == "wine":
            # The deployed copy (scripts/build-windows.sh), with its vendor host built in.
            launcher = dist / "nembral-launcher.exe"
            port = built_in_port(launcher, package_vendor_host(config, dist))
            way = Way(name, ["wine", str(launcher)], dist, fixed_port=port,
                      wine=WinePerThread(build) if networks else Wine(build), **common)
        else:
            way = installed_way(config, build, common)
    else:
        pytest.exit(f"unknown way {name}", 2)
    # Something else on that port (a demo's server kept running, say) would answer instead.
    if not networks and not poll(lambda: port_free(way.fixed_port), 60, 1):
        pytest.exit(f"port {way.fixed_port}, which the {name} way's launcher downloads from, is still in use after "
                    f"a minute; stop what listens there (ss -ltnp 'sport = :{way.fixed_port}')", 2)
    return way


def installed_way(config, build, common):
    """The setup installed silently into a fresh prefix of its own (one per thread where rows
    have networks of their own), and the launcher started as the Start-menu shortcut starts it:
    its target, in its working directory (the installed folder, every row's working folder)."""
    setup = config.getoption("--setup")
    if not setup:
        pytest.exit("--way nsis needs --setup nembral-launcher-setup-VERSION.exe", 2)

    def install(wine):
        wine.run(["wine", str(pathlib.Path(setup).resolve()), "/S"])
        wine.run(["wineserver", "-w"])

    pool = WinePerThread(build, "e2e-nsis-wineprefix", install) if common["networks"] else None
    if pool:
        wine = pool.get()
    else:
        wine = Wine(build, "e2e-nsis-wineprefix", fresh=True)
        install(wine)
    shortcut = wine.unix(wine.run(["wine", "cmd", "/c", "echo", "%APPDATA%"])
                         + "\\Microsoft\\Windows\\Start Menu\\Programs\\Nembral Launcher.lnk")
    lnk = subprocess.run([str(READ_LNK), shortcut], capture_output=True, text=True)
    fields = dict(line.split("=", 1) for line in lnk.stdout.splitlines() if "=" in line)
    if lnk.returncode != 0 or "target" not in fields or "workdir" not in fields:
        pytest.exit(f"the setup made no shortcut with a target and a working directory at {shortcut}", 2)
    folder = pathlib.Path(wine.unix(fields["workdir"]))
    port = built_in_port(wine.unix(fields["target"]), package_vendor_host(config, build / "dist"))
    way = Way("nsis", ["wine", fields["target"]], folder, fixed_port=port, wine=wine,
              program=frozenset(listing(folder)), **common)
    if pool:
        # Each thread's copy is installed alike, at the same place in its own prefix.
        way.installed_in = pathlib.Path(os.path.realpath(folder)).relative_to(os.path.realpath(wine.prefix))
        way.tool_dir, way.wine = None, pool
        pool.release()
    return way


@pytest.fixture(scope="session")
def way(request, session_dir):
    return make_way(request.config, session_dir)


# --- a row's world and its acts ----------------------------------------------------------------

@dataclasses.dataclass
class Outcome:
    problems: list = dataclasses.field(default_factory=list)
    skipped: str = ""
    is_launcher: bool = False
    exited: bool = False
    crashed: bool = False
    exit_code: int = None
    quiet_at_end: bool = False
    out: list = dataclasses.field(default_factory=list)
    err: list = dataclasses.field(default_factory=list)
    times: dict = dataclasses.field(default_factory=dict)
    longest_line: int = 0
    peak_kb: int = 0
    files: list = dataclasses.field(default_factory=list)
    version: bytes = b""
    started: list = dataclasses.field(default_factory=list)
    install_dir: str = ""
    work_mode: int = 0
    demo_log: bytes = b""
    commands: list = dataclasses.field(default_factory=list)
    requests: list = dataclasses.field(default_factory=list)
    outside_changes: list = dataclasses.field(default_factory=list)
    support_log: list = dataclasses.field(default_factory=list)
    seconds: float = 0.0


class Skip(Exception):
    pass


class World:
    """One row's folders beside each other: work (the launcher's working folder), outside (what
    a wrong wipe, download or extraction would hit first), served (the vendor's files) and aux
    (logs and the private runtime folder where named mutexes live, so rows never see each
    other's)."""

    FOLDERS = ("aux", "home", "outside", "served", "work")

    def __init__(self, row, way, session):
        self.row, self.way, self.session = row, way, session
        self.root = pathlib.Path(tempfile.mkdtemp(prefix="row-", dir=session.root))
        self.home = self.root / "home"
        # The package's wrapper makes its default working folder below HOME itself.
        self.work = self.home / ".local/share/nembral-launcher" if row.workdir == "home" else self.root / "work"
        if way.program:
            self.work = way.folder()
        self.cwd = self.home if row.workdir == "home" else self.work
        self.outside = self.root / "outside"
        self.served, self.aux = self.root / "served", self.root / "aux"
        self.runtime = self.aux / "runtime"
        self.started_log, self.request_log = self.aux / "started.log", self.aux / "requests.log"
        self.aux_request_log = self.aux / "downgrade-requests.log"
        self.ca = session.ca
        self.mounted = False
        self.unremovable = None
        self.servers = []
        self.port = 0
        self.display = None
        self.running = None

    # The outside folder: shaped like an installation without its version file (so that a link
    # to it looks like an interrupted one), and a few plain files.
    def prepare(self):
        self.runtime.mkdir(parents=True, mode=0o700)
        self.served.mkdir()
        write(self.outside / "keep.txt", b"keep\n")
        write(self.outside / "nembral/Nembrals.exe",
              b"#!/bin/sh\necho \"outside started\" >> \"${NEMBRAL_E2E_STARTED:-/dev/null}\"\n", 0o755)
        write(self.outside / "nembral/data/keep.bin", b"k" * 4096)
        write(self.outside / "notes/readme.txt", b"not the launcher's\n")
        self.cwd.mkdir(parents=True, exist_ok=bool(self.way.program))
        self.program_before = self.program_snapshot()
        row, install_dir = self.row, self.work / "nembral/nembral"
        if row.prep in ("leftover", "unremovable"):
            write(install_dir / "Nembrals.exe",
                  b"#!/bin/sh\necho \"leftover started\" >> \"${NEMBRAL_E2E_STARTED:-/dev/null}\"\n", 0o755)
            write(install_dir / "data/old.bin", b"old\n")
            if row.prep == "unremovable":
                locked = install_dir / "data/locked.bin"
                write(locked, b"locked\n")
                self.make_unremovable(locked)
        elif row.prep == "relocated":
            (self.work / "nembral").symlink_to("../outside")
        elif row.prep == "install-dir-links-out":
            (self.work / "nembral").mkdir()
            install_dir.symlink_to("../../outside/nembral")
        elif row.prep in ("small-disk", "read-only"):
            self.mount(row.disk_kb)
        elif row.prep == "log-folder":
            (self.work / "nembral/launcher.log").mkdir(parents=True)
        elif row.prep == "log-full":
            (self.work / "nembral").mkdir()
            (self.work / "nembral/launcher.log").symlink_to("/dev/full")
        if row.installed:
            write_installation(install_dir, row.installed)
        if row.act.startswith("unzip"):
            write_package(row.package, self.work / "nembral/nembral.zip", self.outside)
        else:
            self.publish(row.package)
        if row.prep == "read-only":
            self.mount(row.disk_kb, "remount,ro,")
        self.outside_before = snapshot(self.outside)

    def make_unremovable(self, path):
        """PATH made immutable as root (chattr +i), through a descriptor kept open so that the
        attribute comes off wherever a faulty program may have moved the file; otherwise its
        folder loses the write permission."""
        if os.geteuid() == 0:
            fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_NOFOLLOW)
            try:
                set_immutable(fd, True)
            except OSError as e:
                os.close(fd)
                raise Skip(f"cannot make {path} immutable (chattr +i): {e.strerror}") from e
            self.unremovable = ("fd", fd)
        else:
            path.parent.chmod(0o555)
            self.unremovable = ("chmod", path.parent)

    def mount(self, kb, how=""):
        if os.geteuid() != 0:
            raise Skip("mounting a file system of its own for the working folder needs root")
        options = f"{how}size={kb}k,mode=0755"
        result = subprocess.run(["mount", "-t", "tmpfs", "-o", options, "tmpfs", str(self.work)],
                                capture_output=True, text=True)
        if result.returncode != 0:
            raise Skip(f"mount -t tmpfs failed: {result.stderr.strip()}")
        self.mounted = True

    def publish(self, kind):
        """The row's version file, and a package of KIND whose version is the published one when
        that is a plain version (else 1.0)."""
        archive = self.served / "nembral.zip"
        archive.unlink(missing_ok=True)
        line = self.row.published.split(b"\n")[0].strip()
        version = line if re.fullmatch(rb"[0-9][0-9.]*", line) else b"1.0"
        write_package(kind, archive, self.outside, version)
        write(self.served / "version.txt", self.row.published)

    def start_server(self):
        row = self.row
        if not row.server_up:
            self.port = self.way.fixed_port or free_port()
            return
        options = list(row.server)
        if any("%AUX%" in o for o in options):
            # The target of a downgrade: a plain http server that notes whether anyone came.
            aux = Vendor(self.served, self.session.state, options=["--http"], request_log=self.aux_request_log)
            self.servers.append(aux)
            options = [o.replace("%AUX%", str(aux.port)) for o in options]
        # A fixed port may still be held for a moment by the previous row's server.
        for attempt in range(20):
            try:
                vendor = Vendor(self.served, self.session.state, self.way.fixed_port, options, self.request_log)
                break
            except RuntimeError:
                if attempt == 19:
                    raise
                time.sleep(0.25)
        self.servers.append(vendor)
        self.port = vendor.port

    def environment(self, unzip_delay_ms=0):
        env = self.way.environment(self, self.port)
        for name in self.row.unset:
            env.pop(name, None)
        if unzip_delay_ms:
            env["NEMBRAL_UNZIP_ENTRY_DELAY_MS"] = str(unzip_delay_ms)
        if self.row.comspec and not self.way.wine:
            env["COMSPEC"] = str(self.recording_interpreter())
        return env

    def windows_recording_interpreter(self):
        """The Windows one only notes its arguments, in the file its .record file names."""
        path = self.aux / "record-interpreter.exe"
        if not path.exists():
            shutil.copy(self.way.trust_ca.parent / "record-interpreter.exe", path)
            write(self.aux / "record-interpreter.exe.record", winpath(self.aux / "commands.txt").encode())
        return path

    def recording_interpreter(self):
        """Notes its arguments, then does what the Windows interpreter would: runs the command with
        the current directory searched first."""
        path = self.aux / "interpreter.sh"
        if not path.exists():
            write(path, b"#!/bin/sh\nout=$(printf '%s\\n' \"$@\")\nprintf '%s\\n' \"$out\" >> '"
                  + str(self.aux / "commands.txt").encode()
                  + b"'\n[ \"$1\" = /c ] || exit 1\nPATH=.:$PATH exec /bin/sh -c \"$2\"\n", 0o755)
        return path

    def program_snapshot(self):
        return {k: v for k, v in snapshot(self.work).items() if k in self.way.program}

    def row_entries(self):
        """What the row put in an installed copy's folder, or the launcher left there."""
        return [self.work / e for e in os.listdir(self.work) if e not in self.way.program]

    def end_strays(self):
        for _ in range(50):
            strays = [p for folder in (self.root, self.way.program and self.work) if folder
                      for p in processes_in(folder) if not gone(p)]
            if not strays:
                return
            for pid in strays:
                with contextlib.suppress(ProcessLookupError):
                    os.kill(pid, signal.SIGKILL)
            time.sleep(0.02)

    def outside_changes(self):
        changes = differences(self.outside_before, snapshot(self.outside))
        if self.row.outside_may_change:
            allowed = re.compile(rf"^\w+: ({self.row.outside_may_change})( \(.*)?$")
            changes = [c for c in changes if not allowed.match(c)]
        changes += [f"added beside: {e}" for e in os.listdir(self.root) if e not in self.FOLDERS]
        if self.way.program:
            changes += [f"installed program {c}" for c in differences(self.program_before, self.program_snapshot())]
        return changes

    def close(self):
        if self.running:
            self.running.kill()
        if self.way.wine:
            self.way.wine.end_row()
        if self.display:
            self.display.stop()
        self.end_strays()
        for server in self.servers:
            server.stop()
        if self.unremovable:
            kind, what = self.unremovable
            if kind == "fd":
                with contextlib.suppress(OSError):
                    set_immutable(what, False)
                os.close(what)
            else:
                with contextlib.suppress(OSError):
                    what.chmod(0o755)
        if self.mounted:
            for _ in range(20):
                if subprocess.run(["umount", str(self.work)], capture_output=True).returncode == 0:
                    break
                time.sleep(0.05)
            else:
                subprocess.run(["umount", "-l", str(self.work)], capture_output=True)
        if self.way.program:
            for entry in self.row_entries():
                if entry.is_dir() and not entry.is_symlink():
                    shutil.rmtree(entry, ignore_errors=True)
                else:
                    entry.unlink(missing_ok=True)
        shutil.rmtree(self.root, ignore_errors=True)


FS_IOC_GETFLAGS, FS_IOC_SETFLAGS, FS_IMMUTABLE_FL = 0x80086601, 0x40086602, 0x10


def set_immutable(fd, on):
    flags = array.array("l", [0])
    fcntl.ioctl(fd, FS_IOC_GETFLAGS, flags, True)
    flags[0] = flags[0] | FS_IMMUTABLE_FL if on else flags[0] & ~FS_IMMUTABLE_FL
    fcntl.ioctl(fd, FS_IOC_SETFLAGS, flags, True)


def lines_of(path):
    try:
        return pathlib.Path(path).read_text(errors="replace").splitlines()
    except OSError:
        return []


class Runner:
    """Does what a row says and notes what a user could see. Waits are bounded by the row's time."""

    def __init__(self, row, world, outcome):
        self.row, self.world, self.outcome = row, world, outcome
        self.deadline = time.monotonic() + row.bound * world.way.slow
        self.launchers = []

    def problem(self, text):
        self.outcome.problems.append(text)

    def start(self, unzip_delay_ms=0, out=subprocess.PIPE, err=subprocess.PIPE, env=None):
        env = env or self.world.environment(unzip_delay_ms)
        argv = self.world.way.launcher + list(self.row.args)
        if self.world.way.wine:
            self.world.way.wine.on_display(env.get("DISPLAY"))
            if self.row.comspec:
                # wine sets COMSPEC itself as a program starts: the interpreter that starts the
                # launcher puts the recording one in place.
                # Word by word: wine quotes the launcher's path where it has a space.
                argv = ["wine", "cmd", "/c", "set", f"COMSPEC={winpath(self.world.windows_recording_interpreter())}&&",
                        winpath(argv[1])] + argv[2:]
        p = Process(argv, self.world.cwd, env, out, err)
        self.launchers.append(p)
        return p

    def wait_for(self, p, condition):
        def sampled(out):
            for other in self.launchers:
                other.sample()
            return condition(out)
        return p.wait_until(sampled, self.deadline)

    def await_end(self, p):
        row = self.row
        if row.end == "exit":
            p.wait_exit(self.deadline)
        elif row.end in ("error-page", "question-page"):
            if self.wait_for(p, lambda out: log_matches(row.log, gui_lines(out))):
                seen = len(p.out)
                p.wait_until(lambda out: len(out) > seen, time.monotonic() + QUIET_S)
                self.outcome.quiet_at_end = p.running() and len(p.out) == seen
        elif row.end == "copying":
            # The tracker logs every second while it waits; three ticks without the tool are
            # enough to see that it will wait for good.
            if self.wait_for(p, lambda out: log_matches(row.log, gui_lines(out))
                             and out.count("file not found") >= 3):
                self.outcome.quiet_at_end = p.running()
        self.finish(p)

    def finish(self, p):
        o = self.outcome
        o.is_launcher = True
        self.launchers.remove(p)
        o.exited = not p.running()
        o.peak_kb = max(o.peak_kb, p.peak_kb)
        p.kill()
        if o.exited:
            o.crashed = p.proc.returncode < 0
            o.exit_code = p.proc.returncode
        o.out, o.err = p.out, p.err
        o.times = {line: t for t, line in reversed(p.lines["out"])}
        self.note_lines(p)

    def note_lines(self, p):
        for line in p.out + p.err:
            self.outcome.longest_line = max(self.outcome.longest_line, len(line.encode("latin-1")))

    def dismiss(self, p):
        if p in self.launchers:
            self.launchers.remove(p)
        self.outcome.peak_kb = max(self.outcome.peak_kb, p.peak_kb)
        p.kill()
        self.note_lines(p)

    def act(self):
        getattr(self, "act_" + self.row.act.replace("-", "_"))()

    def act_launch(self):
        self.await_end(self.start(self.row.unzip_delay_ms))

    def act_output_gone(self):
        # A pipe nobody reads any more, SIGPIPE at its default (subprocess restores it), as a
        # shell leaves it for the programs of a pipeline.
        pipe = pipe_without_reader()
        try:
            p = self.start(out=pipe, err=pipe)
        finally:
            os.close(pipe)
        self.await_end(p)

    def act_vanishing_dir(self):
        root_had = {p: os.path.exists(p) for p in ("/nembral", "/version.txt")}
        p = self.start()
        if not self.wait_for(p, package_progress_logged):
            self.problem("the package download never showed progress")
            return self.finish(p)
        shutil.rmtree(self.world.work, ignore_errors=True)
        if self.world.work.exists():
            self.problem("could not delete the working directory")
        self.await_end(p)
        for path, had in root_had.items():
            if not had and os.path.exists(path):
                self.problem(f"{path} was created")

    def act_twice_fixed(self):
        first = self.start()
        # However the broken package's run ends, it has ended once the launcher has given up
        # (error page) or the tracker has looked for the marker three times.
        self.wait_for(first, lambda out: "Could not find Nembral" in out or "Start Nembral" in out
                      or out.count("file not found") >= 3)
        self.dismiss(first)
        self.world.end_strays()
        self.world.publish("good")
        self.await_end(self.start())

    def act_kill_download(self):
        first = self.start()
        if not self.wait_for(first, package_progress_logged):
            self.problem("the package download never showed progress")
            return self.dismiss(first)
        self.dismiss(first)
        if not list((self.world.work / "nembral").glob(".nembral.zip.part-*")):
            self.problem("the killed download left no partial file to clear")
        self.await_end(self.start())

    def act_kill_extraction(self):
        first = self.start(self.row.unzip_delay_ms)
        if not self.wait_for(first, lambda out: "Mutex does exist" in out):
            self.problem("the first run never waited for the extraction")
            return self.dismiss(first)
        work = self.world.work
        tool = 0

        def caught():
            nonlocal tool
            tool = extraction_tool_in(work)
            return tool
        if not poll(caught, 5) or not poll(lambda: sum(len(f) for _, _, f in os.walk(work / "nembral")) > 6, 20):
            self.problem("the extraction tool was not caught midway")
            return self.dismiss(first)
        os.kill(tool, signal.SIGKILL)
        if not poll(lambda: gone(tool), 10):
            self.problem("the extraction tool did not die")
        seen = len(first.out)
        self.wait_for(first, lambda out: out[seen:].count("file not found") >= 2)
        gui = gui_lines(first.out)
        if "UNZIP complete!" in gui or "Start Nembral" in gui:
            self.problem("the first run took the killed extraction for complete")
        if gui.count("file not found") < 2 or not first.running():
            self.problem("the first run did not keep waiting for the marker")
        self.dismiss(first)
        self.await_end(self.start())

    def act_two_together(self):
        first, second = self.start(), self.start()
        self.await_end(second)
        self.expect_exit_0(first)

    def act_second_during_extraction(self):
        first = self.start(self.row.unzip_delay_ms)
        if not self.wait_for(first, lambda out: "Mutex does exist" in out):
            self.problem("the first launcher's extraction was not caught")
            return self.dismiss(first)
        self.await_end(self.start(self.row.unzip_delay_ms))
        self.expect_exit_0(first)

    def expect_exit_0(self, p):
        if not p.wait_exit(self.deadline) or p.proc.returncode != 0:
            self.problem("the first launcher did not exit with 0:\n" + "\n".join(gui_lines(p.out)))
        self.dismiss(p)

    def act_click_update(self):
        self.click(UPDATE_BUTTON)

    def act_kill_update(self):
        """"Update to New Version" clicked, the launcher killed once the old installation is
        set aside (its package download stalls), then a second run."""
        self.click(UPDATE_BUTTON, kill_when="downloadCompleteApplication")
        if not (self.world.work / "nembral/nembral.previous").is_dir():
            self.problem("the update did not set the installation aside")
        self.world.end_strays()
        self.await_end(self.start())

    def act_click_skip(self):
        self.click(SKIP_BUTTON)

    def click(self, where, kill_when=""):
        # A display of its own (the row's world stops it): a click lands on whichever window is on
        # top where it points.
        display = self.world.display = self.world.display or Display()
        env = self.world.environment()
        env.update(QT_QPA_PLATFORM="xcb", WINEQT_QPA_PLATFORM="windows", DISPLAY=display.name)
        p = self.start(env=env)
        if not self.wait_for(p, lambda out: "new version available" in out):
            self.problem("the question page was not reached")
            return self.finish(p)
        seen = len(gui_lines(p.out)) + len(p.err)
        if not display.click(p.proc.pid, *where, answered=lambda: len(gui_lines(p.out)) + len(p.err) > seen):
            self.problem("the click on the question page had no answer")
        if kill_when:
            if not self.wait_for(p, lambda out: kill_when in out):
                self.problem(f"no {kill_when!r} to kill the launcher at")
            return self.dismiss(p)
        self.await_end(p)

    def act_click_update_running(self):
        """"Update to New Version" clicked while the installed application runs and holds its
        own file open."""
        w = self.world
        install_dir = w.work / "nembral/nembral"
        w.display = Display()
        env = dict(w.environment(), NEMBRALS_STUB_STAY_SECONDS=str(self.row.bound), DISPLAY=w.display.name)
        w.way.wine.on_display(w.display.name)
        running = Process(w.way.launcher[:-1] + [str(install_dir / "Nembrals.exe")], install_dir, env)
        w.running = running
        if not poll(lambda: lines_of(w.started_log), 20):
            self.problem("the installed application did not start")
        self.click(UPDATE_BUTTON)

    def act_unzip(self, output_gone=False):
        w = self.world
        pipe = pipe_without_reader() if output_gone else None
        try:
            tool = Process(w.way.launcher[:-1] + [str(w.way.folder() / "unzip.exe"), "nembral/nembral.zip", "nembral"],
                           w.work,
                           w.environment(), subprocess.DEVNULL, pipe if output_gone else subprocess.PIPE)
        finally:
            if pipe is not None:
                os.close(pipe)
        o = self.outcome
        o.exited = tool.wait_exit(self.deadline)
        if not o.exited:
            tool.kill()
            return
        o.crashed = tool.proc.returncode < 0
        o.exit_code = tool.proc.returncode
        o.err = tool.err
        if output_gone and o.err:
            self.problem("unzip.exe's standard error reached the test, not the pipe")

    def act_unzip_output_gone(self):
        self.act_unzip(True)


# The buttons' middles in the 600x300 window (ui/mainwindowui.cpp): the dialog at y 97,
# "Update to New Version" at x 110 and "Skip Update" at x 320 in it, each 170x30, at y 70.
UPDATE_BUTTON = (195, 182)
SKIP_BUTTON = (405, 182)


def package_progress_logged(out):
    """A percentage the worker logged after the package download began."""
    if "downloadCompleteApplication" not in out:
        return False
    start = out.index("downloadCompleteApplication")
    return any(re.fullmatch(r"[1-9]\d*", line) for line in out[start + 1:])


def run_row(row, way, session, runner=None):
    """Acts ROW out on WAY and returns what a user could see. RUNNER(row, world, outcome) makes
    what acts it out (a Runner unless given)."""
    outcome = Outcome()
    began = time.monotonic()
    if way.networks:
        NETWORKS.enter()
    world = World(row, way, session)
    try:
        try:
            world.prepare()
        except Skip as why:
            outcome.skipped = str(why)
            return outcome
        world.start_server()
        (runner or Runner)(row, world, outcome).act()
        # A launcher that decided to start the application has handed it over; give it a moment
        # to note its start.
        if "Start Nembral" in outcome.out or row.started:
            poll(lambda: len(lines_of(world.started_log)) >= max(1, len(row.started)), 5)
        if row.demo_log:
            poll(lambda: (world.work / "nembral/nembral/nembral-demo.log").exists(), 10)
            poll(lambda: (world.work / "nembral/nembral/nembral-demo.log").read_bytes().endswith(b"\n"), 5)
        world.end_strays()
        outcome.files = [e for e in listing(world.work) if e not in way.program] if world.work.exists() else ["-"]
        with contextlib.suppress(OSError):
            outcome.work_mode = stat.S_IMODE(world.work.stat().st_mode)
        install_dir = world.work / "nembral/nembral"
        with contextlib.suppress(OSError):
            outcome.version = (install_dir / "version.txt").read_bytes()
        with contextlib.suppress(OSError):
            outcome.demo_log = (install_dir / "nembral-demo.log").read_bytes()
        outcome.install_dir = os.path.realpath(install_dir)
        outcome.started = [unix_started(line, way.wine and way.wine.prefix.resolve())
                           for line in lines_of(world.started_log)]
        outcome.commands = lines_of(world.aux / "commands.txt")
        outcome.requests = lines_of(world.aux_request_log if any("%AUX%" in o for o in row.server)
                                    else world.request_log)
        outcome.outside_changes = world.outside_changes()
        support_log = world.work / "nembral/launcher.log"
        # Only a file: a folder or a device (/dev/full) in its place is a row's fault.
        outcome.support_log = lines_of(support_log) if support_log.is_file() else []
    except Exception as e:  # noqa: BLE001 - the row fails with what went wrong
        outcome.problems.append(f"{type(e).__name__}: {e}")
    finally:
        world.close()
        outcome.seconds = time.monotonic() - began
    return outcome


@dataclasses.dataclass
class Session:
    root: pathlib.Path
    state: pathlib.Path
    ca: str


def open_session(root, way):
    """The session in ROOT: its throw-away CA, made once before the rows' servers all want it,
    and trusted by WAY's wine prefix."""
    state = root / "state"
    first = Vendor(root, state)
    ca = first.ca
    first.stop()
    if way.wine:
        way.wine.trust(way.trust_ca, ca)
    return Session(root, state, ca)


@pytest.fixture(scope="session")
def vendor_session(session_dir, way):
    """One CA for every server of the session: each wine prefix of the pool trusts it once."""
    return open_session(session_dir, way)


def side_by_side(config, way, cases, act, what="rows"):
    """ACT(case) for each of CASES ({key: case}), as many at once as WAY allows, each worker
    thread on a loopback of its own where the way has them and in its own prefix of WAY's wine
    pool; one at a time where a launcher with its vendor port built in would meet another on
    one loopback. Returns {key: what ACT returned}, and says how long the WHAT took."""
    began = time.monotonic()
    jobs = 1 if way.fixed_port and not way.networks else config.getoption("--jobs")
    jobs = min(jobs, way.jobs or jobs)

    def in_thread(case):
        if way.networks:
            NETWORKS.enter()
        return act(case)

    results = {}
    try:
        with concurrent.futures.ThreadPoolExecutor(jobs) as pool:
            futures = {pool.submit(in_thread, case): key for key, case in cases.items()}
            for future in concurrent.futures.as_completed(futures):
                results[futures[future]] = future.result()
    finally:
        if isinstance(way.wine, WinePerThread):
            way.wine.release_all()
    print(f"\n{way.name}: {len(cases)} {what} in {time.monotonic() - began:.1f} s, {jobs} side by side")
    return results


@pytest.fixture(scope="session")
def outcomes(request, vendor_session, way):
    """Every selected row acted out first, side by side (rows mostly wait on the launcher's
    one-second ticks), the longest first; the tests then compare each outcome with its row."""
    rows = [item.callspec.params["row"] for item in request.session.items
            if hasattr(item, "callspec") and "row" in item.callspec.params]
    rows = [r for r in rows if not table.not_applying(r, way.name)]
    return side_by_side(request.config, way, {r.name: r for r in sorted(rows, key=lambda r: -r.bound)},
                        lambda r: run_row(r, way, vendor_session))
