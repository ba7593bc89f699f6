"""Output of hits: the native row text against Python's own, the three formats read back, the file."""

import contextlib
import csv
import io
import math
import os
import stat
import struct
import threading
from decimal import Decimal
from pathlib import Path

import numpy as np
import pytest
from hypothesis import given, strategies as st

import morvane
from morvane._scan import format_rows
from morvane.cli import main
from morvane.motifs import Motif, read_motifs
from morvane.output import (
    FIELD,
    GFF,
    RAW,
    WORD,
    DropBehind,
    HitWriter,
    Output,
    Rows,
    WriteBehind,
    bed_autosql,
    bed_score,
)
from morvane.scan import utf8

DATA = Path(__file__).resolve().parent.parent / "data"
LAMBDA = str(DATA / "lambda_virus.fa")
SPECIAL = [0.0, -0.0, 1.0, 123.0, 0.1, 1e16, 1e-5, 9.999999e-05, 5e-324, 1.7976931348623157e308, 2.0 ** -1022,
           1e15, 123456789012345678.0, float("inf"), float("-inf"), float("nan"), -21.446929440000154]


def doubles(n, seed):
    rng = np.random.default_rng(seed)
    sign = rng.integers(0, 2, n, dtype=np.uint64) << np.uint64(63)
    bits = rng.integers(0, 2 ** 63, n, dtype=np.uint64) | sign
    spread = bits.view(np.float64)
    scores = rng.normal(0, 20, n)                 # log-odds scores, as they come
    return np.concatenate([SPECIAL, spread, scores, np.round(scores, 3)])


@pytest.mark.parametrize("digits", [0, 3, 6, 17])
def test_doubles_read_as_python_prints_them(digits):
    x = doubles(20000, digits)
    strided = np.zeros(len(x), [("pad", "i1"), ("x", "f8")])   # a field of a packed table
    strided["x"] = x
    text = format_rows([(strided["x"], digits), b"\n"], len(x)).decode().splitlines()
    assert text == [repr(float(v)) if digits == 0 else format(float(v), f".{digits}g") for v in x]


def general(values, digits):
    """format_rows' "%.{digits}g" of each value beside Python's."""
    x = np.array(values, np.float64)
    with np.errstate(over="ignore"):
        x = np.concatenate([x, -x, np.nextafter(x, np.inf), np.nextafter(x, -np.inf)])
    text = format_rows([(x, digits), b"\n"], len(x)).decode().splitlines()
    return text, [format(float(v), f".{digits}g") for v in x]


@given(st.lists(st.floats(allow_nan=False, allow_infinity=False), min_size=1, max_size=50), st.integers(1, 17))
def test_general_format_of_any_double(values, digits):
    text, python = general(values, digits)
    assert text == python


@given(st.integers(1, 17).flatmap(lambda d: st.tuples(st.just(d), st.integers(10 ** (d - 1), 10 ** d - 1),
                                                      st.integers(-330, 310))))
def test_general_format_near_ties(case):
    # a decimal halfway between two of `digits` digits, read to its double, and the doubles beside it
    digits, kept, exponent = case
    text, python = general([float(f"{kept}5e{exponent}"), float(f"{kept}49999999999999999e{exponent}")], digits)
    assert text == python


@given(st.integers(0, 2 ** 52 - 1), st.integers(1, 60), st.integers(0, 3))
def test_general_format_of_exact_ties(odd, shift, fewer):
    # (2k + 1) / 2^s ends in a 5: cut one digit short it is exactly halfway, and to even it goes
    x = (2 * odd + 1) / 2.0 ** shift
    digits = len(Decimal(x).as_tuple().digits) - 1 - fewer
    if 1 <= digits <= 17:
        text, python = general([x], digits)
        assert text == python


@pytest.mark.parametrize("digits", [1, 3, 6, 15, 17])
def test_general_format_of_powers_of_ten(digits):
    tens = [float(f"1e{e}") for e in range(-323, 309)]
    sixes = [float(f"9.99999{tail}e{e}") for tail in ("5", "49999999", "50000001") for e in range(-310, 300, 7)]
    text, python = general(tens + sixes + [5e-324, 2.0 ** -1022, 1.7976931348623157e308], digits)
    assert text == python


