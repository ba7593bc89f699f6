"""Hostile input for every callable.

Sequences that are too short or hold codes outside 0..4, None and foreign
objects where arrays belong, arrays of the wrong element type, dimensions,
shape or writability, widths that are zero, negative or far too large,
readers that return the wrong thing, integers that are not integers. Each
refusal must be the right exception with a message that says what was
expected, and must leave the instance and the arguments exactly as they were
(same attribute objects, same array contents). Arrays that are only read may
be read-only or non-contiguous, and then the call must work.
"""
import os
import re
import subprocess
import sys
import types

import numpy as np
import pytest

from conftest import IntLike, assert_untouched, codes, describe, dtype_mismatch, frozen
from morvane.utils import sequences as s
from regions import Region

SANITIZED = bool(os.environ.get("MORVANE_SANITIZED"))
no_huge_allocations = pytest.mark.skipif(SANITIZED, reason="allocates gigabytes; too slow under the sanitizers")


# ---------------------------------------------------------------- helpers

def refuse(target, call, exc, message, *args):
    """``call(target, *args)`` raises ``exc`` whose text matches ``message``
    (a regular expression searched for), and changes neither target nor args."""
    before = frozen(target)
    arg_before = [describe(a) for a in args]
    with pytest.raises(exc, match=message) as excinfo:
        call(target, *args)
    assert_untouched(target, before)
    assert [describe(a) for a in args] == arg_before
    return excinfo


def ident(value):
    """A short test id for a parameter value."""
    if isinstance(value, np.ndarray):
        return f"{value.dtype}{list(value.shape)}"
    if isinstance(value, type):
        return value.__name__
    if callable(value) and hasattr(value, "__name__"):
        return value.__name__
    if isinstance(value, str) and (value.startswith("^") or "\\" in value):
        return "msg"
    return repr(value)[:24]


def exact(text):
    return "^" + re.escape(text) + "$"


def mismatch(expected, found):
    return exact(dtype_mismatch(expected, found))


def dims(expected, got):
    return exact(f"Buffer has wrong number of dimensions (expected {expected}, got {got})")


def read_only(shape, value=0.0, dtype=np.float64):
    a = np.full(shape, value, dtype)
    a.flags.writeable = False
    return a


class Boom(Exception):
    pass


# ---------------------------------------------------------------- targets

W = 3   # matrix width of the targets


def pwm():
    m = s.NucleotideMatrix(W)
    m.add_sequence(codes(0, 1, 2), 2.0)
    m.add_sequence(codes(3, 3, 3), -1.0)
    m.add_background(codes(0, 4, 2))
    return m


def dwm():
    m = s.DiNucleotideMatrix(W)
    m.add_sequence(codes(0, 1, 2), 2.0)
    m.add_background(codes(3, 2, 1))
    m.prepare_mat()
    return m


def genomic():
    g = s.GenomicSequence(Region("chr", 10, 14))
    return g.from_fasta(Reader("ACGT"))


class Reader:
    """A FASTA reader whose fetch returns (or raises) a fixed value."""

    def __init__(self, value):
        self.value = value

    def fetch(self, chrom, start, end):
        if isinstance(self.value, Exception):
            raise self.value
        return self.value


def replaced(make, **attrs):
    def build():
        target = make()
        for name, value in attrs.items():
            if value is DELETE:
                delattr(target, name)
            else:
                setattr(target, name, value)
        return target
    return build


DELETE = object()


# ---------------------------------------------------------------- width conversion (self.length)

LENGTHS = [
    (None, TypeError, exact("an integer is required")),
    ("3", TypeError, exact("an integer is required")),
    (2 ** 31, OverflowError, exact("value too large to convert to int")),
    (2 ** 40, OverflowError, exact("value too large to convert to int")),
    (-2 ** 31 - 1, OverflowError, exact("value too large to convert to int")),
    (IntLike("3"), TypeError, exact("__int__ returned non-int (type str)")),
    (IntLike(3.0), TypeError, exact("__int__ returned non-int (type float)")),
    (IntLike(2 ** 40), OverflowError, exact("value too large to convert to int")),
    (IntLike(Boom("no width")), Boom, exact("no width")),
    (DELETE, AttributeError, "length"),
]

READS_LENGTH = [
    ("pwm.add_sequence", pwm, lambda m: m.add_sequence(codes(0, 1, 2))),
    ("pwm.add_background", pwm, lambda m: m.add_background(codes(0, 1, 2))),
    ("dwm.add_sequence", dwm, lambda m: m.add_sequence(codes(0, 1, 2))),
    ("dwm.add_background", dwm, lambda m: m.add_background(codes(0, 1, 2))),
    ("dwm.score_sequence", dwm, lambda m: m.score_sequence(codes(0, 1, 2, 3))),
    ("from_fasta", genomic, lambda g: g.from_fasta(Reader("TTTT"))),
]


@pytest.mark.parametrize("length, exc, message", LENGTHS, ids=ident)
@pytest.mark.parametrize("name, make, call", READS_LENGTH, ids=[r[0] for r in READS_LENGTH])
def test_width_that_is_not_a_32_bit_int(name, make, call, length, exc, message):
    refuse(replaced(make, length=length)(), call, exc, message)


# ---------------------------------------------------------------- counted sequences

COUNTERS = [
    ("pwm.add_sequence", pwm, "add_sequence"),
    ("pwm.add_background", pwm, "add_background"),
    ("dwm.add_sequence", dwm, "add_sequence"),
    ("dwm.add_background", dwm, "add_background"),
]
COUNTER_IDS = [c[0] for c in COUNTERS]


