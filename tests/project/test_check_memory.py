"""make check-memory's planner and log reader (scripts/check_memory.py), on
made-up figures and logs in the formats that pytest, valgrind and the
sanitizers write."""

import importlib.util
import json
import sys

import pytest
from support.paths import ROOT

SCRIPT = ROOT / "scripts" / "check_memory.py"
spec = importlib.util.spec_from_file_location("check_memory", SCRIPT)
check_memory = importlib.util.module_from_spec(spec)
spec.loader.exec_module(check_memory)


def loads(groups, seconds):
    return sorted(sum(seconds[name] for name in group) for group in groups)


@pytest.mark.parametrize(
    "seconds, shards, expected",
    [
        # One file as long as all the others together: alone in its shard.
        ({"compact": 496, "leaks": 138, "durability": 68, "backup": 46, "cli": 19, "faults": 0}, 2, [271, 496]),
        # Taken in name order, the long file would land on a full shard.
        ({"a": 1, "b": 1, "c": 1, "d": 1, "z": 4}, 2, [4, 4]),
        ({"a": 5, "b": 4, "c": 3, "d": 3, "e": 3}, 3, [5, 6, 7]),
        # More shards than files: no shard without files.
        ({"a": 3, "b": 2}, 4, [2, 3]),
    ],
)
def test_plan_balances_the_shards(seconds, shards, expected):
    groups = check_memory.plan(seconds, shards)
    assert sorted(name for group in groups for name in group) == sorted(seconds)
    assert loads(groups, seconds) == expected


def test_a_file_without_a_record_counts_as_its_size():
    sizes = {"test_old.py": 1000, "test_other.py": 1000, "test_new.py": 3000}
    # 40 s for 2000 bytes: the new file's 3000 bytes are 60 s.
    estimated = check_memory.estimates(sizes, {"test_old.py": 10, "test_other.py": 30, "test_gone.py": 99})
    assert estimated == {"test_old.py": 10, "test_other.py": 30, "test_new.py": 60}
    assert check_memory.plan(estimated, 2) == [["test_new.py"], ["test_other.py", "test_old.py"]]
    # With nothing recorded, by size alone.
    assert check_memory.estimates(sizes, {}) == sizes


def write(path, text):
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text(text)


def junit(cases):
    """A JUnit report as pytest writes it, of (class name, seconds) cases."""
    rows = "".join(f'<testcase classname="{name}" name="test_{index}" time="{time}" />'
                   for index, (name, time) in enumerate(cases))
    return f'<?xml version="1.0" encoding="utf-8"?><testsuites><testsuite name="pytest">{rows}</testsuite></testsuites>'


def memcheck_log(pid, errors=0, blocks="1,234", body=""):
    return (f"=={pid}== Memcheck, a memory error detector\n{body}"
            f"=={pid}== LEAK SUMMARY:\n=={pid}==    definitely lost: 0 bytes in 0 blocks\n"
            f"=={pid}==         suppressed: 98,765 bytes in {blocks} blocks\n"
            f"=={pid}== ERROR SUMMARY: {errors} errors from {errors} contexts (suppressed: 3 from 1)\n")


def statuses(*numbers):
    """What run_pass writes of shards that exited with `numbers`."""
    return json.dumps([{"files": ["test_a.py"], "status": number} for number in numbers])


def shard_log(pass_name, number, middle):
    return (f"check-memory: {pass_name} shard {number}: test_a.py\n{middle}"
            f"check-memory: {pass_name} shard {number} took 42 s\n")


PASSED = "........ [100%]\n8 passed, 1 skipped in 40.12s\n"
FAILED = ("..F..... [100%]\n=========================== short test summary info ============================\n"
          "FAILED tests/test_a.py::test_b - AssertionError: assert 1 == 2\n1 failed, 7 passed in 40.12s\n")


@pytest.fixture
def clean_run(tmp_path):
    """The output folder of a run in which everything passed."""
    out = tmp_path / "check-memory"
    write(out / "valgrind" / "main.100.log", memcheck_log(100))
    write(out / "valgrind" / "child.101.log", memcheck_log(101, blocks="16"))
    (out / "sanitizers").mkdir()
    write(out / "asan-stats", "stateful 1 2\nfault-sweep 34 128\n")
    for pass_name in ("valgrind", "sanitizers"):
        write(out / f"{pass_name}.json", statuses(0, 0))
        for number in (1, 2):
            write(out / f"{pass_name}-{number}.log", shard_log(pass_name, number, PASSED))
    return out


