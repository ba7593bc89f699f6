"""PWM scoring: `score_sequence` of the native module against Biopython's PSSM and against a plain
cast of the codes."""

from __future__ import annotations

import numpy as np
from inputs import codes_to_text, motif_sites, random_codes
from harness import Context, Row, fmt_time, race, say

WIDTH = 20


def bench_pwm(ctx: Context) -> list[Row]:
    S, rng = ctx.S, ctx.rng
    n = 10_000_000
    say(f"PWM score_sequence: width {WIDTH}, {n:,} codes with 1% N ...")
    mat = S.SequenceMatrix.create(WIDTH, "PWM")
    for s in motif_sites(rng, 500, WIDTH):
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
        # The same counts through Biopython's own pipeline: pseudo-count 1 per letter, log2 odds
        # against a uniform background.
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


WORKLOADS = {"pwm": bench_pwm}
