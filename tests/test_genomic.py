"""GenomicSequence and get_gc_content, read through real indexed FASTA files."""
import re
from collections import namedtuple

import numpy as np
import pysam
import pytest

import model
from conftest import traceback_names
from morvane.utils import sequences as s

Region = namedtuple("Region", "chrom start end")
REAL_FASTA_FILE = pysam.FastaFile

CHROMS = {
    "up": "ACGTN",
    "low": "acgtn",
    "gc": "GGCA",
    "lgc": "ggca",
    "mix": "GCAT",
    "at": "ATATTA",
    "tail": "AAAAGGGGGG",
    "long": "TTGACCANRYGGCATCAGT" * 3,
}


def write_fasta(path, chroms, width=7):
    with open(path, "w") as f:
        for name, text in chroms.items():
            f.write(f">{name}\n")
            for i in range(0, len(text), width):
                f.write(text[i:i + width] + "\n")
    pysam.faidx(str(path))
    return str(path)


@pytest.fixture
def fasta(tmp_path):
    return write_fasta(tmp_path / "genome.fa", CHROMS)


@pytest.fixture
def reader(fasta):
    r = pysam.FastaFile(fasta)
    yield r
    r.close()


class Stub:
    """A reader whose fetch returns a fixed value and records its calls."""

    def __init__(self, value):
        self.value, self.calls, self.closed = value, [], 0

    def fetch(self, *args):
        self.calls.append(args)
        return self.value

    def close(self):
        self.closed += 1


# ---------------------------------------------------------------- GenomicSequence

def test_constructor():
    region = Region("chr1", 100, 105)
    g = s.GenomicSequence(region)
    assert list(vars(g)) == ["region", "length", "sequence", "revcomp"]
    assert g.region is region and g.length == 5 and type(g.length) is int
    for a in (g.sequence, g.revcomp):
        assert a.dtype == np.int64 and a.shape == (5,) and not a.any()
    assert not np.shares_memory(g.sequence, g.revcomp)


@pytest.mark.parametrize("region, sequence, revcomp", [
    (Region("up", 0, 5), [0, 2, 3, 1, 4], [4, 0, 2, 3, 1]),
    (Region("low", 0, 5), [0, 2, 3, 1, 4], [4, 0, 2, 3, 1]),
    (Region("long", 5, 14), [2, 0, 4, 4, 4, 3, 3, 2, 0], [1, 3, 2, 2, 4, 4, 4, 1, 3]),
    (Region("long", 19, 23), [1, 1, 3, 0], [1, 2, 0, 0]),          # across line breaks of the file
])
def test_from_fasta_codes_both_strands(reader, region, sequence, revcomp):
    g = s.GenomicSequence(region)
    seq_obj, rev_obj = g.sequence, g.revcomp
    assert g.from_fasta(reader) is g
    assert g.sequence is seq_obj and g.revcomp is rev_obj
    assert g.sequence.tolist() == sequence and g.revcomp.tolist() == revcomp


def test_from_fasta_twice_overwrites_every_position(tmp_path):
    first = pysam.FastaFile(write_fasta(tmp_path / "a.fa", {"c": "ACGTA"}))
    second = pysam.FastaFile(write_fasta(tmp_path / "b.fa", {"c": "TTGCN"}))
    g = s.GenomicSequence(Region("c", 0, 5))
    g.from_fasta(first)
    assert g.sequence.tolist() == [0, 2, 3, 1, 0]
    g.from_fasta(second)
    assert g.sequence.tolist() == [1, 1, 3, 2, 4] and g.revcomp.tolist() == [4, 3, 2, 0, 0]
    first.close()
    second.close()


@pytest.mark.parametrize("region, text, sequence, revcomp", [
    (Region("x", 7, 7), "", [], []),
    (Region("x", 7, 7), "ACGT", [], []),
    (Region("x", 0, 3), "GATTACA", [3, 0, 1], [0, 1, 2]),            # only the first length characters
    (Region("x", 0, 5), "A\u00c4\U0001F600Gc", [0, 4, 4, 3, 2], [3, 2, 4, 4, 1]),   # one code per code point
    (Region("x", 0, 4), "t\u0100\u0100a", [1, 4, 4, 0], [1, 4, 4, 0]),
])
def test_from_fasta_with_a_reader_object(region, text, sequence, revcomp):
    stub = Stub(text)
    g = s.GenomicSequence(region)
    assert g.from_fasta(stub) is g
    assert stub.calls == [tuple(region)] and stub.closed == 0
    assert g.sequence.tolist() == sequence and g.revcomp.tolist() == revcomp


