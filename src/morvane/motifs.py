"""Motifs for scanning: read from motif files, built from counts, probabilities, weights or sites.

A `Motif` holds its matrix in the field's row order (A, C, G, T, as JASPAR, MEME, TRANSFAC,
HOMER, HOCOMOCO and Biopython write them) and a prepared
`morvane.utils.sequences.NucleotideMatrix` in morvane's code order (A, T, C, G), whose `pssm`
is what scanning scores. Built from aligned sites, it also carries a prepared
`DiNucleotideMatrix`. The files are read by `morvane.formats`.

    from morvane import read_motifs
    motifs = read_motifs("data/lambda_cI.jaspar")
"""

import math
import os
from collections.abc import Iterable
from typing import TYPE_CHECKING, Any

import numpy as np
from numpy.typing import ArrayLike, NDArray

from .background import check_background, printed_background
from .formats import FORMATS, FrequencyNote, MotifFile, Record, read_motif_file
from .formats.records import probability_columns
from .utils.sequences import DiNucleotideMatrix, NucleotideMatrix, SequenceMatrix, nuc_to_num

if TYPE_CHECKING:
    from .stats import PwmNull, TailEstimate

__all__ = ["Motif", "read_motifs", "select_motifs", "FORMATS", "FrequencyNote", "DEFAULT_PSEUDOCOUNTS",
           "DEFAULT_NSITES"]

Background = str | ArrayLike | None

FIELD_ROWS = "ACGT"
# Row i of a morvane matrix (code i: A, T, C, G) is row TO_CODES[i] of an A, C, G, T matrix.
TO_CODES = [0, 3, 1, 2]
TO_FIELD = [0, 2, 3, 1]

# Counts: one per base, the module's own PWM. Probabilities: FIMO's --motif-pseudo, spread by the
# background over DEFAULT_NSITES sites when the file gives no number.
DEFAULT_PSEUDOCOUNTS = {"counts": 1.0, "probabilities": 0.1}
DEFAULT_NSITES = 20.0


def uniform_background() -> NDArray[np.float64]:
    return np.full(4, 0.25)


def as_background(background: Background, owner: str = "background") -> NDArray[np.float64]:
    """Four base probabilities (A, C, G, T) from None/"uniform" or any 4 numbers, divided by their sum."""
    if background is None or (isinstance(background, str) and background == "uniform"):
        return uniform_background()
    if isinstance(background, str):
        raise ValueError(f"{owner}: {background!r} is not a background here; give 'uniform' or "
                         "four probabilities (A, C, G, T) ('genome' is measured by scan, 'motif' "
                         "read by read_motifs)")
    b = check_background(background, owner, "A, C, G, T")
    return b / b.sum()