def test_integers_and_strings():
    ints = np.array([0, 7, -1, 10 ** 18, -(2 ** 63), 2 ** 63 - 1], np.int64)
    names = np.array(["a\tb", "c\nd\re", "é€😀", "x;y=z&w,v%", "", "\udce9raw"], "U10")
    seqs = np.array([b"ACGT", b"A", b"", b"TTTTTTTT", b"G\t", b"C"], "S8")
    rows = [format_rows([(ints[k:k + 1], 0), *(piece for mode in range(4) for piece in (b"|", (names[k:k + 1], mode))),
                         b"|", (seqs[k:k + 1], 1)], 1) for k in range(len(ints))]
    for line, i, name, seq in zip(rows, ints, names, seqs):
        raw = name.encode("utf-8", "surrogateescape")
        field = raw.replace(b"\t", b" ").replace(b"\n", b" ").replace(b"\r", b" ")
        gff = "".join(f"%{ord(c):02X}" if c in "\t\n\r;=&,%" else c for c in name).encode("utf-8", "surrogateescape")
        word = field.replace(b" ", b"_")
        assert line == b"|".join([str(i).encode(), raw, field, gff, word, seq.replace(b"\t", b" ")])


@given(st.lists(st.one_of(st.binary(max_size=40), st.integers(0, 6)), max_size=12),
       st.lists(st.integers(-2 ** 63, 2 ** 63 - 1), min_size=6, max_size=6))
def test_rows_of_any_pieces(order, extremes):
    # columns given again (the same, or over the same memory with another stride or format),
    # constants of any length, a row starting with either
    n = 3
    ints = np.array(extremes, np.int64)
    x = np.array([0.1, -2.5e-7, 1e22, 123456.5, 7e-5, -0.0])
    seqs = np.array([b"ACGT", b"", b"T" * 30], "S30")
    columns = [(ints[:n], 0), (ints[::2], 0), (x[:n], 0), (x[:n], 6), (x[::2], 3), (seqs, 0), (ints[1:n + 1], 0)]
    pieces = [columns[k] if isinstance(k, int) else k for k in order]

    def cell(piece, i):
        if isinstance(piece, bytes):
            return piece
        column, arg = piece
        if column.dtype.kind == "S":
            return column[i]
        value = column[i].item()
        return (str(value) if column.dtype.kind == "i" else format(value, f".{arg}g") if arg else repr(value)).encode()

    assert format_rows(pieces, n) == b"".join(cell(piece, i) for i in range(n) for piece in pieces)


def test_integers_of_every_length():
    # each length's first and last value (the digits are counted before they are written)
    tens = [10 ** k + d for k in range(19) for d in (-1, 0, 1)] + [2 ** 63 - 1]
    ints = np.array(tens + [-v for v in tens] + [-(2 ** 63)], np.int64)
    assert format_rows([(ints, 0), b"\n"], len(ints)).decode().splitlines() == [str(v) for v in ints.tolist()]


def escaped(raw, mode):
    """A bytes field as each mode writes it: as it is, a TSV field, a GFF3 value, a BED word."""
    if mode == GFF:
        return b"".join(b"%%%02X" % c if c < 0x20 or c == 0x7F or c in b";=&,%" else bytes([c]) for c in raw)
    blanks = dict.fromkeys(b"\t\n\r " if mode == WORD else b"\t\n\r" if mode == FIELD else b"", ord(
        "_" if mode == WORD else " "))
    return bytes(blanks.get(c, c) for c in raw)


@given(st.lists(st.binary(max_size=40), min_size=1, max_size=20), st.integers(0, 40),
       st.sampled_from([RAW, FIELD, GFF, WORD]))