def test_from_fasta_writes_through_strides():
    g = s.GenomicSequence(Region("x", 0, 4))
    fwd, rev = np.full(8, 9), np.full(12, 9)
    g.sequence, g.revcomp = fwd[::2], rev[::-3]
    g.from_fasta(Stub("ACGTTT"))
    assert fwd.tolist() == [0, 9, 2, 9, 3, 9, 1, 9]
    assert rev.tolist() == [9, 9, 1, 9, 9, 3, 9, 9, 2, 9, 9, 0]       # revcomp [0, 2, 3, 1] at 11, 8, 5, 2


def filled(n=5):
    g = s.GenomicSequence(Region("x", 10, 10 + n))
    g.sequence[:] = 7
    g.revcomp[:] = 8
    return g


@pytest.mark.parametrize("value, exc, message", [
    (b"ACGTA", TypeError, "Expected str, got bytes"),
    (list("ACGTA"), TypeError, "Expected str, got list"),
    (None, TypeError, "fetch() returned None; expected the region's sequence as a str"),
    ("ACG", ValueError, "fetch() returned 3 characters for a region of length 5"),
    ("ACGT", ValueError, "fetch() returned 4 characters for a region of length 5"),
])
def test_from_fasta_refuses_a_bad_fetch_result(value, exc, message):
    g = filled()
    with pytest.raises(exc, match=re.escape(message)) as excinfo:
        g.from_fasta(Stub(value))
    assert (g.sequence == 7).all() and (g.revcomp == 8).all()
    assert traceback_names(excinfo)[-1] == "morvane.utils.sequences.GenomicSequence.from_fasta"


@pytest.mark.parametrize("attr, value, exc, message", [
    ("sequence", np.full(4, 7), ValueError,
     "attribute 'sequence' has 4 elements; expected at least 5 (the region length)"),
    ("revcomp", np.full(2, 8), ValueError,
     "attribute 'revcomp' has 2 elements; expected at least 5 (the region length)"),
    ("sequence", "read-only", ValueError, "buffer source array is read-only"),
    ("revcomp", "read-only", ValueError, "buffer source array is read-only"),
    ("revcomp", np.full(5, 8, dtype=np.int32), ValueError, "Buffer dtype mismatch, expected 'int64_t' but got 'int'"),
    ("sequence", [7] * 5, TypeError, "Cannot convert list to numpy.ndarray"),
    ("sequence", None, TypeError, "attribute 'sequence' is None; expected a numpy.ndarray"),
    ("length", 2 ** 40, OverflowError, "value too large to convert to int"),
])
def test_from_fasta_refuses_bad_attributes_before_writing(attr, value, exc, message):
    g = filled()
    if isinstance(value, str):
        getattr(g, attr).flags.writeable = False
    else:
        setattr(g, attr, value)
    stub = Stub("ACGTA")
    with pytest.raises(exc, match=re.escape(message)):
        g.from_fasta(stub)
    assert stub.calls == [("x", 10, 15)]
    for name, sentinel in (("sequence", 7), ("revcomp", 8)):
        if isinstance(getattr(g, name), np.ndarray):
            assert (getattr(g, name) == sentinel).all()


def test_from_fasta_propagates_reader_errors(reader):
    g = s.GenomicSequence(Region("nowhere", 0, 3))
    with pytest.raises(KeyError):
        g.from_fasta(reader)
    assert not g.sequence.any() and not g.revcomp.any()


# ---------------------------------------------------------------- get_gc_content

@pytest.fixture
def opened(monkeypatch):
    """Stands in for pysam.FastaFile, opening the real file and recording each reader."""
    readers = []

    class Recorder:
        def __init__(self, path):
            self.inner, self.closed, self.calls = REAL_FASTA_FILE(path), 0, []
            readers.append(self)

        def fetch(self, *args):
            self.calls.append(args)
            return self.inner.fetch(*args)

        def close(self):
            self.closed += 1
            self.inner.close()

    monkeypatch.setattr(s.pysam, "FastaFile", Recorder)
    return readers


