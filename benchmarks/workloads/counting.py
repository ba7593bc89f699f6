"""Counting sites: one `add_sequence` call of a PWM and of a DWM against a NumPy call of the same size."""

from __future__ import annotations

from harness import Context, Row, race_calls, say

WIDTH = 20


def bench_add_sequence(ctx: Context) -> list[Row]:
    S, rng = ctx.S, ctx.rng
    say(f"add_sequence: width {WIDTH} ...")
    rows = []
    seq = rng.integers(0, 4, WIDTH, dtype="int64")
    for kind in ("PWM", "DWM"):
        mat = S.SequenceMatrix.create(WIDTH, kind)
        env = {"f": mat.add_sequence, "s": seq, "g": seq.sum}
        row = Row(f"{kind} add_sequence call (w{WIDTH})", None, "seq.sum() call", None, "time", 1.0)
        row.ours, row.base = race_calls(["f(s)", "g()"], env, number=20_000, repeat=9)
        rows.append(row)
    return rows


WORKLOADS = {"add_sequence": bench_add_sequence}
