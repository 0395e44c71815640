#!/usr/bin/python3
"""Pictures of the launcher's three pages, taken from the real launcher on an Xvfb display of its
own (no compositor, so the see-through rounded corners come out black), each on a road of the
table (table.py) acted out as the table acts it (conftest.py) and checked afterwards as
test_roads.py checks it:

    python3 tests/e2e/screenshots.py [--way linux|wine] [--build DIR] [--delay SECONDS] [OUTDIR]

  linux  working-page.png, question-page.png, error-page.png of the Linux build (default: build/)
  wine   windows-working-page.png, windows-question-page.png, windows-error-page.png of the
         Windows build (default: build-win/, from scripts/build-windows.sh) under wine with Qt's
         windows platform, in a throw-away wine prefix that trusts the local vendor server's CA

OUTDIR defaults to docs/. A picture is taken once the launcher's log says its page is up and the
window had DELAY seconds to settle (default 1); it is kept only when it is the 600x300 window and
the whole run took the row's road. The Windows launcher has its vendor host built in: run the
wine way under flock /tmp/nembral-port.lock, like every other run on that port.
"""

import argparse
import dataclasses
import os
import pathlib
import shutil
import struct
import subprocess
import sys
import tempfile
import time

import pytest

import conftest
import table
import test_roads


@dataclasses.dataclass(frozen=True)
class Picture:
    name: str
    row: str         # the table's row whose road reaches the page
    ready: str = ""  # a moment earlier than the page the row ends on: "first-failure"
    gone: str = ""   # a line whose coming means the page had changed before the picture


# The working page on Linux is the "Checking Version ..." one, while six attempts fail one after
# the other; under wine it is "Copying files ...", waiting for an extraction that the recording
# interpreter never starts.
PICTURES = {
    "linux": (Picture("working-page.png", "net/refused-first-run", "first-failure", "Could not find Nembral"),
              Picture("question-page.png", "version/newer-published"),
              Picture("error-page.png", "net/refused-first-run")),
    "wine": (Picture("windows-working-page.png", "road/first-install-recorded"),
             Picture("windows-question-page.png", "version/newer-published"),
             Picture("windows-error-page.png", "net/refused-first-run")),
}
SIZE = (600, 300)


def png_size(path):
    header = pathlib.Path(path).read_bytes()[:24]
    if header[:8] != b"\x89PNG\r\n\x1a\n":
        return None
    return struct.unpack(">II", header[16:24])


class Photographer(conftest.Runner):
    """Acts a launch row out on a display of its own and takes the picture on the way."""

    def __init__(self, row, world, outcome, picture, shot, delay):
        super().__init__(row, world, outcome)
        self.picture, self.shot, self.delay = picture, shot, delay

    def start(self, unzip_delay_ms=0, out=subprocess.PIPE, err=subprocess.PIPE, env=None):
        display = self.world.display = self.world.display or conftest.Display()
        env = env or self.world.environment(unzip_delay_ms)
        env.update(QT_QPA_PLATFORM="xcb", WINEQT_QPA_PLATFORM="windows", DISPLAY=display.name)
        return super().start(unzip_delay_ms, out, err, env)

    def ready(self, out):
        if self.picture.ready == "first-failure":
            return len(conftest.failure_lines(out)) >= 1
        return conftest.log_matches(self.row.log, conftest.gui_lines(out))

    def act_launch(self):
        p = self.start(self.row.unzip_delay_ms)
        if self.wait_for(p, self.ready):
            self.take(p)
        else:
            self.problem("the page was never logged")
        self.await_end(p)

    def take(self, p):
        display = self.world.display
        window = display.find("--name", "^MainWindow$")
        if not window:
            return self.problem("no window named MainWindow appeared")
        time.sleep(self.delay)
        if not p.running():
            return self.problem("the launcher exited before the picture")
        subprocess.run(["import", "-silent", "-window", window, "-type", "TrueColor", "-depth", "8", "-strip",
                        "-define", "png:exclude-chunks=date,time", f"png24:{self.shot}"],
                       env=dict(os.environ, DISPLAY=display.name), check=True, capture_output=True)
        if self.picture.gone and self.picture.gone in p.out:
            self.problem(f"{self.picture.gone!r} came before the picture was taken")
        if png_size(self.shot) != SIZE:
            self.problem(f"the picture is {png_size(self.shot)}, not the {SIZE[0]}x{SIZE[1]} window")


class Options:
    """The table's command line options, as make_way reads them."""

    def __init__(self, **values):
        self.values = values

    def getoption(self, name):
        return self.values[name.lstrip("-").replace("-", "_")]


def shoot(way, session, picture, outdir, delay):
    row = next(r for r in table.ROWS if r.name == picture.row)
    shot = session.root / picture.name
    outcome = conftest.run_row(row, way, session, lambda r, w, o: Photographer(r, w, o, picture, shot, delay))
    try:
        test_roads.test_road(row, way, {row.name: outcome})
    except (AssertionError, pytest.skip.Exception) as e:
        raise SystemExit(f"screenshots: {picture.name}: the run did not take the road of {row.name}: {e}") from None
    shutil.copy(shot, outdir / picture.name)
    print(f"screenshots: {outdir / picture.name} ({SIZE[0]}x{SIZE[1]}, {row.name})")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--way", choices=PICTURES, default="linux")
    parser.add_argument("--build", help="the build folder (default: build, or build-win for wine)")
    parser.add_argument("--delay", type=float, default=1.0, help="seconds the page settles before the picture")
    parser.add_argument("outdir", nargs="?", default=str(conftest.SOURCE / "docs"))
    args = parser.parse_args()
    build = args.build or str(conftest.SOURCE / ("build-win" if args.way == "wine" else "build"))
    outdir = pathlib.Path(args.outdir).resolve()
    outdir.mkdir(parents=True, exist_ok=True)
    missing = [t for t in ("Xvfb", "xdotool", "import") if not shutil.which(t)]
    if missing:
        raise SystemExit(f"screenshots: {', '.join(missing)} not found (run scripts/setup.sh)")
    with tempfile.TemporaryDirectory(prefix="nembral-screenshots-") as root:
        root = pathlib.Path(root)
        try:
            way = conftest.make_way(Options(way=args.way, build=build, slow=1.0, vendor_host=""), root)
            # Each Linux run has a server on a free port of its own, which only a test build reaches.
            if args.way == "linux" and b"NEMBRAL_TEST_VENDOR_HOST" not in pathlib.Path(way.launcher[0]).read_bytes():
                raise SystemExit(f"screenshots: {way.launcher[0]} is not a test build (the dev preset makes one)")
            session = conftest.open_session(root, way)
            for picture in PICTURES[args.way]:
                shoot(way, session, picture, outdir, args.delay)
        except pytest.exit.Exception as e:
            raise SystemExit(f"screenshots: {e}") from None


if __name__ == "__main__":
    sys.exit(main())
