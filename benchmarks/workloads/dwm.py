"""DWM scoring and preparation: `score_sequence` against the scalar C++ reference
(benchmarks/reference_dwm.cpp, built by `make bench`) and against the pow(2, x) and log2 calls it
needs; the kernel forced to its AVX2 path (the kernels' C++ benchmark); `prepare_mat` against the
same steps in Python."""

from __future__ import annotations

import ctypes
import os
import re
import subprocess
from pathlib import Path
from types import SimpleNamespace
from typing import Any

import numpy as np
from inputs import motif_sites, random_codes
from harness import Context, Row, race, say

WIDTH = 20


def load_reference() -> tuple[Any, str]:
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


def counted_dwm(S: Any, rng: np.random.Generator) -> Any:
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


def bench_dwm_score(ctx: Context) -> list[Row]:
    n = 200_000
    say(f"DWM score_sequence: width {WIDTH}, {n:,} codes ...")
    mat = counted_dwm(ctx.S, ctx.rng)
    mat.prepare_mat()
    row_ref = Row(f"DWM score_sequence (w{WIDTH}, 200k codes)", None, "scalar C++ reference (-O2)", None,
                  "faster", 2.0)
    row_pow = Row(f"DWM score_sequence (w{WIDTH}, 200k codes)", None, "its pow(2,x)+log2 calls alone", None,
                  "time", 1.3)
    codes = random_codes(ctx.rng, n, 0.0)

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

    def reference(seq: np.ndarray) -> np.ndarray:
        out = np.empty(len(seq))
        lib.ref_dwm_score(ptr(seq), len(seq), WIDTH, *mptrs, ptr(out))
        return out

    # Bit-for-bit agreement, on the timed input and on one with N's and short runs.
    mixed = random_codes(ctx.rng, 20_000, 0.01)
    mixed[100:100 + WIDTH - 1] = np.arange(WIDTH - 1) % 4  # an N-free run just shorter than a window
    for seq in (codes, mixed, codes[:WIDTH], codes[:WIDTH - 1]):
        problem = bit_difference(mat.score_sequence(seq), reference(seq))
        if problem:
            row_ref.checks.append("NOT bit-identical: " + problem)
            break

    # The C library calls alone: 8 * L pows and 2 * L log2 per scored window, on the arguments
    # the reference passes for the first windows, cycled.
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


def bench_dwm_avx2(_ctx: Context) -> list[Row]:
    """The DWM kernel forced to its AVX2 path, from the kernels' C++ benchmark.

    The module picks the widest path the processor has, so on an AVX-512 machine the AVX2 + FMA
    path is timed only through the C++ benchmark, built with the library's flags; it races the
    kernel against the pow(2, x) and log2 calls the scalar reference makes, on their own arguments.
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


def prepare_mat_python(mat: Any) -> None:
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


def bench_dwm_prepare(ctx: Context) -> list[Row]:
    say(f"DWM prepare_mat: width {WIDTH} ...")
    mat = counted_dwm(ctx.S, ctx.rng)
    row = Row(f"DWM prepare_mat (w{WIDTH})", None, "pair step as a Python element loop", None, "faster", 50.0)

    def fresh() -> SimpleNamespace:
        return SimpleNamespace(length=mat.length, counts=mat.counts.copy(), bg_counts=mat.bg_counts.copy(),
                               bias_dwm=np.zeros_like(mat.counts), bg_dwm=np.zeros_like(mat.counts))

    def ours(calls: int = 50) -> None:
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


WORKLOADS = {"dwm_score": bench_dwm_score, "dwm_avx2": bench_dwm_avx2, "dwm_prepare": bench_dwm_prepare}