def short(n):
    return exact(f"sequence has {n} elements; expected at least {W} (the matrix length)")


def bad_code(index, value):
    return exact(f"sequence[{index}] is {value}; expected a nucleotide code from 0 to 4")


BAD_COUNTED_SEQUENCES = [
    (codes(0, 1), ValueError, short(2)),
    (codes(), ValueError, short(0)),
    (codes(0, 1, 2, 3)[::2], ValueError, short(2)),                    # strided, too short
    (codes(0, 5, 1), ValueError, bad_code(1, 5)),
    (codes(0, 1, -1), ValueError, bad_code(2, -1)),
    (codes(2 ** 62, 0, 0), ValueError, bad_code(0, 2 ** 62)),
    (codes(-2 ** 63, 0, 0), ValueError, bad_code(0, -2 ** 63)),
    (codes(9, 9, 9, 9)[::-1], ValueError, bad_code(0, 9)),               # reversed view
    (None, TypeError, exact("Argument 'sequence' must not be None")),
    ([0, 1, 2], TypeError, exact("Argument 'sequence' has incorrect type (expected numpy.ndarray, got list)")),
    (b"\x00\x01\x02", TypeError, exact("Argument 'sequence' has incorrect type (expected numpy.ndarray, got bytes)")),
    (np.zeros(3), ValueError, mismatch("int64_t", "'double'")),
    (np.zeros(3, np.int32), ValueError, mismatch("int64_t", "'int'")),
    (np.zeros(3, np.uint64), ValueError, mismatch("int64_t", "'unsigned long'")),
    (np.zeros(3, ">i8"), ValueError, exact("Big-endian buffer not supported on little-endian compiler")),
    (np.zeros((1, 3), np.int64), ValueError, dims(1, 2)),
    (np.zeros((), np.int64), ValueError, dims(1, 0)),
]


@pytest.mark.parametrize("seq, exc, message", BAD_COUNTED_SEQUENCES, ids=ident)
@pytest.mark.parametrize("name, make, method", COUNTERS, ids=COUNTER_IDS)
def test_counting_refuses_bad_sequences(name, make, method, seq, exc, message):
    refuse(make(), lambda m, q: getattr(m, method)(q), exc, message, seq)


@pytest.mark.parametrize("name, make, method", COUNTERS, ids=COUNTER_IDS)
@pytest.mark.parametrize("amount, exc, message", [
    ("1", TypeError, exact("must be real number, not str")),
    (None, TypeError, exact("must be real number, not NoneType")),
    (1j, TypeError, exact("must be real number, not complex")),
    (types.SimpleNamespace(__float__=None), TypeError, "must be real number"),
    (IntLike(1), TypeError, exact("must be real number, not IntLike")),
    (2 ** 1100, OverflowError, "too large to convert to float"),
], ids=ident)
def test_counting_refuses_bad_amounts(name, make, method, amount, exc, message):
    refuse(make(), lambda m: getattr(m, method)(codes(0, 1, 2), amount), exc, message)


def test_amount_whose_float_conversion_raises():
    class Bad:
        def __float__(self):
            raise Boom("no float")
    for _, make, method in COUNTERS:
        refuse(make(), lambda m, method=method: getattr(m, method)(codes(0, 1, 2), Bad()), Boom, exact("no float"))


@pytest.mark.parametrize("seq", [codes(0, 4, 5), codes(4, -1, 2 ** 62), codes(7, 0, 4)], ids=str)
@pytest.mark.parametrize("make", [pwm, dwm], ids=["pwm", "dwm"])
def test_bias_sequence_with_n_is_skipped_whatever_else_it_holds(make, seq):
    """The N test comes first: such a sequence is refused whole, silently."""
    m = make()
    before = frozen(m)
    assert m.add_sequence(seq, 3.0) is None
    assert_untouched(m, before)


@pytest.mark.parametrize("amount", [5 * 5e-324, 1.0, -1.0, float("nan")], ids=repr)
@pytest.mark.parametrize("name, make, method", COUNTERS, ids=COUNTER_IDS)
def test_counting_a_sequence_that_aliases_its_counts(name, make, method, amount):
    """The codes are read once, before any count changes: counting a view of
    the very array being updated gives what counting a copy gives."""
    m, expected = make(), make()
    if method == "add_background":
        written = "bg_counts"
    else:       # a PWM keeps amounts of 0 or less (NaN too) apart
        written = "neg_counts" if make is pwm and not amount > 0 else "counts"
    for target in (m, expected):
        getattr(target, written)[...] = 0.0
        getattr(target, written).flat[:3] = np.array([2, 0, 1]).view(np.float64)   # codes 2, 0, 1
    seq = getattr(m, written).view(np.int64).ravel()[2::-1]
    getattr(expected, method)(seq.copy(), amount)
    getattr(m, method)(seq, amount)
    for attr, value in vars(expected).items():
        np.testing.assert_array_equal(getattr(m, attr), value, err_msg=attr)


# ---------------------------------------------------------------- count attributes

