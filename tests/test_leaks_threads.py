"""Leaks, threads and worker processes.

1. Every callable, on its success path and on its error paths, called many
   times over: no growth of the memory Python traces, of the C heap, of the
   resident set, or of the reference counts of the arguments, the instance
   and the module's objects; the same for morvane._scan and morvane._stats.
2. Several threads counting, preparing and scoring, on separate matrices and
   on shared ones: the results are those of the same work done serially.
3. Matrices and genomic sequences survive pickling, also into worker
   processes, and regions of a real indexed FASTA file scored in a process
   pool give the serial results.
"""
import concurrent.futures
import contextlib
import ctypes
import gc
import multiprocessing
import os
import pickle
import sys
import tracemalloc
import types
import warnings

import numpy as np
import pysam
import pytest

import regions
from morvane import _scan, _stats
from morvane.utils import sequences as s
from regions import Region

SANITIZED = bool(os.environ.get("MORVANE_SANITIZED"))
# The sanitizers' allocator keeps freed memory in quarantine and has its own
# heap statistics: there only the reference counts and the memory Python
# traces are checked, on fewer calls.
CALLS = 2_000 if SANITIZED else 20_000


# ---------------------------------------------------------------- memory probes

class _MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in
                ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks",
                 "keepcost")]


def _c_heap_probe():
    """Bytes in use on the C heap (glibc's mallinfo2), or None where unavailable."""
    if SANITIZED:
        return None
    try:
        libc = ctypes.CDLL(None)
        fn = libc.mallinfo2
    except (OSError, AttributeError):
        return None
    fn.restype = _MallInfo2
    return lambda: fn().uordblks + fn().hblkhd


c_heap = _c_heap_probe()


def resident_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def refcounts(objects):
    return [sys.getrefcount(o) for o in objects]


# ---------------------------------------------------------------- the calls under test

def codes(*values):
    return np.array(values, dtype=np.int64)


SEQ = np.random.default_rng(7).integers(0, 4, 60)
SEQ[[9, 33]] = 4


class Reader:
    def __init__(self, text):
        self.text = text

    def fetch(self, chrom, start, end):
        return self.text


class FakeFastaFile:
    """Stands in for pysam.FastaFile in get_gc_content: no file is opened."""
    texts = {"c": "ACGGCTTAGC" * 5, "none": None}

    def __init__(self, path):
        pass

    def fetch(self, chrom, start, end):
        return self.texts[chrom]

    def close(self):
        pass


def pwm(width=4, prepared=True):
    m = s.NucleotideMatrix(width)
    m.add_sequence(SEQ[:width], 2.0)
    m.add_background(SEQ[1:width + 1])
    if prepared:
        m.prepare_mat()
    return m


def dwm(width=4, prepared=True):
    m = s.DiNucleotideMatrix(width)
    m.add_sequence(SEQ[:width], 2.0)
    m.add_background(SEQ[1:width + 1])
    if prepared:
        m.prepare_mat()
    return m


def genomic():
    return s.GenomicSequence(Region("c", 0, 6)).from_fasta(Reader("ACGTNA"))


def with_attr(obj, **attrs):
    for k, v in attrs.items():
        setattr(obj, k, v)
    return obj


def read_only(a):
    a = np.array(a)
    a.flags.writeable = False
    return a


class IntLike:
    def __int__(self):
        return "4"


