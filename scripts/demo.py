#!/usr/bin/python3
"""Demonstrates the launcher end to end on this machine: publishes a demo package on the local
vendor server, runs the launcher in a fresh working directory, and shows the demo application
that it installed and started.

    python3 scripts/demo.py [--windows] [--keep-server] [--again] [--signed] [--version V]
                            [--timeout S] [--click update|skip]

  --keep-server  leave the vendor server running afterwards (its pid is printed and kept in
                 vendor-server.pid; a later run, with or without --again, takes it over, and
                 one that starts afresh stops it first)
  --again        run the launcher once more in the same working directory, against what is
                 published now (see "newer version" below), instead of starting afresh
  --version V    the version to publish on a fresh start (default 1.0)
  --timeout S    stop the launcher if it is still open after S seconds (default 120); it
                 stays open on its question and error pages until someone clicks
  --click B      click "Update to New Version" (update) or "Skip Update" (skip) once the
                 question page is up, with xdotool: a way through it under Xvfb, where nobody
                 else can click
  --signed       signed packages and release statements (docs/signing.md), starting afresh:
                 makes a throw-away Ed25519 key pair, builds a launcher and an unzip.exe with
                 its public half built in (build/demo/signed-build), publishes the package
                 signed with the private half, with a signed release statement in version.txt,
                 and runs the launcher, which installs it; then publishes a tampered package
                 (other contents under the vendor's signature) and runs the launcher in a
                 second fresh directory (work-tampered/), where the launcher refuses it before
                 extraction and nothing is installed; then installs 1.1 in a third
                 (work-rollback/) and publishes the old 1.0 release again, whose lower sequence
                 the launcher refuses, starting the installed 1.1 as it is
  --windows      the Windows build under wine instead (build-win/dist, NEMBRAL_WIN_BUILD_DIR,
                 made by scripts/build-windows.sh), with Qt's windows platform, in a wine
                 prefix of its own (build/demo-windows/wineprefix, kept for later runs) that
                 trusts the server's CA. The working directory is laid out as the installer
                 lays out its folder: the program (build-win/dist, copied in on each run)
                 beside nembral\\, where the launcher's command finds unzip.exe; the launcher
                 is started from there, as its Start-menu shortcut starts it. The published
                 Nembrals.exe is build-win/bin/nembrals-stub.exe, which notes its start in
                 started.log. With --again, --version V publishes V first. Not with --signed

Everything lives in build/demo (NEMBRAL_DEMO_DIR): vendor/ is the folder the server publishes
(with the CA in state/), work/ the launcher's working directory, where it installs
nembral/nembral. The launcher is build/bin/nembral-launcher (NEMBRAL_LAUNCHER), built by the dev
preset; the server listens on the port of the vendor host it was built with (localhost:8443).

Display: the launcher's window goes to $DISPLAY when there is one; otherwise it runs on an Xvfb
display of its own, invisibly, and the demo application only writes its log.

Newer version: publish one into the served folder and run again in the same directory,
    tools/make-package 1.1 build/demo/vendor && python3 scripts/demo.py --again
and the launcher asks "A new version of this software is available. Do you wish to install it?"
("Update to New Version" installs 1.1 and starts it, "Skip Update" starts 1.0).
"""

import argparse
import os
import pathlib
import re
import shutil
import signal
import subprocess
import sys
import time

try:
    import pytest
except ModuleNotFoundError:
    # Another python3 first on PATH (a virtual environment, say): Debian's has python3-pytest.
    if sys.executable != "/usr/bin/python3" and os.access("/usr/bin/python3", os.X_OK):
        os.execv("/usr/bin/python3", ["/usr/bin/python3", *sys.argv])
    raise
sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "tests/e2e"))
import conftest  # noqa: E402 - the table's fixtures: vendor server, packages, Xvfb, wine

REPO = conftest.SOURCE


def say(text=""):
    print(f"demo: {text}" if text else "", flush=True)