class Motif:
    """A motif ready to scan.

    Attributes: `id` (unique within its file), `name` (the file's alt name, else the id),
    `width`, `kind` ("counts", "probabilities" or "weights": what the matrix holds), `matrix`
    ((4, L) as given, rows A, C, G, T; probabilities divided by their column sums), `counts`
    (the counts, for probabilities `matrix` x `nsites`, None for weights), `nsites`,
    `background` ((4,) probabilities, A, C, G, T), `pseudocount`, `pwm` (a prepared
    NucleotideMatrix; its `pssm`, rows A, T, C, G, is what is scored), `dwm` (a prepared
    DiNucleotideMatrix, or None unless built from sites or pair counts), `pair_counts` ((5, 5, L, L),
    the DWM's pair counts in code order, or None) and `sites` (the aligned sites, or None).

    The PSSM, with bg the background and p the pseudo-count:
    counts (the module's PWM): (counts + p) / (W + 4 p), W the column total (columns of unequal
    totals first scaled to their mean total), p = 1 by default; probabilities f (FIMO's):
    (f N + p bg) / (N + p), N = nsites (20 when not known), p = 0.1 by default; then
    pssm = log2(that / bg). Weights are scored as given. The DWM keeps the module's own
    smoothing and scores against the background taken as independent bases.
    """

    id: str
    name: str
    width: int
    kind: str
    matrix: NDArray[np.float64]
    counts: NDArray[np.float64] | None
    nsites: float | None
    pseudocount: float | None
    background: NDArray[np.float64]
    sites: list[str] | None
    pair_counts: NDArray[np.float64] | None
    pwm: NucleotideMatrix
    dwm: DiNucleotideMatrix | None

    def __init__(self, name: str, counts: ArrayLike | None = None, *, id: str | None = None,
                 probabilities: ArrayLike | None = None, nsites: float | None = None,
                 weights: ArrayLike | None = None, pseudocount: float | None = None,
                 background: Background = None, sites: list[str] | None = None,
                 pair_counts: ArrayLike | None = None) -> None:
        name = str(name)
        id = name if id is None else str(id)
        label = f"motif {id!r}"
        given = [(kind, values) for kind, values in
                 (("counts", counts), ("probabilities", probabilities), ("weights", weights)) if values is not None]
        if len(given) != 1:
            raise TypeError(f"{label}: give one of counts, probabilities or weights")
        kind, values = given[0]
        try:
            matrix = np.array(values, dtype=np.float64)
        except (TypeError, ValueError) as exc:
            raise ValueError(f"{label}: {kind} must be a 4 x L array of numbers ({exc})") from None
        if matrix.ndim != 2 or matrix.shape[0] != 4:
            raise ValueError(f"{label}: {kind} must be 4 x L (rows A, C, G, T), got shape {matrix.shape}")
        if matrix.shape[1] == 0:
            raise ValueError(f"{label} has width 0")
        if not np.all(np.isfinite(matrix)) or (kind != "weights" and np.any(matrix < 0)):
            raise ValueError(f"{label}: {kind} must be finite" + ("" if kind == "weights" else " and not negative"))
        if kind == "weights":
            if pseudocount is not None:
                raise ValueError(f"{label} holds log-odds weights: a pseudo-count does not apply")
            if nsites is not None:
                raise ValueError(f"{label} holds log-odds weights: nsites does not apply")
        else:
            with np.errstate(over="ignore"):     # an overflowing total is refused with the PSSM below
                empty = np.flatnonzero(matrix.sum(axis=0) <= 0)
            if empty.size:
                raise ValueError(f"{label}: {'count' if kind == 'counts' else 'probability'} column "
                                 f"{int(empty[0]) + 1} sums to 0")
            pseudocount = DEFAULT_PSEUDOCOUNTS[kind] if pseudocount is None else pseudocount
            if not (isinstance(pseudocount, (int, float, np.floating, np.integer)) and math.isfinite(pseudocount)
                    and pseudocount > 0):
                raise ValueError(f"{label}: the pseudo-count must be positive, got {pseudocount!r}")
            pseudocount = float(pseudocount)
        if kind == "probabilities":
            matrix = _probabilities(matrix, label)
            nsites = DEFAULT_NSITES if nsites is None else nsites
            if not (isinstance(nsites, (int, float, np.floating, np.integer)) and math.isfinite(nsites)
                    and nsites > 0):
                raise ValueError(f"{label}: nsites must be a positive number, got {nsites!r}")
            nsites = float(nsites)
        elif nsites is not None:
            raise ValueError(f"{label} holds counts: nsites is their column total")
        self.id = id
        self.name = name
        self.width = matrix.shape[1]
        self.kind = kind
        self.matrix = matrix
        self.counts = matrix if kind == "counts" else None if nsites is None else matrix * nsites
        self.nsites = nsites
        self.pseudocount = pseudocount
        self.background = as_background(background, label)
        self.sites = sites
        self.pair_counts = _pair_counts(name, self.width, sites, pair_counts)
        bg = self.background[TO_CODES]
        if kind == "counts":
            assert pseudocount is not None
            self.pwm = _prepared_pwm(matrix[TO_CODES], pseudocount, bg)
        else:
            self.pwm = _given_pwm(matrix[TO_CODES], kind, nsites, pseudocount, bg)
        bad = np.flatnonzero(~np.isfinite(self.pwm.pssm[:4]).all(axis=0))
        if bad.size:
            raise ValueError(f"{label}: its {kind} and pseudo-count {pseudocount!r} give a non-finite PSSM "
                             f"(position {int(bad[0]) + 1})")
        self.dwm = None if self.pair_counts is None else _prepared_dwm(self.pair_counts, self.width, bg)
        self._null: PwmNull | None = None

    @classmethod
    def from_counts(cls, counts: ArrayLike, name: str = "motif", pseudocount: float | None = None,
                    background: Background = None, *, id: str | None = None) -> "Motif":
        """A motif from counts, 4 x L in rows A, C, G, T: the module's PWM, with `pseudocount`
        (default 1) added to every base of every column. For frequencies use `from_probabilities`."""
        return cls(name, counts, id=id, pseudocount=pseudocount, background=background)

    @classmethod
    def from_probabilities(cls, probabilities: ArrayLike, name: str = "motif", *, nsites: float | None = None,
                           pseudocount: float | None = None, background: Background = None,
                           id: str | None = None) -> "Motif":
        """A motif from probabilities (columns summing to 1 within 0.1, then divided by their sums),
        4 x L in rows A, C, G, T, as FIMO builds it: `pseudocount` (default 0.1) spread by the
        background over `nsites` (default 20) sites."""
        return cls(name, id=id, probabilities=probabilities, nsites=nsites, pseudocount=pseudocount,
                   background=background)

    @classmethod
    def from_weights(cls, weights: ArrayLike, name: str = "motif", *, background: Background = None,
                     id: str | None = None) -> "Motif":
        """A motif scoring with log-odds weights as given, 4 x L in rows A, C, G, T (HOCOMOCO's .pwm);
        the background serves the p-values only."""
        return cls(name, id=id, weights=weights, background=background)

    @classmethod
    def from_sites(cls, sites: Iterable[str | bytes], name: str = "motif", pseudocount: float | None = None,
                   background: Background = None, *, id: str | None = None) -> "Motif":
        """A motif (with a DWM) from aligned sites of one width, as text or bytes.

        Sites holding anything but A, C, G or T are skipped, as the module's
        counting does.
        """
        label = f"motif {name if id is None else id!r}"
        if isinstance(sites, (str, bytes, bytearray)) or not isinstance(sites, Iterable):
            raise TypeError(f"{label}: sites must be a list of aligned sites, not "
                            f"{'one ' if isinstance(sites, (str, bytes, bytearray)) else ''}{type(sites).__name__}")
        texts = []
        for i, site in enumerate(sites):
            if not isinstance(site, (str, bytes, bytearray)):
                raise TypeError(f"{label}: site {i + 1} is of type {type(site).__name__}, not text or bytes")
            # latin-1 keeps one character per byte: a byte that is no base counts as N
            texts.append(site.decode("latin-1") if isinstance(site, (bytes, bytearray)) else site)
        widths = {len(site) for site in texts}
        if not texts:
            raise ValueError(f"{label}: no sites")
        if len(widths) > 1:
            raise ValueError(f"{label}: sites of different widths {sorted(widths)}")
        width = widths.pop()
        if width == 0:
            raise ValueError(f"{label} has width 0")
        pwm = SequenceMatrix.create(width, "PWM")
        for site in texts:
            pwm.add_sequence(nuc_to_num(site))
        if not pwm.counts[:4].any():
            raise ValueError(f"{label}: no site holds only A, C, G and T ({len(texts)} given; a site "
                             "holding anything else is skipped)")
        counts = pwm.counts[:4][TO_FIELD]
        return cls(name, counts, id=id, pseudocount=pseudocount, background=background, sites=texts)

    @classmethod
    def from_biopython(cls, motif: Any, name: str | None = None, pseudocount: float | None = None,
                       background: Background = None) -> "Motif":
        """A motif from a `Bio.motifs.Motif` (as Biopython's parsers and pyjaspar give them).

        Its id is the matrix id when it has one (JASPAR's), else its name. A motif that
        carries its aligned sites is built from them, with a DWM.
        """
        name = name or getattr(motif, "name", None) or getattr(motif, "matrix_id", None) or "motif"
        id = getattr(motif, "matrix_id", None) or name
        alignment = getattr(motif, "alignment", None)
        if alignment is not None and len(alignment):
            return cls.from_sites([str(site) for site in alignment], name, pseudocount, background, id=id)
        rows = [list(motif.counts[base]) for base in FIELD_ROWS]
        if len({len(row) for row in rows}) > 1:
            raise ValueError(f"motif {id!r}: rows A, C, G, T of different lengths "
                             f"{[len(row) for row in rows]}")
        return cls.from_counts(rows, name, pseudocount, background, id=id)

    def with_background(self, background: Background) -> "Motif":
        """The same motif (matrix, sites, pseudo-count) against another background; for
        probabilities the pseudo-count is spread by the new one, as FIMO spreads it by its own."""
        return type(self)(self.name, id=self.id, background=background, sites=self.sites,
                          pair_counts=self.pair_counts, **self._source())

    def _source(self) -> dict[str, Any]:
        if self.kind == "weights":
            return {"weights": self.matrix}
        if self.kind == "probabilities":
            return {"probabilities": self.matrix, "nsites": self.nsites, "pseudocount": self.pseudocount}
        return {"counts": self.matrix, "pseudocount": self.pseudocount}

    def __repr__(self) -> str:
        dwm = ", with DWM" if self.dwm is not None else ""
        name = f", name={self.name!r}" if self.name != self.id else ""
        return f"Motif({self.id!r}{name}, width={self.width}, {self.kind}{dwm})"

    def __getstate__(self) -> dict[str, Any]:
        state = self.__dict__.copy()
        state["_null"] = None             # rebuilt on demand wherever the motif travels
        return state

    # Statistics: morvane.stats works in code order (A, T, C, G).
    def _pwm_null(self) -> "PwmNull":
        if self._null is None:
            from .stats import PwmNull
            try:
                self._null = PwmNull(self.pwm.pssm, self.background[TO_CODES])
            except ValueError as e:  # too wide, or sums past the doubles: say which motif
                raise ValueError(f"motif {self.id!r}: {e}") from None
        return self._null

    def pvalue(self, scores: ArrayLike) -> float | NDArray[np.float64]:
        """P(score of a background window >= score) for PWM scores: exact where at most 2**16 words
        reach the score, elsewhere a proven upper bound (docs/statistics.md); widths up to 64."""
        return self._pwm_null().pvalue(scores)

    def threshold(self, pvalue: float) -> float:
        """The lowest PWM score whose p-value (as `pvalue` gives it) is at most `pvalue`: a window
        is a hit exactly when its p-value is within the cut-off."""
        return self._pwm_null().threshold(pvalue)

    def _needs_dwm(self) -> DiNucleotideMatrix:
        if self.dwm is None:
            raise ValueError(f"motif {self.id!r} has no DWM: build it from aligned sites")
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
    with np.errstate(over="ignore"):
        totals = counts.sum(axis=0)
    if np.any(totals != totals[0]):
        # Columns of unequal totals (sites shorter than the motif, rounded
        # frequencies): each scaled to the mean total, keeping its frequencies,
        # since preparation divides every column by the same total.
        with np.errstate(all="ignore"):
            counts = counts * (totals.mean() / totals)
    pwm = SequenceMatrix.create(width, "PWM")
    with np.errstate(all="ignore"):           # a non-finite result is refused by the caller
        pwm.counts[:4] = counts / pseudocount     # (c/p + 1) / (W/p + 4) = (c + p) / (W + 4p)
        pwm.prepare_mat()
    # Replaces the background the module made (uniform, with no background counted)
    # by the motif's own; with a uniform one both are 0.25 exactly, so pssm stays
    # what prepare_mat gave, bit for bit.
    pwm.bg_pwm = _background_columns(pwm.bg_pwm, bg)
    with np.errstate(all="ignore"):
        pwm.pssm = np.log2(pwm.bias_pwm / pwm.bg_pwm)
    return pwm


