"""The peers' scans, each from its own natural input, both strands, thresholds from a p-value:
MOODS-python (`scan_dna` on the records' text, `threshold_from_p`), memelite (`fimo` on the FASTA
path) and FIMO through pymemesuite (its `FIMO.score_motif` on loaded sequences). None of them is a
dependency of the package: `make bench` installs them, and a peer that is missing is skipped with
the reason printed (harness.peer)."""

from __future__ import annotations

from dataclasses import dataclass
from pathlib import Path
from types import ModuleType
from typing import Any

import numpy as np
from inputs import Motifs
from harness import peer


@dataclass
class Peer:
    label: str
    module: ModuleType | None
    why: str  # why it is skipped, when module is None


def moods() -> Peer:
    module, why = peer("MOODS.scan")
    if module is not None:
        peer("MOODS.tools")
        import MOODS

        module = MOODS
    return Peer("MOODS scan_dna", module, why)


def memelite() -> Peer:
    module, why = peer("memelite.fimo")
    if module is not None:  # numba compiles on first use: that stays out of the timings
        import tempfile

        from inputs import write_fasta

        with tempfile.TemporaryDirectory() as tmp:
            tiny = Path(tmp) / "tiny.fa"
            write_fasta(tiny, {"t": [np.frombuffer(b"ACGT" * 100, np.uint8)]})
            meme_scan(module, str(tiny), Motifs(["m"], ["m"], [np.full((4, 10), 25.0)], ""), 1e-4)
    return Peer("memelite fimo (FASTA path)", module, why)


def pymemesuite() -> Peer:
    module, why = peer("pymemesuite.fimo")
    return Peer("FIMO (pymemesuite)", module, why)


def log_odds(counts: np.ndarray) -> np.ndarray:
    """morvane's own log2 odds of a count matrix (pseudo-count 1, uniform background), rows A, C, G, T:
    MOODS scores the same matrix."""
    freq = (counts + 1.0) / (counts.sum(axis=0) + 4.0)
    return np.log2(freq / 0.25)


def moods_scan(MOODS: Any, fasta: str, motifs: Motifs, p: float) -> int:
    import pysam

    bg = MOODS.tools.flat_bg(4)
    mats = [tuple(map(tuple, log_odds(c))) for c in motifs.counts]
    mats += [MOODS.tools.reverse_complement(m) for m in mats]
    thresholds = [MOODS.tools.threshold_from_p(m, bg, p) for m in mats]
    hits = 0
    with pysam.FastaFile(fasta) as fa:
        for chrom in fa.references:
            for per_matrix in MOODS.scan.scan_dna(fa.fetch(chrom), mats, bg, thresholds, 7):
                hits += len(per_matrix)
    return hits


def meme_scan(fimo: Any, fasta: str, motifs: Motifs, p: float) -> int:
    named = {f"m{i}": f for i, f in enumerate(motifs.freqs)}
    return sum(len(df) for df in fimo.fimo(named, fasta, threshold=p))


class FimoJob:
    """FIMO through pymemesuite: the motifs read from a MEME file and the genome's records loaded
    once; `scan(which)` scores the chosen motifs on every record, both strands."""

    def __init__(self, fimo: Any, fasta: str, motifs: Motifs, folder: Path, p: float) -> None:
        import pysam
        from pymemesuite.common import Alphabet, Background, MotifFile, Sequence

        with MotifFile(motifs.write_meme(folder / "motifs.meme")) as mf:
            self.motifs = list(mf)
        self.background = Background.from_uniform(Alphabet.dna())
        with pysam.FastaFile(fasta) as fa:
            self.sequences = [Sequence(fa.fetch(chrom), name=chrom.encode()) for chrom in fa.references]
        self.runner = fimo.FIMO(both_strands=True, threshold=p)

    def scan(self, which: list[int]) -> int:
        return sum(len(self.runner.score_motif(self.motifs[k], self.sequences, self.background).matched_elements)
                   for k in which)