def count_attr_cases(written, shape):
    """Replacements for an array attribute that a counting method writes into."""
    ndim = len(shape)
    smaller = [tuple(d - 1 if i == k else d for i, d in enumerate(shape)) for k in range(ndim)]
    wanted = ", ".join(str(d) for d in shape)
    cases = [
        (None, TypeError, exact(f"attribute '{written}' is None; expected a numpy.ndarray")),
        ([[0.0] * W] * 5, TypeError, exact("Cannot convert list to numpy.ndarray")),
        (np.float64(0), TypeError, exact("Cannot convert numpy.float64 to numpy.ndarray")),
        (np.zeros(shape, np.int64), ValueError, mismatch("float64_t", "'long'")),
        (np.zeros(shape, np.float32), ValueError, mismatch("float64_t", "'float'")),
        (np.zeros(shape, np.complex128), ValueError, mismatch("float64_t", "'complex double'")),
        (np.zeros(shape, object), ValueError, mismatch("float64_t", "Python object")),
        (np.zeros(shape, ">f8"), ValueError, exact("Big-endian buffer not supported on little-endian compiler")),
        (np.zeros(shape[1:]), ValueError, dims(ndim, ndim - 1)),
        (np.zeros(shape + (1,)), ValueError, dims(ndim, ndim + 1)),
        (read_only(shape), ValueError, "read-only"),
        (DELETE, AttributeError, written),
    ]
    for small in smaller:
        have = ", ".join(str(d) for d in small)
        cases.append((np.zeros(small), ValueError,
                      exact(f"attribute '{written}' has shape ({have}); expected at least ({wanted})")))
    return [(written,) + case for case in cases]


COUNT_ATTRS = [
    ("pwm.add_sequence", pwm, "add_sequence", count_attr_cases("counts", (5, W))
     + count_attr_cases("neg_counts", (5, W))),
    ("pwm.add_background", pwm, "add_background", count_attr_cases("bg_counts", (5, W))),
    ("dwm.add_sequence", dwm, "add_sequence", count_attr_cases("counts", (5, 5, W, W))),
    ("dwm.add_background", dwm, "add_background", count_attr_cases("bg_counts", (5, 5, W, W))),
]


@pytest.mark.parametrize("name, make, method, attr, value, exc, message", [
    (name, make, method) + case for name, make, method, cases in COUNT_ATTRS for case in cases
], ids=ident)
def test_counting_refuses_bad_count_arrays(name, make, method, attr, value, exc, message):
    refuse(replaced(make, **{attr: value})(), lambda m: getattr(m, method)(codes(0, 1, 2)), exc, message)


def layouts(shape):
    """A C-ordered array of ``shape`` and its Fortran-ordered, strided and
    oversized equivalents, each filled with 0.5 around a 0.0 working area."""
    plain = np.zeros(shape)
    fortran = np.asfortranarray(np.zeros(shape))
    base = np.full(tuple(2 * d + 1 for d in shape), 0.5)
    strided = base[tuple(slice(1, None, 2) for _ in shape)]
    strided[...] = 0.0
    oversized = np.full(tuple(d + 2 for d in shape), 0.5)
    oversized[tuple(slice(0, d) for d in shape)] = 0.0
    reversed_ = np.zeros(shape)[(slice(None, None, -1),) * len(shape)]
    return {"plain": plain, "fortran": fortran, "strided": strided, "oversized": oversized, "reversed": reversed_}


@pytest.mark.parametrize("layout", ["fortran", "strided", "oversized", "reversed"])
@pytest.mark.parametrize("name, make, method, attrs", [
    ("pwm.add_sequence", pwm, "add_sequence", {"counts": (5, W), "neg_counts": (5, W)}),
    ("pwm.add_background", pwm, "add_background", {"bg_counts": (5, W)}),
    ("dwm.add_sequence", dwm, "add_sequence", {"counts": (5, 5, W, W)}),
    ("dwm.add_background", dwm, "add_background", {"bg_counts": (5, 5, W, W)}),
], ids=COUNTER_IDS)
def test_counting_writes_any_layout_through_its_strides(name, make, method, attrs, layout):
    """Non-contiguous and larger count arrays work like plain ones; only the
    working area changes."""
    results = {}
    for kind in ("plain", layout):
        m = make()
        arrays = {a: layouts(shape)[kind] for a, shape in attrs.items()}
        bases = {a: (v.base if v.base is not None else v).copy() for a, v in arrays.items()}
        for a, v in arrays.items():
            setattr(m, a, v)
        for amount in (2.0, -1.0):
            getattr(m, method)(codes(0, 3, 2, 1)[:W], amount)
            getattr(m, method)(codes(2, 2, 2, 4, 9), amount)      # past the width: ignored
        for a, v in arrays.items():
            assert getattr(m, a) is v
            whole = v.base if v.base is not None else v
            area = np.zeros(whole.shape, bool)
            if kind == "strided":
                area[tuple(slice(1, None, 2) for _ in whole.shape)] = True
            else:
                area[tuple(slice(0, d) for d in attrs[a])] = True
            np.testing.assert_array_equal(whole[~area], bases[a][~area])   # nothing outside the view
        results[kind] = {a: np.array(getattr(m, a)[tuple(slice(0, d) for d in attrs[a])]) for a in attrs}
    for a in attrs:
        np.testing.assert_array_equal(results[layout][a], results["plain"][a])
        assert results["plain"][a].any()