def _probabilities(matrix: NDArray[np.float64], label: str) -> NDArray[np.float64]:
    normalised, off = probability_columns(matrix)
    if off is not None:
        raise ValueError(f"{label}: probability column {off + 1} sums to {matrix[:, off].sum():.6g}, not 1")
    return normalised


def _given_pwm(matrix: NDArray[np.float64], kind: str, nsites: float | None, pseudocount: float | None,
               bg: NDArray[np.float64]) -> NucleotideMatrix:
    """A PWM (code order) of probabilities, FIMO's way, or of weights scored as they are (their
    bias_pwm is NaN: weights say nothing of probabilities in known units)."""
    pwm = SequenceMatrix.create(matrix.shape[1], "PWM")
    pwm.prepare_mat()                         # shapes, and row 4 (N, never scored)
    pwm.bg_pwm = _background_columns(pwm.bg_pwm, bg)
    if kind == "weights":
        pwm.bias_pwm[:4] = np.nan
        pwm.pssm[:4] = matrix
        return pwm
    assert nsites is not None and pseudocount is not None
    with np.errstate(all="ignore"):           # a non-finite result is refused by the caller
        pwm.bias_pwm[:4] = (matrix * nsites + pseudocount * bg[:, None]) / (nsites + pseudocount)
        pwm.pssm[:4] = np.log2(pwm.bias_pwm[:4] / pwm.bg_pwm[:4])
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


