#!/usr/bin/python3
"""The question page as a screen reader meets it on Linux: through AT-SPI.

The real launcher runs on the X platform under Xvfb, with a D-Bus session bus of its own and
the accessibility bus that at-spi-bus-launcher starts on it, against the loopback vendor server
that publishes a newer version than the one installed. The test reads, as a screen reader does,
the window's, the question's and the buttons' names and descriptions and which button has the
keyboard focus, then presses "Update to New Version" through the button's AT-SPI action and
listens to what the status line announces while the update runs: the new version starts and the
launcher ends with 0.

    atspi_question_page.py LAUNCHER PORT VENDOR_SERVER MAKE_PACKAGE UNZIP

Exits 77 (skipped, with the reason on standard output) when Xvfb, the session bus, the
accessibility bus or pyatspi are not there or do not start.
"""

import os
import shutil
import subprocess
import sys
import tempfile
import time

SKIP = 77
BUS_LAUNCHER = "/usr/libexec/at-spi-bus-launcher"
QUESTION = "A new version of this software is available. Do you wish to install it?"
EXPECTED = [
    # role, name, description
    ("frame", "Nembral Launcher", "Checks for, installs and starts Nembral."),
    ("label", QUESTION, "Update question"),
    ("push button", "Update to New Version", "Installs the new version of Nembral, then starts it."),
    ("push button", "Skip Update", "Starts the installed version of Nembral without updating."),
]


def skip(reason):
    print(f"SKIP: {reason}")
    sys.exit(SKIP)


def fail(reason):
    print(f"FAIL: {reason}")
    sys.exit(1)


def poll(condition, seconds, step=0.2):
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        value = condition()
        if value:
            return value
        time.sleep(step)
    return condition()


def outer():
    """Checks what the test needs, then runs itself again inside a session bus of its own."""
    for tool in ("Xvfb", "xdpyinfo", "xdotool", "dbus-run-session", "dbus-send"):
        if not shutil.which(tool):
            skip(f"{tool} is not installed")
    if not os.access(BUS_LAUNCHER, os.X_OK):
        skip(f"{BUS_LAUNCHER} is not installed (at-spi2-core)")
    try:
        import pyatspi  # noqa: F401  pylint: disable=import-outside-toplevel,unused-import
    except ImportError:
        skip("python3-pyatspi is not installed")
    env = dict(os.environ, NEMBRAL_ATSPI_INNER="1")
    env.pop("DBUS_SESSION_BUS_ADDRESS", None)
    env.pop("AT_SPI_BUS_ADDRESS", None)
    result = subprocess.run(["dbus-run-session", "--", sys.executable, __file__, *sys.argv[1:]],
                            env=env, check=False)
    sys.exit(result.returncode)


