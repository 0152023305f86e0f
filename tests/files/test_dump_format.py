"""gdbm's dump formats as load() reads them: dumps cut short and hostile
ones are refused, saying where, with nothing stored; a read that fails is
the system's error; and arbitrary records under arbitrary database names
go through dump and load in both formats, and through gdbm's own gdbm_load
where docs/durability.md says it reads them."""

import errno
import os
import re
import tempfile

import hypothesis.strategies as st
import pytest
from hypothesis import HealthCheck, given, settings

import _kvstore
from support.dump_files import (BINARY_HEADER, FORMATS, MALFORMED, ascii_dump, binary_item, contents,
                        documented_gdbm_version, gdbm_load_reads, in_dump_order,
                        installed_gdbm_version, item, target, tool_run, write_db)
from support.scale import scaled

# ---- dumps that are not whole ---------------------------------------------------

SMALL = {b"alpha": b"1" * 70, b"beta": b"\x00\xff", b"gamma": b"three"}
# The same with empty keys and values, whose items are a length alone.
SMALLS = {"small": SMALL, "small-with-empty": {**SMALL, b"": b"", b"set member": b""}}


def small_dump(tmp_path, fmt, records=SMALL):
    write_db(tmp_path / "small.db", records)
    with _kvstore.open(str(tmp_path / "small.db")) as db:
        db.dump(str(tmp_path / "small.dump"), fmt)
    return (tmp_path / "small.dump").read_bytes()


@pytest.mark.parametrize("small", list(SMALLS))
def test_every_cut_of_an_ascii_dump_is_refused_and_stores_nothing(tmp_path, target, small):
    whole = small_dump(tmp_path, "ascii", SMALLS[small])
    before = target.read_bytes()
    cut = tmp_path / "cut.dump"
    with _kvstore.open(str(target), "w") as db:
        # Only the last line break may go.
        for length in range(len(whole) - 1):
            cut.write_bytes(whole[:length])
            with pytest.raises(_kvstore.error, match=re.escape(MALFORMED)):
                db.load(str(cut))
            assert target.read_bytes() == before, length
        cut.write_bytes(whole[:-1])
        db.load(str(cut))
        assert len(db) == len(SMALLS[small]) + 1


@pytest.mark.parametrize("small", list(SMALLS))
def test_a_binary_dump_cut_inside_a_record_is_refused(tmp_path, target, small):
    # A cut between records cannot be seen: the format has no end mark.
    whole = small_dump(tmp_path, "binary", SMALLS[small])
    header = whole.index(b"!\r\n", 3) + 3
    boundaries = {header}
    at = header
    while at < len(whole):
        for _ in range(2):
            at += 8 + int.from_bytes(whole[at:at + 4], "big")
        boundaries.add(at)
    cut = tmp_path / "cut.dump"
    before = target.read_bytes()
    with _kvstore.open(str(target), "w") as db:
        for length in range(len(whole)):
            if length in boundaries:
                continue
            cut.write_bytes(whole[:length])
            with pytest.raises(_kvstore.error, match=re.escape(MALFORMED)):
                db.load(str(cut))
    assert target.read_bytes() == before


# ---- hostile dumps ---------------------------------------------------------------

