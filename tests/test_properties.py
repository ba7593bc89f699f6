"""Property tests: the extension against the plain-Python model (tests/model.py).

Random widths, sequences (coded from mixed-case text, with N, with codes
above 4 when scoring; plain, read-only, strided, reversed, unaligned and
subclass arrays), amounts (negative, zero, NaN, infinite) and count arrays.
Every result must be the same: the same types, the same doubles bit for bit
with NaN at the same places, and the same exceptions with the same messages.
"""
import contextlib
import math
import types
import warnings

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

import model
from morvane.utils import sequences as s
from regions import Region


def limited(examples):
    return settings(max_examples=examples, deadline=None, database=None,
                    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])


# ---------------------------------------------------------------- comparison helpers

def assert_same(got, want, what=""):
    """Same type and value; doubles compared bit for bit, NaN only by position."""
    if isinstance(want, np.ndarray):
        assert type(got) is np.ndarray, (what, type(got))
        assert got.dtype == want.dtype and got.shape == want.shape, (what, got.dtype, got.shape, want.shape)
        if want.dtype.kind != "f":
            np.testing.assert_array_equal(got, want, err_msg=what)
            return
        nan = np.isnan(want)
        assert (np.isnan(got) == nan).all(), (what, got, want)
        assert got[~nan].tobytes() == want[~nan].tobytes(), (what, got, want)
        return
    assert type(got) is type(want), (what, type(got), type(want))
    if isinstance(want, (float, np.floating)) and math.isnan(want):
        assert math.isnan(got), (what, got)
    elif isinstance(want, (float, np.floating)):
        assert np.float64(got).tobytes() == np.float64(want).tobytes(), (what, got, want)
    else:
        assert got == want, (what, got, want)


def assert_same_attrs(ext, ref, names):
    for name in names:
        assert_same(getattr(ext, name), getattr(ref, name), name)


def outcome(fn, *args, **kwargs):
    """What a call did: its result, or the type and text of what it raised."""
    try:
        return "returned", fn(*args, **kwargs)
    except (Exception, SystemExit) as exc:        # noqa: BLE001 - compared, not swallowed
        return "raised", type(exc), str(exc)


@contextlib.contextmanager
def quiet():
    """NumPy's warnings for empty means and logarithms of zero are expected here."""
    with warnings.catch_warnings(), np.errstate(all="ignore"):
        warnings.simplefilter("ignore")
        yield


class CMath:
    """``math`` with the C library's answers where Python's raises instead.

    The model computes 2**x with math.pow and log2 with math.log2, which call
    the C library but raise on overflow and on log2(0); the extension gets inf
    and -inf there. Every other result is the C library's own.
    """

    def __getattr__(self, name):
        return getattr(math, name)

    @staticmethod
    def pow(x, y):
        try:
            return math.pow(x, y)
        except OverflowError:
            return math.inf

    @staticmethod
    def log2(x):
        if x == 0.0:
            return -math.inf
        return math.log2(x)


@contextlib.contextmanager
def c_math_in_model():
    saved = model.math
    model.math = CMath()
    try:
        yield
    finally:
        model.math = saved


# ---------------------------------------------------------------- sequences and their layouts

class CodeArray(np.ndarray):
    """An ndarray subclass, accepted wherever an ndarray is."""


LAYOUTS = ("plain", "text", "read_only", "strided", "reversed", "longlong", "subclass", "offset")


def as_text(values):
    """DNA text in mixed case (N also as n and other letters) that codes as ``values``."""
    letters = ["Aa", "Tt", "Cc", "Gg", "NnRy-"]
    return "".join(letters[v][i % len(letters[v])] for i, v in enumerate(values))