class Failed(Exception):
    pass


def arguments():
    parser = argparse.ArgumentParser(prog="demo.py", usage=__doc__.split("\n\n")[1].strip(), add_help=False)
    parser.add_argument("-h", "--help", action="store_true")
    for flag in ("--windows", "--keep-server", "--again", "--signed"):
        parser.add_argument(flag, action="store_true")
    parser.add_argument("--version", default="")
    parser.add_argument("--timeout", default="120")
    parser.add_argument("--click", choices=("update", "skip"))
    args = parser.parse_args()
    if args.help:
        print(__doc__)
        sys.exit(0)
    if not re.fullmatch(r"[1-9][0-9]*", args.timeout):
        parser.error("--timeout needs a number of seconds")
    args.timeout = int(args.timeout)
    if args.signed and args.again:
        parser.error("--signed always starts afresh; it does not go with --again")
    if args.signed and args.windows:
        parser.error("--signed does not go with --windows")
    args.publish_again = args.version if args.windows and args.again else ""
    args.version = args.version or "1.0"
    return args


def vendor_port(build):
    """The port of the vendor host BUILD's launcher has built in."""
    host = conftest.built_vendor_host(build)
    port = conftest.loopback_port(host)
    if not port:
        raise Failed(f"the launcher was built for the vendor host {host}; a loopback one is needed (localhost:PORT)")
    return port