@pytest.mark.parametrize("length", [0, -1, -7, IntLike(-2), 0.9])
@pytest.mark.parametrize("name, make, method", COUNTERS, ids=COUNTER_IDS)
def test_zero_and_negative_widths_count_nothing(name, make, method, length):
    """No position is read, not even of an empty or garbage sequence; the totals still grow."""
    m = replaced(make, length=length)()
    total = "no_bias" if method == "add_sequence" else "no_bg"
    arrays = {k: v.copy() for k, v in vars(m).items() if isinstance(v, np.ndarray)}
    before = getattr(m, total)
    for seq in (codes(), codes(-5, 99)):
        getattr(m, method)(seq, 1.5)
    assert getattr(m, total) == before + 3.0
    for k, v in arrays.items():
        np.testing.assert_array_equal(getattr(m, k), v)


# ---------------------------------------------------------------- scoring

def negative_code(index, value):
    return exact(f"sequence[{index}] is {value}; expected a nucleotide code, 0 or more")


class LyingLength(np.ndarray):
    def __len__(self):
        return 1


SCORERS = [("pwm", pwm), ("dwm", dwm)]


@pytest.mark.parametrize("seq, exc, message", [
    (codes(0, -1, 2, 3), ValueError, negative_code(1, -1)),
    (codes(0, 1, 2, 3, 0, 1, -2 ** 63), ValueError, negative_code(6, -2 ** 63)),
    (codes(-3), ValueError, negative_code(0, -3)),                 # shorter than the width
    (codes(1, 2, -1, 3)[::-1], ValueError, negative_code(1, -1)),
    (codes(0, 9, -2 ** 63, 9, 1, 9, 2, 9)[::2], ValueError, negative_code(1, -2 ** 63)),   # strided
    (codes(0, 1, 2, 3).view(LyingLength), ValueError, exact("len(sequence) is 1 but its buffer holds 4 elements")),
    (None, TypeError, exact("Argument 'sequence' must not be None")),
    ((0, 1, 2), TypeError, exact("Argument 'sequence' has incorrect type (expected numpy.ndarray, got tuple)")),
    (np.zeros(4), ValueError, mismatch("int64_t", "'double'")),
    (np.zeros(4, np.uint8), ValueError, mismatch("int64_t", "'unsigned char'")),
    (np.zeros((2, 2), np.int64), ValueError, dims(1, 2)),
], ids=ident)
@pytest.mark.parametrize("kind, make", SCORERS, ids=[k for k, _ in SCORERS])
def test_scoring_refuses_bad_sequences(kind, make, seq, exc, message):
    refuse(make(), lambda m, q: m.score_sequence(q), exc, message, seq)


@pytest.mark.parametrize("kind, make", SCORERS, ids=[k for k, _ in SCORERS])
def test_scoring_reads_huge_codes_as_n(kind, make):
    m = make()
    before = frozen(m)
    plain = m.score_sequence(codes(0, 1, 2, 3, 4, 2, 1, 0))
    for big in (5, 127, 2 ** 31, 2 ** 62, 2 ** 63 - 1):
        got = m.score_sequence(codes(0, 1, 2, 3, big, 2, 1, 0))
        np.testing.assert_array_equal(got, plain)
    assert np.isfinite(plain).sum() == 3
    assert_untouched(m, before)


@pytest.mark.parametrize("kind, make", SCORERS, ids=[k for k, _ in SCORERS])
def test_scores_that_share_memory_with_the_sequence(kind, make, monkeypatch):
    """A numpy.zeros that hands out a view of the scored sequence cannot turn
    scores into codes: the result is that of scoring a copy."""
    m = make()
    store = np.zeros(41, np.int64)
    seq = store[::2]
    seq[:] = np.arange(21) % 5
    expected = m.score_sequence(seq.copy())
    shim = types.SimpleNamespace(**{k: getattr(np, k) for k in dir(np) if not k.startswith("__")})
    shim.zeros = lambda n: store.view(np.float64)[1:1 + n]
    monkeypatch.setattr(s, "np", shim)
    got = m.score_sequence(seq)
    np.testing.assert_array_equal(got, expected)
    assert np.shares_memory(got, store)


# A child process whose address space is capped far below the per-call tables
# the call needs: the call must fail with MemoryError, and the process live on.
ALLOCATION_FAILURES = {
    "dwm": """
m = s.DiNucleotideMatrix(2)
m.prepare_mat()
L = 20000
m.length = L
for a in ("bias_dwm_log", "bg_dwm_log"):
    setattr(m, a, np.broadcast_to(-4.0, (5, 5, L, L)))
for a in ("bias_pwm_log", "bg_pwm_log"):
    setattr(m, a, np.broadcast_to(-2.0, (5, L)))
call = lambda: m.score_sequence(np.zeros(L, np.int64))
""",
    "pwm": """
m = s.NucleotideMatrix(2)
L = 10 ** 7
m.pssm = np.broadcast_to(0.5, (5, L))
call = lambda: m.score_sequence(np.broadcast_to(np.int64(1), L))
""",
}


@no_huge_allocations
@pytest.mark.parametrize("kind", ALLOCATION_FAILURES)
def test_tables_beyond_memory_raise_memory_error(kind):
    code = """
import resource, numpy as np
from morvane.utils import sequences as s
""" + ALLOCATION_FAILURES[kind] + """
soft, hard = resource.getrlimit(resource.RLIMIT_AS)
used = int(open("/proc/self/statm").read().split()[0]) * resource.getpagesize()
resource.setrlimit(resource.RLIMIT_AS, (used + 300 * 2 ** 20, hard))
before = {k: v.copy() for k, v in vars(m).items() if isinstance(v, np.ndarray) and v.base is None}
try:
    call()
except MemoryError:
    assert all(np.array_equal(getattr(m, k), v) for k, v in before.items())
    print("MemoryError")
"""
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == "MemoryError"