def verdict(out, tmp_path, capsys, passes=("valgrind", "sanitizers"), seconds="seconds.json"):
    """(exit status, printed lines) of the verdict on `out`."""
    status = check_memory.verdict(out, passes, seconds_file=tmp_path / seconds, tests=tmp_path)
    return status, capsys.readouterr().out.splitlines()


def test_a_clean_run_passes_with_its_summary_lines(clean_run, tmp_path, capsys):
    assert verdict(clean_run, tmp_path, capsys) == (0, [
        "8 passed, 1 skipped in 40.12s", "check-memory: valgrind shard 1 took 42 s",
        "8 passed, 1 skipped in 40.12s", "check-memory: valgrind shard 2 took 42 s",
        "check-memory: valgrind: 0 errors in 2 processes (1250 interpreter blocks suppressed)",
        "8 passed, 1 skipped in 40.12s", "check-memory: sanitizers shard 1 took 42 s",
        "8 passed, 1 skipped in 40.12s", "check-memory: sanitizers shard 2 took 42 s",
        "check-memory: sanitizers: 0 reports",
        "check-memory: fault-injection sweep: 34 sites, 128 injected failures",
    ])


INVALID_READ = ("==102== Invalid read of size 8\n==102==    at 0x1: fetch (mapping.cpp:10)\n"
                "==102==  Address 0x2 is 0 bytes after a block of size 16 alloc'd\n")
LEAK = ("==103== 24 bytes in 1 blocks are definitely lost in loss record 7 of 90\n"
        "==103==    at 0x3: malloc (vg_replace_malloc.c:446)\n")
ASAN_REPORT = ("=================================================================\n"
               "==104==ERROR: AddressSanitizer: heap-use-after-free on address 0x5\n"
               "\t0x7f00 (frame without a symbol)\n    #0 0x6 in db_get module/mapping.cpp:12\n")


def failed_shard(out):
    write(out / "sanitizers-2.log", shard_log("sanitizers", 2, FAILED))
    write(out / "sanitizers.json", statuses(0, 1))


def crashed_shard(out):
    write(out / "valgrind-1.log", shard_log("valgrind", 1, "...\nFatal Python error: Segmentation fault\n"))
    write(out / "valgrind.json", statuses(-11, 0))


@pytest.mark.parametrize(
    "damage, shown",
    [
        pytest.param(failed_shard, [
            "check-memory: sanitizers shard 2 FAILED (log: {out}/sanitizers-2.log):",
            "=========================== short test summary info ============================",
            "FAILED tests/test_a.py::test_b - AssertionError: assert 1 == 2",
            "1 failed, 7 passed in 40.12s", "check-memory: sanitizers shard 2 took 42 s",
        ], id="failed shard"),
        # A crash leaves no pytest summary: the end of the log shows where.
        pytest.param(crashed_shard, [
            "check-memory: valgrind shard 1 FAILED (log: {out}/valgrind-1.log):",
            "...", "Fatal Python error: Segmentation fault", "check-memory: valgrind shard 1 took 42 s",
        ], id="crashed shard"),
        pytest.param(
            lambda out: write(out / "valgrind" / "child.102.log", memcheck_log(102, errors=1, body=INVALID_READ)),
            ["check-memory: valgrind: 1 errors in 3 processes (2484 interpreter blocks suppressed)",
             *INVALID_READ.splitlines()],
            id="valgrind error"),
        pytest.param(
            lambda out: write(out / "valgrind" / "child.103.log", memcheck_log(103, body=LEAK)),
            ["check-memory: valgrind: 0 errors in 3 processes (2484 interpreter blocks suppressed)",
             *LEAK.splitlines()],
            id="definite leak"),
        pytest.param(
            lambda out: write(out / "sanitizers" / "asan.104", ASAN_REPORT),
            # Without the frames that have no symbol.
            ["check-memory: sanitizers: 1 reports",
             "check-memory: fault-injection sweep: 34 sites, 128 injected failures",
             *ASAN_REPORT.splitlines()[1:2], *ASAN_REPORT.splitlines()[3:]],
            id="sanitizer report"),
        pytest.param(lambda out: write(out / "asan-stats", "stateful 1 2\n"),
                     ["check-memory: fault-injection sweep: did not run"], id="no sweep"),
        pytest.param(lambda out: (out / "sanitizers.json").unlink(),
                     ["check-memory: sanitizers: the shards did not finish"], id="unfinished pass"),
    ],
)
def test_each_finding_fails_the_run_and_is_shown(clean_run, tmp_path, capsys, damage, shown):
    damage(clean_run)
    status, lines = verdict(clean_run, tmp_path, capsys)
    assert status == 1
    expected = [line.format(out=clean_run) for line in shown]
    start = lines.index(expected[0])
    assert lines[start:start + len(expected)] == expected


