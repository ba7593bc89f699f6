"""Motifs for scanning: read from matrix files, built from counts or aligned sites.

A `Motif` holds its counts in the field's row order (A, C, G, T, as JASPAR,
MEME, TRANSFAC and Biopython write them) and a prepared
`morvane.utils.sequences.NucleotideMatrix` in morvane's code order (A, T, C, G),
whose `pssm` is what scanning scores. Built from aligned sites, it also carries
a prepared `DiNucleotideMatrix`.

    from morvane import read_motifs
    motifs = read_motifs("data/lambda_cI.jaspar")
"""

import math
import os
from collections.abc import Iterable
from pathlib import Path
from typing import TYPE_CHECKING, Any

import numpy as np
from numpy.typing import ArrayLike, NDArray

from .background import check_background
from .utils.sequences import DiNucleotideMatrix, NucleotideMatrix, SequenceMatrix, nuc_to_num

if TYPE_CHECKING:
    from .stats import PwmNull, TailEstimate

Background = str | ArrayLike | None

FIELD_ROWS = "ACGT"
# Row i of a morvane matrix (code i: A, T, C, G) is row TO_CODES[i] of an A, C, G, T matrix.
TO_CODES = [0, 3, 1, 2]
TO_FIELD = [0, 2, 3, 1]

# Our format names -> Biopython's parser names.
FORMATS: dict[str, str | None] = {
    "jaspar": "jaspar",              # JASPAR, one or more ">ID name" headers, bracketed or plain rows
    "pfm": "pfm",                    # JASPAR .pfm: four rows of counts, no header
    "meme": "minimal",               # MEME minimal
    "transfac": "transfac",
    "counts": "pfm-four-rows",       # plain count matrix: four rows A, C, G, T
    "counts-columns": "pfm-four-columns",
    "sites": "sites",                # JASPAR .sites: ">header" then the site, flanks in lower case
    "lines": None,                   # one aligned site per line (read here: no parser needed)
}


def uniform_background() -> NDArray[np.float64]:
    return np.full(4, 0.25)


def as_background(background: Background, owner: str = "background") -> NDArray[np.float64]:
    """Four base probabilities (A, C, G, T) from None/"uniform" or any 4 numbers, divided by their sum."""
    if background is None or (isinstance(background, str) and background == "uniform"):
        return uniform_background()
    if isinstance(background, str):
        raise ValueError(f"{owner}: {background!r} is not a background here; give 'uniform' or "
                         "four probabilities (A, C, G, T) ('genome' is measured by scan)")
    b = check_background(background, owner, "A, C, G, T")
    return b / b.sum()