def test_bytes_fields_of_any_width(values, width, mode):
    # NULs inside a field kept, those NumPy pads it with dropped, at any width and padding
    column = np.array([value[:width] for value in values], f"S{max(width, 1)}")
    text = format_rows([(column, mode), b"\n"], len(column))
    assert text == b"".join(escaped(item, mode) + b"\n" for item in column.tolist())
    ucs4 = np.array([item.decode("latin-1") for item in column.tolist()], f"U{max(width, 1)}")
    latin = b"".join(escaped(item.encode(), mode) + b"\n" for item in ucs4.tolist())
    assert format_rows([(ucs4, mode), b"\n"], len(ucs4)) == latin
    for one in (column, ucs4):    # a column broadcast from its first element (the command's chromosome)
        assert format_rows([(np.broadcast_to(one[:1], one.shape), mode), b"\n"], len(one)) == \
            format_rows([(np.repeat(one[:1], len(one)), mode), b"\n"], len(one))


@given(st.lists(st.binary(max_size=12), min_size=1, max_size=6), st.lists(st.integers(0, 5), max_size=30),
       st.sampled_from([np.int32, np.int64]))
def test_texts_by_index_are_the_gathered_column(texts, picks, kind):
    # names a row by index (the command's motif names, through strided int32 records) are the
    # bytes the gathered column gives, in every mode, and a name repeated with other texts is its own
    index = np.array([k % len(texts) for k in picks], kind)
    strided = np.zeros(len(index), [("pad", "u1"), ("k", kind)])
    strided["k"] = index
    gathered = np.array(texts + [b"x"], "S13")[index]
    other = [text + b"!" for text in texts]
    for mode in range(4):
        got = format_rows([(strided["k"], mode, texts), b"|", (index, mode, other), b"|", (index, mode, texts), b"\n"],
                          len(index))
        want = format_rows([(gathered, mode), b"|", (np.array(other + [b""])[index], mode), b"|", (gathered, mode),
                            b"\n"], len(index))
        assert got == want


def test_bytes_columns_give_the_bytes_of_str_columns():
    # what the command writes from UTF-8 names must be what Hits give from str ones, in every mode
    names = ["a\tb c", "c\nd\re", "é€😀", "x;y=z&w,v%", "", "\udce9raw\udcff", "\ud800lone\udfff", "\x01\x7f\x85",
             "trail  ", "\u2028sep"]
    text = np.array(names)
    raw = np.array([utf8(name) for name in names])
    for mode in range(4):
        assert format_rows([(raw, mode), b"\n"], len(names)) == format_rows([(text, mode), b"\n"], len(names))


@pytest.mark.parametrize("column", [np.str_, np.bytes_])
@pytest.mark.parametrize("n, repeat", [(20, 50000), (600, 2000)])     # made with the GIL held, and without
def test_rows_outgrowing_the_first_buffer(column, n, repeat):
    # rows of 400 kB or 16 kB: past the first buffer, which is then resized as the rows come
    name = "é;\t" * repeat
    names = np.broadcast_to(np.array(column(utf8(name)) if column is np.bytes_ else name), (n,))
    rows = format_rows([(np.arange(n), 0), b"|", (names, 2), b"\n"], n)
    assert rows == b"".join(b"%d|%s\n" % (i, ("é%3B%09" * repeat).encode()) for i in range(n))


@pytest.mark.parametrize("fmt", ["bed", "fimo", "gff"])
@pytest.mark.parametrize("qvalue", [False, True])
def test_the_command_writes_what_hits_write(tmp_path, fmt, qvalue):
    genome = os.path.join(os.fsencode(tmp_path), b"g.fa")
    rng = np.random.default_rng(4)
    with open(genome, "wb") as handle:
        for name in (b"chr\xc3\xa9 one", b"raw\xff\xfe", b"t;x=y&z,w%", b"plain"):
            bases = rng.choice(list(b"ACGTN"), 3000, p=[0.24] * 4 + [0.04]).astype(np.uint8)
            handle.write(b">" + name + b"\n" + bases.tobytes() + b"\n")
    sites = os.path.join(os.fsencode(tmp_path), b"s\te\nx \xc3\xa9\xff;=%.txt")     # the motif's id is the stem
    with open(sites, "wb") as handle:
        handle.write(b"ACGTAC\nACGTTC\nACGAAC\nTCGTAC\n")
    out = tmp_path / "hits"
    q = ["--qvalue"] if qvalue else []
    assert main(["scan", os.fsdecode(genome), os.fsdecode(sites), "--format", "lines", "--pvalue", "0.05", "--quiet",
                 "--output-format", fmt, *q, "-o", str(out)]) == 0
    # the command writes a batch a record, the API one table: GFF numbers must run on across batches
    hits = morvane.scan(os.fsdecode(genome), read_motifs(os.fsdecode(sites), "lines"), pvalue=0.05, qvalue=qvalue)
    assert len(hits) > 100 and len(set(hits["chrom"])) == 4
    getattr(hits, f"to_{fmt}")(tmp_path / "api")
    command = [line for line in out.read_bytes().splitlines(True) if not line.startswith(b"# morvane")]
    assert command == (tmp_path / "api").read_bytes().splitlines(True)