def read_motifs(path: str | os.PathLike[str] | bytes, format: str | None = None, *, pseudocount: float | None = None,
                background: Background = None, ids: Iterable[str] | None = None) -> list[Motif]:
    """Read every motif of a file (or those whose id is in `ids`, in the file's order).

    `path`: a file, gzipped or not, or "-" for standard input. `format`: one of
    `morvane.formats.FORMATS` ("jaspar", "pfm", "meme", "transfac", "homer", "hocomoco-pcm",
    "hocomoco-pwm", "counts", "counts-columns", "sites", "lines"); by default guessed from the
    suffix, else the content. Each matrix is read as the file means it: counts, probabilities
    (MEME, HOMER, and count files whose columns all sum to 1, with a `FrequencyNote` warning) or
    log-odds weights (HOCOMOCO .pwm). `pseudocount`: see `Motif` (None: 1 for counts, 0.1 for
    probabilities). `background`: None or "uniform", four probabilities (A, C, G, T), or "motif"
    for the file's own background line (MEME). Errors are ValueErrors that start with the file
    and, where one is to blame, the line.
    """
    from .models import is_model_file, load_models
    if not isinstance(path, (str, bytes, os.PathLike)):
        raise TypeError(f"path must be a motif file's path or '-', not {type(path).__name__}")
    path = os.fsdecode(path)
    if format is None and str(path) != "-" and is_model_file(path):   # trained DWMs (morvane build)
        models = load_models(path)
        return models if ids is None else select_motifs(models, ids, os.fspath(path))
    motif_file = read_motif_file(path, format)
    if isinstance(background, str) and background == "motif":
        background = _file_background(motif_file)
    motifs = []
    for record in motif_file.records:
        try:
            motifs.append(_from_record(record, pseudocount, background))
        except (TypeError, ValueError) as exc:
            raise ValueError(f"{motif_file.name}: line {record.line}: {exc}") from None
    return motifs if ids is None else select_motifs(motifs, ids, motif_file.name)