class Motif:
    """A motif ready to scan.

    Attributes: `name`, `width`, `counts` ((4, L) float, rows A, C, G, T),
    `background` ((4,) probabilities, A, C, G, T), `pseudocount`, `pwm` (a
    prepared NucleotideMatrix; its `pssm`, rows A, T, C, G, is what is scored),
    `dwm` (a prepared DiNucleotideMatrix, or None unless built from sites or
    pair counts), `pair_counts` ((5, 5, L, L), the DWM's pair counts in code
    order, or None) and `sites` (the aligned sites, or None).

    The PWM is the module's: bias_pwm = (counts + p) / (W + 4 p) for the
    pseudo-count p, W the column total (columns of unequal totals are first
    scaled to their mean total), and pssm = log2(bias_pwm / bg) with bg the
    background. The DWM keeps the module's own smoothing and
    scores against the background taken as independent bases.
    """

    name: str
    width: int
    counts: NDArray[np.float64]
    pseudocount: float
    background: NDArray[np.float64]
    sites: list[str] | None
    pair_counts: NDArray[np.float64] | None
    pwm: NucleotideMatrix
    dwm: DiNucleotideMatrix | None

    def __init__(self, name: str, counts: ArrayLike, *, pseudocount: float = 1.0,
                 background: Background = None, sites: list[str] | None = None,
                 pair_counts: ArrayLike | None = None) -> None:
        name = str(name)
        counts = np.array(counts, dtype=np.float64)
        if counts.ndim != 2 or counts.shape[0] != 4:
            raise ValueError(f"motif {name!r}: counts must be 4 x L (rows A, C, G, T), "
                             f"got shape {counts.shape}")
        if counts.shape[1] == 0:
            raise ValueError(f"motif {name!r} has width 0")
        if not np.all(np.isfinite(counts)) or np.any(counts < 0):
            raise ValueError(f"motif {name!r}: counts must be finite and not negative")
        empty = np.flatnonzero(counts.sum(axis=0) <= 0)
        if empty.size:
            raise ValueError(f"motif {name!r}: count column {int(empty[0]) + 1} sums to 0")
        if not (math.isfinite(pseudocount) and pseudocount > 0):
            raise ValueError(f"motif {name!r}: the pseudo-count must be positive, got {pseudocount!r}")
        self.name = name
        self.width = counts.shape[1]
        self.counts = counts
        self.pseudocount = float(pseudocount)
        self.background = as_background(background, f"motif {name!r}")
        self.sites = sites
        self.pair_counts = _pair_counts(name, self.width, sites, pair_counts)
        bg = self.background[TO_CODES]
        self.pwm = _prepared_pwm(counts[TO_CODES], self.pseudocount, bg)
        self.dwm = None if self.pair_counts is None else _prepared_dwm(self.pair_counts, self.width, bg)
        self._null: PwmNull | None = None

    @classmethod
    def from_counts(cls, counts: ArrayLike, name: str = "motif", pseudocount: float = 1.0,
                    background: Background = None) -> "Motif":
        """A motif from counts or frequencies, 4 x L in rows A, C, G, T.

        The pseudo-count is added to every base of every column, so give
        frequencies (columns summing to 1) a pseudo-count to match, such as 0.01.
        """
        return cls(name, counts, pseudocount=pseudocount, background=background)

    @classmethod
    def from_sites(cls, sites: Iterable[str], name: str = "motif", pseudocount: float = 1.0,
                   background: Background = None) -> "Motif":
        """A motif (with a DWM) from aligned sites of one width, as text.

        Sites holding anything but A, C, G or T are skipped, as the module's
        counting does.
        """
        sites = [str(site) for site in sites]
        widths = {len(site) for site in sites}
        if not sites:
            raise ValueError(f"motif {name!r}: no sites")
        if len(widths) > 1:
            raise ValueError(f"motif {name!r}: sites of different widths {sorted(widths)}")
        width = widths.pop()
        if width == 0:
            raise ValueError(f"motif {name!r} has width 0")
        pwm = SequenceMatrix.create(width, "PWM")
        for site in sites:
            pwm.add_sequence(nuc_to_num(site))
        counts = pwm.counts[:4][TO_FIELD]
        return cls(name, counts, pseudocount=pseudocount, background=background, sites=sites)

    @classmethod
    def from_biopython(cls, motif: Any, name: str | None = None, pseudocount: float = 1.0,
                       background: Background = None) -> "Motif":
        """A motif from a `Bio.motifs.Motif` (as Biopython's parsers and pyjaspar give them).

        A motif that carries its aligned sites is built from them, with a DWM.
        """
        name = name or getattr(motif, "name", None) or getattr(motif, "matrix_id", None) or "motif"
        alignment = getattr(motif, "alignment", None)
        if alignment is not None and len(alignment):
            return cls.from_sites([str(site) for site in alignment], name, pseudocount, background)
        rows = [list(motif.counts[base]) for base in FIELD_ROWS]
        if len({len(row) for row in rows}) > 1:
            raise ValueError(f"motif {name!r}: rows A, C, G, T of different lengths "
                             f"{[len(row) for row in rows]}")
        return cls.from_counts(rows, name, pseudocount, background)

    def with_background(self, background: Background) -> "Motif":
        """The same motif (counts, sites, pseudo-count) against another background."""
        return type(self)(self.name, self.counts, pseudocount=self.pseudocount,
                          background=background, sites=self.sites, pair_counts=self.pair_counts)

    def __repr__(self) -> str:
        dwm = ", with DWM" if self.dwm is not None else ""
        return f"Motif({self.name!r}, width={self.width}{dwm})"

    def __getstate__(self) -> dict[str, Any]:
        state = self.__dict__.copy()
        state["_null"] = None             # rebuilt on demand wherever the motif travels
        return state

    # Statistics: morvane.stats works in code order (A, T, C, G).
    def _pwm_null(self) -> "PwmNull":
        if self._null is None:
            from .stats import PwmNull
            self._null = PwmNull(self.pwm.pssm, self.background[TO_CODES])
        return self._null

    def pvalue(self, scores: ArrayLike) -> float | NDArray[np.float64]:
        """P(score of a background window >= score), exact, for PWM scores."""
        return self._pwm_null().pvalue(scores)

    def threshold(self, pvalue: float) -> float:
        """The smallest achievable PWM score whose p-value is at most `pvalue`."""
        return self._pwm_null().threshold(pvalue)

    def _needs_dwm(self) -> DiNucleotideMatrix:
        if self.dwm is None:
            raise ValueError(f"motif {self.name!r} has no DWM: build it from aligned sites")
        return self.dwm

    def dwm_pvalue(self, scores: ArrayLike, n: int | None = None, seed: int = 0,
                   exact: bool | None = None) -> "TailEstimate":
        """P-values of DWM scores (morvane.stats.TailEstimate): exact up to width
        stats.EXACT_WIDTH, else sampled with a 95% interval (see stats.dwm_pvalue)."""
        from . import stats
        dwm = self._needs_dwm()
        kwargs = {} if n is None else {"n": n}
        return stats.dwm_pvalue(dwm, self.background[TO_CODES], scores, seed=seed, exact=exact, **kwargs)

    def dwm_threshold(self, pvalue: float, n: int | None = None, seed: int = 0,
                      exact: bool | None = None) -> "TailEstimate":
        """The DWM score threshold of `pvalue` (morvane.stats.TailEstimate): exact up to
        width stats.EXACT_WIDTH, else sampled with a 95% interval (see stats.dwm_threshold)."""
        from . import stats
        dwm = self._needs_dwm()
        kwargs = {} if n is None else {"n": n}
        return stats.dwm_threshold(dwm, self.background[TO_CODES], pvalue, seed=seed, exact=exact,
                                   **kwargs)