def matrix_attr_cases(attr, shape, minimum):
    ndim = len(shape)
    wanted = ", ".join(str(d) for d in minimum)
    cases = [
        (None, TypeError, exact(f"attribute '{attr}' is None; expected a numpy.ndarray")),
        ("matrix", TypeError, exact("Cannot convert str to numpy.ndarray")),
        (np.zeros(shape, np.int64), ValueError, mismatch("float64_t", "'long'")),
        (np.zeros(shape, np.float16), ValueError, mismatch("float64_t", "unparsable format string")),
        (np.zeros(shape, np.longdouble), ValueError, mismatch("float64_t", "'long double'")),
        (np.zeros(shape[1:]), ValueError, dims(ndim, ndim - 1)),
        (np.zeros((1,) + shape), ValueError, dims(ndim, ndim + 1)),
        (DELETE, AttributeError, attr),
    ]
    for k in range(ndim):
        if minimum[k] == 0:
            continue
        small = tuple(minimum[i] - 1 if i == k else shape[i] for i in range(ndim))
        have = ", ".join(str(d) for d in small)
        cases.append((np.zeros(small), ValueError,
                      exact(f"attribute '{attr}' has shape ({have}); expected at least ({wanted})")))
    return [(attr,) + case for case in cases]


SCORING_ATTRS = (
    [("pwm", pwm) + case for case in matrix_attr_cases("pssm", (5, W), (4, 0))]
    + [("dwm", dwm) + case for name in ("bias_pwm_log", "bg_pwm_log")
       for case in matrix_attr_cases(name, (5, W), (4, W))]
    + [("dwm", dwm) + case for name in ("bias_dwm_log", "bg_dwm_log")
       for case in matrix_attr_cases(name, (5, 5, W, W), (5, 4, W, W))]
)


@pytest.mark.parametrize("kind, make, attr, value, exc, message", SCORING_ATTRS,
                         ids=ident)
def test_scoring_refuses_bad_matrices(kind, make, attr, value, exc, message):
    refuse(replaced(make, **{attr: value})(), lambda m: m.score_sequence(codes(0, 1, 2, 3, 0)), exc, message)


@pytest.mark.parametrize("length", [W + 1, 100, 2 ** 31 - 1])
def test_dwm_scoring_width_beyond_its_matrices(length):
    m = replaced(dwm, length=length)()
    message = exact(f"attribute 'bias_pwm_log' has shape (5, {W}); expected at least (4, {length})")
    refuse(m, lambda m: m.score_sequence(codes(0, 1, 2, 3, 0)), ValueError, message)


@pytest.mark.parametrize("length", [-1, -2 ** 31])
def test_dwm_scoring_negative_width(length):
    refuse(replaced(dwm, length=length)(), lambda m: m.score_sequence(codes(0, 1, 2)), ValueError,
           exact(f"length is {length}; a matrix width cannot be negative"))


@pytest.mark.parametrize("layout", ["fortran", "strided", "oversized", "reversed", "read_only"])
@pytest.mark.parametrize("kind, make, attrs", [
    ("pwm", pwm, ("pssm",)),
    ("dwm", dwm, ("bias_pwm_log", "bg_pwm_log", "bias_dwm_log", "bg_dwm_log")),
], ids=["pwm", "dwm"])
def test_scoring_reads_any_matrix_layout(kind, make, attrs, layout):
    m = make()
    seq = codes(0, 1, 2, 3, 3, 2, 4, 0, 1, 1, 0)
    want = m.score_sequence(seq)
    assert np.isfinite(want).sum() >= 4
    for a in attrs:
        value = getattr(m, a)
        if layout == "read_only":
            copy = value.copy()
            copy.flags.writeable = False
        elif layout == "oversized":                # the spare entries are never read
            # (pssm's own width is the motif width, so it only gains rows)
            grow = (2, 0) if a == "pssm" else (2,) * value.ndim
            copy = np.full(tuple(d + g for d, g in zip(value.shape, grow)), np.nan)
            copy[tuple(slice(0, d) for d in value.shape)] = value
        else:
            copy = layouts(value.shape)[layout]
            copy[...] = value
        setattr(m, a, copy)
    before = frozen(m)
    np.testing.assert_array_equal(m.score_sequence(seq), want)
    assert_untouched(m, before)


def test_pwm_scoring_with_a_zero_width_matrix():
    m = pwm()
    m.pssm = np.zeros((5, 0))
    np.testing.assert_array_equal(m.score_sequence(codes(0, 4, 2)), [0.0, 0.0, 0.0])


def test_dwm_scoring_with_zero_width():
    m = replaced(dwm, length=0)()
    np.testing.assert_array_equal(m.score_sequence(codes(0, 4, 2)), [0.0, 0.0, 0.0])


# ---------------------------------------------------------------- preparation

@pytest.mark.parametrize("attr, value, exc, message", [
    ("counts", None, TypeError, exact("'NoneType' object is not subscriptable")),
    ("counts", DELETE, AttributeError, "counts"),
    ("counts", "ACGT", TypeError, "string indices must be integers"),
])
def test_pwm_preparation_refuses_unusable_counts(attr, value, exc, message):
    refuse(replaced(pwm, **{attr: value})(), lambda m: m.prepare_mat(), exc, message)


