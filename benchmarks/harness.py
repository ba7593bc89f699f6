"""What every workload shares: rows and their checks, the table, timing, child processes for peak
memory, the machine report and the peers.

A workload is a function of a `Context` returning `Row`s. Both sides of a ratio are timed in the
same run, taking turns (`race`), so that a busy machine slows both alike, and the best time counts.
"""

from __future__ import annotations

import gc
import os
import platform
import subprocess
import sys
import tempfile
import time
import timeit
from collections.abc import Callable
from dataclasses import dataclass, field
from pathlib import Path
from types import ModuleType
from typing import Any

import numpy as np

HERE = Path(__file__).resolve().parent
SEED = 20240611

# ---------------------------------------------------------------- rows

# How a row's ratio is read against its target:
#   "faster": base / ours, at least the target;
#   "time":   ours / base, at most the target;
#   "budget": ours / base, at most the target, where base is a fixed allowance (seconds or bytes)
#             rather than a measured baseline.
KINDS = ("faster", "time", "budget")


@dataclass
class Row:
    workload: str
    ours: float | None  # seconds (per call for the per-call workloads), or bytes when unit is "B"
    baseline: str
    base: float | None
    kind: str
    target: float | None  # None: printed for information, no target
    checks: list[str] = field(default_factory=list)  # failed checks; empty when all passed
    note: str = ""
    unit: str = "s"  # "s": times; "B": memory in bytes; "rel": a relative error

    def __post_init__(self) -> None:
        assert self.kind in KINDS, self.kind

    @classmethod
    def budget(cls, workload: str, allowance: float, unit: str = "s", ours: float | None = None) -> Row:
        """A row held to a fixed allowance (a time or a memory size) instead of a baseline."""
        return cls(workload, ours, f"budget of {fmt_amount(allowance, unit)}", allowance, "budget", 1.0, unit=unit)

    @property
    def ratio(self) -> float | None:
        if not self.ours or not self.base:
            return None
        return self.base / self.ours if self.kind == "faster" else self.ours / self.base

    @property
    def within(self) -> bool | None:
        """Whether the ratio meets the target, checks aside."""
        r = self.ratio
        if r is None or self.target is None:
            return None
        return r >= self.target if self.kind == "faster" else r <= self.target

    @property
    def met(self) -> bool | None:
        """None when not measured; a failed check is a miss even without a measurement (a child that
        ran out of memory, say)."""
        ok = self.within
        if ok is None:
            return False if self.checks and self.target is not None else None
        return ok and not self.checks

    def ratio_text(self) -> str:
        r = self.ratio
        if r is None:
            return "-"
        if self.kind == "budget":
            return f"{r:.2f}x of it"
        return f"{r:.2f}x faster" if self.kind == "faster" else f"{r:.2f}x its time"

    def target_text(self) -> str:
        if self.target is None:
            return "-"
        if self.kind == "budget":
            return f"<= {self.target:g}x of it"
        return f">= {self.target:g}x faster" if self.kind == "faster" else f"<= {self.target:g}x its time"

    def status_text(self) -> str:
        note = f" ({self.note})" if self.note else ""
        if self.target is None and self.ratio is not None:
            return "for information" + note
        if self.met is None:
            return "NOT MEASURED" + note
        if self.met:
            return "met" + note
        parts = (["ratio"] if self.within is False else []) + self.checks
        return "*** MISSED: " + ", ".join(parts) + " ***" + note


def fmt_amount(v: float | None, unit: str) -> str:
    if unit == "B" and v is not None:
        return f"{v / 1e6:.0f} MB"
    if unit == "rel" and v is not None:  # a relative error
        return f"{v:.1e} rel"
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
    cells = [[r.workload, fmt_amount(r.ours, r.unit), r.baseline, fmt_amount(r.base, r.unit), r.ratio_text(),
              r.target_text(), r.status_text()] for r in rows]
    widths = [max([len(head[i]), *(len(c[i]) for c in cells)]) for i in range(len(head))]

    def line(c: list[str]) -> str:
        return "  ".join(str(v).ljust(w) for v, w in zip(c, widths)).rstrip()

    print(line(head))
    print(line(["-" * w for w in widths]))
    for c in cells:
        print(line(c))


def summary(rows: list[Row]) -> str:
    targeted = [r for r in rows if r.target is not None]
    missed = [r for r in targeted if r.met is False]
    unmeasured = [r for r in targeted if r.met is None]
    return (f"{len(targeted) - len(missed) - len(unmeasured)} of {len(targeted)} targets met"
            + (f", {len(missed)} MISSED" if missed else "")
            + (f", {len(unmeasured)} not measured" if unmeasured else ""))