def laid_out(values, layout):
    """An int64 array holding ``values``, in one of the layouts a caller may pass."""
    a = np.array(values, dtype=np.int64)
    if layout == "text" and all(0 <= v <= 4 for v in values):
        a = s.nuc_to_num(as_text(values))
        np.testing.assert_array_equal(a, values)
    elif layout == "read_only":
        a.flags.writeable = False
    elif layout == "strided":                      # every third element, 99 in between
        base = np.full(3 * len(a) + 2, 99, np.int64)
        base[1::3][:len(a)] = a
        a = base[1::3][:len(a)]
    elif layout == "reversed":
        a = a[::-1].copy()[::-1]
    elif layout == "longlong":
        a = a.astype(np.longlong)
    elif layout == "subclass":
        a = a.view(CodeArray)
    elif layout == "offset":                       # unaligned start of the data
        raw = np.zeros(len(a) * 8 + 1, np.uint8)
        a = raw[1:].view(np.int64)
        a[:] = values
    return a


def with_n(draw, codes, chance):
    """Puts an N (code 4) at a random place in about ``chance`` of the draws."""
    if codes and draw(st.floats(0, 1)) < chance:
        codes[draw(st.integers(0, len(codes) - 1))] = 4
    return codes


@st.composite
def scored_codes(draw, max_small=60):
    """Codes 0 to 7 (above 4 read as N): short drawn lists, or long generated runs."""
    if draw(st.integers(0, 9)) < 8:
        n = draw(st.integers(0, max_small))
        codes = draw(st.lists(st.sampled_from([0, 1, 2, 3] * 4 + [4, 5, 7]), min_size=n, max_size=n))
    else:
        rng = np.random.default_rng(draw(st.integers(0, 2 ** 32 - 1)))
        n = draw(st.integers(2000, 4500))           # crosses the kernels' block boundaries
        codes = rng.choice([0, 1, 2, 3] * 30 + [4, 6], size=n).tolist()
    return laid_out(codes, draw(st.sampled_from(LAYOUTS)))


AMOUNTS = st.one_of(
    st.just(math.nan),
    st.sampled_from([1.0, 0.0, -0.0, -1.0, 2.5, math.inf, -math.inf, 1e-300, 1e300]),
    st.floats(-1e6, 1e6),
    st.integers(-3, 3),
)


@st.composite
def counting_ops(draw, width, max_ops=8):
    """(method, codes, how the amount is passed, amount) for one matrix width."""
    ops = []
    for _ in range(draw(st.integers(0, max_ops))):
        n = width + draw(st.integers(0, 3))
        codes = with_n(draw, draw(st.lists(st.integers(0, 3), min_size=n, max_size=n)), 0.25)
        ops.append((draw(st.sampled_from(["add_sequence", "add_background"])),
                    laid_out(codes, draw(st.sampled_from(LAYOUTS))),
                    draw(st.sampled_from(["positional", "keyword", "default"])),
                    draw(AMOUNTS)))
    return ops


def run_ops(matrix, ops):
    for method, seq, how, amount in ops:
        fn = getattr(matrix, method)
        if how == "default":
            fn(seq)
        elif how == "positional":
            fn(seq, amount)
        else:
            fn(sequence=seq, amount=amount)


def model_ops(ops):
    """The same operations with plain contiguous arrays for the model."""
    return [(m, np.array(seq, dtype=np.int64), how, amount) for m, seq, how, amount in ops]


# ---------------------------------------------------------------- coding and genomic sequences

TEXTS = st.one_of(
    st.text(alphabet=st.sampled_from("ACGTNacgtnRYKM-.*U \u00e4\u00e9\u4e2d\U0001f600\ud800"), max_size=80),
    st.text(max_size=40),
)


@limited(200)
@given(text=TEXTS)
def test_nuc_to_num(text):
    got = s.nuc_to_num(text)
    assert_same(got, model.nuc_to_num(text))
    assert got.flags.writeable and got.flags.owndata


class Reader:
    """A FASTA reader that returns fixed texts per chromosome and records its calls."""

    def __init__(self, texts):
        self.texts, self.calls, self.closed = texts, [], 0

    def fetch(self, chrom, start, end):
        self.calls.append((chrom, start, end))
        return self.texts[chrom]

    def close(self):
        self.closed += 1