@pytest.mark.parametrize("attr, value, exc, message", [
    ("counts", DELETE, AttributeError, "counts"),
    ("counts", None, np.exceptions.AxisError, "out of bounds"),
    ("counts", np.zeros((5, 5, W)), IndexError, "too many indices"),
    ("counts", np.zeros((5, 5, W, W), complex), TypeError,
     exact("attribute 'counts' holds complex128 elements; expected integers or float64")),
    ("counts", np.zeros((5, 5, W, W), np.float32), TypeError, "attribute 'counts' holds float32 elements"),
    ("counts", np.zeros((5, 5, W, W), object), TypeError, "attribute 'counts' holds object elements"),
    ("length", None, TypeError, exact("float() argument must be a string or a real number, not 'NoneType'")),
    ("length", IntLike(W), TypeError, exact("float() argument must be a string or a real number, not 'IntLike'")),
    ("length", "three", ValueError, "could not convert string to float"),
])
def test_dwm_preparation_refuses_before_its_first_assignment(attr, value, exc, message):
    refuse(replaced(dwm, **{attr: value})(), lambda m: m.prepare_mat(), exc, message)


@pytest.mark.parametrize("changes, exc, message", [
    ({"length": 2 ** 31}, IndexError,
     exact(f"attribute 'counts' has shape (5, 5, {W}, {W}); expected at least (5, 5, 2147483648, 2147483648)")),
    ({"length": 2 ** 40}, IndexError, "expected at least \\(5, 5, 1099511627776, 1099511627776\\)"),
    ({"length": W + 1}, IndexError, exact(f"attribute 'counts' has shape (5, 5, {W}, {W}); "
                                          f"expected at least (5, 5, {W + 1}, {W + 1})")),
    ({"length": "3"}, TypeError, exact("'str' object cannot be interpreted as an integer")),
    ({"length": 3.0}, TypeError, exact("'float' object cannot be interpreted as an integer")),
    ({"bias_dwm": read_only((5, 5, W, W))}, ValueError, "read-only"),
    ({"bias_dwm": np.zeros((5, 5, W, W - 1))}, IndexError, "attribute 'bias_dwm' has shape"),
    ({"bg_dwm": np.zeros((5, 4, W, W))}, IndexError, "attribute 'bg_dwm' has shape"),
    ({"bias_dwm": None}, TypeError, exact("attribute 'bias_dwm' is None; expected a numpy.ndarray")),
    ({"bg_dwm": [0.0]}, TypeError, exact("Cannot convert list to numpy.ndarray")),
    ({"bias_dwm": np.zeros((5, 5, W, W), np.float32)}, ValueError, mismatch("float64_t", "'float'")),
    ({"bg_counts": np.zeros((5, 5, W))}, IndexError, "too many indices"),
])
def test_dwm_preparation_refuses_unusable_arrays(changes, exc, message):
    """Preparation assigns step by step; a refused pair array fails before any
    pair element is written, and the counts are never touched."""
    m = replaced(dwm, **changes)()
    kept = {k: np.array(getattr(m, k)) for k in ("counts", "bg_counts", "bias_dwm", "bg_dwm")
            if isinstance(getattr(m, k), np.ndarray)}
    with np.errstate(all="ignore"), pytest.raises(exc, match=message):
        m.prepare_mat()
    for k, v in kept.items():
        np.testing.assert_array_equal(getattr(m, k), v)


# ---------------------------------------------------------------- merging

@pytest.mark.parametrize("make, obj, exc, message", [
    (pwm, None, AttributeError, "'NoneType' object has no attribute 'counts'"),
    (pwm, 42, AttributeError, "'int' object has no attribute 'counts'"),
    (pwm, s.NucleotideMatrix(W + 1), ValueError, "could not be broadcast"),
    (pwm, s.DiNucleotideMatrix(W), ValueError, "could not be broadcast"),
    (dwm, s.NucleotideMatrix(W), ValueError, "could not be broadcast"),
    (pwm, types.SimpleNamespace(counts="text"), TypeError, "unsupported operand|ufunc 'add'"),
    (replaced(pwm, counts=read_only((5, W))), s.NucleotideMatrix(W), ValueError, "read-only"),
], ids=ident)
def test_merging_refuses_before_its_first_merge(make, obj, exc, message):
    target = make()
    other = frozen(obj) if hasattr(obj, "__dict__") else None
    refuse(target, lambda m: m.add_counts(obj), exc, message)
    if other is not None:
        assert_untouched(obj, other)


# ---------------------------------------------------------------- foreign self

FOREIGN_SELF = [
    (s.NucleotideMatrix.add_sequence, (codes(0, 1, 2),), "length"),
    (s.NucleotideMatrix.add_background, (codes(0, 1, 2),), "length"),
    (s.NucleotideMatrix.prepare_mat, (), "counts"),
    (s.NucleotideMatrix.score_sequence, (codes(0, 1, 2),), "pssm"),
    (s.DiNucleotideMatrix.add_sequence, (codes(0, 1, 2),), "counts"),
    (s.DiNucleotideMatrix.add_background, (codes(0, 1, 2),), "bg_counts"),
    (s.DiNucleotideMatrix.prepare_mat, (), "length"),
    (s.DiNucleotideMatrix.score_sequence, (codes(0, 1, 2),), "bias_pwm_log"),
    (s.SequenceMatrix.add_counts, (s.NucleotideMatrix(2),), "counts"),
    (s.GenomicSequence.from_fasta, (Reader("ACGT"),), "region"),
    (s.NucleotideMatrix.__init__, (3,), "length"),
    (s.DiNucleotideMatrix.__init__, (3,), "length"),
    (s.GenomicSequence.__init__, (Region("c", 0, 2),), "region"),
]