def say(msg: str) -> None:
    print(msg, flush=True)


# ---------------------------------------------------------------- timing


def timed(fn: Callable[[], object]) -> float:
    """Wall time of one call, the cyclic garbage collector off meanwhile; the result is dropped."""
    gc.collect()
    gc.disable()
    try:
        t0 = time.perf_counter()
        fn()
        return time.perf_counter() - t0
    finally:
        gc.enable()


def race(*entries: tuple[Callable[[], object], int], warm: bool = True) -> list[float]:
    """Best wall time of each (fn, repeat) entry.

    Every fn is called once untimed (unless warm is false: workloads of many seconds), then the
    timed calls of all entries take turns, so that both sides of a ratio meet the same load on a
    busy machine.
    """
    if warm:
        for fn, _ in entries:
            fn()
    best = [float("inf")] * len(entries)
    for i in range(max(r for _, r in entries)):
        for k, (fn, repeat) in enumerate(entries):
            if i < repeat:
                best[k] = min(best[k], timed(fn))
    return best


def race_calls(stmts: list[str], env: dict[str, Any], number: int, repeat: int) -> list[float]:
    """Best time per call of each short statement (loops of `number` calls, taking turns)."""
    timers = [timeit.Timer(s, globals=env) for s in stmts]
    for t in timers:
        t.timeit(number)  # warm-up
    best = [float("inf")] * len(timers)
    for _ in range(repeat):
        for k, t in enumerate(timers):
            best[k] = min(best[k], t.timeit(number) / number)
    return best


# ---------------------------------------------------------------- child processes

# The child reports its own high-water mark as its last line of output: VmHWM belongs to the
# memory map made at exec, while the rusage of a child also counts the parent's pages it was
# forked (or vforked) from.
_PEAK = """
with open("/proc/self/status") as _fh:
    _peak = next(int(_ln.split()[1]) for _ln in _fh if _ln.startswith("VmHWM:"))
print("peak", _peak * 1024)
"""


@dataclass
class ChildRun:
    seconds: float  # wall time of the whole child, interpreter start-up included
    peak: int | None  # bytes, None when the child failed
    stdout: str  # what the child printed before its peak
    error: str  # the tail of its stderr when it failed


# Every child's address space is capped (a little above what a budget of 1 GB of resident memory
# needs, with thread stacks and allocator arenas): a runaway scan fails alone instead of making the
# kernel kill whatever else runs on the machine. Under AddressSanitizer (preloaded into the
# interpreter) no cap is set: its shadow memory alone reserves terabytes of address space.
CHILD_MEMORY = 6 << 30
CHILD_TIMEOUT = 1800.0


def run_child(code: str, *args: str, memory: int | None = CHILD_MEMORY, timeout: float | None = CHILD_TIMEOUT) -> ChildRun:
    """Runs Python code in a fresh interpreter (sys.argv[1:] = args, the benchmarks folder on its
    path), timing it and reading its peak resident memory. `memory` caps its address space (bytes)
    and `timeout` its wall time (seconds), so that a runaway workload fails alone rather than
    taking a shared machine with it."""
    prelude = f"import sys\nsys.path.insert(0, {str(HERE)!r})\n"
    if memory is not None and "libasan" in os.environ.get("LD_PRELOAD", ""):
        memory = None
    if memory is not None:
        prelude += f"import resource\nresource.setrlimit(resource.RLIMIT_AS, ({memory}, {memory}))\n"
    t0 = time.perf_counter()
    try:
        res = subprocess.run([sys.executable, "-c", prelude + code + _PEAK, *args], capture_output=True, text=True,
                             timeout=timeout)
    except subprocess.TimeoutExpired:
        return ChildRun(time.perf_counter() - t0, None, "", f"stopped after {timeout:g} s")
    seconds = time.perf_counter() - t0
    lines = res.stdout.rstrip("\n").split("\n")
    if res.returncode or not lines[-1].startswith("peak "):
        why = res.stderr.strip()[-300:] or f"exit {res.returncode}"
        if memory is not None and "MemoryError" in why:
            why = f"out of its {memory / 2**30:g} GiB of address space"
        return ChildRun(seconds, None, res.stdout, why)
    return ChildRun(seconds, int(lines[-1].split()[1]), "\n".join(lines[:-1]), "")