@limited(100)
@given(text=TEXTS, start=st.integers(-10, 2 ** 40), spare=st.integers(0, 4), strided=st.booleans())
def test_genomic_sequence(text, start, spare, strided):
    length = max(len(text) - spare, 0)              # extra text past the region is ignored
    region = Region("chr", start, start + length)
    ext, ref = s.GenomicSequence(region), model.GenomicSequence(region)
    assert_same_attrs(ext, ref, ["length", "sequence", "revcomp"])
    bases = []
    if strided:                                     # writable views, written through their strides
        for g in (ext, ref):
            views = []
            for _ in ("sequence", "revcomp"):
                base = np.full(2 * length + 1, 77, np.int64)
                bases.append(base)
                views.append(base[::-2][:length])
            g.sequence, g.revcomp = views
    r_ext, r_ref = Reader({"chr": text}), Reader({"chr": text})
    assert ext.from_fasta(r_ext) is ext and ref.from_fasta(r_ref) is ref
    assert r_ext.calls == r_ref.calls == [("chr", start, start + length)]
    for name in ("sequence", "revcomp"):
        np.testing.assert_array_equal(getattr(ext, name), getattr(ref, name), err_msg=name)
    if strided:
        assert_same(bases[0], bases[2])
        assert_same(bases[1], bases[3])
    assert ext.region is region


@contextlib.contextmanager
def pysam_global(opener):
    """Puts a stand-in for pysam in the extension's module namespace."""
    saved = s.pysam
    s.pysam = types.SimpleNamespace(FastaFile=opener)
    try:
        yield
    finally:
        s.pysam = saved


@limited(150)
@given(chunks=st.lists(st.tuples(TEXTS, st.integers(-3, 3), st.booleans()), max_size=6))
def test_gc_content(chunks):
    texts = {f"c{i}": (t if as_str else list(t)) for i, (t, _, as_str) in enumerate(chunks)}
    regions = [Region(f"c{i}", 5, 5 + len(t) + d) for i, (t, d, _) in enumerate(chunks)]
    opened = []

    def opener(path):
        opened.append(Reader(texts))
        return opened[-1]
    with pysam_global(opener):
        got = outcome(s.get_gc_content, regions, "genome.fa")
    want = outcome(model.get_gc_content, regions, "genome.fa", opener=opener)
    assert got[0] == want[0]
    if got[0] == "returned":
        assert_same(got[1], want[1])
    else:
        assert got[1:] == want[1:]
    assert opened[0].calls == opened[1].calls and opened[0].closed == opened[1].closed == 1


# ---------------------------------------------------------------- constructors and the factory

LENGTH_OBJECTS = st.one_of(st.integers(-5, 25), st.sampled_from([2.0, "3", None, (2,), np.int32(3), np.int64(-1)]))


@limited(100)
@given(length=LENGTH_OBJECTS, stype=st.sampled_from(["PWM", "DWM", "pwm", "", None, 3]))
def test_constructors_and_factory(length, stype):
    for ext_cls, ref_cls in ((s.NucleotideMatrix, model.NucleotideMatrix),
                             (s.DiNucleotideMatrix, model.DiNucleotideMatrix)):
        got, want = outcome(ext_cls, length), outcome(ref_cls, length)
        assert got[0] == want[0] and (got[0] == "returned" or got[1:] == want[1:]), (got, want)
        if got[0] == "returned":
            assert list(vars(got[1])) == list(vars(want[1]))
            assert_same_attrs(got[1], want[1], [k for k in vars(want[1]) if k != "length"])
            assert got[1].length is length
    got = outcome(s.SequenceMatrix.create, length, stype)
    want = outcome(model.SequenceMatrix.create, length, stype)
    assert got[0] == want[0] and (got[0] == "returned" or got[1:] == want[1:]), (got, want)
    if got[0] == "returned":
        assert type(got[1]).__name__ == type(want[1]).__name__


@limited(100)
@given(start=st.integers(-50, 50), end=st.one_of(st.integers(-50, 50), st.floats(-5, 5), st.none()))
def test_genomic_constructor_outcomes(start, end):
    region = Region("chr", start, end)
    got, want = outcome(s.GenomicSequence, region), outcome(model.GenomicSequence, region)
    assert got[0] == want[0] and (got[0] == "returned" or got[1:] == want[1:]), (got, want)
    if got[0] == "returned":
        assert_same_attrs(got[1], want[1], ["length", "sequence", "revcomp"])


