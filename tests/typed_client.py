"""A small client of morvane.utils.sequences written with full type annotations.

The test suite type-checks it with `mypy --strict` (the package ships its
stub and a py.typed marker) and also runs it, so the annotations below are
both what the type checker infers and what the module returns.
"""

from __future__ import annotations

import sys
from pathlib import Path
from typing import Literal, NamedTuple

import numpy as np
import pysam
from numpy.typing import NDArray

from morvane.utils import sequences
from morvane.utils.sequences import (
    DiNucleotideMatrix,
    GenomicSequence,
    NucleotideMatrix,
    SequenceMatrix,
    get_gc_content,
    nuc_to_num,
)

FASTA = Path(__file__).resolve().parent.parent / "data" / "lambda_virus.fa"
SITES = ["TATCACCGCC", "TATCTCCGCC", "TACCACCGCC"]


class Region(NamedTuple):
    chrom: str
    start: int
    end: int


def counted_pwm(sites: list[str]) -> NucleotideMatrix:
    pwm = SequenceMatrix.create(len(sites[0]), "PWM")  # a NucleotideMatrix
    for site in sites:
        pwm.add_sequence(nuc_to_num(site))
    return pwm


def counted_dwm(sites: list[str], weight: float) -> DiNucleotideMatrix:
    dwm = DiNucleotideMatrix(len(sites[0]))
    for site in sites:
        dwm.add_sequence(nuc_to_num(site), amount=weight)
    return dwm


Kind = Literal["PWM", "DWM"]


def parse_kind(text: str) -> Kind:
    """A type name read from user input, checked before it reaches `create`."""
    kinds: tuple[Kind, ...] = ("PWM", "DWM")
    for kind in kinds:
        if text == kind:
            return kind
    raise ValueError(f"score type must be PWM or DWM, not {text!r}")


def any_kind(stype: Kind, width: int) -> NucleotideMatrix | DiNucleotideMatrix:
    return SequenceMatrix.create(width, stype)


def best(scores: NDArray[np.float64]) -> tuple[int, float]:
    k = int(np.nanargmax(scores))
    return k, float(scores[k])


def main() -> int:
    pwm = counted_pwm(SITES[:2])
    pwm.add_counts(counted_pwm(SITES[2:]))
    total: float | int = pwm.no_bias
    pwm.prepare_mat()
    logodds: NDArray[np.float64] = pwm.pssm

    dwm = counted_dwm(SITES, 0.5)
    dwm.prepare_mat()

    with pysam.FastaFile(str(FASTA)) as fasta:
        region = Region(fasta.references[0], 35500, 35700)
        genomic: GenomicSequence = GenomicSequence(region).from_fasta(fasta)
    codes: NDArray[np.int64] = genomic.sequence
    forward = pwm.score_sequence(codes)
    reverse = pwm.score_sequence(genomic.revcomp)
    pair_scores = dwm.score_sequence(codes)

    k, score = best(forward)
    gc: float = get_gc_content([region], FASTA)
    kind = any_kind(parse_kind("DWM"), 4)
    paired: dict[int, int] = sequences.complement

    print(f"counted weight {total}, pssm shape {logodds.shape}")
    print(f"best forward window centred at {region.start + k}: {score:.2f}")
    print(f"best reverse score {best(reverse)[1]:.2f}, best DWM score {best(pair_scores)[1]:.2f}")
    print(f"GC {gc:.3f}; {type(kind).__name__}; complement of A is {paired[0]}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
