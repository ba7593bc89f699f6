"""Benchmarks of morvane.utils.sequences against baselines measured in the same run.

Run inside the project's environment with the extension installed:

    python benchmarks/bench.py            # every workload, about a minute
    python benchmarks/bench.py --only dwm # workloads whose name holds "dwm"
    python benchmarks/bench.py --only scan # the genome scans against MOODS and memelite
    python benchmarks/bench.py --only stats # exact PWM thresholds (morvane.stats)

Every workload is warmed up and then timed several times with time.perf_counter;
the table shows the best time of each side and their ratio, next to the target.
The run is a report: it exits 0 even when a target is missed, and marks the miss.
Baselines that are not NumPy, Biopython or pysam (the scalar C++ DWM scorer, the
Python-level loops) live here, never in the library.
"""

from __future__ import annotations

import argparse
import ctypes
import gc
import os
import platform
import re
import subprocess
import sys
import tempfile
import time
import timeit
from dataclasses import dataclass, field
from pathlib import Path
from types import SimpleNamespace

import numpy as np

HERE = Path(__file__).resolve().parent
WIDTH = 20  # motif width of every matrix workload
SEED = 20240611


# ---------------------------------------------------------------- reporting


@dataclass
class Row:
    workload: str
    ours: float | None  # seconds (per call for the per-call workloads)
    baseline: str
    base: float | None
    kind: str  # "faster": base / ours >= target; "time": ours / base <= target
    target: float | None  # None: printed for information, no target
    checks: list[str] = field(default_factory=list)  # failed checks; empty when all passed
    note: str = ""
    unit: str = "s"  # "s": times; "B": memory in bytes

    @property
    def ratio(self) -> float | None:
        if not self.ours or not self.base:
            return None
        return self.base / self.ours if self.kind == "faster" else self.ours / self.base

    @property
    def met(self) -> bool | None:
        r = self.ratio
        if r is None or self.target is None:
            return None
        ok = r >= self.target if self.kind == "faster" else r <= self.target
        return ok and not self.checks

    def ratio_text(self) -> str:
        r = self.ratio
        if r is None:
            return "-"
        if self.unit == "B":
            return f"{r:.2f}x of it"
        return f"{r:.2f}x faster" if self.kind == "faster" else f"{r:.2f}x its time"

    def target_text(self) -> str:
        if self.target is None:
            return "-"
        if self.unit == "B":
            return f"<= {self.target:g}x of it"
        return f">= {self.target:g}x faster" if self.kind == "faster" else f"<= {self.target:g}x its time"

    def status_text(self) -> str:
        m = self.met
        if self.target is None and self.ratio is not None:
            return "for information" + (f" ({self.note})" if self.note else "")
        if m is None:
            return "NOT MEASURED" + (f" ({self.note})" if self.note else "")
        if m:
            return "met"
        parts = []
        r = self.ratio
        if not (r >= self.target if self.kind == "faster" else r <= self.target):
            parts.append("ratio")
        parts += self.checks
        return "*** MISSED: " + ", ".join(parts) + " ***" + (f" ({self.note})" if self.note else "")


def fmt_amount(v: float | None, unit: str) -> str:
    if unit == "B" and v is not None:
        return f"{v / 1e6:.0f} MB"
    return fmt_time(v)


def fmt_time(s: float | None) -> str:
    if s is None:
        return "-"
    if s >= 1.0:
        return f"{s:.3f} s"
    if s >= 1e-3:
        return f"{s * 1e3:.2f} ms"
    if s >= 1e-6:
        return f"{s * 1e6:.2f} us"
    return f"{s * 1e9:.1f} ns"


def print_table(rows: list[Row]) -> None:
    head = ["workload", "ours", "baseline", "baseline time", "ratio", "target", "status"]
    cells = [
        [r.workload, fmt_amount(r.ours, r.unit), r.baseline, fmt_amount(r.base, r.unit), r.ratio_text(), r.target_text(),
         r.status_text()]
        for r in rows
    ]
    widths = [max([len(head[i]), *(len(c[i]) for c in cells)]) for i in range(len(head))]

    def line(c):
        return "  ".join(str(v).ljust(w) for v, w in zip(c, widths)).rstrip()

    print(line(head))
    print(line(["-" * w for w in widths]))
    for c in cells:
        print(line(c))


def say(msg: str) -> None:
    print(msg, flush=True)


# ---------------------------------------------------------------- timing


def _timed(fn) -> float:
    gc.collect()
    gc.disable()
    try:
        t0 = time.perf_counter()
        fn()
        return time.perf_counter() - t0
    finally:
        gc.enable()


def race(*entries: tuple, warm: bool = True) -> list[float]:
    """Best wall time of each (fn, repeat) entry.

    Every fn is called once untimed (unless warm is false: workloads of many
    seconds), then the timed calls of all entries take turns, so that both
    sides of a ratio meet the same load on a busy machine.
    The result of each call is dropped before the next one starts, and the
    cyclic garbage collector is off while a call is timed.
    """
    if warm:
        for fn, _ in entries:
            fn()
    best = [float("inf")] * len(entries)
    for i in range(max(r for _, r in entries)):
        for k, (fn, repeat) in enumerate(entries):
            if i < repeat:
                best[k] = min(best[k], _timed(fn))
    return best


def race_calls(stmts: list[str], env: dict, number: int, repeat: int) -> list[float]:
    """Best time per call of each short statement (loops of `number` calls, taking turns)."""
    timers = [timeit.Timer(s, globals=env) for s in stmts]
    for t in timers:
        t.timeit(number)  # warm-up
    best = [float("inf")] * len(timers)
    for _ in range(repeat):
        for k, t in enumerate(timers):
            best[k] = min(best[k], t.timeit(number) / number)
    return best


# ---------------------------------------------------------------- machine