@pytest.mark.parametrize("self_", [None, 7, object(), "text"], ids=repr)
@pytest.mark.parametrize("fn, args, attr", FOREIGN_SELF, ids=lambda v: getattr(v, "__qualname__", None))
def test_methods_called_on_foreign_objects(fn, args, attr, self_):
    with pytest.raises(AttributeError, match=f"'{attr}'"):
        fn(self_, *args)


# ---------------------------------------------------------------- GenomicSequence

def fetch_case(value, exc, message):
    return (lambda g: g.from_fasta(Reader(value)), exc, message)


FROM_FASTA = [
    ("short text", fetch_case("ACG", ValueError, exact("fetch() returned 3 characters for a region of length 4"))),
    ("empty text", fetch_case("", ValueError, exact("fetch() returned 0 characters for a region of length 4"))),
    ("bytes", fetch_case(b"ACGT", TypeError, exact("Expected str, got bytes"))),
    ("list", fetch_case(list("ACGT"), TypeError, exact("Expected str, got list"))),
    ("none", fetch_case(None, TypeError, exact("fetch() returned None; expected the region's sequence as a str"))),
    ("fetch raises", fetch_case(KeyError("chr"), KeyError, "chr")),
    ("no fetch", (lambda g: g.from_fasta(object()), AttributeError, "fetch")),
    ("reader None", (lambda g: g.from_fasta(None), AttributeError, "fetch")),
]


@pytest.mark.parametrize("call, exc, message", [c for _, c in FROM_FASTA], ids=[n for n, _ in FROM_FASTA])
def test_from_fasta_refuses_bad_readers(call, exc, message):
    refuse(genomic(), call, exc, message)


def genomic_attr_cases(attr):
    return [
        (attr, None, TypeError, exact(f"attribute '{attr}' is None; expected a numpy.ndarray")),
        (attr, (0, 0, 0, 0), TypeError, exact("Cannot convert tuple to numpy.ndarray")),
        (attr, np.zeros(4), ValueError, mismatch("int64_t", "'double'")),
        (attr, np.zeros(4, np.int32), ValueError, mismatch("int64_t", "'int'")),
        (attr, np.zeros(4, np.uint64), ValueError, mismatch("int64_t", "'unsigned long'")),
        (attr, np.zeros((1, 4), np.int64), ValueError, dims(1, 2)),
        (attr, read_only(4, 0, np.int64), ValueError, "read-only"),
        (attr, np.zeros(3, np.int64), ValueError,
         exact(f"attribute '{attr}' has 3 elements; expected at least 4 (the region length)")),
        (attr, np.zeros(8, np.int64)[::3], ValueError,
         exact(f"attribute '{attr}' has 3 elements; expected at least 4 (the region length)")),
        (attr, DELETE, AttributeError, attr),
    ]


@pytest.mark.parametrize("attr, value, exc, message", genomic_attr_cases("sequence") + genomic_attr_cases("revcomp")
                         + [("region", None, AttributeError, "chrom"),
                            ("region", Region("chr", 0, 4)._replace(chrom=None), Boom, "no such chromosome")],
                         ids=ident)
def test_from_fasta_refuses_bad_attributes(attr, value, exc, message):
    class Picky(Reader):
        def fetch(self, chrom, start, end):
            if chrom is None:
                raise Boom("no such chromosome")
            return super().fetch(chrom, start, end)
    refuse(replaced(genomic, **{attr: value})(), lambda g: g.from_fasta(Picky("TTTT")), exc, message)


@pytest.mark.parametrize("length", [6, 100])
def test_from_fasta_length_beyond_the_arrays(length):
    g = replaced(genomic, length=length)()
    refuse(g, lambda g: g.from_fasta(Reader("T" * length)), ValueError,
           exact(f"attribute 'sequence' has 4 elements; expected at least {length} (the region length)"))


@pytest.mark.parametrize("length", [0, -1, -2 ** 31])
def test_from_fasta_with_no_positions_writes_nothing(length):
    g = replaced(genomic, length=length)()
    before = frozen(g)
    assert g.from_fasta(Reader("")) is g
    assert_untouched(g, before)


def test_from_fasta_writes_non_contiguous_arrays():
    g = genomic()
    seq_base, rev_base = np.full(9, 7, np.int64), np.full(12, 7, np.int64)
    g.sequence, g.revcomp = seq_base[::2][:4], rev_base[::-3]
    g.from_fasta(Reader("ACGTTT"))                  # text past the region is ignored
    assert g.sequence.tolist() == [0, 2, 3, 1] and g.revcomp.tolist() == [0, 2, 3, 1]
    assert seq_base.tolist() == [0, 7, 2, 7, 3, 7, 1, 7, 7]
    assert rev_base.tolist() == [7, 7, 1, 7, 7, 3, 7, 7, 2, 7, 7, 0]


@pytest.mark.parametrize("region, exc, message", [
    (None, AttributeError, "'NoneType' object has no attribute 'end'"),
    (types.SimpleNamespace(end=4), AttributeError, "start"),
    (Region("c", 0, "4"), TypeError, "unsupported operand type"),
    (Region("c", 5, 2), ValueError, exact("negative dimensions are not allowed")),
    (Region("c", 0, 2.5), TypeError, "expected a sequence of integers or a single integer"),
    (Region("c", 0, 2 ** 64), ValueError, "Maximum allowed dimension exceeded|too big"),
], ids=ident)
def test_genomic_constructor_refuses_unusable_regions(region, exc, message):
    g = object.__new__(s.GenomicSequence)
    with pytest.raises(exc, match=message):
        g.__init__(region)
    assert g.region is region                        # set first, before the length is read