@pytest.mark.parametrize("pieces, n, exc, message", [
    ([(np.zeros(3, np.int32), 0)], 3, TypeError, "buffer format 'i'"),
    ([(np.zeros(3), 0)], 4, ValueError, "4 elements"),
    ([(np.zeros((3, 1)), 0)], 3, ValueError, "one-dimensional"),
    ([(np.zeros(3), 18)], 3, ValueError, "out of range"),
    ([(np.zeros(3, "U2"), 4)], 3, ValueError, "out of range"),
    (["text"], 1, TypeError, "piece 0 is a str"),
    ([(np.zeros(3, ">f8"), 0)], 3, TypeError, "buffer format"),
    ([b"x"], -1, ValueError, "must not be negative"),
    ([(np.array([0, 2]), 0, [b"a", b"b"])], 2, ValueError, "holds 2 at row 1, past its 2 texts"),
    ([(np.array([0, -1]), 0, [b"a"])], 2, ValueError, "holds -1"),
    ([(np.zeros(2), 0, [b"a"])], 2, TypeError, "expected int32 or int64"),
    ([(np.zeros(2, np.int64), 0, ["a"])], 2, TypeError, "text 0 is a str"),
    ([(np.zeros(2, np.int64), 4, [b"a"])], 2, ValueError, "out of range"),
])
def test_format_rows_refuses_what_it_cannot_write(pieces, n, exc, message):
    with pytest.raises(exc, match=message):
        format_rows(pieces, n)


def test_bed_score_mapping():
    p = np.array([1.0, 0.1, 1e-4, 3.16e-5, 1e-10, 1e-300, 0.0, np.nan])
    assert bed_score(p).tolist() == [0, 100, 400, 450, 1000, 1000, 1000, 0]


@pytest.fixture(scope="module")
def hits():
    motifs = read_motifs(DATA / "lambda_cI.jaspar") + [Motif.from_sites(["ACGTAC", "ACGTTC"], name="toy\tsites")]
    table = morvane.scan(LAMBDA, motifs, pvalue=1e-3, qvalue=True)
    assert len(table) > 50 and "toy\tsites" in set(table["motif"])
    return table


def without(table, name):
    names = [n for n in table.dtype.names if n != name]
    return table[names]


@pytest.mark.parametrize("qvalue", [True, False])
def test_fimo_tsv_reads_back(tmp_path, hits, qvalue):
    table = hits if qvalue else without(hits, "qvalue")
    table.to_fimo(tmp_path / "hits.tsv")
    lines = (tmp_path / "hits.tsv").read_text().splitlines()
    rows = list(csv.DictReader(lines, delimiter="\t"))
    assert list(rows[0]) == ["motif_id", "motif_alt_id", "sequence_name", "start", "stop", "strand", "score",
                             "p-value", "q-value", "matched_sequence"]
    assert len(rows) == len(table)
    for row, hit in zip(rows, table):
        assert (row["motif_id"], row["motif_alt_id"]) == (hit["motif"].replace("\t", " "),
                                                          hit["motif_alt"].replace("\t", " "))
        assert (row["sequence_name"], int(row["start"]), int(row["stop"])) == (hit["chrom"], hit["start"] + 1,
                                                                                hit["end"])
        assert (row["strand"], float(row["score"]), row["matched_sequence"]) == (hit["strand"], hit["score"],
                                                                                  hit["sequence"])
        assert math.isclose(float(row["p-value"]), hit["pvalue"], rel_tol=1e-5)
        assert row["q-value"] == (format(hit["qvalue"], ".6g") if qvalue else "")