def machine_report(seq_module) -> None:
    model, flags = "unknown", set()
    try:
        with open("/proc/cpuinfo") as fh:
            for ln in fh:
                if ln.startswith("model name") and model == "unknown":
                    model = ln.split(":", 1)[1].strip()
                elif ln.startswith("flags") and not flags:
                    flags = set(ln.split(":", 1)[1].split())
    except OSError:
        pass
    simd = [f for f in ("sse4_2", "avx", "fma", "avx2", "avx512f", "avx512dq", "avx512bw", "avx512vl") if f in flags]
    from morvane import _scan
    path = _scan._simd_level()  # the level the kernels picked for this process
    say(f"machine : {model}, {os.cpu_count()} cores, {platform.machine()}, load average "
        + " ".join(f"{v:.2f}" for v in os.getloadavg()))
    say(f"SIMD    : {' '.join(simd) or 'none beyond baseline'}; kernel level the library runs: {path}")
    say(f"python  : {platform.python_version()}  numpy {np.__version__}  " + versions())
    say(f"morvane : {seq_module.__file__}")


def versions() -> str:
    out = []
    for name in ("pysam", "Bio"):
        try:
            mod = __import__(name)
            out.append(f"{'biopython' if name == 'Bio' else name} {mod.__version__}")
        except ImportError:
            out.append(f"{name} missing")
    return "  ".join(out)


# ---------------------------------------------------------------- data


ACGT_N = np.frombuffer(b"ATCGN", np.uint8)  # letter of each code, in code order


def random_codes(rng, n: int, n_fraction: float) -> np.ndarray:
    codes = rng.integers(0, 4, n, dtype=np.int64)
    if n_fraction:
        codes[rng.random(n) < n_fraction] = 4
    return codes


def codes_to_text(codes: np.ndarray) -> str:
    return ACGT_N[codes].tobytes().decode("ascii")


def motif_sites(rng, count: int, width: int) -> np.ndarray:
    """Aligned sites drawn from a peaked random motif, as int64 code rows."""
    probs = rng.dirichlet([0.4] * 4, size=width)  # [position, code]
    cum = probs.cumsum(axis=1)
    u = rng.random((count, width, 1))
    return (u > cum[None, :, :]).sum(axis=2).astype(np.int64)


def code_lut() -> np.ndarray:
    lut = np.full(256, 4, np.int64)
    for ch, code in zip("ATCGatcg", (0, 1, 2, 3, 0, 1, 2, 3)):
        lut[ord(ch)] = code
    return lut


# ---------------------------------------------------------------- workloads


def bench_pwm(S, rng) -> list[Row]:
    n = 10_000_000
    say(f"PWM score_sequence: width {WIDTH}, {n:,} codes with 1% N ...")
    mat = S.SequenceMatrix.create(WIDTH, "PWM")
    sites = motif_sites(rng, 500, WIDTH)
    for s in sites:
        mat.add_sequence(s)
    mat.prepare_mat()  # no background counted: a uniform background of 1/4
    codes_true = random_codes(rng, n, 0.01)
    text = codes_to_text(codes_true)
    codes = S.nuc_to_num(text)
    assert np.array_equal(codes, codes_true)

    row_bio = Row(f"PWM text -> nuc_to_num -> score_sequence (w{WIDTH}, 10M, 1% N)", None,
                  "Biopython PSSM.calculate", None, "faster", 20.0)
    row_cast = Row(f"PWM score_sequence alone (w{WIDTH}, 10M codes)", None,
                   "codes.astype(float64)", None, "time", 2.5)

    entries = [
        (lambda: mat.score_sequence(S.nuc_to_num(text)), 9),
        (lambda: mat.score_sequence(codes), 9),
        (lambda: codes.astype(np.float64), 9),
        (lambda: S.nuc_to_num(text), 5),
    ]
    try:
        from Bio import motifs
    except ImportError:
        row_bio.note = "Biopython not installed"
        bio = None
    else:
        # The same counts through Biopython's own pipeline: pseudo-count 1 per
        # letter, log2 odds against a uniform background.
        counts = {letter: list(mat.counts[code]) for code, letter in enumerate("ATCG")}
        bio = motifs.Motif(alphabet="ACGT", counts=counts).counts.normalize(pseudocounts=1.0).log_odds()
        entries.append((lambda: bio.calculate(text), 3))
    times = race(*entries)
    row_bio.ours, row_cast.ours, row_cast.base, t_code = times[:4]
    say(f"  of which nuc_to_num alone {fmt_time(t_code)}")
    if bio is None:
        return [row_bio, row_cast]
    row_bio.base = times[4]

    ours = mat.score_sequence(codes)
    theirs = np.asarray(bio.calculate(text), dtype=np.float64)  # float32, one per window start
    F = WIDTH // 2
    if not np.allclose(ours[F:F + len(theirs)], theirs, rtol=1e-5, atol=1e-4, equal_nan=True):
        row_bio.checks.append("scores differ from Biopython's")
    return [row_bio, row_cast]


def load_reference():
    """The scalar C++ DWM scorer, built by CMake with the library's flags (make bench)."""
    so = os.environ.get("MORVANE_REFERENCE_DWM")
    if not so or not Path(so).is_file():
        return None, "reference not built (make bench builds it; MORVANE_REFERENCE_DWM names the library)"
    lib = ctypes.CDLL(str(so))
    P, I64, I32 = ctypes.c_void_p, ctypes.c_int64, ctypes.c_int32
    lib.ref_dwm_score.argtypes = [P, I64, I32, P, P, P, P, P]
    lib.ref_dwm_score.restype = None
    lib.ref_dwm_record.argtypes = [P, I64, I32, P, P, P, P, P, P, I64]
    lib.ref_dwm_record.restype = I64
    lib.ref_libm_calls.argtypes = [P, I64, I64, P, I64, I64]
    lib.ref_libm_calls.restype = ctypes.c_double
    return lib, ""


def prepared_dwm(S, rng):
    """A DWM counted from motif sites and random background, not yet prepared."""
    mat = S.SequenceMatrix.create(WIDTH, "DWM")
    for s in motif_sites(rng, 500, WIDTH):
        mat.add_sequence(s)
    for s in rng.integers(0, 4, (2000, WIDTH), dtype=np.int64):
        mat.add_background(s)
    return mat


def ptr(a: np.ndarray) -> int:
    return a.ctypes.data