# Each case: name -> a builder returning (thunk, expected exception or None,
# objects whose reference counts must not grow). The builder runs once; the
# thunk runs CALLS times (a tenth of that for the heavier NumPy work).
def _cases():
    m, d, g = pwm(), dwm(), genomic()
    text = "ACGTNacgtn\u00e4" * 20
    seq, short, neg, flt, two_d = SEQ, codes(0, 1), codes(0, -1, 2, 3, 1), np.zeros(8), np.zeros((2, 4), np.int64)
    region = Region("c", 0, 6)
    cases = {
        # success paths
        "nuc_to_num": (lambda: s.nuc_to_num(text), None, [text]),
        "GenomicSequence": (lambda: s.GenomicSequence(region), None, [region]),
        "from_fasta": (lambda: g.from_fasta(Reader("TTGCAN")), None, [g, g.sequence, g.revcomp, g.region]),
        "get_gc_content": (lambda: s.get_gc_content([Region("c", 0, 50)] * 3, "x.fa"), None, []),
        "create": (lambda: (s.SequenceMatrix.create(3, "PWM"), s.SequenceMatrix.create(2, "DWM")), None, []),
        "add_counts": (lambda: m.add_counts(pwm(prepared=False)), None, [m, m.counts, m.bg_counts]),
        "NucleotideMatrix": (lambda: s.NucleotideMatrix(5), None, []),
        "pwm.add_sequence": (lambda: m.add_sequence(seq, amount=0.5), None, [m, seq, m.counts, m.neg_counts]),
        "pwm.add_sequence negative": (lambda: m.add_sequence(seq, -0.5), None, [m, seq, m.neg_counts]),
        "pwm.add_background": (lambda: m.add_background(sequence=seq), None, [m, seq, m.bg_counts]),
        "pwm.prepare_mat": (m.prepare_mat, None, [m, m.counts, m.bg_counts]),
        "pwm.score_sequence": (lambda: m.score_sequence(seq), None, [m, seq, m.pssm]),
        "pwm.score strided": (lambda: m.score_sequence(seq[::-2]), None, [m, seq, m.pssm]),
        "DiNucleotideMatrix": (lambda: s.DiNucleotideMatrix(3), None, []),
        "dwm.add_sequence": (lambda: d.add_sequence(seq, 1.5), None, [d, seq, d.counts]),
        "dwm.add_sequence with N": (lambda: d.add_sequence(seq[6:]), None, [d, seq, d.counts]),
        "dwm.add_background": (lambda: d.add_background(seq), None, [d, seq, d.bg_counts]),
        "dwm.prepare_mat": (d.prepare_mat, None, [d, d.counts, d.bias_dwm, d.bg_dwm]),
        "dwm.score_sequence": (lambda: d.score_sequence(seq[:20]), None, [d, seq]),
        # binding errors
        "too many arguments": (lambda: m.add_sequence(seq, 1.0, 2), TypeError, [m, seq]),
        "unexpected keyword": (lambda: s.nuc_to_num(text=text), TypeError, [text]),
        "repeated keyword": (lambda: m.add_sequence(seq, 1.0, amount=2.0), TypeError, [m, seq]),
        "missing argument": (lambda: d.score_sequence(), TypeError, [d]),
        "keyword not a string": (lambda: s.nuc_to_num(**{1: "A"}), TypeError, []),
        "amount not a number": (lambda: m.add_sequence(seq, "1"), TypeError, [m, seq]),
        "sequence not an array": (lambda: m.score_sequence([0, 1]), TypeError, [m]),
        "sequence None": (lambda: d.add_sequence(None), TypeError, [d]),
        "sequence float64": (lambda: m.add_sequence(flt), ValueError, [m, flt]),
        "sequence 2-D": (lambda: d.score_sequence(two_d), ValueError, [d, two_d]),
        "nuc_to_num(None)": (lambda: s.nuc_to_num(None), TypeError, []),
        "nuc_to_num(bytes)": (lambda: s.nuc_to_num(b"AC"), TypeError, []),
        # body errors
        "short sequence": (lambda: m.add_sequence(short), ValueError, [m, short, m.counts]),
        "code outside 0..4": (lambda: d.add_background(codes(0, 9, 1, 2)), ValueError, [d, d.bg_counts]),
        "negative code scored": (lambda: m.score_sequence(neg), ValueError, [m, neg, m.pssm]),
        "dwm negative code scored": (lambda: d.score_sequence(neg), ValueError, [d, neg]),
        "create bad type": (lambda: s.SequenceMatrix.create(3, "XWM"), SystemExit, []),
        "add_counts broadcast": (lambda: m.add_counts(pwm(width=5, prepared=False)), ValueError, [m, m.counts]),
        "fetch short text": (lambda: g.from_fasta(Reader("AC")), ValueError, [g, g.sequence]),
        "fetch bytes": (lambda: g.from_fasta(Reader(b"ACGTNA")), TypeError, [g]),
        "gc fetch None": (lambda: s.get_gc_content([Region("none", 0, 2)], "x.fa"), TypeError, []),
        "gc no regions": (lambda: s.get_gc_content([], "x.fa"), ZeroDivisionError, []),
        "region without end": (lambda: s.GenomicSequence(object()), AttributeError, []),
    }
    # errors on replaced attributes, each on its own instance
    ro = read_only(np.zeros((5, 4)))
    bad = {
        "counts read-only": (with_attr(pwm(), counts=ro), lambda o: o.add_sequence(seq), ValueError, [ro]),
        "counts int64": (with_attr(pwm(), counts=np.zeros((5, 4), np.int64)),
                         lambda o: o.add_sequence(seq), ValueError, []),
        "counts too small": (with_attr(dwm(), counts=np.zeros((5, 5, 3, 3))),
                             lambda o: o.add_sequence(seq), ValueError, []),
        "counts None": (with_attr(pwm(), bg_counts=None), lambda o: o.add_background(seq), TypeError, []),
        "length overflow": (with_attr(pwm(), length=2 ** 40), lambda o: o.add_sequence(seq), OverflowError, []),
        "length __int__ str": (with_attr(dwm(), length=IntLike()), lambda o: o.add_background(seq), TypeError, []),
        "pssm list": (with_attr(pwm(), pssm=[[0.0]]), lambda o: o.score_sequence(seq), TypeError, []),
        "pssm too small": (with_attr(pwm(), pssm=np.zeros((3, 4))), lambda o: o.score_sequence(seq), ValueError, []),
        "pwm.prepare_mat error": (with_attr(pwm(), counts=None), lambda o: o.prepare_mat(), TypeError, []),
        "dwm.prepare_mat error": (with_attr(dwm(), bias_dwm=np.zeros((5, 5, 2, 2))),
                                  lambda o: o.prepare_mat(), IndexError, []),
        "dwm logs missing": (dwm(prepared=False), lambda o: o.score_sequence(seq), AttributeError, []),
        "dwm log too small": (with_attr(dwm(), bg_dwm_log=np.zeros((5, 3, 4, 4))),
                              lambda o: o.score_sequence(seq), ValueError, []),
        "dwm negative width": (with_attr(dwm(), length=-1), lambda o: o.score_sequence(seq), ValueError, []),
        "genomic array read-only": (with_attr(genomic(), revcomp=read_only(np.zeros(6, np.int64))),
                                    lambda o: o.from_fasta(Reader("ACGTNA")), ValueError, []),
        "genomic array float": (with_attr(genomic(), sequence=np.zeros(6)),
                                lambda o: o.from_fasta(Reader("ACGTNA")), ValueError, []),
    }
    for name, (obj, call, exc, watched) in bad.items():
        cases[name] = ((lambda o=obj, c=call: c(o)), exc,
                       [obj] + [v for v in vars(obj).values() if v is not None] + watched)
    return cases