def start_display(children):
    read_end, write_end = os.pipe()
    xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(write_end), "-screen", "0", "800x600x24", "-nolisten", "tcp"],
                            pass_fds=(write_end,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    children.append(xvfb)
    os.close(write_end)
    number = b""
    while not number.endswith(b"\n"):
        chunk = os.read(read_end, 16)
        if not chunk:
            break
        number += chunk
    os.close(read_end)
    display = ":" + number.decode().strip()
    # The number can come before the server takes connections.
    if not number.strip() or not poll(lambda: subprocess.run(["xdpyinfo", "-display", display], capture_output=True,
                                                             check=False).returncode == 0, 15):
        skip("Xvfb did not start")
    return display


def start_accessibility_bus(children):
    children.append(subprocess.Popen([BUS_LAUNCHER, "--launch-immediately"], stdout=subprocess.DEVNULL,
                                     stderr=subprocess.DEVNULL))

    def bus_address():
        answer = subprocess.run(["dbus-send", "--session", "--print-reply=literal", "--dest=org.a11y.Bus",
                                 "/org/a11y/bus", "org.a11y.Bus.GetAddress"],
                                capture_output=True, text=True, check=False)
        return answer.returncode == 0 and answer.stdout.strip()

    if not poll(bus_address, 15):
        skip("the accessibility bus did not start")


def start_vendor(server, port, make_package, root, children):
    vendor_dir = os.path.join(root, "vendor")
    subprocess.run([make_package, "1.1", vendor_dir], check=True, stdout=subprocess.DEVNULL)
    vendor = subprocess.Popen([server, "--dir", vendor_dir, "--port", port, "--state-dir",
                               os.path.join(root, "state"), "--quiet"],
                              stdout=subprocess.PIPE, text=True)
    children.append(vendor)
    ca_file = None
    for line in vendor.stdout:
        if line.startswith("SSL_CERT_FILE="):
            ca_file = line.strip().split("=", 1)[1]
            break
    if not ca_file:
        fail("the vendor server did not start")
    return ca_file


def install_old_version(work, unzip):
    installed = os.path.join(work, "nembral", "nembral")
    os.makedirs(installed)
    shutil.copy(unzip, os.path.join(work, "unzip.exe"))
    with open(os.path.join(installed, "version.txt"), "w", encoding="ascii") as version:
        version.write("1.0\n")
    executable = os.path.join(installed, "Nembrals.exe")
    with open(executable, "w", encoding="ascii") as program:
        program.write("#!/bin/sh\necho 'Nembral 1.0 running' >nembral-demo.log\n")
    os.chmod(executable, 0o755)
    return os.path.join(installed, "nembral-demo.log")


def descendants(node, depth=0):
    if node is None or depth > 20:
        return
    yield node
    for i in range(node.childCount):
        yield from descendants(node.getChildAtIndex(i), depth + 1)


def inner(launcher, port, server, make_package, unzip):
    import pyatspi  # pylint: disable=import-outside-toplevel
    from gi.repository import GLib  # pylint: disable=import-outside-toplevel

    children = []
    root = tempfile.mkdtemp(prefix="atspi-question-")
    try:
        display = start_display(children)
        os.environ["DISPLAY"] = display
        start_accessibility_bus(children)
        ca_file = start_vendor(server, port, make_package, root, children)
        work = os.path.join(root, "work")
        started = install_old_version(work, unzip)

        env = dict(os.environ, SSL_CERT_FILE=ca_file, QT_QPA_PLATFORM="xcb", NEMBRAL_DEMO_HEADLESS="1",
                   QT_LINUX_ACCESSIBILITY_ALWAYS_ON="1", QT_ACCESSIBILITY="1")
        for name in ("http_proxy", "https_proxy", "HTTP_PROXY", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"):
            env.pop(name, None)
        with open(os.path.join(root, "launcher.out"), "w+", encoding="utf-8") as log:
            program = subprocess.Popen([launcher], cwd=work, env=env, stdout=log, stderr=subprocess.STDOUT)
            children.append(program)
            name = os.path.basename(launcher)

            def question_page():
                desktop = pyatspi.Registry.getDesktop(0)
                for app in (desktop.getChildAtIndex(i) for i in range(desktop.childCount)):
                    if app is None or app.name != name:
                        continue
                    shown = {}
                    for node in descendants(app):
                        states = node.getState()
                        if node.getRoleName() == "frame" or states.contains(pyatspi.STATE_SHOWING):
                            shown.setdefault((node.getRoleName(), node.name), (node, states))
                    if ("push button", "Skip Update") in shown:
                        return shown
                return None

            # There is no window manager to give the new window the keyboard, as the desktop
            # does when a program starts: the test gives it, as a click on the window would.
            def focus_window():
                found = subprocess.run(["xdotool", "search", "--onlyvisible", "--pid", str(program.pid)],
                                       capture_output=True, text=True, check=False).stdout.split()
                return found and subprocess.run(["xdotool", "windowfocus", "--sync", found[0]],
                                                check=False).returncode == 0
            if not poll(lambda: program.poll() is not None or focus_window(), 60, 0.5) or program.poll() is not None:
                log.seek(0)
                fail("the launcher's window did not appear; launcher log:\n" + log.read())
            shown = poll(question_page, 60, 0.5)
            if not shown:
                log.seek(0)
                fail("the question page did not appear to AT-SPI; launcher log:\n" + log.read())
            for role, label, description in EXPECTED:
                node = shown.get((role, label), (None, None))[0]
                if node is None:
                    fail(f"no {role} named {label!r}; found: {sorted(shown)}")
                if node.description != description:
                    fail(f"{role} {label!r} is described as {node.description!r}, not {description!r}")
                print(f"ok: {role} {label!r}: {description!r}")
            if ("push button", "Exit") in shown:
                fail("the error page's button is shown on the question page")
            focused = [label for (role, label), (_, states) in shown.items()
                       if role == "push button" and states.contains(pyatspi.STATE_FOCUSED)]
            if focused != ["Update to New Version"]:
                fail(f"keyboard focus on {focused}, not on \"Update to New Version\"")
            print("ok: the keyboard focus is on \"Update to New Version\"")

            # The status line's name is its text: each new text is announced as a change of
            # its name.
            announced = []

            def on_name_change(event):
                # Read at once, as a screen reader does: the name the event announces.
                try:
                    announced.append((event.source.description, event.source.name))
                except Exception:  # pylint: disable=broad-except
                    announced.append((None, None))

            pyatspi.Registry.registerEventListener(on_name_change, "object:property-change:accessible-name")
            update_button = shown[("push button", "Update to New Version")][0]
            action = update_button.queryAction()
            names = [action.getName(i) for i in range(action.nActions)]
            if "Press" not in names:
                fail(f"\"Update to New Version\" offers {names}, no Press")
            action.doAction(names.index("Press"))
            context = GLib.MainContext.default()

            def ended():
                while context.iteration(False):
                    pass
                return program.poll() is not None

            if not poll(ended, 60, 0.05):
                fail("the launcher did not end after \"Update to New Version\" was pressed")
            code = program.returncode
            log.seek(0)
            output = log.read()
        if code != 0 or "UNZIP complete!" not in output.splitlines():
            fail(f"the launcher ended with {code}; log:\n{output}")
        status = [text for source, text in announced if source == "Launcher status"]
        print(f"status line announced: {status}")
        # Only the first texts can be read back in time: the last one comes just before the
        # launcher hands over and quits.
        if not any(text.startswith("Download Progress: ") for text in status):
            fail(f"the status line did not announce the update's progress; all name changes: {announced}")
        print("ok: the status line announced the update's progress")
        if not poll(lambda: os.path.exists(started), 10):
            fail("the new version did not start")
        with open(started, encoding="utf-8") as demo:
            if demo.read() != "Nembral 1.1 running\n":
                fail("the new version did not start")
        print("ok: \"Update to New Version\" pressed through AT-SPI installed and started 1.1")
    finally:
        for child in reversed(children):
            if child.poll() is None:
                child.terminate()
                try:
                    child.wait(10)
                except subprocess.TimeoutExpired:
                    child.kill()
        shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    if len(sys.argv) != 6:
        sys.exit(__doc__)
    if os.environ.get("NEMBRAL_ATSPI_INNER") == "1":
        inner(*sys.argv[1:])
    else:
        outer()