def _prepared_pwm(counts: NDArray[np.float64], pseudocount: float,
                  bg: NDArray[np.float64]) -> NucleotideMatrix:
    """The module's PWM of counts (code order); the pseudo-count enters by scaling the counts."""
    width = counts.shape[1]
    totals = counts.sum(axis=0)
    if np.any(totals != totals[0]):
        # Columns of unequal totals (sites shorter than the motif, rounded
        # frequencies): each scaled to the mean total, keeping its frequencies,
        # since preparation divides every column by the same total.
        counts = counts * (totals.mean() / totals)
    pwm = SequenceMatrix.create(width, "PWM")
    pwm.counts[:4] = counts / pseudocount     # (c/p + 1) / (W/p + 4) = (c + p) / (W + 4p)
    pwm.prepare_mat()
    # Replaces the background the module made (uniform, with no background counted)
    # by the motif's own; with a uniform one both are 0.25 exactly, so pssm stays
    # what prepare_mat gave, bit for bit.
    pwm.bg_pwm = _background_columns(pwm.bg_pwm, bg)
    pwm.pssm = np.log2(pwm.bias_pwm / pwm.bg_pwm)
    return pwm


def _pair_counts(name: str, width: int, sites: list[str] | None,
                 pair_counts: ArrayLike | None) -> NDArray[np.float64] | None:
    """The DWM's pair counts: as given, else counted from the sites (None without either)."""
    if pair_counts is None:
        if sites is None:
            return None
        dwm = SequenceMatrix.create(width, "DWM")
        for site in sites:
            dwm.add_sequence(nuc_to_num(site))
        return np.asarray(dwm.counts)
    counts = np.array(pair_counts, dtype=np.float64)
    if counts.shape != (5, 5, width, width):
        raise ValueError(f"motif {name!r}: pair counts must have shape {(5, 5, width, width)}, "
                         f"got {counts.shape}")
    if not np.all(np.isfinite(counts)) or np.any(counts < 0):
        raise ValueError(f"motif {name!r}: pair counts must be finite and not negative")
    return counts