class Demo:
    def __init__(self, args):
        self.args = args
        self.status = 0
        self.wine = None
        if args.windows:
            build = pathlib.Path(os.environ.get("NEMBRAL_WIN_BUILD_DIR") or REPO / "build-win").resolve()
            self.dist = build / "dist"
            self.stub = build / "bin/nembrals-stub.exe"
            for needed in (self.dist / "nembral-launcher.exe", self.dist / "unzip.exe", self.stub,
                           build / "bin/trust-ca.exe"):
                if not needed.exists():
                    raise Failed(f"no {needed} (run scripts/build-windows.sh)")
            self.trust_ca = build / "bin/trust-ca.exe"
            self.demo = pathlib.Path(os.environ.get("NEMBRAL_DEMO_DIR") or REPO / "build/demo-windows")
        else:
            self.launcher = pathlib.Path(os.environ.get("NEMBRAL_LAUNCHER") or REPO / "build/bin/nembral-launcher")
            if not os.access(self.launcher, os.X_OK):
                raise Failed(f"no launcher at {self.launcher} (build it first)")
            self.launcher = self.launcher.resolve()
            build = self.launcher.parent.parent
            self.unzip_tool = self.launcher.parent / "unzip.exe"
            if not os.access(self.unzip_tool, os.X_OK):
                raise Failed(f"no extraction tool at {self.unzip_tool} (build it first)")
            self.demo = pathlib.Path(os.environ.get("NEMBRAL_DEMO_DIR") or REPO / "build/demo")
        self.demo.mkdir(parents=True, exist_ok=True)
        self.demo = self.demo.resolve()
        self.port = vendor_port(build)
        self.vendor, self.work = self.demo / "vendor", self.demo / "work"
        self.pid_file, self.server_log = self.demo / "vendor-server.pid", self.demo / "vendor-server.log"
        self.server = None
        self.sign_args = []
        self.display = None

    # --- the vendor server, perhaps kept from an earlier run ------------------------------------

    def kept_server(self):
        """The pid of our server from an earlier run, if it is still there serving our folder."""
        try:
            pid = int(self.pid_file.read_text())
            argv = pathlib.Path(f"/proc/{pid}/cmdline").read_bytes().split(b"\0")
        except (OSError, ValueError):
            return None
        wanted = [b"--dir", str(self.vendor).encode()]
        served = any(argv[i:i + 2] == wanted for i in range(len(argv)))
        return pid if served and any(a.endswith(b"vendor-server") for a in argv) else None

    def stop_kept_server(self):
        pid = self.kept_server()
        if pid:
            os.kill(pid, signal.SIGTERM)
            conftest.poll(lambda: conftest.gone(pid), 5, 0.1)
        self.pid_file.unlink(missing_ok=True)

    def start_server(self):
        pid = self.kept_server()
        if pid:
            say(f"using the vendor server already running (pid {pid})")
            text = self.server_log.read_text()
            self.ca = re.search(r"^SSL_CERT_FILE=(.*)$", text, re.M)[1]
            say(re.search(r"^vendor-server: (serving .*)$", text, re.M)[1])
        else:
            self.pid_file.unlink(missing_ok=True)
            if not conftest.poll(lambda: conftest.port_free(self.port), 30, 0.5):
                raise Failed(f"port {self.port}, which the launcher downloads from, is in use "
                             f"(ss -ltnp 'sport = :{self.port}')")
            self.server = conftest.Vendor(self.vendor, self.demo / "state", self.port, log=self.server_log)
            self.pid_file.write_text(f"{self.server.proc.pid}\n")
            self.ca = self.server.ca
            say(self.server.serving.removeprefix("vendor-server: "))
        say(f"SSL_CERT_FILE={self.ca}")

    def close(self):
        if self.server and not self.args.keep_server:
            self.server.stop()
            self.pid_file.unlink(missing_ok=True)
        elif not self.args.keep_server:
            self.stop_kept_server()  # taken over: this run ends it
        if self.wine:
            # A launcher left on its question page, and whatever else of the demo's prefix runs.
            self.wine.end_session()
        if self.display:
            self.display.stop()

    # --- packages -------------------------------------------------------------------------------

    def publish(self, version, into=None, quiet=False):
        into = into or self.vendor
        if self.args.windows:
            conftest.application = self.stub.read_bytes()
            conftest.write_zip(into / "nembral.zip", conftest.good_entries(version.encode()))
            conftest.write(into / "version.txt", version.encode() + b"\n")
            say(f"published version {version} in {into} (Nembrals.exe: nembrals-stub.exe)")
            return
        made = subprocess.run([str(conftest.MAKE_PACKAGE), *self.sign_args, version, str(into)], check=True,
                              capture_output=True, text=True).stdout
        for line in made.splitlines() if not quiet else []:
            say(line)

    def make_signed_build(self):
        keys = self.demo / "signing"
        shutil.rmtree(keys, ignore_errors=True)
        keys.mkdir()
        subprocess.run(["openssl", "genpkey", "-algorithm", "ed25519", "-out", str(keys / "private.pem")], check=True)
        subprocess.run(["openssl", "pkey", "-in", str(keys / "private.pem"), "-pubout", "-out",
                        str(keys / "public.pem")], check=True)
        say(f"made a throw-away Ed25519 key pair in {keys} (private.pem signs, public.pem is built in)")
        build = self.demo / "signed-build"
        say(f"building a launcher and an unzip.exe that check signatures: {build} "
            f"(NEMBRAL_PACKAGE_PUBLIC_KEY={keys / 'public.pem'})")
        subprocess.run(["cmake", "-S", str(REPO), "-B", str(build), "-G", "Ninja", "-DCMAKE_BUILD_TYPE=RelWithDebInfo",
                        "-DNEMBRAL_BUILD_TESTS=OFF", f"-DNEMBRAL_PACKAGE_PUBLIC_KEY={keys / 'public.pem'}"],
                       check=True, stdout=subprocess.DEVNULL)
        subprocess.run(["cmake", "--build", str(build), "--target", "nembral_unzip_tool", "nembral-launcher"],
                       check=True, stdout=subprocess.DEVNULL)
        self.launcher, self.unzip_tool = build / "bin/nembral-launcher", build / "bin/unzip.exe"
        self.port = vendor_port(build)
        self.sign_args = ["--sign-key", str(keys / "private.pem")]

    # --- the launcher -------------------------------------------------------------------------

    def prepare_display(self):
        if os.environ.get("DISPLAY"):
            self.display = conftest.Display(os.environ["DISPLAY"])
            say(f"showing the launcher on your display {self.display.name}")
        else:
            if not shutil.which("Xvfb"):
                raise Failed("no DISPLAY and no Xvfb (run scripts/setup.sh)")
            self.display = conftest.Display()
            say(f"no DISPLAY: running the launcher on an Xvfb display of its own ({self.display.name}); "
                "its window is not visible")

    def prepare_wine(self):
        prefix = self.demo / "wineprefix"
        if not (prefix / "system.reg").exists():
            say(f"making the wine prefix {prefix} (once)")
        self.wine = conftest.Wine(self.demo, "wineprefix", kept=True)
        self.wine.trust(self.trust_ca, self.ca)
        say(f"the wine prefix {prefix} trusts {self.ca}")

    def environment(self):
        env = dict(os.environ, SSL_CERT_FILE=self.ca, DISPLAY=self.display.name)
        for name in ("NEMBRAL_TEST_VENDOR_HOST", "COMSPEC", "WAYLAND_DISPLAY"):
            env.pop(name, None)
        if not os.environ.get("DISPLAY"):
            env["NEMBRAL_DEMO_HEADLESS"] = "1"  # the demo application's window would go unseen
        if self.wine:
            env.update(self.wine.env, WINEQT_QPA_PLATFORM="windows")
            env.pop("QT_QPA_PLATFORM", None)
            # A launcher that joins a wine session begun without a display does not end after
            # starting Nembral: it begins a session of its own on this display.
            self.wine.on_display(self.display.name)
        else:
            env.update(QT_QPA_PLATFORM="xcb", PATH=f"{self.launcher.parent}:{env.get('PATH', '/usr/bin:/bin')}")
        return env

    def run_launcher(self, folder, log, stop=""):
        """Runs the launcher in FOLDER, its output shown and kept in LOG, until it exits or the
        timeout. With STOP, it is also stopped two seconds after a line of its log matches that
        regular expression (it waits on its error page for good). Returns whether it timed out."""
        argv = ["wine", str(folder / "nembral-launcher.exe")] if self.wine else [str(self.launcher)]
        say(f"starting {argv[-1]} in {folder}")
        print("----- launcher log -----", flush=True)
        p = conftest.Process(argv, folder, self.environment(), err=subprocess.STDOUT)
        shown = 0
        deadline = time.monotonic() + self.args.timeout
        clicked = not self.args.click
        stopped_on_line = False

        def show():
            nonlocal shown
            lines = p.out
            for line in lines[shown:]:
                print(line, flush=True)
            shown = len(lines)
            return lines

        while p.running() and time.monotonic() < deadline:
            lines = show()
            if not clicked and "new version available" in lines:
                clicked = True
                where = conftest.UPDATE_BUTTON if self.args.click == "update" else conftest.SKIP_BUTTON
                if not self.display.click(p.proc.pid, *where, answered=lambda: len(p.out) > len(lines)):
                    print("(the click on the question page had no answer)", flush=True)
            if stop and not stopped_on_line and any(re.search(stop, line) for line in lines):
                stopped_on_line = True
                deadline = min(deadline, time.monotonic() + 2)
            time.sleep(0.1)
        timed_out = p.running() and not stopped_on_line
        p.wait_exit(time.monotonic() + 1)
        p.kill()
        show()
        log.write_text("".join(line + "\n" for line in p.out))
        print("----- end of launcher log -----", flush=True)
        if timed_out:
            say(f"the launcher was still open after {self.args.timeout} s and was stopped. It waits on its question")
            say("page (a newer version) and on its error page until someone clicks (--click update|skip).")
            self.status = 1
        elif not stopped_on_line:
            say(f"the launcher exited with status {p.proc.returncode}")
            if p.proc.returncode != 0:
                self.status = 1
        return timed_out

    # --- the runs -------------------------------------------------------------------------------

    def set_up_folders(self):
        args = self.args
        if args.again and self.work.is_dir() and (self.vendor / "version.txt").exists():
            installed = conftest.lines_of(self.work / "nembral/nembral/version.txt")[:1] or ["nothing"]
            say(f"running again in {self.work} (installed: {installed[0]}), "
                f"published: {conftest.lines_of(self.vendor / 'version.txt')[0]}")
        else:
            if args.again:
                say("nothing to run again yet; starting afresh")
            self.stop_kept_server()  # it would serve the old folder's files
            for name in ("vendor", "work", "work-tampered", "work-rollback", "release-1.0", "hostile"):
                shutil.rmtree(self.demo / name, ignore_errors=True)
            for log in self.demo.glob("launcher*.log"):
                log.unlink()
            self.work.mkdir()
            self.publish(args.version)
        if args.publish_again and args.again:
            self.publish(args.publish_again)
        # As on Windows, the extraction tool sits in the working directory, where the launcher's
        # command "unzip.exe nembral/nembral.zip nembral" finds it. For the Windows build the
        # working directory is the program's folder, as the installer makes it.
        if args.windows:
            shutil.copytree(self.dist, self.work, dirs_exist_ok=True)
        else:
            shutil.copy(self.unzip_tool, self.work / "unzip.exe")

    def first_run(self):
        app_dir = self.work / "nembral/nembral"
        app_log = app_dir / ("started.log" if self.args.windows else "nembral-demo.log")
        def identity():
            try:
                return app_log.stat().st_ino
            except OSError:
                return None

        # The demo application appends to its log: only lines written during this run count, all
        # of them when an update installed the log afresh.
        before = (identity(), len(conftest.lines_of(app_log)))
        timed_out = self.run_launcher(self.work, self.demo / "launcher.log")

        def new_lines():
            lines = conftest.lines_of(app_log)
            return lines[before[1]:] if identity() == before[0] else lines

        version = conftest.lines_of(app_dir / "version.txt")[:1]
        if version:
            files = [f for f in app_dir.rglob("*") if f.is_file() and f != app_log]
            say(f"installed: {app_dir} (version {version[0]}, {len(files)} files)")
        else:
            say(f"nothing is installed in {app_dir}")
        if not timed_out:
            conftest.poll(new_lines, 5, 0.1)
        if new_lines():
            say(f"the demo application started in {app_dir} and wrote to {app_log.name}:")
            for line in new_lines():
                print(f"    {line}")
        else:
            say("the demo application was not started this time")
            self.status = 1

    def tampered_run(self):
        """A hostile server's own package under the vendor's signature (the archive comment copied
        over), the version file unchanged."""
        print()
        hostile = self.demo / "hostile"
        subprocess.run([str(conftest.MAKE_PACKAGE), f"{self.args.version}-tampered", str(hostile)], check=True,
                       stdout=subprocess.DEVNULL)
        signed = (self.vendor / "nembral.zip").read_bytes()
        comment = signed[signed.rindex(b"PK\x05\x06") + 22:]
        other = (hostile / "nembral.zip").read_bytes()
        record = other.rindex(b"PK\x05\x06")
        (self.vendor / "nembral.zip").write_bytes(other[:record + 20] + len(comment).to_bytes(2, "little") + comment)
        shutil.rmtree(hostile)
        say(f"published a tampered package: other contents (its Nembrals.exe says "
            f"\"Nembral {self.args.version}-tampered\")")
        say("under the vendor's signature, copied from the genuine package")
        folder = self.demo / "work-tampered"
        folder.mkdir()
        shutil.copy(self.unzip_tool, folder / "unzip.exe")
        # The package does not match the release statement: six refused attempts (longer than
        # the statement's size, it is cut off by the download; otherwise its SHA-256 differs),
        # then the error page (nothing is installed here), where the demo stops the launcher.
        log = self.demo / "launcher-tampered.log"
        self.run_launcher(folder, log, "^Could not find Nembral")
        lines = conftest.lines_of(log)
        refusal = next((line for line in lines if re.match(
            r"^(package refused: |An error occured : error code = 0x(800c000f|80096010)$)", line)), "")
        if refusal and not any(line.startswith("run command") for line in lines):
            say("the launcher refused the tampered package before extraction, six times; its line:")
            print(f"    {refusal}")
            say("(with nothing installed it then shows its error page, so the demo stopped it)")
        else:
            say("the launcher did not refuse the tampered package before extraction")
            self.status = 1
        if (folder / "nembral/nembral").exists():
            say(f"something was installed in {folder / 'nembral/nembral'}")
            self.status = 1
        else:
            say(f"nothing is installed in {folder / 'nembral/nembral'}")

    def rollback_run(self):
        """The vendor publishes 1.1 (the next sequence); a launcher installs it and remembers
        that sequence. A hostile server then serves the vendor's old release again, validly
        signed."""
        print()
        old = self.demo / "release-1.0"
        self.publish(self.args.version, old, quiet=True)
        self.publish("1.1")
        say("published 1.1: " + " ".join(conftest.lines_of(self.vendor / "version.txt")[1].split(" ")[1:3]))
        folder = self.demo / "work-rollback"
        folder.mkdir()
        shutil.copy(self.unzip_tool, folder / "unzip.exe")
        self.run_launcher(folder, self.demo / "launcher-rollback-install.log")
        installed = (conftest.lines_of(folder / "nembral/nembral/version.txt") or ["nothing"])[0]
        sequence = (conftest.lines_of(folder / "nembral/release-sequence") or ["none"])[0]
        say(f"installed in {folder}: {installed}; highest sequence accepted there: {sequence}")
        for name in ("nembral.zip", "version.txt"):
            shutil.copy(old / name, self.vendor / name)
        published = conftest.lines_of(self.vendor / "version.txt")
        say(f"published the old release again: {published[0]}, {' '.join(published[1].split(' ')[1:3])}")
        log = self.demo / "launcher-rollback.log"
        self.run_launcher(folder, log)
        lines = conftest.lines_of(log)
        refusal = next((line for line in lines if line.startswith("release statement refused: ")), "")
        if ("(a rollback)" in refusal and "Start Nembral" in lines and "new version available" not in lines
                and conftest.lines_of(folder / "nembral/nembral/version.txt")[:1] == ["1.1"]):
            say("the launcher refused the rollback six times, asked nothing and started the installed 1.1; its line:")
            print(f"    {refusal}")
        else:
            say("the launcher did not refuse the rollback as it should")
            self.status = 1

    def run(self):
        args = self.args
        if args.signed:
            self.make_signed_build()
        self.set_up_folders()
        self.start_server()
        if args.windows:
            self.prepare_wine()
        self.prepare_display()
        self.first_run()
        if args.signed:
            self.tampered_run()
            self.rollback_run()
        else:
            print()
            say("to publish a newer version and see the question page, run:")
            if args.windows:
                say("    python3 scripts/demo.py --windows --again --version 1.1")
            else:
                say(f"    tools/make-package 1.1 {os.path.relpath(self.vendor, REPO)} && python3 scripts/demo.py --again")
        if args.keep_server:
            pid = self.kept_server()
            say(f"the vendor server keeps running (pid {pid}, log {self.server_log}); stop it with: kill {pid}")
        return self.status


def main():
    args = arguments()
    os.chdir(REPO)
    demo = None
    try:
        demo = Demo(args)
        return demo.run()
    except (Failed, subprocess.CalledProcessError, pytest.exit.Exception) as e:  # the last: a fixture's end
        print(f"demo: {e}", file=sys.stderr)
        return 1
    finally:
        if demo:
            demo.close()


if __name__ == "__main__":
    sys.exit(main())
