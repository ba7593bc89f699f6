"""Benchmarks of morvane against baselines and peers measured in the same run.

Run inside the project's environment with the extension installed (`make bench` installs the
peers and builds the C++ reference first):

    python benchmarks/bench.py                 # every workload
    python benchmarks/bench.py --only dwm      # workloads whose name holds "dwm"
    python benchmarks/bench.py --only scan     # the genome scans
    python benchmarks/bench.py --only stats    # exact PWM statistics (morvane.stats)

The rows, timing and child processes are in harness.py, the synthetic inputs in inputs.py, the peers'
scans in peers.py, and each workload in workloads/. The run is a report: it exits 0 even when a
target is missed, and marks the miss.
"""

from __future__ import annotations

import argparse
import gc
import sys
import tempfile
import time
import traceback
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

from harness import Context, Row, machine_report, print_table, say, summary  # noqa: E402
from workloads import WORKLOADS  # noqa: E402


def main(argv: list[str] | None = None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--only", action="append", default=[],
                    help="run only the workloads whose name contains this text (repeatable): " + ", ".join(WORKLOADS))
    args = ap.parse_args(argv)
    chosen = [name for name in WORKLOADS if not args.only or any(o in name for o in args.only)]
    if not chosen:
        ap.error(f"no workload matches {args.only}; workloads: {', '.join(WORKLOADS)}")

    t_start = time.perf_counter()
    machine_report()
    say("times: best of several runs after a warm-up; both sides of a ratio come from this run\n")
    rows: list[Row] = []
    with tempfile.TemporaryDirectory(prefix="morvane-bench-") as tmpdir:
        ctx = Context(Path(tmpdir))
        for name in chosen:
            t0 = time.perf_counter()
            try:
                rows += WORKLOADS[name](ctx)
            except Exception as exc:  # noqa: BLE001 - one broken workload does not end the report
                traceback.print_exc()
                rows.append(Row(name, None, "-", None, "time", 1.0, note=f"workload failed: {type(exc).__name__}: {exc}"))
            say(f"  [{name}: {time.perf_counter() - t0:.0f} s]")
            gc.collect()
    print()
    print_table(rows)
    print()
    say(f"{summary(rows)}; total run time {time.perf_counter() - t_start:.0f} s")
    return 0


if __name__ == "__main__":
    sys.exit(main())