def _file_background(motif_file: MotifFile) -> NDArray[np.float64]:
    if motif_file.background is None:
        raise ValueError(f"{motif_file.name}: background 'motif' asks for the file's background, and it "
                         "has no 'Background letter frequencies' line")
    return printed_background([motif_file.background[base] for base in FIELD_ROWS],
                              f"{motif_file.name}: line {motif_file.background_line}")


def _from_record(record: Record, pseudocount: float | None, background: Background) -> Motif:
    common: dict[str, Any] = dict(id=record.id, background=background)
    if record.kind == "sites":
        assert record.sites is not None
        return Motif.from_sites(record.sites, record.name, pseudocount, **common)
    if record.kind == "weights":
        if pseudocount is not None:
            raise ValueError(f"motif {record.id!r} holds log-odds weights: a pseudo-count does not apply")
        return Motif(record.name, weights=record.matrix, **common)
    if record.kind == "probabilities":
        return Motif(record.name, probabilities=record.matrix, nsites=record.nsites, pseudocount=pseudocount,
                     **common)
    return Motif(record.name, record.matrix, pseudocount=pseudocount, **common)


def select_motifs(motifs: Iterable[Motif], ids: Iterable[str], where: str = "the motif files") -> list[Motif]:
    """The motifs whose id is one of `ids`, in their own order; an id that none has is an error
    that lists the ids there are."""
    motifs = list(motifs)
    wanted = [ids] if isinstance(ids, str) else [str(id) for id in ids]
    have = {motif.id for motif in motifs}
    missing = [id for id in dict.fromkeys(wanted) if id not in have]
    if missing:
        known = [motif.id for motif in motifs]
        shown = ", ".join(known[:20]) + (f" and {len(known) - 20} more" if len(known) > 20 else "")
        raise ValueError(f"{where}: no motif with id {', '.join(map(repr, missing))}; the ids are {shown}")
    keep = set(wanted)
    return [motif for motif in motifs if motif.id in keep]