# ---------------------------------------------------------------- nuc_to_num, create, get_gc_content

@pytest.mark.parametrize("value, exc, message", [
    (None, TypeError, exact("object of type 'NoneType' has no len()")),
    (b"ACGT", TypeError, exact("Argument 'sequence' has incorrect type (expected str, got bytes)")),
    (bytearray(b"AC"), TypeError, exact("Argument 'sequence' has incorrect type (expected str, got bytearray)")),
    (65, TypeError, exact("Argument 'sequence' has incorrect type (expected str, got int)")),
    (["A"], TypeError, exact("Argument 'sequence' has incorrect type (expected str, got list)")),
    (np.str_("ACGT"), TypeError, exact("Argument 'sequence' has incorrect type (expected str, got numpy.str_)")),
], ids=ident)
def test_nuc_to_num_refuses_non_text(value, exc, message):
    with pytest.raises(exc, match=message):
        s.nuc_to_num(value)


@no_huge_allocations
def test_nuc_to_num_refuses_text_beyond_32_bits():
    text = "A" * 2 ** 31
    with pytest.raises(OverflowError, match=exact(
            "nuc_to_num() converts at most 2147483647 characters, got a string of 2147483648")):
        s.nuc_to_num(text)


@pytest.mark.parametrize("length, stype, exc, message", [
    (-1, "PWM", ValueError, exact("negative dimensions are not allowed")),
    (-1, "DWM", ValueError, exact("negative dimensions are not allowed")),
    ("3", "PWM", TypeError, "'str' object cannot be interpreted as an integer"),
    (None, "DWM", TypeError, exact("'NoneType' object cannot be interpreted as an integer")),
    (2 ** 31, "DWM", ValueError, "array is too big"),
    (2 ** 40, "DWM", ValueError, "array is too big"),
    (2 ** 64, "PWM", ValueError, "Maximum allowed dimension exceeded"),
    pytest.param(2 ** 40, "PWM", MemoryError, "Unable to allocate", marks=no_huge_allocations),
    (3, "pwm", SystemExit, exact("Unkown score type pwm")),
    (3, None, SystemExit, exact("Unkown score type None")),
    (3, b"PWM", SystemExit, exact("Unkown score type b'PWM'")),
    (3, ("a", "b"), SystemExit, exact("Unkown score type ('a', 'b')")),
    (3, (), SystemExit, exact("Unkown score type ()")),
    (3, ("PWM",), SystemExit, exact("Unkown score type ('PWM',)")),
], ids=ident)
def test_create_refuses_unusable_widths_and_types(length, stype, exc, message):
    with pytest.raises(exc, match=message):
        s.SequenceMatrix.create(length, stype)


def test_create_propagates_a_failing_comparison():
    class Touchy:
        def __eq__(self, other):
            raise Boom("no comparing")
    with pytest.raises(Boom, match="no comparing"):
        s.SequenceMatrix.create(3, Touchy())


@pytest.fixture
def fake_pysam():
    """Puts a stand-in for pysam in the module namespace; its readers return texts[chrom]."""
    texts = {}
    readers = []

    class FastaFile:
        def __init__(self, path):
            self.closed = 0
            readers.append(self)

        def fetch(self, chrom, start, end):
            value = texts[chrom]
            if isinstance(value, Exception):
                raise value
            return value

        def close(self):
            self.closed += 1
    saved = s.pysam
    s.pysam = types.SimpleNamespace(FastaFile=FastaFile)
    try:
        yield texts, readers
    finally:
        s.pysam = saved


@pytest.mark.parametrize("regions, text, exc, message", [
    (None, "GC", TypeError, "'NoneType' object is not iterable"),
    (5, "GC", TypeError, "'int' object is not iterable"),
    ([None], "GC", AttributeError, "chrom"),
    ([Region("c", 0, "2")], "GC", TypeError, "unsupported operand type"),
    ([Region("c", 0, 2)], None, TypeError, "'NoneType' object is not iterable"),
    ([Region("c", 0, 2)], 7, TypeError, "'int' object is not iterable"),
    ([Region("c", 0, 2)], OSError("truncated file"), OSError, "truncated file"),
    ([], "GC", ZeroDivisionError, "division by zero"),
    ([Region("c", 4, 2), Region("c", 0, 2)], "GC", ZeroDivisionError, "division by zero"),
], ids=ident)
def test_gc_content_refuses_unusable_regions_and_texts(fake_pysam, regions, text, exc, message):
    texts, readers = fake_pysam
    texts["c"] = text
    with pytest.raises(exc, match=message):
        s.get_gc_content(regions, "genome.fa")
    assert len(readers) == 1
    assert readers[0].closed == (1 if exc is ZeroDivisionError else 0)


def test_gc_content_refuses_an_unknown_file_and_chromosome(tmp_path):
    import pysam
    with pytest.raises(OSError, match="not found"):
        s.get_gc_content([Region("c", 0, 2)], str(tmp_path / "missing.fa"))
    path = tmp_path / "genome.fa"
    path.write_text(">c\nACGT\n")
    pysam.faidx(str(path))
    with pytest.raises(KeyError, match="zz"):
        s.get_gc_content([Region("zz", 0, 2)], str(path))