CASES = _cases()
HEAVY = {"pwm.prepare_mat", "dwm.prepare_mat", "dwm.score_sequence", "add_counts", "create", "get_gc_content",
         "add_counts broadcast", "pwm.prepare_mat error", "dwm.prepare_mat error", "DiNucleotideMatrix",
         "from_fasta"}


@contextlib.contextmanager
def fake_pysam():
    saved = s.pysam
    s.pysam = types.SimpleNamespace(FastaFile=FakeFastaFile)
    try:
        yield
    finally:
        s.pysam = saved


@pytest.fixture(scope="module")
def traced():
    tracemalloc.start()
    yield
    tracemalloc.stop()


@pytest.mark.parametrize("name", list(CASES))
def test_no_leak(name, traced):
    thunk, exc, watched = CASES[name]
    module_objects = list(vars(s).values()) + [vars(cls)[k] for cls in (
        s.SequenceMatrix, s.NucleotideMatrix, s.DiNucleotideMatrix, s.GenomicSequence) for k in vars(cls)]
    with fake_pysam():
        assert_no_growth(name, thunk, exc, watched + module_objects, CALLS // 10 if name in HEAVY else CALLS)


def assert_no_growth(name, thunk, exc, watched, calls):
    """thunk, called `calls` times after as many to warm up, grows neither the reference counts of
    `watched` nor the memory Python traces, the C heap or the resident set."""
    def run(n):
        for _ in range(n):
            if exc is None:
                thunk()
            else:
                try:
                    thunk()
                except exc:
                    pass
                else:
                    raise AssertionError(f"{name}: {exc.__name__} not raised")

    with np.errstate(all="ignore"):
        run(calls)                                  # warm up caches, free lists and one-time tables
        gc.collect()
        counts0, traced0 = refcounts(watched), tracemalloc.get_traced_memory()[0]
        heap0, rss0 = (c_heap() if c_heap else 0), resident_bytes()
        run(calls)
        gc.collect()
        counts1, traced1 = refcounts(watched), tracemalloc.get_traced_memory()[0]
        heap1, rss1 = (c_heap() if c_heap else 0), resident_bytes()
    grown = [(type(o).__name__, a, b) for o, a, b in zip(watched, counts0, counts1) if b - a > 2]
    assert not grown, f"reference counts grew: {grown}"
    assert traced1 - traced0 < 64 * 1024, f"traced memory grew by {traced1 - traced0} bytes"
    if not SANITIZED:
        assert heap1 - heap0 < 256 * 1024, f"C heap grew by {heap1 - heap0} bytes"
        assert rss1 - rss0 < 8 * 1024 * 1024, f"resident set grew by {rss1 - rss0} bytes"


# ---------------------------------------------------------------- the scanning and statistics modules

def _native_cases():
    rng = np.random.default_rng(9)
    mats = [rng.normal(0, 2, (4, L)) for L in (3, 9, 20)]
    thresholds = [0.0, 4.0, 9.0]
    scanner = _scan.Scanner(mats, thresholds)
    codes = _scan.encode("".join(rng.choice(list("ACGTNacgt"), 5000)))
    text, raw = "ACGTNacgtn\u00e4" * 20, b"ACGTNacgtn" * 20
    long_text = "ACGT" * 50_000                             # coded without the GIL
    wide, strided, two_d = np.zeros(10, np.int64), np.zeros(20, np.uint8)[::2], np.zeros((2, 5), np.uint8)
    level = _scan._simd_level()

    class Failing:
        def __array__(self, dtype=None, copy=None):
            raise ValueError("no matrix here")

    L = 6
    M = rng.normal(size=(4, L))
    q = np.floor((M - M.min(axis=0)) * 10).astype(np.int64)
    reach = np.append(np.cumsum(q.max(axis=0)[::-1])[::-1], 0)
    bg = np.full(4, 0.25)
    top = int(reach[0])
    x = np.linspace(-3.0, 3.0, 25)
    p = rng.random(40)
    scores = rng.normal(size=40)
    return {
        # _scan, success paths
        "Scanner": (lambda: _scan.Scanner(mats, thresholds, "both"), None, mats + [mats]),
        "Scanner from lists": (lambda: _scan.Scanner([m.tolist() for m in mats], thresholds, "-"), None, []),
        "scan": (lambda: scanner.scan(codes), None, [scanner, codes]),
        "scan limit offset": (lambda: scanner.scan(codes, 1000, 10**9), None, [scanner, codes]),
        "dtype and widths": (lambda: (scanner.dtype, scanner.widths), None, [scanner]),
        "encode str": (lambda: _scan.encode(text), None, [text]),
        "encode bytes": (lambda: _scan.encode(raw), None, [raw]),
        "encode long": (lambda: _scan.encode(long_text), None, [long_text]),
        "simd level": (lambda: (_scan._simd_level(), _scan._force_simd_level(level)), None, []),
        # _scan, error paths
        "Scanner not a sequence": (lambda: _scan.Scanner(None, []), TypeError, []),
        "Scanner bad shape": (lambda: _scan.Scanner(mats + [np.zeros((3, 2))], thresholds + [0.0]), ValueError,
                              mats),
        "Scanner failing matrix": (lambda: _scan.Scanner(mats + [Failing()], thresholds + [0.0]), ValueError,
                                   mats),
        "Scanner NaN threshold": (lambda: _scan.Scanner(mats, [0.0, float("nan"), 1.0]), ValueError, mats),
        "Scanner count mismatch": (lambda: _scan.Scanner(mats, [0.0]), ValueError, mats),
        "Scanner bad strand": (lambda: _scan.Scanner(mats, thresholds, "forward"), ValueError, mats),
        "scan int64 codes": (lambda: scanner.scan(wide), TypeError, [scanner, wide]),
        "scan strided codes": (lambda: scanner.scan(strided), ValueError, [scanner, strided]),
        "scan 2-D codes": (lambda: scanner.scan(two_d), ValueError, [scanner, two_d]),
        "scan bad limit": (lambda: scanner.scan(codes, "3"), TypeError, [scanner, codes]),
        "scan offset overflow": (lambda: scanner.scan(codes, None, 2**63 - 10), OverflowError, [scanner, codes]),
        "encode None": (lambda: _scan.encode(None), TypeError, []),
        "unknown level": (lambda: _scan._force_simd_level("sse9"), ValueError, []),
        # _stats, success paths
        "lattice_bracket": (lambda: _stats.lattice_bracket(q, bg, reach, top // 3, top), None, [q, bg, reach]),
        "lattice_words": (lambda: _stats.lattice_words(q, M, bg, reach, top // 2, top + 1, 4**L, 0, 4**(L + 1)),
                          None, [q, M, bg, reach]),
        "lattice_words gives up": (lambda: _stats.lattice_words(q, M, bg, reach, 0, top + 1, 3, 0, 4**L), None,
                                   [q, M, bg, reach]),
        "lattice_tails": (lambda: _stats.lattice_tails(q, M, bg, reach, top // 2, x), None, [q, M, bg, reach, x]),
        "best_first": (lambda: _stats.best_first(scores, p), None, [scores, p]),
        # _stats, error paths
        "lattice q shape": (lambda: _stats.lattice_bracket(q[:3], bg, reach, 0, top), ValueError, [q]),
        "lattice reach size": (lambda: _stats.lattice_words(q, M, bg, reach[:-1], 0, top, 9, 0, 9), ValueError,
                               [q, M, reach]),
        "lattice tails unsorted": (lambda: _stats.lattice_tails(q, M, bg, reach, 0, x[::-1]), ValueError, [x]),
        "best_first sizes": (lambda: _stats.best_first(scores, p[:5]), ValueError, [scores, p]),
        "best_first NaN": (lambda: _stats.best_first(np.array([1.0, np.nan]), p[:2]), ValueError, [p]),
        "lattice bad argument": (lambda: _stats.lattice_bracket(q, bg, reach, "0", top), TypeError, [q]),
    }


NATIVE_CASES = _native_cases()
NATIVE_HEAVY = {"Scanner", "Scanner from lists", "scan", "encode long", "lattice_words", "lattice_tails"}


@pytest.mark.parametrize("name", list(NATIVE_CASES))
def test_native_no_leak(name, traced):
    thunk, exc, watched = NATIVE_CASES[name]
    module_objects = list(vars(_scan).values()) + list(vars(_stats).values())
    assert_no_growth(name, thunk, exc, watched + module_objects, CALLS // 10 if name in NATIVE_HEAVY else CALLS)


# ---------------------------------------------------------------- threads

def same_doubles(got, want):
    assert got.dtype == want.dtype and got.shape == want.shape
    nan = np.isnan(want)
    assert (np.isnan(got) == nan).all()
    assert got[~nan].tobytes() == want[~nan].tobytes()


def matrix_work(kind, width, seed):
    """Counts, prepares and scores a matrix of its own; returns what it computed."""
    rng = np.random.default_rng(seed)
    m = s.SequenceMatrix.create(width, kind)
    for i in range(60):
        seq = rng.integers(0, 4, width + 2)
        if i % 7 == 0:
            seq[int(rng.integers(0, width))] = 4
        (m.add_sequence if i % 3 else m.add_background)(seq, float(rng.integers(1, 4)))
    m.prepare_mat()
    seq = rng.choice([0, 1, 2, 3] * 20 + [4], size=3000 if kind == "PWM" else 300)
    text = "".join("ATCGN"[c] for c in seq)
    coded = s.nuc_to_num(text)
    g = s.GenomicSequence(Region("c", 0, len(text))).from_fasta(Reader(text))
    return [m.counts, m.bg_counts, m.pssm, m.score_sequence(coded), m.score_sequence(g.revcomp)]


@pytest.fixture
def busy_switching():
    """Threads switch as often as the interpreter lets them."""
    saved = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(saved)


def test_threads_on_separate_matrices(busy_switching):
    jobs = [(kind, width, seed) for seed, (kind, width) in enumerate(
        [("PWM", 1), ("PWM", 8), ("PWM", 21), ("DWM", 1), ("DWM", 5), ("DWM", 9)] * 2)]
    serial = [matrix_work(*job) for job in jobs]
    with concurrent.futures.ThreadPoolExecutor(max_workers=6) as pool:
        threaded = list(pool.map(lambda job: matrix_work(*job), jobs))
    for got, want in zip(threaded, serial):
        for a, b in zip(got, want):
            same_doubles(a, b)


def test_threads_scoring_one_shared_matrix(busy_switching):
    rng = np.random.default_rng(11)
    shared = [pwm(width=9), dwm(width=6)]
    seqs = [rng.choice([0, 1, 2, 3] * 10 + [4, 6], size=int(rng.integers(0, 400))) for _ in range(24)]
    views = [q if i % 3 else q[::-1] for i, q in enumerate(seqs)]
    before = [{k: np.array(v) for k, v in vars(m).items() if isinstance(v, np.ndarray)} for m in shared]
    serial = [[m.score_sequence(q) for q in views] for m in shared]

    def score_all(offset):
        return [[m.score_sequence(views[(i + offset) % len(views)]) for i in range(len(views))] for m in shared]
    with concurrent.futures.ThreadPoolExecutor(max_workers=8) as pool:
        results = list(pool.map(score_all, range(8)))
    for offset, result in enumerate(results):
        for k in range(len(shared)):
            for i in range(len(views)):
                same_doubles(result[k][i], serial[k][(i + offset) % len(views)])
    for m, b in zip(shared, before):
        for k, v in b.items():
            np.testing.assert_array_equal(getattr(m, k), v)


@pytest.mark.parametrize("kind", ["PWM", "DWM"])
def test_threads_counting_into_one_shared_matrix(kind, busy_switching):
    """Whole-number amounts add up exactly in any order, so the counts of
    interleaved calls equal the serial ones."""
    rng = np.random.default_rng(5)
    width = 6
    batches = [[(rng.integers(0, 4, width), float(rng.integers(-2, 4)), bool(rng.integers(0, 2)))
                for _ in range(150)] for _ in range(6)]

    def count(matrix, batch):
        for seq, amount, background in batch:
            (matrix.add_background if background else matrix.add_sequence)(seq, amount)
    serial = s.SequenceMatrix.create(width, kind)
    for batch in batches:
        count(serial, batch)
    shared = s.SequenceMatrix.create(width, kind)
    with concurrent.futures.ThreadPoolExecutor(max_workers=6) as pool:
        list(pool.map(lambda batch: count(shared, batch), batches))
    for name in ("counts", "bg_counts", "neg_counts"):
        np.testing.assert_array_equal(getattr(shared, name), getattr(serial, name))
    assert shared.no_bias == serial.no_bias and shared.no_bg == serial.no_bg


# ---------------------------------------------------------------- pickling and worker processes

def assert_same_state(a, b):
    assert type(a) is type(b)
    assert list(vars(a)) == list(vars(b))
    for name, want in vars(a).items():
        got = getattr(b, name)
        if isinstance(want, np.ndarray):
            assert type(got) is np.ndarray and got.dtype == want.dtype and got.shape == want.shape, name
            same_doubles(got, want) if want.dtype.kind == "f" else np.testing.assert_array_equal(got, want)
        else:
            assert type(got) is type(want), name
            assert got == want or (got != got and want != want), name


def pickled_objects():
    nan_totals = s.NucleotideMatrix(0)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        nan_totals.prepare_mat()                    # totals of an empty width are NaN
    return {
        "pwm fresh": s.NucleotideMatrix(5),
        "pwm counted": pwm(width=6, prepared=False),
        "pwm prepared": pwm(width=6),
        "pwm nan totals": nan_totals,
        "dwm fresh": s.DiNucleotideMatrix(3),
        "dwm counted": dwm(width=5, prepared=False),
        "dwm prepared": dwm(width=5),
        "genomic": genomic(),
    }


@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
def test_pickle_round_trips(protocol):
    for name, obj in pickled_objects().items():
        copy = pickle.loads(pickle.dumps(obj, protocol))
        assert_same_state(obj, copy)
        if isinstance(copy, s.SequenceMatrix):      # the copy is a working matrix
            copy.add_sequence(SEQ[:copy.length])
            obj.add_sequence(SEQ[:obj.length])
            assert_same_state(obj, copy)


def write_genome(path):
    rng = np.random.default_rng(3)
    chroms = {}
    with open(path, "w") as f:
        for name, n in (("chrA", 4000), ("chrB", 2500), ("chrM", 700)):
            text = "".join(rng.choice(list("ACGTacgtN"), size=n, p=[0.22] * 4 + [0.02] * 4 + [0.04]))
            chroms[name] = text
            f.write(f">{name}\n")
            for i in range(0, n, 60):
                f.write(text[i:i + 60] + "\n")
    pysam.faidx(str(path))
    return chroms


@pytest.fixture(scope="module")
def pool():
    context = multiprocessing.get_context("forkserver" if "forkserver" in multiprocessing.get_all_start_methods()
                                          else "spawn")
    with concurrent.futures.ProcessPoolExecutor(max_workers=2, mp_context=context) as executor:
        yield executor


def test_matrices_and_sequences_survive_worker_processes(pool):
    objects = pickled_objects()
    returned = dict(zip(objects, pool.map(regions.round_trip, objects.values())))
    for name, obj in objects.items():
        assert_same_state(obj, returned[name])
    batches = [("add_sequence", SEQ[i:i + 7], 1.0 + i % 3) for i in range(0, 40, 2)] + \
              [("add_background", SEQ[i:i + 7], 0.5) for i in range(0, 40, 5)]
    for kind in ("PWM", "DWM"):
        local = regions.count_and_prepare(kind, 7, batches)
        assert_same_state(local, pool.submit(regions.count_and_prepare, kind, 7, batches).result())


def test_scoring_regions_in_worker_processes(tmp_path, pool):
    path = str(tmp_path / "genome.fa")
    chroms = write_genome(path)
    spans = [("chrA", 0, 4000), ("chrA", 1234, 1300), ("chrB", 7, 2500), ("chrB", 100, 100), ("chrM", 0, 700),
             ("chrM", 690, 700), ("chrA", 3990, 4000), ("chrB", 0, 1)]
    chosen = [Region(*span) for span in spans]
    matrices = [pwm(width=9), dwm(width=5)]
    for matrix in matrices:
        serial = [regions.score_region(path, r, matrix) for r in chosen]
        parallel = list(pool.map(regions.score_region, [path] * len(chosen), chosen, [matrix] * len(chosen)))
        for region, want, got in zip(chosen, serial, parallel):
            text = chroms[region.chrom][region.start:region.end]
            np.testing.assert_array_equal(want[0], s.nuc_to_num(text))
            for a, b in zip(got, want):
                same_doubles(a, b) if a.dtype.kind == "f" else np.testing.assert_array_equal(a, b)
        assert any(np.isfinite(w[2]).any() for w in serial)
    # filled sequences scored in the workers
    filled = [s.GenomicSequence(r).from_fasta(pysam.FastaFile(path)) for r in chosen]
    got = list(pool.map(regions.score_genomic, filled, [matrices[1]] * len(filled)))
    for g, (fwd, rev) in zip(filled, got):
        same_doubles(fwd, matrices[1].score_sequence(g.sequence))
        same_doubles(rev, matrices[1].score_sequence(g.revcomp))