def bit_difference(ours: np.ndarray, ref: np.ndarray) -> str:
    """Empty when the two float64 arrays are bit for bit the same, else what differs."""
    if ours.dtype != ref.dtype or ours.shape != ref.shape:
        return f"{ours.dtype}{ours.shape} against {ref.dtype}{ref.shape}"
    nan_o, nan_r = np.isnan(ours), np.isnan(ref)
    if not np.array_equal(nan_o, nan_r):
        return f"NaN at {np.count_nonzero(nan_o != nan_r)} other positions"
    if ours.tobytes() != ref.tobytes():
        differ = np.count_nonzero(ours.view(np.uint64) != ref.view(np.uint64))
        return f"{differ} of {ours.size} elements differ in their bits"
    return ""


def bench_dwm_score(S, rng) -> list[Row]:
    n = 200_000
    say(f"DWM score_sequence: width {WIDTH}, {n:,} codes ...")
    mat = prepared_dwm(S, rng)
    mat.prepare_mat()
    row_ref = Row(f"DWM score_sequence (w{WIDTH}, 200k codes)", None, "scalar C++ reference (-O2)", None,
                  "faster", 2.0)
    row_pow = Row(f"DWM score_sequence (w{WIDTH}, 200k codes)", None, "its pow(2,x)+log2 calls alone", None,
                  "time", 1.3)
    codes = random_codes(rng, n, 0.0)

    lib, why = load_reference()
    if lib is None:
        row_ref.note = row_pow.note = why
        row_ref.ours = row_pow.ours = race((lambda: mat.score_sequence(codes), 5))[0]
        return [row_ref, row_pow]
    mats = [mat.bias_pwm_log, mat.bg_pwm_log, mat.bias_dwm_log, mat.bg_dwm_log]
    for a in mats:
        assert a.dtype == np.float64 and a.flags.c_contiguous
    assert mats[0].shape == (5, WIDTH) and mats[2].shape == (5, 5, WIDTH, WIDTH)
    mptrs = [ptr(a) for a in mats]

    def reference(seq):
        out = np.empty(len(seq))
        lib.ref_dwm_score(ptr(seq), len(seq), WIDTH, *mptrs, ptr(out))
        return out

    # Bit-for-bit agreement, on the timed input and on one with N's and short runs.
    mixed = random_codes(rng, 20_000, 0.01)
    mixed[100:100 + WIDTH - 1] = np.arange(WIDTH - 1) % 4  # an N-free run just shorter than a window
    for seq in (codes, mixed, codes[:WIDTH], codes[:WIDTH - 1]):
        problem = bit_difference(mat.score_sequence(seq), reference(seq))
        if problem:
            row_ref.checks.append("NOT bit-identical: " + problem)
            break

    # The C library calls alone: 8 * L pows and 2 * L log2 per scored window, on the
    # arguments the reference passes for the first windows, cycled.
    sample = 2000
    pw = np.empty(sample * 8 * WIDTH)
    lg = np.empty(sample * 2 * WIDTH)
    got = lib.ref_dwm_record(ptr(codes), len(codes), WIDTH, *mptrs, ptr(pw), ptr(lg), sample)
    assert got == sample
    windows = len(codes) - WIDTH + 1  # the timed input holds no N: every window is scored
    row_ref.ours, row_ref.base, row_pow.base = race(
        (lambda: mat.score_sequence(codes), 7),
        (lambda: reference(codes), 3),
        (lambda: lib.ref_libm_calls(ptr(pw), len(pw), windows * 8 * WIDTH, ptr(lg), len(lg), windows * 2 * WIDTH),
         5),
    )
    row_pow.ours = row_ref.ours
    return [row_ref, row_pow]




def bench_dwm_avx2(_S, _rng) -> list[Row]:
    """The DWM kernel forced to its AVX2 path, from the kernels' C++ benchmark.

    The module picks the widest path the processor has and offers no switch, so
    on an AVX-512 machine the AVX2 + FMA path is timed only through the C++
    benchmark, built with the library's flags; it races the kernel against the
    pow(2, x) and log2 calls the scalar reference makes, on their own arguments.
    """
    say("DWM kernel at the AVX2 level (C++ benchmark, 200k codes) ...")
    row = Row(f"DWM score_sequence kernel, AVX2 + FMA path (w{WIDTH}, 200k codes, C++)", None,
              "its pow(2,x)+log2 calls alone", None, "time", 0.5)
    exe = os.environ.get("MORVANE_BENCH_KERNELS")
    if not exe or not Path(exe).exists():
        row.note = "kernel benchmark not built (make bench builds it; MORVANE_BENCH_KERNELS names it)"
        return [row]
    res = subprocess.run([exe, "dwm", "avx2"], capture_output=True, text=True)
    m = re.search(r"^\s+avx2\s+([\d.]+) ms, bare calls ([\d.]+) ms .*pow lanes: (\w+).*bit-identical: (\w+)$",
                  res.stdout, re.M)
    if res.returncode or not m:
        why = (res.stderr.strip() or res.stdout.strip())[-200:]
        row.note = ("the machine has no AVX2" if res.returncode == 0 else
                    f"C++ benchmark failed (exit {res.returncode})" + (f": {why}" if why else ""))
        return [row]
    row.ours, row.base = float(m[1]) * 1e-3, float(m[2]) * 1e-3
    if m[3] != "yes":
        row.checks.append("pow(2, x) lanes not in use (no FMA, or this pow computes otherwise)")
    if m[4] != "yes":
        row.checks.append("NOT bit-identical to the scalar reference")
    return [row]


def prepare_mat_python(mat) -> None:
    """DiNucleotideMatrix.prepare_mat with its pair step as a Python-level element loop."""
    L = mat.length
    bias_cm = np.sum(mat.counts, axis=(0, 2)) / float(L)
    mat.no_bias = np.mean(np.sum(bias_cm[:4, :], axis=0))
    mat.bias_pwm = np.true_divide(bias_cm + 1, mat.no_bias + 4)
    bg_cm = np.sum(mat.bg_counts, axis=(0, 2)) / float(L)
    mat.no_bg = np.mean(np.sum(bg_cm[:4, :], axis=0))
    mat.bg_pwm = np.true_divide(bg_cm + 1, mat.no_bg + 4)
    mat.pssm = np.log2(np.true_divide(mat.bias_pwm, mat.bg_pwm))
    pseudo_bias = mat.no_bias if mat.no_bias > 16 else 16
    pseudo_bg = mat.no_bg if mat.no_bg > 16 else 16
    for m in range(L):
        for n in range(L):
            for Sm in range(5):
                for Sn in range(5):
                    t1 = pseudo_bias * mat.bias_pwm[Sn, n]
                    t2 = t1 * mat.bias_pwm[Sm, m]
                    mat.bias_dwm[Sm, Sn, m, n] = (mat.counts[Sm, Sn, m, n] + t2) / float(mat.no_bias + pseudo_bias)
                    t1 = pseudo_bg * mat.bg_pwm[Sn, n]
                    t2 = t1 * mat.bg_pwm[Sm, m]
                    mat.bg_dwm[Sm, Sn, m, n] = (mat.bg_counts[Sm, Sn, m, n] + t2) / float(mat.no_bg + pseudo_bg)
    mat.bias_pwm_log = np.log2(mat.bias_pwm)
    mat.bg_pwm_log = np.log2(mat.bg_pwm)
    mat.bias_dwm_log = np.log2(mat.bias_dwm)
    mat.bg_dwm_log = np.log2(mat.bg_dwm)