@pytest.mark.parametrize("regions, expected", [
    ([Region("gc", 0, 4)], 0.75),
    ([Region("lgc", 0, 4)], 0.75),
    ((Region("mix", 0, 2), Region("at", 0, 2)), 0.5),              # pooled, not averaged per region
    ([Region("mix", 0, 2), Region("gc", 0, 4)], 5 / 6),
    ([Region("tail", 4, 14)], 0.6),                               # past the chromosome end: 6 G of 10
    ([Region("up", 0, 5), Region("low", 0, 5)], 0.4),             # N counts only in the length
    ([Region("at", 0, 6)], 0.0),
])
def test_gc_content_of_real_regions(fasta, opened, regions, expected):
    result = s.get_gc_content(regions, fasta)
    assert type(result) is float and result == pytest.approx(expected, rel=1e-15)
    assert len(opened) == 1 and opened[0].closed == 1
    assert opened[0].calls == [tuple(r) for r in regions]


def test_gc_content_consumes_a_generator(fasta):
    regions = (Region("gc", 0, k) for k in (1, 2, 3, 4))
    assert s.get_gc_content(regions, fasta) == 9 / 10
    assert list(regions) == []


def test_gc_content_counts_any_iterable_fetch_result(monkeypatch):
    stub = Stub(["G", "g", "gc", "C", "A", "c"])
    monkeypatch.setattr(s.pysam, "FastaFile", lambda path: stub)
    assert s.get_gc_content([Region("x", 0, 8)], "any") == 4 / 8
    assert stub.calls == [("x", 0, 8)] and stub.closed == 1


class Less(int):
    """An int whose subtraction answers with a float, as an int subclass may."""

    def __sub__(self, other):
        return float(int(self) - int(other)) + 0.5


BIG = 2 ** 63


@pytest.mark.parametrize("bounds", [
    [(0, 4), (10, 30)],                                         # plain ints
    [(np.int64(0), np.int64(4)), (2, 8)],                       # NumPy scalars, then ints again
    [(0, 4), (0.0, 2.5), (1, 3)],                               # a float turns the total into a float
    [(False, True), (0, 3)],                                    # bool is an int subclass
    [(Less(1), Less(5)), (0, 3)],                               # a subclass's own subtraction
    [(-BIG, BIG - 1), (0, 3)],                                  # a length past 64 bits
    [(0, BIG - 1), (0, BIG - 1), (0, 2)],                       # a running total past 64 bits
    [(BIG - 1, 0), (0, BIG - 1), (0, 7)],                       # negative lengths cancel
    [(0, 2 ** 200), (0, 5)],                                    # arbitrary precision
    [(5, 5)] * 3 + [(0, 6)],                                    # zero lengths along the way
])
def test_gc_content_total_follows_python_arithmetic(monkeypatch, bounds):
    regions = [Region("x", start, end) for start, end in bounds]
    monkeypatch.setattr(s.pysam, "FastaFile", lambda path: Stub("GCgcA"))
    result = s.get_gc_content(regions, "any")
    want = model.get_gc_content(regions, "any", opener=lambda path: Stub("GCgcA"))
    assert type(result) is float and result == want


def test_gc_content_without_regions_closes_then_divides_by_zero(fasta, opened):
    with pytest.raises(ZeroDivisionError) as excinfo:
        s.get_gc_content([], fasta)
    assert len(opened) == 1 and opened[0].closed == 1
    assert traceback_names(excinfo)[-1] == "morvane.utils.sequences.get_gc_content"


@pytest.mark.parametrize("regions, exc", [
    ([Region("gc", 0, 4), Region("nowhere", 0, 4)], KeyError),
    ([Region("gc", 0, 4), object()], AttributeError),
    (42, TypeError),
])
def test_gc_content_errors_propagate_without_closing(fasta, opened, regions, exc):
    with pytest.raises(exc):
        s.get_gc_content(regions, fasta)
    assert len(opened) == 1 and opened[0].closed == 0


def test_gc_content_unopenable_file(tmp_path):
    with pytest.raises(OSError):
        s.get_gc_content([Region("gc", 0, 4)], str(tmp_path / "missing.fa"))