# ---------------------------------------------------------------- counting

PWM_COUNTS = ["counts", "neg_counts", "bg_counts", "no_bias", "no_bg"]
PWM_PREPARED = ["no_bias", "no_bg", "bias_pwm", "bg_pwm", "pssm"]
DWM_COUNTS = ["counts", "neg_counts", "bg_counts", "no_bias", "no_bg"]
DWM_PREPARED = ["no_bias", "no_bg", "bias_pwm", "bg_pwm", "pssm", "bias_dwm", "bg_dwm",
                "bias_pwm_log", "bg_pwm_log", "bias_dwm_log", "bg_dwm_log"]


@st.composite
def count_then_prepare(draw, max_width, max_ops):
    width = draw(st.integers(0, max_width))
    return width, draw(counting_ops(width, max_ops)), draw(counting_ops(width, max_ops // 2))


@pytest.mark.parametrize("kind", ["PWM", "DWM"])
@limited(80)
@given(run=count_then_prepare(25, 8))
def test_counting_and_preparing(kind, run):
    """Counting, preparing, counting further and preparing again."""
    width, before, after = run
    ext = s.SequenceMatrix.create(width, kind)
    ref = model.SequenceMatrix.create(width, kind)
    counts, prepared = (PWM_COUNTS, PWM_PREPARED) if kind == "PWM" else (DWM_COUNTS, DWM_PREPARED)
    for ops in (before, after):
        copies = [np.array(seq) for _, seq, _, _ in ops]
        with quiet():
            run_ops(ext, ops)
            run_ops(ref, model_ops(ops))
        assert_same_attrs(ext, ref, counts)
        for (_, seq, _, _), copy in zip(ops, copies):
            np.testing.assert_array_equal(seq, copy)   # sequences are only read
        with quiet():
            ext.prepare_mat()
            ref.prepare_mat()
        assert_same_attrs(ext, ref, prepared)


# ---------------------------------------------------------------- preparation from arbitrary counts

COUNT_STYLES = ("whole", "fractional", "signed", "sparse", "special")


def random_counts(rng, shape, style):
    if style == "whole":
        return rng.integers(0, 40, shape).astype(float)
    if style == "fractional":
        return rng.uniform(0, 30, shape)
    if style == "signed":
        return rng.uniform(-8, 8, shape)
    if style == "sparse":
        return np.where(rng.random(shape) < 0.8, 0.0, rng.integers(1, 5, shape).astype(float))
    a = rng.uniform(0, 5, shape)
    specials = np.array([np.nan, np.inf, -np.inf, -0.0, 1e308, -1.0])
    mask = rng.random(shape) < 0.05
    a[mask] = rng.choice(specials, size=int(mask.sum()))
    return a


def in_layout(array, layout):
    """The same values in a C-ordered, Fortran-ordered or non-contiguous array."""
    if layout == "fortran":
        return np.asfortranarray(array)
    if layout == "view":
        base = np.full(tuple(2 * d + 1 for d in array.shape), -123.0)
        view = base[tuple(slice(1, None, 2) for _ in array.shape)]
        view[...] = array
        return view
    return array.copy()


@st.composite
def count_sets(draw, max_width, dims):
    width = draw(st.integers(0, max_width))
    rng = np.random.default_rng(draw(st.integers(0, 2 ** 32 - 1)))
    shape = (5,) * (dims // 2) + (width,) * (dims // 2)
    return (width,
            random_counts(rng, shape, draw(st.sampled_from(COUNT_STYLES))),
            random_counts(rng, shape, draw(st.sampled_from(COUNT_STYLES))),
            draw(st.sampled_from(["c", "fortran", "view"])),
            draw(st.sampled_from([0, -3.5, math.nan, "junk"])))


@limited(60)
@given(run=count_sets(25, 2))
def test_pwm_preparation_from_any_counts(run):
    width, counts, bg_counts, layout, stale_total = run
    ext, ref = s.NucleotideMatrix(width), model.NucleotideMatrix(width)
    for m in (ext, ref):
        m.counts, m.bg_counts = in_layout(counts, layout), in_layout(bg_counts, layout)
        m.no_bias = m.no_bg = stale_total           # replaced, never read
    with quiet():
        ext.prepare_mat()
        ref.prepare_mat()
    assert_same_attrs(ext, ref, PWM_PREPARED)


@limited(50)
@given(run=count_sets(25, 4), dwm_layout=st.sampled_from(["c", "fortran", "view"]))
def test_dwm_preparation_from_any_counts(run, dwm_layout):
    width, counts, bg_counts, layout, stale_total = run
    ext, ref = s.DiNucleotideMatrix(width), model.DiNucleotideMatrix(width)
    for m in (ext, ref):
        m.counts, m.bg_counts = in_layout(counts, layout), in_layout(bg_counts, layout)
        m.bias_dwm = in_layout(np.full((5, 5, width, width), 0.5), dwm_layout)
        m.bg_dwm = in_layout(np.full((5, 5, width, width), 0.5), dwm_layout)
        m.no_bias = m.no_bg = stale_total
    kept = ext.bias_dwm, ext.bg_dwm, ext.bias_dwm.base, ext.bg_dwm.base
    with quiet():
        ext.prepare_mat()
        ref.prepare_mat()
    assert ext.bias_dwm is kept[0] and ext.bg_dwm is kept[1]     # rewritten in place
    for name in DWM_PREPARED:
        got, want = getattr(ext, name), getattr(ref, name)
        if name in ("bias_dwm", "bg_dwm"):             # views of larger arrays: compare the values
            got, want = np.array(got), np.array(want)
        assert_same(got, want, name)
    if dwm_layout == "view":                        # the elements between the view's stay untouched
        for base in kept[2:]:
            untouched = np.ones(base.shape, bool)
            untouched[tuple(slice(1, None, 2) for _ in base.shape)] = False
            assert (base[untouched] == -123.0).all()
    np.testing.assert_array_equal(ext.counts, counts)
    np.testing.assert_array_equal(ext.bg_counts, bg_counts)


# ---------------------------------------------------------------- scoring

def prepared_pssm(rng, width):
    m = model.NucleotideMatrix(width)
    m.counts = random_counts(rng, (5, width), "whole")
    m.bg_counts = random_counts(rng, (5, width), "fractional")
    with quiet():
        m.prepare_mat()
    return m.pssm


@st.composite
def pssms(draw, max_width):
    width = draw(st.integers(1, max_width))
    rng = np.random.default_rng(draw(st.integers(0, 2 ** 32 - 1)))
    source = draw(st.sampled_from(["prepared", "uniform", "special"]))
    if source == "prepared":
        pssm = prepared_pssm(rng, width)
    elif source == "uniform":
        pssm = rng.uniform(-5, 5, (5, width))
    else:
        pssm = random_counts(rng, (5, width), "special") - 2.0
    return pssm, draw(st.sampled_from(["c", "fortran", "view", "read_only", "six_rows"]))


def pssm_in_layout(pssm, layout):
    if layout == "read_only":
        a = pssm.copy()
        a.flags.writeable = False
        return a
    if layout == "six_rows":                       # rows past the fifth are never read
        return np.vstack([pssm, np.full((1, pssm.shape[1]), np.nan)])
    return in_layout(pssm, layout)


@limited(200)
@given(matrix=pssms(25), seq=scored_codes())
def test_pwm_scoring(matrix, seq):
    pssm, layout = matrix
    ext, ref = s.NucleotideMatrix(1), model.NucleotideMatrix(pssm.shape[1])
    ext.pssm = pssm_in_layout(pssm, layout)        # the width comes from pssm, not from length
    ref.pssm = pssm.copy()
    seq_copy, pssm_copy = np.array(seq), np.array(ext.pssm)
    got = ext.score_sequence(seq)
    assert_same(got, ref.score_sequence(np.minimum(seq, 4)))
    np.testing.assert_array_equal(seq, seq_copy)
    assert_same(np.array(ext.pssm), pssm_copy)


LOGS = ("bias_pwm_log", "bg_pwm_log", "bias_dwm_log", "bg_dwm_log")


def log_matrices(rng, width, source):
    """The four log matrices of a prepared matrix, or arbitrary values in their shapes."""
    if source == "prepared":
        m = model.DiNucleotideMatrix(width)
        for _ in range(int(rng.integers(0, 30))):
            seq = rng.integers(0, 4, width)
            method = m.add_sequence if rng.random() < 0.6 else m.add_background
            method(seq, float(rng.choice([1.0, 2.5, rng.uniform(0.1, 4)])))
        with quiet():
            m.prepare_mat()
        return [getattr(m, name) for name in LOGS]
    if source == "log_probabilities":
        pwms = [rng.uniform(-12, 0, (5, width)) for _ in range(2)]
        return pwms + [rng.uniform(-12, 0, (5, 5, width, width)) for _ in range(2)]
    # One model far outside the usual range, the other ordinary: powers of 2
    # that are subnormal or overflow, and infinities and NaN here and there.
    low, high = {"subnormal": (-1078, -1015), "overflow": (990, 1021), "wide": (-1100, 60)}[source]
    spread = 2.0 if source != "wide" else 600.0
    extreme = int(rng.integers(0, 2))               # 0: the bias model, 1: the background model
    pwms, dwms = [], []
    for k in range(2):
        lo, hi, sp = (low, high, spread) if k == extreme else (-12, 0, 4.0)
        pwm = rng.uniform(lo, hi, (5, width))
        dwm = pwm[np.newaxis, :, np.newaxis, :] + rng.uniform(-sp, sp, (5, 5, width, width))
        for a in (pwm, dwm):
            if k == extreme:
                mask = rng.random(a.shape) < 0.005
                a[mask] = rng.choice([np.nan, np.inf, -np.inf, -1074.5, -1022.0, 1023.9, -0.0],
                                     size=int(mask.sum()))
        pwms.append(pwm)
        dwms.append(dwm)
    return pwms + dwms


def log_in_layout(a, layout):
    if layout == "oversized":                      # larger than needed: the extra entries are never read
        big = np.full(tuple(d + (1 if d == 5 else 2) for d in a.shape), np.nan)
        big[tuple(slice(0, d) for d in a.shape)] = a
        return big
    if layout == "read_only":
        a = a.copy()
        a.flags.writeable = False
        return a
    return in_layout(a, layout)


@st.composite
def dwm_scoring_cases(draw):
    width = draw(st.sampled_from(range(8, 0, -1)))      # the wider, the more each example tests
    rng = np.random.default_rng(draw(st.integers(0, 2 ** 32 - 1)))
    source = draw(st.sampled_from(["prepared", "prepared", "log_probabilities", "subnormal", "overflow", "wide"]))
    logs = log_matrices(rng, width, source)
    layout = draw(st.sampled_from(["c", "fortran", "view", "read_only", "oversized"]))
    n = draw(st.integers(0, 40))
    codes = draw(st.lists(st.sampled_from([0, 1, 2, 3] * 6 + [4, 5, 7]), min_size=n, max_size=n))
    return width, logs, layout, laid_out(codes, draw(st.sampled_from(LAYOUTS)))


@limited(200)
@given(case=dwm_scoring_cases())
def test_dwm_scoring(case):
    width, logs, layout, seq = case
    ext, ref = s.DiNucleotideMatrix(width), model.DiNucleotideMatrix(width)
    for name, a in zip(LOGS, logs):
        setattr(ext, name, log_in_layout(a, layout))
        setattr(ref, name, a.copy())
    before = {name: np.array(getattr(ext, name)) for name in LOGS}
    seq_copy = np.array(seq)
    got = ext.score_sequence(seq)
    with c_math_in_model(), quiet():
        want = ref.score_sequence(np.minimum(seq, 4))
    assert_same(got, want)
    np.testing.assert_array_equal(seq, seq_copy)
    for name in LOGS:
        assert_same(np.array(getattr(ext, name)), before[name], name)