def test_seconds_are_recorded_from_the_shards_that_passed(clean_run, tmp_path, capsys):
    for name in ("test_a.py", "test_b.py", "test_c.py", "package/test_new.py"):
        write(tmp_path / name, "")
    write(tmp_path / "seconds.json", json.dumps({
        "valgrind": {"test_a.py": 1.0, "test_b.py": 2.0, "test_c.py": 3.0, "test_gone.py": 9.0},
        "sanitizers": {"test_a.py": 5.0},
    }))
    write(clean_run / "valgrind-1.xml", junit([("tests.test_a", 1.5), ("tests.test_a.TestGroup", 2.0),
                                              ("tests.package.test_new", 0.5)]))
    # Shard 2 failed: its figures are not kept. test_c.py ran no test in
    # shard 1 (all deselected): it took none.
    write(clean_run / "valgrind-2.xml", junit([("tests.test_b", 70.0)]))
    write(clean_run / "valgrind.json", json.dumps([{"files": ["test_a.py", "test_c.py", "package/test_new.py"], "status": 0},
                                                  {"files": ["test_b.py"], "status": 1}]))
    verdict(clean_run, tmp_path, capsys)
    assert json.loads((tmp_path / "seconds.json").read_text()) == {
        "valgrind": {"package/test_new.py": 0.5, "test_a.py": 3.5, "test_b.py": 2.0, "test_c.py": 0.0},
        "sanitizers": {"test_a.py": 5.0},
    }


def test_the_first_run_records_its_seconds_where_nothing_was(clean_run, tmp_path, capsys):
    # A clean clone: no build folder, no figures; the run leaves its own.
    write(tmp_path / "test_a.py", "")
    write(clean_run / "valgrind-1.xml", junit([("tests.test_a", 1.5)]))
    verdict(clean_run, tmp_path, capsys, passes=("valgrind",), seconds="build/seconds.json")
    assert json.loads((tmp_path / "build" / "seconds.json").read_text()) == {"valgrind": {"test_a.py": 1.5}}


def test_run_gives_each_shard_its_files_and_keeps_each_status(tmp_path):
    tests = tmp_path / "tests"
    # The project's room is not about memory: left out.
    for name, size in [("test_long.py", 300), ("package/test_mid.py", 200), ("test_short.py", 100),
                       ("project/test_docs.py", 900)]:
        write(tests / name, "#" * size)
    out = tmp_path / "out"
    out.mkdir()
    # The shard with the long file fails; each prints the files it got.
    command = [sys.executable, "-c", "import sys; print(*sys.argv[1:]); sys.exit('test_long' in sys.argv[1])"]
    check_memory.run_pass("valgrind", command, out, 2, tests=tests, seconds_file=tmp_path / "none.json")
    assert json.loads((out / "valgrind.json").read_text()) == [
        {"files": ["test_long.py"], "status": 1}, {"files": ["package/test_mid.py", "test_short.py"], "status": 0}]
    first, second = ((out / f"valgrind-{number}.log").read_text().splitlines() for number in (1, 2))
    assert first[:2] == ["check-memory: valgrind shard 1: test_long.py",
                         f"{tests}/test_long.py --junitxml={out}/valgrind-1.xml"]
    assert second[:2] == ["check-memory: valgrind shard 2: package/test_mid.py test_short.py",
                          f"{tests}/package/test_mid.py {tests}/test_short.py --junitxml={out}/valgrind-2.xml"]
    assert first[2].startswith("check-memory: valgrind shard 1 took ")