@pytest.mark.parametrize("fmt", ["bed", "fimo", "gff"])
def test_rows_made_a_few_at_a_time_are_the_table_made_at_once(monkeypatch, hits, fmt):
    def text(rows_per_call):
        monkeypatch.setattr(HitWriter, "rows_per_call", rows_per_call)
        handle = io.BytesIO()
        writer = HitWriter(handle, fmt, qvalue=True)
        writer.write(hits[:len(hits) // 2])
        writer.write(hits[len(hits) // 2:])
        return handle.getvalue()

    assert text(7) == text(len(hits))


class Failing(io.BytesIO):
    def __init__(self, after):
        super().__init__()
        self.after = after

    def write(self, data):
        if self.tell() > self.after:
            raise OSError(28, "No space left on device")
        return super().write(data)


@pytest.mark.parametrize("fmt", ["bed", "gff"])
def test_writing_behind_writes_what_the_writer_writes(monkeypatch, hits, fmt):
    monkeypatch.setattr(HitWriter, "rows_per_call", 5)
    pieces = [hits[at:at + 9] for at in range(0, len(hits), 9)]
    direct, behind = io.BytesIO(), io.BytesIO()
    writer = HitWriter(direct, fmt, qvalue=True)
    for piece in pieces:
        writer.write(piece)
    writer.close()
    with WriteBehind(HitWriter(behind, fmt, qvalue=True), rows=20) as queued:
        for piece in pieces:
            queued.write(piece)
        queued.close()
    assert behind.getvalue() == direct.getvalue()


@pytest.mark.parametrize("stop", ["write", "close"])
def test_writing_behind_raises_on_the_callers_thread(hits, stop):
    handle = Failing(after=1000 if stop == "write" else 10 ** 9)
    pieces = [hits[at:at + 10] for at in range(0, len(hits), 10)]
    with pytest.raises(OSError, match="No space"):
        with WriteBehind(HitWriter(handle, "bed", qvalue=True), rows=1) as queued:
            for piece in pieces:
                queued.write(piece)
            handle.after = -1       # the end, or whatever is still queued, fails
            queued.write(pieces[0])
            queued.close()
    assert not queued.thread.is_alive()


class HeldWriter(io.BytesIO):
    """A file whose writes on the writing thread wait for `released`."""

    def __init__(self):
        super().__init__()
        self.released = threading.Event()

    def write(self, data):
        if threading.current_thread().name == "morvane-writer":
            self.released.wait(10)     # a bound, should the caller never help
        return super().write(data)


@pytest.mark.parametrize("fails", [False, True])
def test_a_caller_held_up_by_the_writer_makes_the_text_itself(monkeypatch, hits, fails):
    # the writer is held on its first write until the caller has made the text of a table, the
    # newest first; GFF numbers each motif's hits, so text numbered out of turn would show
    monkeypatch.setattr(HitWriter, "rows_per_call", 5)
    pieces = [hits[at:at + 9] for at in range(0, len(hits), 9)]
    direct, behind = io.BytesIO(), HeldWriter()
    writer = HitWriter(direct, "gff", qvalue=True)
    for piece in pieces:
        writer.write(piece)
    writer.close()
    made_by, iterate = [], Rows.__iter__

    def made(rows):
        made_by.append(threading.current_thread().name)
        if made_by[-1] == "MainThread":
            behind.released.set()
            if fails:
                raise MemoryError
        yield from iterate(rows)
    monkeypatch.setattr(Rows, "__iter__", made)
    with pytest.raises(MemoryError) if fails else contextlib.nullcontext():
        with WriteBehind(HitWriter(behind, "gff", qvalue=True), rows=1) as queued:
            for piece in pieces:
                queued.write(piece)
            queued.close()
    assert not queued.thread.is_alive()
    if not fails:
        # (the writer may not have taken the first table before the caller made them all)
        assert "MainThread" in made_by and behind.getvalue() == direct.getvalue()


def test_gff3_columns_and_attributes(tmp_path, hits):
    hits.to_gff(tmp_path / "hits.gff")
    lines = (tmp_path / "hits.gff").read_text().splitlines()
    assert lines[0] == "##gff-version 3"
    rows = [line.split("\t") for line in lines if not line.startswith("#")]
    assert len(rows) == len(hits) and {len(r) for r in rows} == {9}
    ids = set()
    for row, hit in zip(rows, hits):
        assert row[:5] == [hit["chrom"], "morvane", "nucleotide_motif", str(hit["start"] + 1), str(hit["end"])]
        assert float(row[5]) == pytest.approx(min(1000, -10 * math.log10(hit["pvalue"])), rel=1e-2)
        assert row[6:8] == [hit["strand"], "."]
        assert row[8].endswith(";")
        attrs = dict(item.split("=") for item in row[8][:-1].split(";"))
        assert list(attrs) == ["Name", "Alias", "ID", "pvalue", "qvalue", "sequence"]
        motif = hit["motif"].replace("\t", "%09")
        assert attrs["Name"] == f"{motif}_{hit['chrom']}{hit['strand']}" and attrs["sequence"] == hit["sequence"]
        assert attrs["ID"].startswith(f"{motif}-{hit['motif_alt'].replace(chr(9), '%09')}-")
        ids.add(attrs["ID"])
    assert len(ids) == len(hits)                       # every feature its own ID


def test_bed_to_bigbed(tmp_path, hits):
    pybigtools = pytest.importorskip("pybigtools", reason="pybigtools (the test extra) is not installed")
    hits.to_bed(tmp_path / "hits.bed")
    lines = (tmp_path / "hits.bed").read_text().splitlines()
    assert lines[0].startswith("# chrom\tstart\tend\tname\tscore\tstrand\tthickStart\tthickEnd\titemRgb")
    rows = [line.split("\t") for line in lines if not line.startswith("#")]
    assert {len(r) for r in rows} == {14}
    chroms = {hits["chrom"][0]: 48502}
    writer = pybigtools.open(str(tmp_path / "hits.bigBed"), "w")
    writer.write(chroms, [(r[0], int(r[1]), int(r[2]), "\t".join(r[3:])) for r in rows], autosql=bed_autosql(True))
    reader = pybigtools.open(str(tmp_path / "hits.bigBed"))
    back = list(reader.records(hits["chrom"][0]))
    assert len(back) == len(hits) and "double motifScore" in reader.sql()
    for (start, end, name, score, strand, thick_start, thick_end, rgb, alt, raw, p, q, seq), hit in zip(back, hits):
        assert (start, end, name, strand, seq) == (hit["start"], hit["end"], hit["motif"].replace("\t", "_"),
                                                   hit["strand"], hit["sequence"])
        assert 0 <= int(score) <= 1000 and int(score) == bed_score(np.array([hit["pvalue"]]))[0]
        assert (int(thick_start), int(thick_end), rgb) == (start, end, "0")
        assert float(raw) == hit["score"] and float(q) == pytest.approx(hit["qvalue"], rel=1e-5)
        assert alt == hit["motif_alt"].replace("\t", "_") and float(p) == pytest.approx(hit["pvalue"], rel=1e-5)


# ---------------------------------------------------------------- the output file

def output_of(path, text=b"new\n", inputs=()):
    with Output(path, inputs) as handle:
        handle.write(text)


def leftovers(directory):
    return sorted(p.name for p in Path(directory).iterdir() if p.name.startswith(".morvane-"))


def test_regular_file_keeps_its_mode_and_symlinks_their_link(tmp_path):
    private = tmp_path / "private.bed"
    private.write_text("old\n")
    private.chmod(0o600)
    output_of(private)
    assert private.read_bytes() == b"new\n" and stat.S_IMODE(private.stat().st_mode) == 0o600
    (tmp_path / "sub").mkdir()
    target = tmp_path / "sub" / "target.bed"
    target.write_text("old\n")
    link = tmp_path / "link.bed"
    link.symlink_to(target)
    output_of(link)
    assert link.is_symlink() and target.read_bytes() == b"new\n"
    dangling = tmp_path / "dangling.bed"
    dangling.symlink_to(tmp_path / "sub" / "new.bed")
    output_of(dangling)
    assert dangling.is_symlink() and (tmp_path / "sub" / "new.bed").read_bytes() == b"new\n"
    assert leftovers(tmp_path) == leftovers(tmp_path / "sub") == []


def test_devices_are_written_in_place():
    output_of("/dev/null")
    assert stat.S_ISCHR(os.stat("/dev/null").st_mode)


def test_pages_are_dropped_behind_the_end(tmp_path, monkeypatch):
    asked = []
    monkeypatch.setattr(os, "posix_fadvise", lambda fd, at, n, advice: asked.append((at, n, advice, raw.at)))
    data = np.random.default_rng(0).bytes(100_000)
    with open(tmp_path / "f", "wb") as file:
        raw = DropBehind(file.fileno(), keep=20_000, step=5_000)
        handle = io.BufferedWriter(raw, 3000)
        for at in range(0, len(data), 700):
            handle.write(data[at:at + 700])
        handle.close()
    assert (tmp_path / "f").read_bytes() == data
    assert len(asked) > 10 and {advice for *_, advice, _ in asked} == {os.POSIX_FADV_DONTNEED}
    # never the last `step` bytes written, nor before `keep` are; in the end, all but the last few steps
    assert all(at >= 0 and at + n <= end - 5_000 and end >= 20_000 for at, n, _, end in asked)
    assert asked[-1][0] + asked[-1][1] >= len(data) - 2 * 5_000


def test_an_exception_leaves_the_old_file(tmp_path):
    out = tmp_path / "hits.bed"
    out.write_text("old\n")
    with pytest.raises(KeyboardInterrupt), Output(out) as handle:
        handle.write(b"partial")
        raise KeyboardInterrupt
    assert out.read_text() == "old\n" and leftovers(tmp_path) == []


@pytest.mark.parametrize("name, message", [
    ("", "the output path is empty"),
    ("newdir/", "it is a directory"),
    (".", "it is a directory"),
    ("missing/hits.bed", "no such directory"),
    ("readonly.bed", "read-only"),
    ("genome.fa", "it is the genome"),
    ("link-to-genome.fa", "it is the genome"),
])
def test_refused_before_anything_is_written(tmp_path, monkeypatch, name, message):
    monkeypatch.chdir(tmp_path)
    Path("genome.fa").write_text(">c\nACGT\n")
    Path("link-to-genome.fa").symlink_to("genome.fa")
    Path("readonly.bed").write_text("mine\n")
    Path("readonly.bed").chmod(0o400)
    before = {p.name: p.read_bytes() for p in tmp_path.iterdir() if p.is_file()}
    with pytest.raises(OSError, match=message):
        Output(name, [("the genome", "genome.fa")])
    assert {p.name: p.read_bytes() for p in tmp_path.iterdir() if p.is_file()} == before


def test_standard_output(capfdbinary):
    output_of("-", b"to stdout\n")
    assert capfdbinary.readouterr().out == b"to stdout\n"


def test_spill_records_round_trip(tmp_path):
    from morvane.scan import Part, _spill, _unspill
    dtype = np.dtype([("motif", "i4"), ("start", "i8"), ("strand", "i1"), ("score", "f8"), ("window", "S5")],
                     align=False)
    parts = [Part(chrom, np.zeros(n, dtype), np.arange(n, dtype=float), np.zeros(1, np.int64), 0)
             for chrom, n in [("chr1", 3), ("é\udcff", 1), ("c", 70000)]]
    for part in parts:
        part.hits["start"] = np.arange(len(part.hits)) * 7
    with open(tmp_path / "spill", "w+b") as spill:
        for part in parts:
            _spill(spill, part)
        spill.seek(0)
        for part in parts:
            back = _unspill(spill, dtype)
            assert back.chrom == part.chrom and back.hits.tobytes() == part.hits.tobytes()
            np.testing.assert_array_equal(back.pvalue, part.pvalue)
        assert _unspill(spill, dtype) is None
        spill.write(struct.pack("<qq", 5, 1) + b"x")     # a record cut short
        spill.seek(-17, os.SEEK_END)
        with pytest.raises(OSError, match="cut short"):
            _unspill(spill, dtype)