HOSTILE = {
    "not-a-dump": b"hello\n",
    "no-end-of-header": b"# GDBM dump file\n#:version=1.1\n",
    "text-in-header": b"# GDBM dump file\nhello\n# End of header\n#:count=0\n# End of data\n",
    "open-quote": ascii_dump(header=b'#:file="x.db\n'),
    "bad-mode": ascii_dump(header=b"#:mode=9z\n"),
    "huge-uid": ascii_dump(header=b"#:uid=99999999999999999999\n"),
    "huge-length": ascii_dump(item(b"k", b"99999999999999999999"), item(b"v")),
    "length-past-file": ascii_dump(item(b"k", b"2000000000"), item(b"v")),
    "negative-length": ascii_dump(item(b"k", b"-1"), item(b"v")),
    # An empty key or value is its length line alone: gdbm_dump writes no empty line.
    "zero-length-then-empty-line": ascii_dump(b"#:len=0\n\n", item(b"v")),
    "zero-length-then-data": ascii_dump(b"#:len=0\nQQ==\n", item(b"v")),
    "longer-than-said": ascii_dump(item(b"key", b"2"), item(b"v")),
    "shorter-than-said": ascii_dump(item(b"key", b"4"), item(b"v")),
    "bad-base64": ascii_dump(b"#:len=3\n@@@@\n", item(b"v")),
    "padding-inside": ascii_dump(b"#:len=6\nQQ==QUFB\n", item(b"v")),
    "line-too-long": ascii_dump(item(b"k"), b"#:len=100000\n" + b"QUFB" * 33334 + b"\n"),
    "key-without-value": ascii_dump(item(b"k"), count=b"#:count=0\n"),
    "count-too-high": ascii_dump(item(b"k"), item(b"v"), count=b"#:count=2\n"),
    "count-too-low": ascii_dump(item(b"k"), item(b"v"), count=b"#:count=0\n"),
    "no-count": ascii_dump(item(b"k"), item(b"v"), count=b""),
    "no-end-of-data": ascii_dump(item(b"k"), item(b"v"), tail=b""),
    "after-end-of-data": ascii_dump(item(b"k"), item(b"v"), tail=b"# End of data\nmore\n"),
    "unknown-tag": ascii_dump(b"#:what=1\n", item(b"k"), item(b"v")),
    "carriage-returns": ascii_dump(item(b"k"), item(b"v")).replace(b"\n", b"\r\n"),
    "binary-bad-banner": b"!\r\n! SOMETHING ELSE\r\n!\r\n",
    "binary-no-header-end": b"!\r\n! GDBM FLAT FILE DUMP -- THIS IS NOT A TEXT FILE\r\n",
    "binary-huge-length": BINARY_HEADER + binary_item(b"k", 0xFFFFFFFF) + binary_item(b"v"),
    "binary-length-past-file": BINARY_HEADER + binary_item(b"k", 1 << 30) + binary_item(b"v"),
    "binary-zero-length-cut": BINARY_HEADER + binary_item(b"") + bytes(7),
    "binary-key-without-value": BINARY_HEADER + binary_item(b"k"),
    "binary-short-length": BINARY_HEADER + binary_item(b"k") + binary_item(b"v") + b"\x00\x00",
}


@pytest.mark.parametrize("name", list(HOSTILE))
def test_a_malformed_dump_stores_nothing(tmp_path, target, name):
    (tmp_path / "hostile.dump").write_bytes(HOSTILE[name])
    before = target.read_bytes()
    mode = os.stat(target).st_mode
    with _kvstore.open(str(target), "w") as db:
        with pytest.raises(_kvstore.error) as refused:
            db.load(str(tmp_path / "hostile.dump"))
        assert str(refused.value).startswith(f"{MALFORMED}: {tmp_path / 'hostile.dump'}, ")
        assert {key: db[key] for key in db.keys()} == {b"mine": b"kept"}
    assert target.read_bytes() == before
    assert os.stat(target).st_mode == mode


def test_the_hostile_cases_builders_make_valid_dumps(tmp_path):
    # So that each hostile case differs from a valid dump by its one fault.
    record = {b"k" * 100: b"v" * 100}
    items = [data for pair in record.items() for data in pair]
    valid = {"ascii": ascii_dump(*map(item, items)),
             "binary": BINARY_HEADER + b"".join(map(binary_item, items))}
    for fmt, data in valid.items():
        (tmp_path / fmt).write_bytes(data)
        with _kvstore.open(str(tmp_path / f"{fmt}.db"), "n") as db:
            db.load(str(tmp_path / fmt))
            assert {key: db[key] for key in db.keys()} == record


# Where a refusal points: the line, counted from 1, or in a binary dump's
# records the byte where the record that fails begins.
WHERE = [
    (HOSTILE["text-in-header"], "line 2"),
    (HOSTILE["bad-base64"], "line 6"),
    (HOSTILE["shorter-than-said"], "line 7"),
    (HOSTILE["count-too-high"], "line 9"),
    (HOSTILE["after-end-of-data"], "line 11"),
    # Longer than any line a dump holds, and than the reader's buffer.
    (ascii_dump(header=b"#:file=" + b"x" * 70_000 + b"\n"), "line 2"),
    (HOSTILE["binary-bad-banner"], "line 2"),
    (HOSTILE["binary-huge-length"], "byte 64"),
    (HOSTILE["binary-key-without-value"], "byte 73"),
    (BINARY_HEADER + binary_item(b"k" * 100_000) + binary_item(b"v", 2), "byte 100072"),
]


