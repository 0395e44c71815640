"""The table's rows (table.py) acted out on one way the launcher ships (conftest.py) and compared
with what the row says a user sees: how the run ends, the log in order, the download failures,
the files left, which version started from where, and that nothing beside the working folder
changed."""

import fnmatch
import re
import statistics

import pytest

import conftest
import table

# Longest log line a sound launcher writes, in bytes: lines from outside are cut well before.
MAX_LINE_BYTES = 8192


def shown(outcome):
    def last(lines):
        return "\n".join(l if len(l) <= 200 else l[:200] + " [...]" for l in lines[-40:])
    return (f"\n--- log (window thread) ---\n{last(conftest.gui_lines(outcome.out))}"
            f"\n--- standard error ---\n{last(outcome.err)}")


def whole(pattern, line):
    return re.fullmatch(pattern, line) is not None


def disk_mismatch(expected, actual):
    # The launcher's support log (and the folder it makes for it) may be there in every row; the
    # rows with support_log check its content.
    optional = {e[:-1] for e in expected if e.endswith("?")} | {"nembral", "nembral/launcher.log", "nembral/launcher.log.1"}
    required = [e for e in expected if not e.endswith("?")]
    missing = [e for e in required if e not in actual]
    unexpected = [e for e in actual
                  if e not in required and e not in optional and not any(fnmatch.fnmatchcase(e, o) for o in optional)]
    return f"missing: {missing}, unexpected: {unexpected}" if missing or unexpected else ""


def test_road(row, way, outcomes):
    reason = table.not_applying(row, way.name)
    if reason:
        pytest.skip(reason)
    o = outcomes[row.name]
    if o.skipped:
        pytest.skip(o.skipped)
    log = shown(o)
    assert not o.problems, "\n".join(o.problems) + log

    # How it ends.
    if row.end == "exit":
        assert o.exited, f"still running after {row.bound} s" + log
        assert not o.crashed, f"ended by signal {-o.exit_code}" + log
        assert o.exit_code == row.exit_code, log
    else:
        assert not o.exited, f"exited with {o.exit_code}, but should stay open" + log
        assert o.quiet_at_end, "never came to rest where it should" + log

    # The log.
    gui = conftest.gui_lines(o.out)
    if row.log:
        assert conftest.log_matches(row.log, gui), f"the log does not read {row.log}" + log
    if row.err is not None:
        assert len(o.err) == len(row.err), f"standard error: {o.err}"
        for pattern, line in zip(row.err, o.err):
            assert whole(pattern, line), f"{line!r} does not match {pattern!r}"
    for line, n in row.counts:
        assert o.out.count(line) == n, f"{o.out.count(line)} lines {line!r}, expected {n}" + log
    position = 0
    for line in row.order:
        assert line in o.out[position:], f"{line!r} not after {o.out[position - 1] if position else 'the start'}"
        position = o.out.index(line, position) + 1
    for line, seconds in row.not_before:
        assert o.times.get(line, 0) >= seconds, f"{line!r} after {o.times.get(line)} s, before {seconds} s"
    failures = conftest.failure_lines(o.out)
    assert len(failures) == row.failures, f"{len(failures)} download failures, expected {row.failures}\n" \
        + "\n".join(failures)
    code = table.WINE_CODES.get(row.failure_code, row.failure_code) if way.wine else row.failure_code
    for failure in failures:
        assert failure == failures[0]
        assert whole("An error occured : error code = 0x" + code, failure), failure
    if o.is_launcher:
        assert o.longest_line <= MAX_LINE_BYTES, f"a log line of {o.longest_line} bytes"

    if row.support_log:
        # Every console line, of either stream, each after a UTC time stamp; the demo application
        # shares the console, not the log.
        stamp = re.compile(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z ")
        assert o.support_log and all(stamp.match(line) for line in o.support_log), o.support_log[:5]
        console = [line for line in o.out + o.err if not line.startswith("Nembral ")]
        assert sorted(stamp.sub("", line, count=1) for line in o.support_log) == sorted(console)

    # What is left.
    problem = disk_mismatch(row.files, o.files)
    assert not problem, problem + "\n" + "\n".join(o.files)
    assert o.version.strip() == row.version
    if row.private_work:
        assert o.work_mode == 0o700, f"the working folder has mode {o.work_mode:o}"
    starts = sorted(line.split(": ", 1)[-1] for line in o.started)
    assert starts == sorted(row.started), o.started
    for line in o.started:
        assert line.startswith(f"started in {o.install_dir}: "), f"{line!r}, installed in {o.install_dir}"
    if row.demo_log:
        assert o.demo_log == row.demo_log
    if row.commands:
        assert o.commands == list(row.commands)
    if row.no_requests:
        assert o.requests == []
    if row.extra_memory_mb >= 0:
        typical = statistics.median(x.peak_kb for x in outcomes.values() if x.peak_kb > 0)
        assert o.peak_kb - typical <= row.extra_memory_mb * 1024, \
            f"peak memory {o.peak_kb} KiB, a launcher typically {typical} KiB"
    assert not o.outside_changes, "\n".join(o.outside_changes)


def test_table_is_documented():
    """docs/faults.md lists every row with its outcome, as the table says them."""
    doc = (conftest.SOURCE / "docs/faults.md").read_text().splitlines()
    missing = [f"| `{r.name}` | {r.outcome} |" for r in table.ROWS if f"| `{r.name}` | {r.outcome} |" not in doc]
    assert not missing, "docs/faults.md lacks:\n" + "\n".join(missing)


def test_pictures_have_roads():
    """Every picture of screenshots.py is taken on a launch row of the table that runs on its way."""
    import screenshots  # here: it imports this module
    for name, pictures in screenshots.PICTURES.items():
        for picture in pictures:
            row = next((r for r in table.ROWS if r.name == picture.row), None)
            assert row, f"{picture.name}: no row {picture.row}"
            assert row.act == "launch" and row.end != "exit", f"{picture.name}: {row.name} does not stay on a page"
            assert not table.not_applying(row, name), f"{picture.name}: {table.not_applying(row, name)}"