PREPARED = ("no_bias", "no_bg", "bias_pwm", "bg_pwm", "pssm", "bias_dwm", "bg_dwm",
            "bias_pwm_log", "bg_pwm_log", "bias_dwm_log", "bg_dwm_log")


def bench_dwm_prepare(S, rng) -> list[Row]:
    say(f"DWM prepare_mat: width {WIDTH} ...")
    mat = prepared_dwm(S, rng)
    row = Row(f"DWM prepare_mat (w{WIDTH})", None, "pair step as a Python element loop", None, "faster", 50.0)

    def fresh():
        return SimpleNamespace(length=mat.length, counts=mat.counts.copy(), bg_counts=mat.bg_counts.copy(),
                               bias_dwm=np.zeros_like(mat.counts), bg_dwm=np.zeros_like(mat.counts))

    def ours(calls=50):
        for _ in range(calls):
            mat.prepare_mat()

    ref = fresh()
    t_ours, row.base = race((ours, 9), (lambda: prepare_mat_python(ref), 3))
    row.ours = t_ours / 50
    ref = fresh()
    prepare_mat_python(ref)
    mat.prepare_mat()
    differ = [a for a in PREPARED
              if np.asarray(getattr(mat, a)).shape != np.asarray(getattr(ref, a)).shape
              or np.asarray(getattr(mat, a)).tobytes() != np.asarray(getattr(ref, a)).tobytes()]
    if differ:
        row.checks.append("results differ: " + " ".join(differ))
    return [row]


def bench_nuc_to_num(S, rng) -> list[Row]:
    n = 100_000_000
    say(f"nuc_to_num: {n:,} ASCII characters ...")
    letters = np.frombuffer(b"ACGTNacgtn", np.uint8)
    text = letters[rng.integers(0, len(letters), n, dtype=np.uint8)].tobytes().decode("ascii")
    lut = code_lut()
    row = Row("nuc_to_num (100M ASCII chars)", None, "lut[frombuffer(text.encode())]", None, "time", 1.0)

    def baseline():
        return lut[np.frombuffer(text.encode("ascii"), np.uint8)]

    if not np.array_equal(S.nuc_to_num(text[:1_000_000]), lut[np.frombuffer(text[:1_000_000].encode(), np.uint8)]):
        row.checks.append("codes differ from the table lookup")
    row.ours, row.base = race((lambda: S.nuc_to_num(text), 3), (baseline, 3))
    return [row]


class Region:
    __slots__ = ("chrom", "start", "end")

    def __init__(self, chrom: str, start: int, end: int):
        self.chrom, self.start, self.end = chrom, start, end


def write_genome(rng, path: Path, chroms: dict[str, int], line: int = 60) -> None:
    letters = np.frombuffer(b"ACGTACGTACGTacgtN", np.uint8)  # mostly upper case, some soft-masked, a few N
    write_fasta(path, {name: letters[rng.integers(0, len(letters), size)] for name, size in chroms.items()}, line)


