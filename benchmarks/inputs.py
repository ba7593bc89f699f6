"""Synthetic inputs of the benchmarks: codes, text, genomes written as indexed FASTA, motifs (random
ones or JASPAR's through pyjaspar) and the motif files the command and the peers read."""

from __future__ import annotations

from collections.abc import Iterable, Iterator
from dataclasses import dataclass
from pathlib import Path

import numpy as np

ACGT_N = np.frombuffer(b"ATCGN", np.uint8)  # letter of each code, in code order
LINE = 60  # FASTA letters a line
PIECE = LINE * 100_000  # a genome is generated and written this many bases at a time


def random_codes(rng: np.random.Generator, n: int, n_fraction: float) -> np.ndarray:
    codes = rng.integers(0, 4, n, dtype=np.int64)
    if n_fraction:
        codes[rng.random(n) < n_fraction] = 4
    return codes


def codes_to_text(codes: np.ndarray) -> str:
    return ACGT_N[codes].tobytes().decode("ascii")


def motif_sites(rng: np.random.Generator, count: int, width: int) -> np.ndarray:
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


# ---------------------------------------------------------------- FASTA


def fasta_lines(seq: np.ndarray, line: int = LINE) -> bytes:
    """uint8 letters as FASTA body lines of `line` letters, each ended by a newline."""
    size = len(seq)
    if not size:
        return b""
    rows = -(-size // line)
    grid = np.full((rows, line + 1), ord("\n"), np.uint8)
    flat = np.zeros(rows * line, np.uint8)
    flat[:size] = seq
    grid[:, :line] = flat.reshape(rows, line)
    data = grid.tobytes()
    if size % line:  # the last line is short
        data = data[: (rows - 1) * (line + 1) + size % line] + b"\n"
    return data


def write_fasta(path: Path, records: dict[str, Iterable[np.ndarray]], line: int = LINE) -> None:
    """Writes records given as pieces of uint8 letters (each a multiple of `line` long but the last)."""
    with open(path, "wb") as fh:
        for name, pieces in records.items():
            fh.write(f">{name}\n".encode())
            for piece in pieces:
                fh.write(fasta_lines(piece, line))


def write_genome(rng: np.random.Generator, path: Path, chroms: dict[str, int]) -> None:
    """Plain random letters: mostly upper case, some soft-masked, a few N."""
    letters = np.frombuffer(b"ACGTACGTACGTacgtN", np.uint8)
    write_fasta(path, {name: [letters[rng.integers(0, len(letters), size)]] for name, size in chroms.items()})


def assembly_record(rng: np.random.Generator, size: int) -> Iterator[np.ndarray]:
    """A record as assemblies have them, in pieces: random bases, about 10% soft-masked in stretches
    of 5 kbp, 10 kbp of N at each end (telomere gaps) and three runs of 1 kbp of N."""
    upper, lower = np.frombuffer(b"ACGT", np.uint8), np.frombuffer(b"acgt", np.uint8)
    gaps = [(0, 10_000), (size - 10_000, size)] + [(a, a + 1_000) for a in rng.integers(0, size, 3)]
    for at in range(0, size, PIECE):
        n = min(PIECE, size - at)
        codes = rng.integers(0, 4, n, dtype=np.uint8)
        seq = upper[codes]
        for a in rng.integers(0, n, max(n // 50_000, 1)):
            seq[a:a + 5_000] = lower[codes[a:a + 5_000]]
        for a, b in gaps:
            lo, hi = max(a - at, 0), min(b - at, n)
            if lo < hi:
                seq[lo:hi] = ord("N")
        yield seq


def scan_genome(rng: np.random.Generator, folder: Path, mbp: int, records: int = 4) -> str:
    """An indexed FASTA of mbp million bases: four records (40, 30, 20 and 10% of it), or `records`
    of equal size, written a piece at a time (so any size fits in memory)."""
    import pysam

    total = mbp * 1_000_000
    shares = (0.4, 0.3, 0.2, 0.1) if records == 4 else (1 / records,) * records
    sizes = {f"chr{i + 1}": int(total * w) for i, w in enumerate(shares)}
    path = folder / f"scan{mbp}.fa"
    write_fasta(path, {name: assembly_record(rng, size) for name, size in sizes.items()})
    pysam.faidx(str(path))
    return str(path)


# ---------------------------------------------------------------- motifs


@dataclass
class Motifs:
    """Count matrices (4 x L, rows A, C, G, T) with their identifiers and names."""

    ids: list[str]
    names: list[str]
    counts: list[np.ndarray]
    source: str

    def __len__(self) -> int:
        return len(self.counts)

    @property
    def freqs(self) -> list[np.ndarray]:
        return [c / c.sum(axis=0) for c in self.counts]

    def fresh(self) -> list:
        """New morvane Motifs of these counts: nothing cached, as in a user's first scan."""
        from morvane import Motif

        return [Motif.from_counts(c, name=i) for c, i in zip(self.counts, self.ids)]

    def take(self, which: Iterable[int]) -> Motifs:
        which = list(which)
        return Motifs([self.ids[i] for i in which], [self.names[i] for i in which],
                      [self.counts[i] for i in which], self.source)

    def write_jaspar(self, path: Path) -> str:
        with open(path, "w") as fh:
            for i, n, c in zip(self.ids, self.names, self.counts):
                fh.write(f">{i} {n}\n" + "".join(
                    f"{b} [ " + " ".join(f"{v:g}" for v in row) + " ]\n" for b, row in zip("ACGT", c)))
        return str(path)

    def write_meme(self, path: Path) -> str:
        """MEME minimal format, letter frequencies, uniform background."""
        with open(path, "w") as fh:
            fh.write("MEME version 4\n\nALPHABET= ACGT\n\nstrands: + -\n\n"
                     "Background letter frequencies\nA 0.25 C 0.25 G 0.25 T 0.25\n\n")
            for i, n, f, c in zip(self.ids, self.names, self.freqs, self.counts):
                fh.write(f"MOTIF {i} {n}\nletter-probability matrix: alength= 4 w= {f.shape[1]} "
                         f"nsites= {int(round(c.sum(axis=0).mean()))} E= 0\n")
                fh.write("".join(" ".join(f"{v:.6f}" for v in col) + "\n" for col in f.T) + "\n")
        return str(path)


def random_motifs(rng: np.random.Generator, widths: Iterable[int]) -> Motifs:
    """Motifs peaked like real sites: frequencies drawn per position, as counts of 100 sites."""
    counts = [rng.dirichlet([0.4] * 4, size=int(L)).T * 100 for L in widths]
    ids = [f"R{k}" for k in range(len(counts))]
    return Motifs(ids, [f"random{k}" for k in range(len(counts))], counts, f"{len(counts)} random motifs")


def jaspar_motifs(n: int | None = None) -> tuple[Motifs | None, str]:
    """The JASPAR CORE vertebrate matrices of pyjaspar's newest release (the first n of them when n
    is given), or None and why not."""
    try:
        from pyjaspar import jaspardb

        db = jaspardb()
        found = db.fetch_motifs(collection="CORE", tax_group=["vertebrates"])
    except Exception as exc:  # noqa: BLE001 - no pyjaspar: the caller says what stands in
        return None, f"pyjaspar unavailable ({type(exc).__name__}: {exc})"
    found = found[:n] if n is not None else found
    counts = [np.array([m.counts[b] for b in "ACGT"], dtype=float) for m in found]
    what = f"the first {len(found)}" if n is not None else f"all {len(found)}"
    return (Motifs([m.matrix_id for m in found], [m.name for m in found], counts,
                   f"{what} {db.release} CORE vertebrate matrices"), "")