@pytest.mark.parametrize("dump, where", WHERE)
def test_a_refusal_says_where_the_dump_goes_wrong(tmp_path, dump, where):
    (tmp_path / "bad.dump").write_bytes(dump)
    with _kvstore.open(str(tmp_path / "db"), "n") as db:
        with pytest.raises(_kvstore.error) as refused:
            db.load(str(tmp_path / "bad.dump"))
    assert str(refused.value) == f"{MALFORMED}: {tmp_path / 'bad.dump'}, {where}"


@pytest.mark.skipif(not os.path.isfile("/proc/self/mem"), reason="no /proc/self/mem")
def test_a_read_that_fails_is_the_systems_error(target):
    # A regular file whose first read fails: the process's memory at address 0.
    before = target.read_bytes()
    with _kvstore.open(str(target), "w") as db:
        with pytest.raises(_kvstore.error) as refused:
            db.load("/proc/self/mem")
        assert (refused.value.errno, refused.value.filename) == (errno.EIO, "/proc/self/mem")
        assert db[b"mine"] == b"kept"
    assert target.read_bytes() == before


# ---- arbitrary records and names ---------------------------------------------------

# Keys and values: empty, with NUL bytes and bytes that are no UTF-8, and
# long ones, over many Base64 lines and past the reader's 64 KiB buffer.
data = st.one_of(
    st.binary(max_size=12),
    st.builds(bytes.__mul__, st.binary(min_size=1, max_size=8), st.integers(1, 12_000)),
)
# File names from pieces that mean something in an ASCII header's line.
NAME_PIECES = [b"a", b"db", b".", b" ", b"\t", b",", b'"', b"\\", b"=", b"#", b":", b"\r", b"\n",
               b"\xff", "é".encode()]
names = (st.lists(st.sampled_from(NAME_PIECES), min_size=1, max_size=12).map(b"".join)
         .filter(lambda name: name not in (b".", b"..")))

EXAMPLES = settings(max_examples=scaled(40, minimum=5), deadline=None, derandomize=True,
                    database=None, suppress_health_check=list(HealthCheck))


def dumped(folder, name, records, fmt):
    """Writes `records` to the database `name` in `folder` and dumps it in
    `fmt`; returns the database's path and the dump's, or None for the dump
    when the ASCII header cannot carry the name."""
    path = os.path.join(folder, name)
    with _kvstore.open(path, "n") as db:
        for key, value in records.items():
            db[key] = value
        dump = os.path.join(folder, b"backup.dump")
        try:
            db.dump(dump, fmt)
        except _kvstore.error as refused:
            assert fmt == "ascii" and "'ascii' dump format cannot record" in str(refused)
            assert b"\n" in name or b"," in name
            assert not os.path.exists(dump)
            return path, None
    return path, dump


@pytest.mark.parametrize("fmt", FORMATS)
@EXAMPLES
@given(records=st.dictionaries(data, data, max_size=8), name=names)
def test_load_gives_back_exactly_the_records_dumped(fmt, records, name):
    with tempfile.TemporaryDirectory() as folder:
        _, dump = dumped(os.fsencode(folder), name, records, fmt)
        if dump is None:
            return
        with _kvstore.open(os.path.join(os.fsencode(folder), b"copy.db"), "n") as copy:
            copy.load(dump)
            assert {key: copy[key] for key in copy.keys()} == records


@pytest.fixture(scope="module")
def gdbm_load_as_documented():
    """Whether the installed gdbm_load is the release docs/durability.md
    describes; skips where there is none."""
    return installed_gdbm_version() == documented_gdbm_version()


@pytest.mark.parametrize("fmt", FORMATS)
@EXAMPLES
@given(records=st.dictionaries(data, data, max_size=8), name=names)
def test_gdbm_load_reads_our_dumps_where_the_docs_say(gdbm_load_as_documented, fmt, records,
                                                      name):
    with tempfile.TemporaryDirectory() as folder:
        path, dump = dumped(os.fsencode(folder), name, records, fmt)
        if dump is None:
            return
        order = in_dump_order(path)
        if fmt == "ascii":
            # Without a database name gdbm_load restores the file under the
            # name the header records, which must be this one.
            os.unlink(path)
            loaded = tool_run("gdbm_load", os.fsdecode(dump))
        else:
            path = os.path.join(os.fsencode(folder), b"theirs.db")
            loaded = tool_run("gdbm_load", os.fsdecode(dump), os.fsdecode(path))
        if loaded.returncode == 0:
            assert contents(path) == records, os.listdir(folder)
        if gdbm_load_as_documented:
            assert (loaded.returncode == 0) == gdbm_load_reads(order, fmt), loaded.stderr