def write_fasta(path: Path, records: dict[str, np.ndarray], line: int = 60) -> None:
    """Writes uint8 letter arrays as FASTA records of `line` letters a line."""
    with open(path, "wb") as fh:
        for name, seq in records.items():
            size = len(seq)
            rows = -(-size // line)
            body = np.full(rows * (line + 1), ord("\n"), np.uint8)
            grid = body.reshape(rows, line + 1)
            flat = np.zeros(rows * line, np.uint8)
            flat[:size] = seq
            grid[:, :line] = flat.reshape(rows, line)
            data = grid.tobytes()
            if size % line:  # the last line is short
                data = data[: (rows - 1) * (line + 1) + size % line] + b"\n"
            fh.write(f">{name}\n".encode())
            fh.write(data)


def gc_python_loop(regions, fasta) -> float:
    import pysam

    gc_count, total = 0, 0
    fasta_obj = pysam.FastaFile(fasta)
    for region in regions:
        seq = fasta_obj.fetch(region.chrom, region.start, region.end)
        gc_count += sum([1 for nuc in seq if nuc == "G" or nuc == "g" or nuc == "C" or nuc == "c"])
        total += region.end - region.start
    fasta_obj.close()
    return gc_count / float(total)


def fetch_only(regions, fasta) -> None:
    import pysam

    fasta_obj = pysam.FastaFile(fasta)
    for region in regions:
        fasta_obj.fetch(region.chrom, region.start, region.end)
    fasta_obj.close()


def bench_gc(S, rng, tmp: Path) -> list[Row]:
    import pysam

    say("get_gc_content: 10,000 regions of 1 kbp of a 10 Mbp FASTA ...")
    chroms = {"chr1": 4_000_000, "chr2": 3_000_000, "chr3": 2_000_000, "chr4": 1_000_000}
    path = tmp / "genome.fa"
    write_genome(rng, path, chroms)
    pysam.faidx(str(path))
    names = list(chroms)
    sizes = np.array([chroms[c] for c in names], dtype=np.float64)
    which = rng.choice(len(names), 10_000, p=sizes / sizes.sum())
    shuffled = []
    for c in which:
        start = int(rng.integers(0, chroms[names[c]] - 1000))
        shuffled.append(Region(names[c], start, start + 1000))
    fasta = str(path)

    # Region lists usually come in coordinate order, as sorted BED files do. In
    # random order almost every fetch makes htslib read a fresh 64 KiB block,
    # and the fetches alone then cap what any implementation can gain over the
    # loop; that case is shown without a target.
    rows = []
    for order, regions in (("in coordinate order", sorted(shuffled, key=lambda r: (r.chrom, r.start))),
                           ("in random order", shuffled)):
        targets = (20.0, 1.5) if order == "in coordinate order" else (None, None)
        label = f"get_gc_content (10k x 1 kbp, {order})"
        row_loop = Row(label, None, "Python per-character loop", None, "faster", targets[0])
        row_fetch = Row(label, None, "pysam fetch alone", None, "time", targets[1])
        row_loop.ours, row_fetch.base, row_loop.base = race(
            (lambda: S.get_gc_content(regions, fasta), 9),
            (lambda: fetch_only(regions, fasta), 9),
            (lambda: gc_python_loop(regions, fasta), 3),
        )
        row_fetch.ours = row_loop.ours
        if S.get_gc_content(regions, fasta) != gc_python_loop(regions, fasta):
            row_loop.checks.append("GC fraction differs from the loop's")
        # Every region has to go through fetch, so nothing can beat the loop by more than this.
        ceiling = row_loop.base / row_fetch.base
        say(f"  {order}: ceiling for any code that fetches each region: loop / fetch alone = {ceiling:.2f}x")
        if row_loop.target is None:
            row_loop.note = f"fetch-bound: at most {ceiling:.1f}x"
        rows += [row_loop, row_fetch]
    return rows


def bench_add_sequence(S, rng) -> list[Row]:
    say(f"add_sequence: width {WIDTH} ...")
    rows = []
    seq = rng.integers(0, 4, WIDTH, dtype=np.int64)
    for kind in ("PWM", "DWM"):
        mat = S.SequenceMatrix.create(WIDTH, kind)
        env = {"f": mat.add_sequence, "s": seq, "g": seq.sum}
        row = Row(f"{kind} add_sequence call (w{WIDTH})", None, "seq.sum() call", None, "time", 1.0)
        row.ours, row.base = race_calls(["f(s)", "g()"], env, number=20_000, repeat=9)
        rows.append(row)
    return rows


# ---------------------------------------------------------------- genome scan
#
# End to end from the FASTA path, both strands, one threshold per motif at
# p = 1e-4: morvane reads chunks with pysam, codes them with morvane._scan.encode
# and scans them with one Scanner; the peers run from their own natural input
# in the same run (MOODS: the records' text; memelite: the FASTA path).

SCAN_P = 1e-4
SCAN_CHUNK = 1 << 20  # bases a chunk; chunks overlap by the widest motif less one


def scan_genome_records(rng, sizes: dict[str, int]) -> dict[str, np.ndarray]:
    """Random letters with soft-masked stretches and N runs, as assemblies have."""
    upper, lower = np.frombuffer(b"ACGT", np.uint8), np.frombuffer(b"acgt", np.uint8)
    records = {}
    for name, size in sizes.items():
        codes = rng.integers(0, 4, size, dtype=np.uint8)
        seq = upper[codes]
        for a in rng.integers(0, size, size // 50_000):  # about 10% soft-masked
            seq[a:a + 5_000] = lower[codes[a:a + 5_000]]
        seq[:10_000] = ord("N")  # telomere gaps and a few assembly gaps
        seq[-10_000:] = ord("N")
        for a in rng.integers(0, size, 3):
            seq[a:a + 1_000] = ord("N")
        records[name] = seq
    return records


def random_motifs(rng, widths) -> list[np.ndarray]:
    """Frequency matrices [A, C, G, T rows, position], peaked like real sites."""
    return [rng.dirichlet([0.4] * 4, size=L).T.copy() for L in widths]


def log_odds(freq: np.ndarray) -> np.ndarray:
    """Log2 odds against a uniform background, in A, C, G, T rows (memelite's own transform)."""
    return np.log2(freq + 1e-4) - np.log2(0.25)


def ours_matrix(score_acgt: np.ndarray) -> np.ndarray:
    """Rows A, C, G, T to morvane's code rows A, T, C, G."""
    return score_acgt[[0, 3, 1, 2]]


def empirical_threshold(S, pssm: np.ndarray, codes: np.ndarray, p: float) -> float:
    """The score whose tail among both strands' windows of codes is p, scored by the module."""
    m = S.NucleotideMatrix(pssm.shape[1])
    m.pssm = np.vstack([pssm, np.zeros((1, pssm.shape[1]))])
    rc = np.where(codes < 4, codes ^ 1, 4)[::-1].copy()
    scores = np.concatenate([m.score_sequence(codes), m.score_sequence(rc)])
    scores = scores[~np.isnan(scores)]
    k = int(len(scores) * (1 - p))
    return float(np.partition(scores, k)[k])


def chunk_jobs(fasta: str, chunk: int) -> list[tuple[str, int, int, int]]:
    import pysam

    with pysam.FastaFile(fasta) as fa:
        return [(c, a, min(a + chunk, n), n) for c, n in zip(fa.references, fa.lengths) for a in range(0, n, chunk)]


def morvane_scan(fasta: str, scanner, threads: int = 1, scan: bool = True) -> int:
    """Hits of one Scanner over a FASTA file (scan=False: fetch and encode only)."""
    import threading
    from concurrent.futures import ThreadPoolExecutor

    import pysam
    from morvane import _scan

    overlap = max(scanner.widths) - 1
    local = threading.local()

    def work(job) -> int:
        chrom, a, b, n = job
        fa = getattr(local, "fa", None)
        if fa is None:
            fa = local.fa = pysam.FastaFile(fasta)
        codes = _scan.encode(fa.fetch(chrom, a, min(b + overlap, n)))
        if not scan:
            return 0
        return len(scanner.scan(codes, b - a)[0])

    jobs = chunk_jobs(fasta, SCAN_CHUNK)
    if threads == 1:
        return sum(map(work, jobs))
    with ThreadPoolExecutor(threads) as ex:
        return sum(ex.map(work, jobs))


def peer(name: str):
    """The module, or None and why not."""
    try:
        if name == "MOODS":
            import MOODS.scan
            import MOODS.tools

            return MOODS, ""
        from memelite import fimo

        return fimo, ""
    except Exception as exc:  # noqa: BLE001 - any failure to import skips the peer
        return None, f"{name} unavailable: {type(exc).__name__}: {exc}"


def moods_scan(MOODS, fasta: str, scores_acgt: list[np.ndarray]) -> int:
    import pysam

    bg = MOODS.tools.flat_bg(4)
    mats = [tuple(map(tuple, m)) for m in scores_acgt]
    mats += [MOODS.tools.reverse_complement(m) for m in mats]
    thresholds = [MOODS.tools.threshold_from_p(m, bg, SCAN_P) for m in mats]
    hits = 0
    with pysam.FastaFile(fasta) as fa:
        for chrom in fa.references:
            for per_matrix in MOODS.scan.scan_dna(fa.fetch(chrom), mats, bg, thresholds, 7):
                hits += len(per_matrix)
    return hits


def meme_scan(fimo, fasta: str, freqs: list[np.ndarray]) -> int:
    motifs = {f"m{i}": f for i, f in enumerate(freqs)}
    return sum(len(df) for df in fimo(motifs, fasta, threshold=SCAN_P))


def scan_genome(rng, tmp: Path, mbp: int) -> str:
    """An indexed FASTA of four records, mbp million bases in all."""
    import pysam

    sizes = {f"chr{i + 1}": int(mbp * 1_000_000 * w) for i, w in enumerate((0.4, 0.3, 0.2, 0.1))}
    path = tmp / f"scan{mbp}.fa"
    write_fasta(path, scan_genome_records(rng, sizes))
    pysam.faidx(str(path))
    return str(path)


def jaspar_motifs(n: int) -> tuple[list[np.ndarray] | None, str]:
    """Frequency matrices (A, C, G, T rows) of the first n JASPAR CORE vertebrate
    motifs that pyjaspar ships, and where they came from; None and why not."""
    try:
        from pyjaspar import jaspardb

        db = jaspardb()
        found = db.fetch_motifs(collection="CORE", tax_group=["vertebrates"])[:n]
    except Exception as exc:  # noqa: BLE001 - no pyjaspar: random motifs stand in
        return None, f"pyjaspar unavailable ({type(exc).__name__}: {exc})"
    freqs = []
    for motif in found:
        counts = np.array([motif.counts[b] for b in "ACGT"], dtype=float)
        freqs.append(counts / counts.sum(axis=0))
    return freqs, f"the first {len(freqs)} {db.release} CORE vertebrate motifs"


def scan_motifs(S, rng, fasta: str, widths, freqs=None) -> SimpleNamespace:
    """Motifs (random ones unless freqs are given): frequencies and log odds (A, C, G, T
    rows) for the peers, and morvane's matrices with thresholds at p = 1e-4 of the
    genome's first Mbp."""
    import pysam
    from morvane import _scan

    with pysam.FastaFile(fasta) as fa:
        sample = _scan.encode(fa.fetch(fa.references[0], 0, 1_000_000)).astype(np.int64)
    freqs = random_motifs(rng, widths) if freqs is None else freqs
    scores = [log_odds(f) for f in freqs]
    mats = [ours_matrix(sc) for sc in scores]
    thresholds = [empirical_threshold(S, m, sample, SCAN_P) for m in mats]
    return SimpleNamespace(freqs=freqs, scores=scores, scanner=_scan.Scanner(mats, thresholds))


def scan_peers(rng, tmp: Path) -> tuple:
    moods, why_moods = peer("MOODS")
    fimo, why_fimo = peer("memelite")
    for why in (why_moods, why_fimo):
        if why:
            say("  skipped: " + why)
    if fimo is not None:  # numba compiles on first use; that stays out of the timings
        tiny = tmp / "tiny.fa"
        write_fasta(tiny, {"t": np.frombuffer(b"ACGT" * 100, np.uint8)})
        meme_scan(fimo, str(tiny), random_motifs(rng, [10]))
    return (("MOODS scan_dna", moods, why_moods), ("memelite fimo (FASTA path)", fimo, why_fimo))


def scan_rows(label: str, ours: float, floor: float, peers, times: list[float]) -> list[Row]:
    rows = []
    for name, module, why in peers:
        row = Row(label, ours, name, None, "time", 0.5)
        if module is None:
            row.note = why
        else:
            row.base = times.pop(0)
            if row.ratio > 0.5:
                row.note = f"fetch + encode alone are {floor / row.base:.2f}x its time"
        rows.append(row)
    return rows


def scan_entries(peers, motifs, fasta: str, repeat: int, peer_repeat: int, hits: dict) -> list[tuple]:
    """Timed entries of morvane and each available peer; each call leaves its hit count in hits."""

    def counted(name, fn):
        def run():
            hits[name] = fn()

        return run

    entries = [(counted("morvane", lambda: morvane_scan(fasta, motifs.scanner)), repeat)]
    for name, module, _ in peers:
        if module is None:
            continue
        if name.startswith("MOODS"):
            fn = counted("MOODS", lambda m=module: moods_scan(m, fasta, motifs.scores))
        else:
            fn = counted("memelite", lambda m=module: meme_scan(m, fasta, motifs.freqs))
        entries.append((fn, peer_repeat))
    return entries


def bench_scan(S, rng, tmp: Path) -> list[Row]:
    say("genome scan: 21 Mbp FASTA, both strands, p = 1e-4, end to end from the path ...")
    fasta = scan_genome(rng, tmp, 21)
    peers = scan_peers(rng, tmp)
    rows = []
    floor = None
    import morvane

    layer_rows = []
    for L in (10, 20, 30):
        motifs = scan_motifs(S, rng, fasta, [L])
        hits = {}
        entries = scan_entries(peers, motifs, fasta, 5, 3, hits)

        def layer(freq=motifs.freqs[0]):
            # A fresh Motif each call: its exact threshold and every hit's p-value are
            # computed from nothing, as in a user's first scan with it.
            motif = morvane.Motif.from_counts(freq * 100, name="m")
            hits["morvane.scan"] = len(morvane.scan(fasta, motif, pvalue=SCAN_P))

        entries.insert(1, (layer, 3))
        if floor is None:
            entries.insert(2, (lambda: morvane_scan(fasta, motifs.scanner, scan=False), 5))
        times = race(*entries)
        ours, whole = times.pop(0), times.pop(0)
        if floor is None:
            floor = times.pop(0)
            say(f"  floor: pysam fetch + encode alone take {fmt_time(floor)}")
        say(f"  w{L}: hits " + ", ".join(f"{k} {v}" for k, v in hits.items()))
        rows += scan_rows(f"scan 21 Mbp, both strands, p=1e-4, w{L}", ours, floor, peers, list(times))
        layer_rows += scan_rows(f"morvane.scan, fresh motif, p-value per hit, w{L}", whole, floor, peers, times)
    rows += layer_rows

    freqs, source = jaspar_motifs(100)
    if freqs is None:
        source += "; 100 random motifs of widths 8 to 30 instead"
    say(f"genome scan: 100 motifs, {source} (the peers run once each) ...")
    motifs = scan_motifs(S, rng, fasta, rng.integers(8, 31, 100), freqs)
    hits = {}
    cores = os.cpu_count() or 1

    def whole_job(threads):
        # fresh Motifs: every threshold and p-value computed from nothing, as in a first scan
        fresh = [morvane.Motif.from_counts(f * 100, name=f"m{i}") for i, f in enumerate(motifs.freqs)]
        hits[f"morvane.scan threads={threads}"] = len(morvane.scan(fasta, fresh, pvalue=SCAN_P, threads=threads))

    entries = scan_entries(peers, motifs, fasta, 2, 1, hits)
    entries[1:1] = [(lambda: whole_job(1), 2), (lambda: whole_job(cores), 2)]
    times = race(*entries, warm=False)
    ours, whole, whole_all = times.pop(0), times.pop(0), times.pop(0)
    say("  hits " + ", ".join(f"{k} {v}" for k, v in hits.items()))
    rows += scan_rows("scan 21 Mbp, both strands, p=1e-4, 100 motifs", ours, floor, peers, list(times))
    # The whole job against each peer as it runs by default: MOODS on one thread, memelite's
    # numba loops on every core.
    rows += scan_rows("morvane.scan, fresh motifs, p-value per hit, 100 motifs, threads=1", whole, floor,
                      peers[:1], times)
    rows += scan_rows(f"morvane.scan, fresh motifs, p-value per hit, 100 motifs, threads={cores}", whole_all,
                      floor, peers[1:], times)

    # Threads split chunks: pysam's fetch runs under the GIL (some 6 ms of the 21 Mbp), so the
    # more work a chunk holds the nearer two threads come to twice as fast. The target is on the
    # 100-motif scan; 20 motifs are shown beside it for information.
    for label, many, target in (("scan 21 Mbp, 100 motifs, threads=2", motifs, 1.7),
                                ("scan 21 Mbp, 20 motifs, threads=2",
                                 scan_motifs(S, rng, fasta, rng.integers(8, 31, 20)), None)):
        say(f"genome scan: {label} against threads=1 ...")
        row = Row(label, None, "threads=1", None, "faster", target)
        row.ours, row.base = race((lambda m=many: morvane_scan(fasta, m.scanner, threads=2), 3),
                                  (lambda m=many: morvane_scan(fasta, m.scanner, threads=1), 3))
        # On a shared machine two threads get two cores only when nobody else wants them.
        wall, cpu = time.perf_counter(), time.process_time()
        morvane_scan(fasta, many.scanner, threads=2)
        share = (time.process_time() - cpu) / (time.perf_counter() - wall)
        row.note = f"the 2 threads got {share:.2f} CPUs; load average {os.getloadavg()[0]:.1f} on {os.cpu_count()} cores"
        say("  " + row.note)
        rows.append(row)
    rows += bench_scan_memory(tmp)
    return rows


# The child reports its own high-water mark: VmHWM belongs to the memory map
# made at exec, while the rusage of a child also counts the parent's pages it
# was forked with.
MEMORY_CHILD = """
import sys, numpy as np
sys.path.insert(0, {here!r})
import bench
from morvane.utils import sequences as S
rng = np.random.default_rng({seed})
fasta = {fasta!r}
motifs = bench.scan_motifs(S, rng, fasta, rng.integers(8, 31, 100))
hits = bench.morvane_scan(fasta, motifs.scanner)
with open("/proc/self/status") as fh:
    peak = next(int(ln.split()[1]) for ln in fh if ln.startswith("VmHWM:"))
print(hits, peak * 1024)
"""


# The whole command: 100 motifs written as a JASPAR file, `morvane scan` with p-values on every
# hit into a BED file, on every core.
MEMORY_COMMAND_CHILD = """
import os, sys, numpy as np
sys.path.insert(0, {here!r})
import bench
from morvane.cli import main
rng = np.random.default_rng({seed})
freqs = bench.random_motifs(rng, rng.integers(8, 31, 100))
motifs, out = {tmp!r} + "/motifs.jaspar", {tmp!r} + "/hits.bed"
with open(motifs, "w") as fh:
    for i, f in enumerate(freqs):
        fh.write(f">M{{i}} m{{i}}\\n" + "".join(b + " [" + " ".join(str(int(round(v * 100))) for v in row) + " ]\\n"
                                         for b, row in zip("ACGT", f)))
main(["scan", {fasta!r}, motifs, "-o", out, "--quiet", "--threads", str(os.cpu_count() or 1)])
with open(out) as fh:
    hits = sum(1 for line in fh if not line.startswith("#"))
with open("/proc/self/status") as fh:
    peak = next(int(ln.split()[1]) for ln in fh if ln.startswith("VmHWM:"))
print(hits, peak * 1024)
"""


def bench_scan_memory(tmp: Path) -> list[Row]:
    """Peak RSS of child processes that scan a 100 Mbp FASTA with 100 motifs: the scanning path,
    and the whole command with a p-value on every hit."""
    say("genome scan: peak memory, 100 Mbp FASTA, 100 motifs (child processes) ...")
    fasta = scan_genome(np.random.default_rng(SEED), tmp, 100)
    rows = []
    for label, child in (("peak RSS, scan 100 Mbp FASTA, 100 motifs", MEMORY_CHILD),
                         ("peak RSS, morvane scan 100 Mbp FASTA, 100 motifs, p-values, BED out",
                          MEMORY_COMMAND_CHILD)):
        row = Row(label, None, "budget of 500 MB", 500e6, "time", 1.0, unit="B")
        code = child.format(here=str(HERE), seed=SEED, fasta=fasta, tmp=str(tmp))
        t0 = time.perf_counter()
        res = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
        if res.returncode or len(res.stdout.split()) != 2:
            row.note = f"child failed: {res.stderr.strip()[-200:]}"
        else:
            hits, peak = res.stdout.split()
            row.ours = float(peak)
            say(f"  {label}: {hits} hits in {time.perf_counter() - t0:.1f} s, peak RSS {row.ours / 1e6:.0f} MB")
        rows.append(row)
    return rows


def bench_scan_layer(S, rng, tmp: Path) -> list[Row]:
    """morvane.scan, the hits table with p-values included, against the bare chunked scan."""
    import importlib.util

    import pysam
    from Bio.motifs.matrix import PositionSpecificScoringMatrix
    from Bio.Seq import Seq

    if importlib.util.find_spec("morvane.stats") is None:
        say("morvane.scan: skipped (morvane.stats, which gives every hit its p-value, is not installed)")
        return []
    import morvane
    from morvane._scan import Scanner

    say("morvane.scan: 3 motifs of width 20, both strands of a 10 Mbp FASTA ...")
    chroms = {"chr1": 6_000_000, "chr2": 4_000_000}
    path = tmp / "layer-genome.fa"
    write_genome(rng, path, chroms)
    pysam.faidx(str(path))
    fasta = str(path)
    motifs = [morvane.Motif.from_counts(rng.integers(0, 30, (4, WIDTH)) + 0.5, name=f"m{k}")
              for k in range(3)]
    cuts = [m.threshold(SCAN_P) for m in motifs]
    scanner = Scanner([m.pwm.pssm for m in motifs], cuts, "both")
    bio = [PositionSpecificScoringMatrix("ACGT", {b: list(m.pwm.pssm[r]) for b, r in zip("ACGT", (0, 2, 3, 1))})
           for m in motifs]

    def biopython():
        with pysam.FastaFile(fasta) as fa:
            texts = [Seq(fa.fetch(c).upper()) for c in chroms]
        return sum(len(list(p.search(t, threshold=c, both=True))) for p, c in zip(bio, cuts) for t in texts)

    label = "morvane.scan (3 x w20, 10 Mbp, both strands)"
    row_floor = Row(label, None, "chunked Scanner.scan alone (no table)", None, "time", 1.25)
    row_bio = Row(label, None, "Biopython search(both=True) per motif", None, "faster", None)
    row_floor.ours, row_floor.base, row_bio.base = race(
        (lambda: morvane.scan(fasta, motifs, threshold=cuts), 5),
        (lambda: morvane_scan(fasta, scanner), 5), (biopython, 1))
    row_bio.ours = row_floor.ours
    if len(morvane.scan(fasta, motifs, threshold=cuts)) != morvane_scan(fasta, scanner):
        row_floor.checks.append("hit count differs from the bare scan's")
    return [row_floor, row_bio]


def bench_stats(S, rng) -> list[Row]:
    """Exact PWM thresholds from a fresh null (nothing cached), against Biopython's discretised one."""
    from morvane.stats import PwmNull

    try:
        from Bio.motifs.matrix import PositionSpecificScoringMatrix
    except ImportError:
        PositionSpecificScoringMatrix = None
    rows = []
    bg = np.array([0.3, 0.3, 0.2, 0.2])
    for width in (10, 20, 30):
        say(f"stats: PWM threshold, width {width} ...")
        M = rng.normal(scale=1.5, size=(4, width))
        bio = None
        if PositionSpecificScoringMatrix is not None:
            pssm = PositionSpecificScoringMatrix(
                "ACGT", {b: M[row].tolist() for b, row in zip("ACGT", (0, 2, 3, 1))})
            background = dict(zip("ATCG", bg.tolist()))
            # one distribution serves every p-value: time it once, with its first threshold
            bio = race((lambda: pssm.distribution(background=background).threshold_fpr(1e-4), 1))[0]
        for p in (1e-4, 1e-6):
            ours = race((lambda: PwmNull(M, bg).threshold(p), 5))[0]
            rows.append(Row(f"PWM threshold w{width} p={p:g}", ours,
                            "Biopython distribution + threshold_fpr" if bio else "-", bio, "faster", None))
    return rows


WORKLOADS = {
    "pwm": bench_pwm,
    "dwm_score": bench_dwm_score,
    "dwm_avx2": bench_dwm_avx2,
    "dwm_prepare": bench_dwm_prepare,
    "nuc_to_num": bench_nuc_to_num,
    "gc": bench_gc,
    "add_sequence": bench_add_sequence,
    "scan": bench_scan,
    "scan_layer": bench_scan_layer,
    "stats": bench_stats,
}


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--only", action="append", default=[],
                    help="run only the workloads whose name contains this text (repeatable): "
                         + ", ".join(WORKLOADS))
    args = ap.parse_args(argv)

    from morvane.utils import sequences as S

    t_start = time.perf_counter()
    machine_report(S)
    say("times: best of several runs after a warm-up; both sides of a ratio come from this run\n")
    rng = np.random.default_rng(SEED)
    rows: list[Row] = []
    with tempfile.TemporaryDirectory(prefix="morvane-bench-") as tmpdir:
        tmp = Path(tmpdir)
        for name, fn in WORKLOADS.items():
            if args.only and not any(o in name for o in args.only):
                continue
            params = fn.__code__.co_varnames[: fn.__code__.co_argcount]
            rows += fn(S, rng, tmp) if "tmp" in params else fn(S, rng)
            gc.collect()
    print()
    print_table(rows)
    targeted = [r for r in rows if r.target is not None]
    missed = [r for r in targeted if r.met is False]
    unmeasured = [r for r in targeted if r.met is None]
    print()
    say(f"{len(targeted) - len(missed) - len(unmeasured)} of {len(targeted)} targets met"
        + (f", {len(missed)} MISSED" if missed else "")
        + (f", {len(unmeasured)} not measured" if unmeasured else "")
        + f"; total run time {time.perf_counter() - t_start:.0f} s")
    return 0


if __name__ == "__main__":
    sys.exit(main())