def _prepared_dwm(pair_counts: NDArray[np.float64], width: int, bg: NDArray[np.float64]) -> DiNucleotideMatrix:
    dwm = SequenceMatrix.create(width, "DWM")
    dwm.counts[...] = pair_counts          # the doubles counting the sites gives, so the same matrices
    dwm.prepare_mat()
    # The background as independent bases: pair probabilities are products, so
    # every conditional probability of the background is its base probability.
    dwm.bg_pwm = _background_columns(dwm.bg_pwm, bg)
    column = dwm.bg_pwm[:, 0]
    dwm.bg_dwm = np.broadcast_to(np.multiply.outer(column, column)[:, :, None, None],
                                 (5, 5, width, width)).copy()
    dwm.bg_pwm_log = np.log2(dwm.bg_pwm)
    dwm.bg_dwm_log = np.log2(dwm.bg_dwm)
    return dwm


def _background_columns(prepared: NDArray[np.float64], bg: NDArray[np.float64]) -> NDArray[np.float64]:
    """A (5, L) background matrix: `bg` in rows 0-3, row 4 (N, never scored) as prepared."""
    out = prepared.copy()
    out[:4] = bg[:, None]
    return out


def sniff_format(path: str, text: str) -> str:
    """Our format name for a motif file, from its suffix, else its first lines."""
    lines = [line.strip() for line in text.splitlines() if line.strip()]
    if not lines:
        raise ValueError(f"{path}: empty motif file")
    first = lines[0]
    by_suffix = {".jaspar": "jaspar", ".pfm": "pfm", ".meme": "meme", ".transfac": "transfac",
                 ".sites": "sites"}
    fmt = by_suffix.get(Path(path).suffix.lower())
    if fmt == "pfm" and first.startswith(">"):
        return "jaspar"       # JASPAR's own .pfm downloads start with a ">ID name" header
    if fmt is not None:
        return fmt
    if first.startswith("MEME version"):
        return "meme"
    if first.startswith(">"):
        return "sites" if len(lines) > 1 and _is_site(lines[1]) else "jaspar"
    if all(_is_site(line) for line in lines):
        return "lines"
    if first[:2] in ("AC", "ID", "VV", "XX", "DE", "P0", "PO", "NA", "BF"):
        return "transfac"
    return "pfm"


def _is_site(line: str) -> bool:
    return line.isalpha() and set(line.upper()) <= set("ACGTN")


def read_motifs(path: str | os.PathLike[str], format: str | None = None) -> list[Motif]:
    """Read every motif of a file.

    `format`: "jaspar", "pfm", "meme" (MEME minimal), "transfac", "counts"
    (four rows A, C, G, T), "counts-columns", "sites" (JASPAR .sites) or
    "lines" (one aligned site per line); by default guessed from the suffix
    and the content. Files are parsed by Biopython's `Bio.motifs`, except
    "lines". Motifs from counts have a uniform background and no DWM; motifs
    from sites have both. Errors name the file and what is wrong.
    """
    path = str(path)
    from .models import is_model_file, load_models
    if format is None and is_model_file(path):   # trained DWMs (morvane build)
        return load_models(path)
    with open(path) as handle:
        text = handle.read()
    fmt = format or sniff_format(path, text)
    if fmt not in FORMATS:
        raise ValueError(f"{path}: unknown motif format {fmt!r}; choose from {', '.join(FORMATS)}")
    stem = Path(path).stem
    parser = FORMATS[fmt]
    try:
        if parser is None:
            return [Motif.from_sites(text.split(), name=stem)]
        records = _parse_biopython(text, parser)
        motifs = [Motif.from_biopython(record, name=_name(record, stem, i, len(records)))
                  for i, record in enumerate(records)]
    except Exception as exc:            # Biopython's parsers raise many kinds, bare Exception too
        raise ValueError(f"{path}: not a valid {fmt} motif file: {exc}") from exc
    if not motifs:
        raise ValueError(f"{path}: no motif found (read as {fmt})")
    return motifs


def _parse_biopython(text: str, fmt: str) -> list[Any]:
    import io

    from Bio import motifs as bio_motifs
    return list(bio_motifs.parse(io.StringIO(text), fmt))


def _name(record: Any, stem: str, i: int, n: int) -> str:
    name = getattr(record, "name", None) or getattr(record, "matrix_id", None)
    if name:
        return str(name)
    return stem if n == 1 else f"{stem}_{i + 1}"