# The `morvane scan` command as the console script runs it, in a child that reports its peak.
COMMAND = """
from morvane.cli import main
rc = main(sys.argv[1:])
if rc:
    sys.exit(rc)
"""


def run_command(*argv: str) -> ChildRun:
    """`morvane ARGV...` in a fresh interpreter: time from start-up to exit, and peak memory."""
    return run_child(COMMAND, *argv)


class Command:
    """`morvane scan GENOME MOTIFS -o OUT --quiet OPTIONS...` in a child (run_command), its runs kept."""

    def __init__(self, fasta: str, motifs_file: str, out: str, *options: str) -> None:
        self.out = out
        self.argv = ["scan", fasta, motifs_file, "-o", out, "--quiet", *options]
        self.runs: list[ChildRun] = []

    def __call__(self) -> None:
        self.runs.append(run_command(*self.argv))

    @property
    def error(self) -> str:
        """Why a run failed (the first failure), or empty."""
        return next((run.error for run in self.runs if run.peak is None), "")

    def settle(self, row: Row) -> bool:
        """Marks the row failed when a run failed (its time is then no measurement); whether all ran."""
        if self.error and "failed" not in row.checks:
            row.ours = None
            row.checks.append("failed")
            row.note = self.error
        return not self.error

    def memory_row(self, label: str, budget: float = 1e9) -> Row:
        """The highest peak of its runs against a budget of bytes."""
        row = Row.budget(label, budget, "B", ours=max((run.peak or 0 for run in self.runs), default=None))
        self.settle(row)
        return row


def hit_lines(path: str) -> int:
    """Lines of a BED file of the command, its comment lines aside."""
    n = comments = 0
    with open(path, "rb") as fh:
        while block := fh.read(1 << 24):
            n += block.count(b"\n")
    with open(path, "rb") as fh:
        for line in fh:
            if not line.startswith(b"#"):
                break
            comments += 1
    return n - comments


# ---------------------------------------------------------------- machine and peers


def machine_report() -> None:
    from morvane import _scan
    from morvane.utils import sequences

    model = "unknown"
    try:
        with open("/proc/cpuinfo") as fh:
            model = next((ln.split(":", 1)[1].strip() for ln in fh if ln.startswith("model name")), model)
    except OSError:
        pass
    say(f"machine : {model}, {os.cpu_count()} cores, {platform.machine()}, load average "
        + " ".join(f"{v:.2f}" for v in os.getloadavg()))
    say(f"SIMD    : the library's kernels run at the {_scan._simd_level()} level (chosen at run time)")
    say(f"python  : {platform.python_version()}  numpy {np.__version__}  " + versions())
    say(f"morvane : {sequences.__file__}")


def versions() -> str:
    out = []
    for label, name in (("pysam", "pysam"), ("biopython", "Bio")):
        try:
            out.append(f"{label} {__import__(name).__version__}")
        except ImportError:
            out.append(f"{label} missing")
    return "  ".join(out)


def peer(name: str) -> tuple[ModuleType | None, str]:
    """The peer's module, or None and why it is skipped (printed once)."""
    cached = _PEERS.get(name)
    if cached is not None:
        return cached
    import importlib

    try:
        module: ModuleType | None = importlib.import_module(name)
        why = ""
    except Exception as exc:  # noqa: BLE001 - any failure to import skips the peer
        module, why = None, f"{name} unavailable: {type(exc).__name__}: {exc}"
        say("  skipped: " + why)
    _PEERS[name] = (module, why)
    return module, why


_PEERS: dict[str, tuple[ModuleType | None, str]] = {}


# ---------------------------------------------------------------- context


class Context:
    """What a workload gets: the native module, a random generator, a temporary folder, and the
    benchmark genomes, written once per run and shared between workloads."""

    def __init__(self, tmp: Path) -> None:
        from morvane.utils import sequences

        self.S = sequences
        self.rng = np.random.default_rng(SEED)
        self.tmp = tmp
        self._genomes: dict[int, str] = {}

    def genome(self, mbp: int) -> str:
        """The indexed synthetic FASTA of mbp million bases (see inputs.scan_genome)."""
        if mbp not in self._genomes:
            import inputs

            self._genomes[mbp] = inputs.scan_genome(np.random.default_rng(SEED + mbp), self.tmp, mbp)
        return self._genomes[mbp]

    def folder(self, name: str) -> Path:
        """A fresh folder of the run's temporary one, for a workload's files."""
        return Path(tempfile.mkdtemp(prefix=name + "-", dir=self.tmp))
