"""Coding text as numbers: `nuc_to_num` against a NumPy table lookup."""

from __future__ import annotations

import numpy as np
from inputs import code_lut
from harness import Context, Row, race, say


def bench_nuc_to_num(ctx: Context) -> list[Row]:
    S, rng = ctx.S, ctx.rng
    n = 100_000_000
    say(f"nuc_to_num: {n:,} ASCII characters ...")
    letters = np.frombuffer(b"ACGTNacgtn", np.uint8)
    text = letters[rng.integers(0, len(letters), n, dtype=np.uint8)].tobytes().decode("ascii")
    lut = code_lut()
    row = Row("nuc_to_num (100M ASCII chars)", None, "lut[frombuffer(text.encode())]", None, "time", 1.0)

    def baseline() -> np.ndarray:
        return lut[np.frombuffer(text.encode("ascii"), np.uint8)]

    if not np.array_equal(S.nuc_to_num(text[:1_000_000]), lut[np.frombuffer(text[:1_000_000].encode(), np.uint8)]):
        row.checks.append("codes differ from the table lookup")
    row.ours, row.base = race((lambda: S.nuc_to_num(text), 3), (baseline, 3))
    return [row]


WORKLOADS = {"nuc_to_num": bench_nuc_to_num}
