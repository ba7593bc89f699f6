"""Variant effects: which variants make or break a motif site, `morvane.variants(genome, variants, motifs)`.

Each ALT of each variant is an allele pair: the reference haplotype and the same haplotype with the
ALT in place of REF. The bases REF and ALT share at their start, then at their end, are set aside;
what is left is the change (empty on one side for an indel). For each motif and allele the best
window is the highest-scoring window, on either strand, that overlaps the allele's changed bases (for
an empty change, that spans the junction), and its score is the double `scan` gives that window.
Its p-value is the motif's exact p-value of that score (`Motif.pvalue`), as for a scan hit.

A row is written for each allele pair and motif where either allele's best window reaches the motif's
cut-off; its call is "gain" when only ALT reaches it, "loss" when only REF does, "none" when both do.

The change p-value of a row is min(1, 2 min(W_ref p_ref / p_alt, W_alt p_alt / p_ref)), W an allele's
N-free windows over the change on both strands, p its best window's p-value. Under random sequence
(bases drawn from the motif's background, the variant's own bases too), P(W p <= a) <= a for either
allele (a union bound over its windows, each window's exact p-value being valid), and p_alt, p_ref
<= 1, so P(change p-value <= a) <= a: it is valid without approximation, and conservative. It is
small only when one allele holds a site too strong for its number of windows and the other is
much weaker. atSNP instead estimates, by importance sampling, the p-value of the ratio of the two
alleles' best-window p-values under random flanks with the variant fixed; SNEEP approximates the
distribution of the score difference (Laplace). Both estimate tighter values; this one is exact
arithmetic on exact p-values, never anti-conservative, and cheap enough for every row
(benchmarks/variants_scale.py --calibration shows its empirical rates against the nominal ones).

change_sampled is calibrated instead, for SNVs: D = |log10(p_ref / p_alt)| (the p-values as
change_pvalue takes them) against a null drawn once per motif: `change_samples` (n, default 4095)
random contexts of 2L - 1 bases, flanks drawn from the motif's background, the centre set to
either base, each allele's best window over the centre scored and its p-value taken as for a row.
change_sampled = (1 + #{D_null >= D}) / (n + 1), exchangeable with the samples under that null, so
valid for any n and calibrated up to 1/(n + 1). This is atSNP's null (random flanks, the variant
fixed); atSNP samples it by importance to reach small p-values, we sample it plainly and count
exactly, so change_sampled cannot go below 1/(n + 1). Indels and MNVs get NaN.

Variants are read and scored in batches, so memory depends on the batch, not on the input.
"""

from __future__ import annotations

import argparse
import contextlib
import gzip
import hashlib
import itertools
import numbers
import os
import sys
import threading
import types
import warnings
from collections.abc import Iterable, Iterator, Sequence
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass, field
from typing import IO, Any, NamedTuple

import numpy as np
from numpy.typing import NDArray

from .genome import Fasta, IndexedFasta, genome_background, open_genome
from .motifs import TO_CODES, Background, Motif, as_background
from .scan import (
    DEFAULT_PVALUE,
    Genome,
    Motifs,
    Prepared,
    _count,
    _integer,
    _motif_list,
    cutoffs,
    groups,
    in_order,
    motif_names,
)

MAX_CHANGE = 50                 # bases an indel may change on either allele
BATCH = 1 << 13                 # allele pairs scored at a time
SPAN_LIMIT = 1 << 22            # bases of one record fetched at once for a batch
REF_BLOCK = 1 << 16             # bases read at a time to check REF
# rows whose p-values are computed together (some 60 bytes each while they wait): a motif's
# statistics rebuild their tables when others have taken the room, so fewer, larger calls
PVALUE_ROWS = 1 << 20
REPORTED = 100                  # records named one by one in warnings, per kind, before a summary
N = 4                           # the code of anything but A, C, G, T
LETTERS = np.frombuffer(b"ATCGN", np.uint8)
CALLS = ("none", "gain", "loss")
PVALUES = ("both", "reached")
CHANGE_SAMPLES = 4095           # random contexts per motif and pair of bases for change_sampled
MAX_CHANGE_SAMPLES = 1 << 20
# the six unordered pairs of bases (scanner codes), and the index among them of each ordered pair
BASE_PAIRS = tuple(itertools.combinations(range(4), 2))
PAIR_INDEX = np.full((5, 5), -1, np.int64)
for _i, (_a, _b) in enumerate(BASE_PAIRS):
    PAIR_INDEX[_a, _b] = PAIR_INDEX[_b, _a] = _i

Codes = NDArray[np.uint8]
Floats = NDArray[np.float64]
Ints = NDArray[np.int64]


class VariantHits(np.ndarray[Any, np.dtype[np.void]]):
    """Variant effects: a NumPy structured array, one row per allele pair and motif where either
    allele reaches the cut-off, columns as documented in docs/variants.md (COLUMNS, then `record`:
    the record's number in the input, from 1), in input order then motif order. `report` (on the
    table `variants` returns) counts what was read and skipped."""

    report: VariantReport | None = None

    def to_dataframe(self) -> Any:
        """The rows as a pandas DataFrame (needs pandas)."""
        import pandas as pd
        return pd.DataFrame({name: np.asarray(self[name]) for name in self.dtype.names or ()})


COLUMNS = ("chrom", "pos", "id", "ref", "alt", "motif", "motif_alt", "ref_score", "ref_pvalue", "ref_start",
           "ref_strand", "ref_sequence", "alt_score", "alt_pvalue", "alt_start", "alt_strand", "alt_sequence",
           "log10_ratio", "change_pvalue", "change_sampled", "call")


def variant_dtype(text: dict[str, int] | None = None) -> np.dtype[np.void]:
    """The table's dtype; `text` gives the widths of its text columns."""
    w = {key: max(value, 1) for key, value in (text or {}).items()}
    u = {key: f"U{w.get(key, 1)}" for key in ("chrom", "id", "ref", "alt", "motif", "motif_alt", "sequence")}
    return np.dtype([("chrom", u["chrom"]), ("pos", np.int64), ("id", u["id"]), ("ref", u["ref"]),
                     ("alt", u["alt"]), ("motif", u["motif"]), ("motif_alt", u["motif_alt"]),
                     ("ref_score", np.float64), ("ref_pvalue", np.float64), ("ref_start", np.int64),
                     ("ref_strand", "U1"), ("ref_sequence", u["sequence"]),
                     ("alt_score", np.float64), ("alt_pvalue", np.float64), ("alt_start", np.int64),
                     ("alt_strand", "U1"), ("alt_sequence", u["sequence"]),
                     ("log10_ratio", np.float64), ("change_pvalue", np.float64),
                     ("change_sampled", np.float64), ("call", "U4"),
                     ("record", np.int64)])


@dataclass
class VariantReport:
    """What a run read: records and allele pairs, those scored, and those set aside by reason
    (`skipped`: reason -> count); `mismatches`: (where, chrom, pos, REF, the genome's bases) of
    every record whose REF is not the genome's, never scored."""

    records: int = 0
    alleles: int = 0
    scored: int = 0
    skipped: dict[str, int] = field(default_factory=dict)
    mismatches: list[tuple[str, str, int, str, str]] = field(default_factory=list)

    def skip(self, reason: str, count: int = 1) -> None:
        self.skipped[reason] = self.skipped.get(reason, 0) + count

    def summary(self) -> str:
        kept = f"{self.scored} of {self.alleles} alleles from {self.records} records scored"
        aside = "; ".join(f"{count} {reason}" for reason, count in self.skipped.items())
        return kept + (f"; not scored: {aside}" if aside else "")


# ---------------------------------------------------------------- reading variants

class Record(NamedTuple):
    """One variant record as read: where (`origin`, e.g. "FILE, line", and the number), chrom,
    1-based pos, id, REF, ALTs."""

    origin: str
    number: int
    chrom: str
    pos: int
    id: str
    ref: str
    alts: tuple[str, ...]

    @property
    def where(self) -> str:
        return f"{self.origin} {self.number}" if self.origin.endswith(("line", "record")) \
            else f"{self.origin}[{self.number}]"


Variants = str | os.PathLike[str] | Iterable[Any]
VCF_SUFFIXES = (".vcf", ".vcf.gz", ".vcf.bgz", ".bcf")


def is_vcf(path: str) -> bool:
    """A VCF or BCF by suffix, else by content (gzip or not): '##fileformat=VCF' or BCF's magic."""
    return path.endswith(VCF_SUFFIXES) or head_bytes(path, 16).startswith((b"##fileformat=VCF", b"BCF"))


def read_records(variants: Variants) -> Iterator[Record]:
    """The records of a VCF/BCF (through pysam), of a TSV (chrom, pos, ref, alt; 1-based pos), or of
    an iterable of (chrom, pos, ref, alt[, id]) tuples or objects with those attributes (pysam's
    VariantRecord too). ValueError naming the file and line of a malformed record."""
    if isinstance(variants, (str, bytes, os.PathLike)):
        path = os.fsdecode(variants)
        if not os.path.exists(path):
            raise OSError(f"cannot read {path}: no such file")
        return read_vcf(path) if is_vcf(path) else read_tsv(path)
    return given_records(variants)


def read_vcf(path: str) -> Iterator[Record]:
    import pysam
    verbosity = pysam.set_verbosity(0)      # htslib's own complaints: ours name the line
    try:
        try:
            vcf = pysam.VariantFile(path)
        except (OSError, ValueError) as exc:
            raise ValueError(f"{path}: not readable as VCF or BCF ({exc})") from None
        with vcf:
            binary = path.endswith(".bcf") or head_bytes(path, 3) == b"BCF"
            line = 0 if binary else header_lines(path)
            origin = f"{path}, record" if binary else f"{path}, line"
            it = iter(vcf)
            while True:
                line += 1
                try:
                    rec = next(it)
                except StopIteration:
                    return
                except (OSError, ValueError) as exc:
                    raise ValueError(f"{origin} {line}: a malformed VCF record ({exc})") from None
                yield Record(origin, line, rec.chrom, int(rec.pos), rec.id or ".", rec.ref or "",
                             tuple(rec.alts or ()))
    finally:
        pysam.set_verbosity(verbosity)


def opened(path: str) -> IO[bytes]:
    """The file's bytes, gunzipped when it is gzip (bgzip too)."""
    raw = open(path, "rb")
    if raw.read(2) == b"\x1f\x8b":
        raw.seek(0)
        return gzip.GzipFile(fileobj=raw)      # type: ignore[return-value]
    raw.seek(0)
    return raw


def head_bytes(path: str, n: int) -> bytes:
    try:
        with opened(path) as handle:
            return handle.read(n)
    except (OSError, EOFError):
        return b""


def header_lines(path: str) -> int:
    """The header lines of a text VCF: its records are the lines after them, one to a line."""
    count = 0
    with opened(path) as handle:
        for line in handle:
            if not line.startswith(b"#"):
                break
            count += 1
    return count


def read_tsv(path: str) -> Iterator[Record]:
    """chrom, pos, ref, alt (ALTs comma-separated) and an optional id, tab-separated; lines
    starting with '#', blank lines and a first line whose pos is 'pos' are passed over."""
    origin = f"{path}, line"
    with opened(path) as lines:
        for number, line_bytes in enumerate(lines, 1):
            where = f"{path}, line {number}"
            try:
                line = line_bytes.decode("utf-8").rstrip("\r\n")
            except UnicodeDecodeError:
                raise ValueError(f"{where}: not UTF-8 text") from None
            if not line.strip() or line.startswith("#"):
                continue
            fields = line.split("\t")
            if number == 1 and len(fields) > 1 and fields[1].strip().lower() in ("pos", "position"):
                continue
            if len(fields) < 4:
                raise ValueError(f"{where}: a variant line needs chrom, pos, ref, alt (tab-separated); "
                                 f"got {line!r}")
            yield Record(origin, number, fields[0], tsv_pos(fields[1], where), fields[4] if len(fields) > 4 else ".",
                         checked_allele(fields[2], where, "REF"),
                         tuple(checked_allele(alt, where, "ALT") for alt in fields[3].split(",")))


def tsv_pos(text: str, where: str) -> int:
    if not (text.isascii() and text.isdigit()) or int(text) < 1:
        raise ValueError(f"{where}: pos must be a whole number from 1 (1-based), got {text!r}")
    return int(text)


def checked_allele(text: str, where: str, what: str) -> str:
    text = text.strip()
    if not text:
        raise ValueError(f"{where}: an empty {what}")
    return text


def given_records(variants: Iterable[Any]) -> Iterator[Record]:
    try:
        items = iter(variants)
    except TypeError:
        raise TypeError(f"variants must be a VCF/BCF or TSV path or an iterable of (chrom, pos, ref, alt), "
                        f"not {type(variants).__name__}") from None
    for i, item in enumerate(items):
        where = f"variants[{i}]"
        if hasattr(item, "chrom") and hasattr(item, "pos"):
            chrom, pos, ref = item.chrom, item.pos, item.ref
            alts = getattr(item, "alts", None) or (getattr(item, "alt", None),)
            vid = getattr(item, "id", None)
        else:
            fields = tuple(item)
            if len(fields) not in (4, 5):
                raise ValueError(f"{where}: give (chrom, pos, ref, alt) or (chrom, pos, ref, alt, id)")
            chrom, pos, ref, alt = fields[:4]
            alts = tuple(alt.split(",")) if isinstance(alt, str) else tuple(alt)
            vid = fields[4] if len(fields) == 5 else None
        if isinstance(pos, bool) or not isinstance(pos, numbers.Integral) or pos < 1:
            raise ValueError(f"{where}: pos must be an integer from 1 (1-based), got {pos!r}")
        if not isinstance(ref, str) or not all(isinstance(alt, str) for alt in alts):
            raise TypeError(f"{where}: ref and alt must be str")
        yield Record("variants", i, str(chrom), int(pos), "." if vid is None else str(vid),
                     checked_allele(ref, where, "REF"), tuple(checked_allele(str(a), where, "ALT") for a in alts))


# ---------------------------------------------------------------- allele pairs

class Pair(NamedTuple):
    """One ALT of a record, ready to score: the change starts at `start` (0-based), replacing
    `ref_len` genome bases by the codes `alt`."""

    record: Record
    number: int         # the record's number in its input, from 1
    alt_text: str
    start: int
    ref_len: int
    alt: Codes


def symbolic(alt: str) -> bool:
    return alt.startswith("<") or "[" in alt or "]" in alt or alt in ("*", ".") or "*" in alt


def trimmed(ref: str, alt: str) -> tuple[int, int, int]:
    """(shared bases at the start, REF's changed length, ALT's changed length)."""
    p = 0
    while p < min(len(ref), len(alt)) and ref[p] == alt[p]:
        p += 1
    q = 0
    while q < min(len(ref), len(alt)) - p and ref[-1 - q] == alt[-1 - q]:
        q += 1
    return p, len(ref) - p - q, len(alt) - p - q


class Reader:
    """Records to allele pairs: REF checked against the genome, what cannot be scored counted
    (and mismatches warned of) in the report."""

    def __init__(self, fasta: Fasta, report: VariantReport) -> None:
        self.fasta, self.report = fasta, report
        self.lengths = dict(zip(fasta.references, fasta.lengths))
        self.warned: dict[str, int] = {}
        self.block: tuple[str | None, int, bytes] = (None, 0, b"")

    def bases(self, chrom: str, start: int, end: int, length: int) -> bytes:
        """Genome codes as bytes, read a block at a time: sorted variants mostly fall in the block
        before."""
        chrom_at, lo, block = self.block
        if chrom_at != chrom or start < lo or end > lo + len(block):
            lo = start
            block = self.fasta.codes(chrom, lo, min(length, max(end, start + REF_BLOCK))).tobytes()
            self.block = (chrom, lo, block)
        return block[start - lo:end - lo]

    def warn(self, kind: str, message: str) -> None:
        count = self.warned.get(kind, 0) + 1
        self.warned[kind] = count
        if count <= REPORTED:
            warnings.warn(message, stacklevel=2)
        elif count == REPORTED + 1:
            warnings.warn(f"more records {kind}: not named one by one (counted in the summary)", stacklevel=2)

    def pairs(self, records: Iterable[Record]) -> Iterator[Pair]:
        report = self.report
        for rec in records:
            report.records += 1
            report.alleles += len(rec.alts)
            length = self.lengths.get(rec.chrom)
            at = f"{rec.chrom}:{rec.pos}"
            if length is None:
                report.skip("on a chromosome the genome lacks", len(rec.alts))
                self.warn("on unknown chromosomes", f"{rec.where}: {at}: no record {rec.chrom!r} in the genome; "
                          "not scored")
                continue
            ref = rec.ref.upper()
            start = rec.pos - 1
            if start + len(ref) > length:
                report.skip("past the end of their chromosome", len(rec.alts))
                self.warn("past chromosome ends", f"{rec.where}: {at}: REF {rec.ref} runs past the end of "
                          f"{rec.chrom} (length {length}); not scored")
                continue
            genome = self.bases(rec.chrom, start, start + len(ref), length)
            if genome != coded(ref):
                shown = genome.translate(CODE_LETTERS).decode()
                report.mismatches.append((rec.where, rec.chrom, rec.pos, rec.ref, shown))
                report.skip("with a REF that is not the genome's", len(rec.alts))
                self.warn("with a REF mismatch", f"{rec.where}: {at}: REF {rec.ref} does not match the genome "
                          f"({shown}); not scored")
                continue
            for alt_text in rec.alts:
                alt = alt_text.upper()
                if symbolic(alt) or not alt.isalpha():
                    report.skip("symbolic or structural alleles")
                    continue
                p, lr, la = trimmed(ref, alt)
                if lr == la == 0:
                    report.skip("ALT equal to REF")
                    continue
                if max(lr, la) > MAX_CHANGE:
                    report.skip(f"changing more than {MAX_CHANGE} bases")
                    continue
                report.scored += 1
                yield Pair(rec, report.records, alt_text, start + p, lr,
                           np.frombuffer(coded(alt[p:p + la]), np.uint8))


# the scanner's codes as bytes.translate tables: A 0, T 1, C 2, G 3 (either case), else 4
TO_CODE = bytes(b"\x00\x01\x02\x03\x00\x01\x02\x03"["ATCGatcg".index(chr(c))] if chr(c) in "ATCGatcg" else 4
                for c in range(256))
CODE_LETTERS = bytes(b"ATCGN"[c] if c < 5 else ord("N") for c in range(256))


def coded(text: str) -> bytes:
    """The codes of an allele's letters (anything not ASCII is N)."""
    return text.encode("ascii", "replace").translate(TO_CODE)


def batches(items: Iterator[Pair], size: int) -> Iterator[list[Pair]]:
    batch: list[Pair] = []
    for item in items:
        batch.append(item)
        if len(batch) == size:
            yield batch
            batch = []
    if batch:
        yield batch


# ---------------------------------------------------------------- scoring

class Contexts(NamedTuple):
    """Both alleles of a batch's pairs as codes, each allele its change with `flank` bases on either
    side (N past a record's end) then one N: allele 2i is pair i's REF, 2i + 1 its ALT."""

    codes: Codes
    starts: Ints        # of each allele's flank
    changed: Ints       # its changed bases
    flank: int


class Fetched(NamedTuple):
    """A batch's bases: its genome stretches with `flank` bases either side of each change (N past a
    record's end), then every ALT's changed bases, then one N."""

    source: Codes
    left: Ints          # each pair's left flank in source
    ref_len: Ints
    alt_len: Ints
    alt_at: Ints        # each pair's ALT bases in source
    flank: int


def fetch(fasta: Fasta, batch: Sequence[Pair], flank: int) -> Fetched:
    """The batch's bases, read a record's stretch (of at most SPAN_LIMIT bases) at a time."""
    n = len(batch)
    left = np.empty(n, np.int64)
    pieces: list[Codes] = []
    at = 0
    lengths = dict(zip(fasta.references, fasta.lengths))
    order = sorted(range(n), key=lambda i: (batch[i].record.chrom, batch[i].start))
    group: list[int] = []
    for i in order + [-1]:
        if i >= 0 and (not group or (batch[i].record.chrom == batch[group[0]].record.chrom
                                     and batch[i].start + batch[i].ref_len - batch[group[0]].start <= SPAN_LIMIT)):
            group.append(i)
            continue
        chrom = batch[group[0]].record.chrom
        lo = batch[group[0]].start - flank
        hi = max(batch[j].start + batch[j].ref_len for j in group) + flank
        piece = np.full(hi - lo, N, np.uint8)
        got_lo, got_hi = max(lo, 0), min(hi, lengths[chrom])
        piece[got_lo - lo:got_hi - lo] = fasta.codes(chrom, got_lo, got_hi)
        for j in group:
            left[j] = at + batch[j].start - flank - lo
        pieces.append(piece)
        at += len(piece)
        group = [i]
    ref_len = np.array([pair.ref_len for pair in batch], np.int64)
    alt_len = np.array([len(pair.alt) for pair in batch], np.int64)
    alt_at = at + np.concatenate(([0], np.cumsum(alt_len)[:-1])).astype(np.int64)
    pieces += [pair.alt for pair in batch] + [np.full(1, N, np.uint8)]
    return Fetched(np.concatenate(pieces), left, ref_len, alt_len, alt_at, flank)


def contexts(fetched: Fetched, flank: int) -> Contexts:
    """Both alleles of every pair with `flank` (at most the fetched one) bases either side."""
    f = fetched
    n = len(f.left)
    left = f.left + (f.flank - flank)
    sep = len(f.source) - 1
    changed = np.empty(2 * n, np.int64)
    changed[0::2], changed[1::2] = f.ref_len, f.alt_len
    sizes = 2 * flank + changed + 1
    starts = np.concatenate(([0], np.cumsum(sizes)[:-1])).astype(np.int64)
    allele = np.repeat(np.arange(2 * n), sizes)
    rel = np.arange(int(sizes.sum()), dtype=np.int64) - starts[allele]
    pair_of = allele >> 1
    m = changed[allele]
    base = left[pair_of]
    mid = np.where(allele & 1, f.alt_at[pair_of], base + flank)
    index = np.where(rel < flank, base + rel,
                     np.where(rel < flank + m, mid + rel - flank,
                              np.where(rel < 2 * flank + m, base + f.ref_len[pair_of] + rel - m, sep)))
    return Contexts(f.source[index], starts, changed, flank)


class Bucket:
    """Motifs of near widths, scanned together over contexts of their widest flank."""

    def __init__(self, members: list[int], motifs: Sequence[Motif], thresholds: Sequence[float]) -> None:
        from ._scan import Scanner
        self.members = np.asarray(members, np.int64)
        self.widths = np.array([motifs[k].width for k in members], np.int64)
        self.flank = int(self.widths.max()) - 1
        self.scanner = Scanner([motifs[k].pwm.pssm for k in members], [thresholds[k] for k in members], "both")

    def pairs(self, ctx: Contexts) -> tuple[Ints, Ints]:
        """(pair, motif) of every hit over a changed stretch, unordered, repeats kept."""
        hits, _ = self.scanner.scan(ctx.codes)
        if not len(hits):
            return np.zeros(0, np.int64), np.zeros(0, np.int64)
        start = hits["start"]
        local = hits["motif"].astype(np.int64)
        allele = np.searchsorted(ctx.starts, start, side="right") - 1
        offset = start - ctx.starts[allele]
        L = self.widths[local]
        over = (offset >= ctx.flank - L + 1) & (offset <= ctx.flank + ctx.changed[allele] - 1)
        return allele[over] >> 1, self.members[local[over]]


def buckets(motifs: Sequence[Motif], thresholds: Sequence[float]) -> list[Bucket]:
    """Widths grouped so that no group's flank is much longer than its motifs need."""
    order = sorted(range(len(motifs)), key=lambda k: motifs[k].width)
    groups: list[list[int]] = []
    for k in order:
        if groups and motifs[k].width <= max(motifs[groups[-1][0]].width * 1.25, motifs[groups[-1][0]].width + 2):
            groups[-1].append(k)
        else:
            groups.append([k])
    return [Bucket(group, motifs, thresholds) for group in groups]


def window_text(codes: Codes, start: Ints, strand: NDArray[np.int8], width: int) -> NDArray[np.bytes_]:
    """Each best window as read on its strand (b'' for none)."""
    n = len(start)
    if not n:
        return np.zeros(0, "S1")
    win = codes[np.maximum(start, 0)[:, None] + np.arange(width)]
    rc = (win[:, ::-1] ^ 1) & 3 | (win[:, ::-1] & 4)
    win = np.where((strand < 0)[:, None], rc, win)
    text: NDArray[np.bytes_] = LETTERS[win].view(f"S{width}").ravel()
    text[strand == 0] = b""
    return text


class Scored(NamedTuple):
    """A batch's rows (pair, motif) and both alleles' best windows, REF then ALT for each row."""

    batch: list[Pair]
    pair: Ints
    motif: Ints
    score: Floats
    start: Ints             # within the allele's context
    strand: NDArray[np.int8]
    windows: Ints
    text: NDArray[np.bytes_]
    flank: int
    centre: Codes           # the allele's one changed base, N when it changes another number


class Engine:
    """What every batch needs: the motifs, their cut-offs, the width groups' scanners."""

    def __init__(self, fasta: Fasta, motifs: Sequence[Motif], thresholds: Sequence[float],
                 ids: Sequence[str], alts: Sequence[str], pvalues: str = "both", threads: int = 1,
                 cut: float | None = None, samples: int = CHANGE_SAMPLES) -> None:
        self.fasta, self.motifs, self.thresholds = fasta, list(motifs), np.asarray(thresholds, np.float64)
        self.ids, self.alts = list(ids), list(alts)
        self.groups = buckets(motifs, thresholds)
        self.flank = max(motif.width for motif in motifs) - 1
        self.widths = np.array([motif.width for motif in motifs], np.int64)
        from ._scan import Scanner
        self.best = Scanner([motif.pwm.pssm for motif in motifs], thresholds, "both")
        # a motif's statistics serve one call at a time
        self.locks = [threading.Lock() for _ in motifs]
        self.prepared = Prepared(motifs, thresholds, self.locks)
        self.every = pvalues == "both"
        self.threads = threads
        self.samples = samples
        self.nulls: list[NDArray[np.float32] | None] = [None] * len(motifs)
        # with pvalues="reached", an allele below the cut-off has a p-value above the cut-off's
        # (its score is achievable and below the least achievable one within it), or, for a score
        # cut-off, at least its motif's at the threshold (p-values are monotone)
        self.floor = None if self.every else np.full(len(motifs), cut) if cut is not None else \
            np.array([float(motif.pvalue(t)) for motif, t in zip(motifs, thresholds)])

    def score(self, batch: list[Pair]) -> Scored:
        """The batch's rows, scored, their p-values still to come (`finish`)."""
        fetched = fetch(self.fasta, batch, self.flank)
        pair_parts, motif_parts = [], []
        for group in self.groups:
            pairs, motifs = group.pairs(contexts(fetched, group.flank))
            pair_parts.append(pairs)
            motif_parts.append(motifs)
        K = len(self.motifs)
        key = np.unique(np.concatenate(pair_parts) * K + np.concatenate(motif_parts))
        pair, motif = key // K, key % K
        ctx = contexts(fetched, self.flank)
        # queries 2r and 2r + 1: row r's REF and ALT
        allele = (2 * pair[:, None] + np.array([0, 1])).ravel()
        k = np.repeat(motif, 2)
        L = self.widths[k]
        first = ctx.starts[allele] + ctx.flank - L + 1
        score, start, strand, windows = self.best.best(ctx.codes, first, ctx.changed[allele] + L - 1, k)
        text = np.empty(len(k), f"S{int(self.widths.max())}")
        for width in np.unique(L):
            rows = np.flatnonzero(L == width)
            text[rows] = window_text(ctx.codes, start[rows], strand[rows], int(width))
        start = np.where(strand == 0, -1, start - ctx.starts[allele])
        centre = np.where(ctx.changed[allele] == 1, ctx.codes[ctx.starts[allele] + ctx.flank], N).astype(np.uint8)
        return Scored(batch, pair, motif, score, start, strand, windows, text, ctx.flank, centre)

    def finish(self, parts: list[Scored]) -> Iterator[VariantHits]:
        """The tables of scored batches, with the p-values of all their rows computed together (a
        motif's statistics then serve one call for many batches), each table made as it is asked
        for and each batch let go once its table is made."""
        k = np.concatenate([np.repeat(part.motif, 2) for part in parts])
        score = np.concatenate([part.score for part in parts])
        reached = score >= self.thresholds[k]
        pvalue = self.pvalues(k, score if self.every else np.where(reached, score, np.nan))
        # for the change: an allele with no window counts as p = 1, one not computed as the floor
        known = np.where(np.isnan(score), 1.0, pvalue if self.floor is None
                         else np.where(reached, pvalue, self.floor[k]))
        if self.samples:
            snv = np.concatenate([PAIR_INDEX[part.centre[0::2], part.centre[1::2]] >= 0 for part in parts])
            self.run_each(self.null, np.unique(k[0::2][snv]).tolist())
        at = 0
        while parts:
            part = parts.pop(0)
            n = 2 * len(part.motif)
            yield self.table(part, pvalue[at:at + n].reshape(-1, 2), known[at:at + n].reshape(-1, 2))
            at += n

    def pvalues(self, motif: Ints, scores: Floats) -> Floats:
        """Each score's p-value under its motif: one call per motif for its distinct scores, on
        `threads` threads (the statistics' native parts run without the GIL)."""
        p = np.full(len(scores), np.nan)
        ok = np.flatnonzero(~np.isnan(scores))
        if not len(ok):
            return p
        self.prepared.wait()

        def one(k: int, rows: NDArray[np.intp]) -> None:
            rows = ok[rows]
            distinct, back = np.unique(scores[rows], return_inverse=True)
            with self.locks[k]:
                p[rows] = np.asarray(self.motifs[k].pvalue(distinct))[back.ravel()]

        self.run_each(lambda item: one(*item), [(k, rows) for k, rows in groups(motif[ok], len(self.motifs))
                                                if rows.size])
        return p

    def run_each(self, task: Any, items: Sequence[Any]) -> None:
        if self.threads == 1 or len(items) < 2:
            for item in items:
                task(item)
        else:
            with ThreadPoolExecutor(self.threads) as pool:
                for done in [pool.submit(task, item) for item in items]:
                    done.result()

    def null(self, k: int) -> NDArray[np.float32]:
        """Motif k's sampled null of the change (`change_null`), made once, on first need."""
        got = self.nulls[k]
        if got is None:
            self.prepared.wait()
            with self.locks[k]:     # its statistics too serve one call at a time
                got = self.nulls[k]
                if got is None:
                    got = change_null(self.motifs[k], self.samples, self.best, k)
                    self.nulls[k] = got
        return got

    def table(self, part: Scored, pvalue: Floats, known: Floats) -> VariantHits:
        """The rows: columns 0 and 1 of the arrays are REF's and ALT's."""
        batch, pair, motif, flank = part.batch, part.pair, part.motif, part.flank
        score, start, windows = part.score.reshape(-1, 2), part.start.reshape(-1, 2), part.windows.reshape(-1, 2)
        strand, text = part.strand.reshape(-1, 2), part.text.reshape(-1, 2)
        recs = [batch[i] for i in pair.tolist()]
        widths = dict(chrom=max((len(p.record.chrom) for p in batch), default=1),
                      id=max((len(p.record.id) for p in batch), default=1),
                      ref=max((len(p.record.ref) for p in batch), default=1),
                      alt=max((len(p.alt_text) for p in batch), default=1),
                      motif=max(map(len, self.ids)), motif_alt=max(map(len, self.alts)),
                      sequence=int(self.widths.max()))
        t = np.empty(len(pair), variant_dtype(widths))
        t["chrom"] = [p.record.chrom for p in recs]
        t["pos"] = [p.record.pos for p in recs]
        t["record"] = [p.number for p in recs]
        t["id"] = [p.record.id for p in recs]
        t["ref"] = [p.record.ref for p in recs]
        t["alt"] = [p.alt_text for p in recs]
        t["motif"] = np.asarray(self.ids)[motif]
        t["motif_alt"] = np.asarray(self.alts)[motif]
        # an allele's window starts on its own bases, which are the genome's up to the change
        change = np.array([p.start for p in recs], np.int64) - flank
        for side, j in (("ref", 0), ("alt", 1)):
            t[f"{side}_score"] = score[:, j]
            t[f"{side}_pvalue"] = pvalue[:, j]
            t[f"{side}_start"] = np.where(strand[:, j] == 0, -1, change + start[:, j])
            t[f"{side}_strand"] = np.asarray([".", "+", "-"])[strand[:, j]]
            t[f"{side}_sequence"] = text[:, j]
        pr, pa = known[:, 0], known[:, 1]
        t["log10_ratio"] = np.log10(pr) - np.log10(pa)
        t["change_pvalue"] = change_pvalue(pr, pa, windows[:, 0], windows[:, 1])
        t["change_sampled"] = self.sampled(motif, part.centre.reshape(-1, 2), np.abs(t["log10_ratio"]))
        cut = self.thresholds[motif]
        ref_in, alt_in = score[:, 0] >= cut, score[:, 1] >= cut
        t["call"] = np.asarray(CALLS)[np.where(ref_in & alt_in, 0, np.where(alt_in, 1, 2))]
        return t.view(VariantHits)

    def sampled(self, motif: Ints, centre: Codes, distance: Floats) -> Floats:
        """change_sampled of rows: NaN but for SNVs (and with sampling off)."""
        value = np.full(len(motif), np.nan)
        if not self.samples:
            return value
        base_pair = PAIR_INDEX[centre[:, 0], centre[:, 1]]
        snv = np.flatnonzero(base_pair >= 0)
        key = motif[snv] * len(BASE_PAIRS) + base_pair[snv]
        for one in np.unique(key).tolist():
            rows = snv[key == one]
            null = self.null(one // len(BASE_PAIRS))[one % len(BASE_PAIRS)].astype(np.float64)
            value[rows] = exceeding(null, distance[rows])
        return value


def exceeding(null: Floats, distance: Floats) -> Floats:
    """(1 + #{null >= d}) / (n + 1) for each d, null sorted."""
    n = len(null)
    above = n - np.searchsorted(null, distance, side="left")
    value: Floats = ((1 + above) / (n + 1)).astype(np.float64)
    return value


def null_rng(motif: Motif, samples: int) -> np.random.Generator:
    """A generator seeded by the motif's scores, background and sample size alone: its null is the
    same whatever the threads, batches or order motifs are met in."""
    digest = hashlib.sha256(np.ascontiguousarray(motif.pwm.pssm, np.float64).tobytes()
                            + np.ascontiguousarray(motif.background, np.float64).tobytes()
                            + samples.to_bytes(8, "little")).digest()
    return np.random.default_rng(int.from_bytes(digest[:16], "little"))


def change_null(motif: Motif, samples: int, scanner: Any = None, index: int = 0) -> NDArray[np.float32]:
    """(6, samples): for each pair {a, b} of BASE_PAIRS, sorted, |log10(p_a / p_b)| of `samples`
    random contexts of 2L - 1 bases (flanks from the motif's background, the centre a, then b), p
    the exact p-value of the best window over the centre on both strands, scored by `scanner`'s
    matrix `index` (the motif's). One draw of flanks serves the six pairs: each pair's samples
    are still independent of each other. Stored as float32 rounded up, so that no count of
    D_null >= D falls."""
    if scanner is None:
        from ._scan import Scanner
        scanner, index = Scanner([motif.pwm.pssm], [0.0], "both"), 0
    L = motif.width
    bg = np.asarray(motif.background, np.float64)[TO_CODES]
    flanks = null_rng(motif, samples).choice(4, size=(samples, 2 * L - 2), p=bg / bg.sum()).astype(np.uint8)
    codes = np.empty((4, samples, 2 * L - 1), np.uint8)
    codes[:, :, :L - 1] = flanks[:, :L - 1]
    codes[:, :, L:] = flanks[:, L - 1:]
    codes[:, :, L - 1] = np.arange(4, dtype=np.uint8)[:, None]
    queries = 4 * samples
    first = np.arange(queries, dtype=np.int64) * (2 * L - 1)
    score, _, _, _ = scanner.best(codes.ravel(), first, np.full(queries, L, np.int64),
                                  np.full(queries, index, np.int64))
    distinct, back = np.unique(score, return_inverse=True)
    log_p = np.log10(np.asarray(motif.pvalue(distinct), np.float64))[back.ravel()].reshape(4, samples)
    exact = np.sort(np.abs(np.array([log_p[a] - log_p[b] for a, b in BASE_PAIRS])), axis=1)
    stored = exact.astype(np.float32)
    up: NDArray[np.float32] = np.where(stored < exact, np.nextafter(stored, np.float32(np.inf)), stored)
    return up


def change_pvalue(p_ref: Floats, p_alt: Floats, w_ref: Ints, w_alt: Ints) -> Floats:
    """min(1, 2 min(W_ref p_ref / p_alt, W_alt p_alt / p_ref)): see the module's docstring."""
    with np.errstate(divide="ignore", invalid="ignore"):
        gain = np.where(w_alt > 0, w_alt * p_alt / p_ref, np.inf)
        loss = np.where(w_ref > 0, w_ref * p_ref / p_alt, np.inf)
    value: Floats = np.minimum(1.0, 2.0 * np.minimum(gain, loss))
    return value


# ---------------------------------------------------------------- the calls

def variants(genome: Genome, variants: Variants, motifs: Motifs, *, pvalue: float | None = None,
             threshold: float | Sequence[float] | None = None, background: Background = None,
             pvalues: str = "both", threads: int = 1, batch: int = BATCH,
             change_samples: int = CHANGE_SAMPLES) -> VariantHits:
    """The effect of each variant on each motif's sites (see the module's docstring and
    docs/variants.md): a `VariantHits` table of every allele pair and motif where either allele's
    best window over the change reaches the cut-off, with `report` counting what was read and set
    aside.

    genome: an indexed FASTA (plain or bgzip; its .fai is built when missing). variants: a VCF or
    BCF (plain, bgzipped, indexed or not), a TSV of chrom, pos (1-based), ref, alt, or an iterable
    of (chrom, pos, ref, alt) with pos 1-based. motifs, pvalue, threshold, background: as for
    `scan`. pvalues: "both", every allele's exact p-value; "reached", those of alleles reaching the
    cut-off only (quicker at scale): an allele below it gets NaN, and the cut-off's p-value (for a
    score cut-off, the motif's p-value at it), a lower bound of its own, stands for it in log10_ratio
    and change_pvalue (which stays valid, only more conservative). threads: batches scored by that many
    threads. change_samples: the random contexts per motif and pair of bases behind change_sampled
    (0: none, the column NaN)."""
    report = VariantReport()
    parts = list(iter_variants(genome, variants, motifs, pvalue=pvalue, threshold=threshold,
                               background=background, pvalues=pvalues, threads=threads, batch=batch,
                               report=report, change_samples=change_samples))
    table = join(parts)
    table.report = report
    return table


def join(parts: Sequence[VariantHits]) -> VariantHits:
    if not parts:
        return np.empty(0, variant_dtype()).view(VariantHits)
    widest = variant_dtype({name: max(int(part.dtype[name].itemsize // 4) for part in parts)
                            for name in ("chrom", "id", "ref", "alt", "motif", "motif_alt")}
                           | {"sequence": max(part.dtype["ref_sequence"].itemsize // 4 for part in parts)})
    return np.concatenate([np.asarray(part).astype(widest) for part in parts]).view(VariantHits)


def iter_variants(genome: Genome, variants: Variants, motifs: Motifs, *, pvalue: float | None = None,
                  threshold: float | Sequence[float] | None = None, background: Background = None,
                  pvalues: str = "both", threads: int = 1, batch: int = BATCH,
                  report: VariantReport | None = None,
                  change_samples: int = CHANGE_SAMPLES) -> Iterator[VariantHits]:
    """The rows of `variants` a batch of allele pairs at a time (tables in input order, empty ones
    left out), filling `report` as it reads; a summary warning at the end names what was not
    scored. The arguments are checked at once."""
    motif_list = _motif_list(motifs)
    if pvalue is not None and threshold is not None:
        raise ValueError("give pvalue or threshold, not both")
    if pvalue is None and threshold is None:
        pvalue = DEFAULT_PVALUE
    if pvalue is not None and (isinstance(pvalue, bool) or not isinstance(pvalue, numbers.Real)
                               or not 0 < pvalue <= 1):
        raise ValueError(f"pvalue must be a number in (0, 1], got {pvalue!r}")
    if pvalues not in PVALUES:
        raise ValueError(f"pvalues must be 'both' or 'reached', got {pvalues!r}")
    threads, batch = _count("threads", threads), _count("batch", batch)
    samples = checked_samples(change_samples)
    parts = _run(genome, variants, motif_list, pvalue, threshold, background, pvalues, threads, batch,
                 report if report is not None else VariantReport(), samples)
    return (table for table, _ in parts if len(table))


def checked_samples(value: Any) -> int:
    if isinstance(value, bool):
        raise TypeError("change_samples must be an integer, not bool")
    n = _integer("change_samples", value)
    if not 0 <= n <= MAX_CHANGE_SAMPLES:
        raise ValueError(f"change_samples must be 0 (no change_sampled) or a number of samples up to "
                         f"{MAX_CHANGE_SAMPLES}, got {n}")
    return n


def _run(genome: Genome, source: Variants, motifs: list[Motif], pvalue: float | None,
         threshold: float | Sequence[float] | None, background: Background, pvalues: str, threads: int,
         batch: int, report: VariantReport, samples: int = CHANGE_SAMPLES) -> Iterator[tuple[VariantHits, int]]:
    """Each batch's table (empty ones too) and the records read up to its last."""
    with open_genome(genome) as fasta:
        if not isinstance(fasta, IndexedFasta):
            raise ValueError(f"{fasta.filename} is read in one pass ({fasta.reason}); scoring variants "
                             "reads the genome by position: give a plain or bgzip FASTA file")
        if background is not None:
            chosen = genome_background(fasta) if isinstance(background, str) and background == "genome" \
                else as_background(background)
            motifs = [motif.with_background(chosen) for motif in motifs]
        ids, alts = motif_names(motifs)
        thresholds = cutoffs(motifs, "pwm", pvalue, threshold, threads)
        engine = Engine(fasta, motifs, thresholds, ids, alts, pvalues, threads,
                        None if threshold is not None else pvalue, samples)
        records = read_records(source)
        pairs = batches(Reader(fasta, report).pairs(records), batch)
        yield from _scored(engine, pairs, threads)
        if report.skipped:
            warnings.warn(report.summary(), stacklevel=2)


def _scored(engine: Engine, pairs: Iterator[list[Pair]], threads: int) -> Iterator[tuple[VariantHits, int]]:
    """The batches' tables in order, their p-values computed PVALUE_ROWS rows at a time."""
    held: list[Scored] = []
    rows = 0
    for part in _scored_batches(engine, pairs, threads):
        held.append(part)
        rows += len(part.motif)
        if rows >= PVALUE_ROWS:
            numbers = [p.batch[-1].number for p in held]
            yield from zip(engine.finish(held), numbers)
            held, rows = [], 0
    if held:
        numbers = [p.batch[-1].number for p in held]
        yield from zip(engine.finish(held), numbers)


def _scored_batches(engine: Engine, pairs: Iterator[list[Pair]], threads: int) -> Iterator[Scored]:
    return in_order(engine.score, pairs, threads)


# ---------------------------------------------------------------- the command

def add_variants_parser(subparsers: Any) -> argparse.ArgumentParser:
    """The `variants` subcommand on an argparse subparsers object; its `run` default is run_variants."""
    from .cli import add_motif_arguments
    command: argparse.ArgumentParser = subparsers.add_parser(
        "variants", help="which variants make or break motif sites, with exact p-values",
        description="Score each ALT of each variant against every motif: the best window over the "
                    "change on either strand of each allele, its exact p-value, the change's p-value "
                    "and a call (gain, loss, none). Writes a TSV of every variant and motif where either "
                    "allele reaches the cut-off (columns in docs/variants.md).")
    command.add_argument("genome", help="indexed FASTA file (plain or bgzip; a missing .fai is built)")
    command.add_argument("variants", help="VCF or BCF (plain, bgzipped, indexed or not), or a TSV of "
                                          "chrom, pos (1-based), ref, alt")
    command.add_argument("motifs", nargs="+", help="motif files, as for morvane scan")
    cut = command.add_mutually_exclusive_group()
    cut.add_argument("--pvalue", type=float, help="p-value cut-off per motif (default 1e-4)")
    cut.add_argument("--threshold", type=float, help="score cut-off for every motif")
    add_motif_arguments(command)
    command.add_argument("--pvalues", choices=PVALUES, default="both",
                         help="both (default): every allele's exact p-value; reached: only those of alleles "
                              "reaching the cut-off, the others bounded by it (far quicker at scale)")
    command.add_argument("--change-samples", type=int, default=CHANGE_SAMPLES, metavar="N",
                         help=f"random contexts per motif and pair of bases behind change_sampled (default "
                              f"{CHANGE_SAMPLES}; 0: none, the column NaN)")
    command.add_argument("--threads", type=int, default=1)
    command.add_argument("--vcf-out", metavar="VCF",
                         help=f"also write the input VCF with each record's effects in INFO/{INFO_KEY}")
    command.add_argument("-o", "--output", default="-", help="TSV output file (default: stdout)")
    command.add_argument("--quiet", action="store_true", help="no progress bar, no summary")
    command.set_defaults(run=run_variants)
    return command


def run_variants(args: argparse.Namespace, argv: list[str]) -> int:
    from .cli import read_motif_arguments
    from .output import Output, command_line
    from .progress import Progress

    progress = Progress(not args.quiet, [("motifs", 1), ("variants", 9)])
    try:
        inputs = [("the genome", args.genome), ("the genome's index", args.genome + ".fai"),
                  ("the genome's gzip index", args.genome + ".gzi"), ("the variants", args.variants),
                  *(("a motif file", path) for path in args.motifs)]
        # refused before anything is read or written
        output = Output(args.output, inputs)
        annotated = None
        if args.vcf_out is not None:
            if not is_vcf(args.variants):
                raise ValueError(f"--vcf-out annotates a VCF or BCF; {args.variants} is a TSV")
            annotated = Output(args.vcf_out, [*inputs, ("the TSV output", args.output)])
        motifs, background = read_motif_arguments(args, progress)
        report = VariantReport()
        pvalue = DEFAULT_PVALUE if args.pvalue is None and args.threshold is None else args.pvalue
        parts = _run(args.genome, args.variants, motifs, pvalue, args.threshold, background, args.pvalues,
                     _count("threads", args.threads), BATCH, report, checked_samples(args.change_samples))
        progress.stage("variants", None, " records")
        first = next(parts, None)
        rows = 0
        with contextlib.ExitStack() as stack:
            handle = stack.enter_context(output)
            handle.write(tsv_header(command_line(["morvane", *argv])))
            vcf = VcfAnnotator(args.variants, stack.enter_context(annotated), command_line(["morvane", *argv])) \
                if annotated is not None else None
            done = 0
            for table, upto in itertools.chain([first] if first is not None else [], parts):
                write_tsv(handle, table)
                rows += len(table)
                if vcf is not None:
                    vcf.add(table, upto)
                progress.advance(upto - done)
                done = upto
            if vcf is not None:
                vcf.finish()
        progress.close(done=True)
        if not args.quiet:      # what was set aside is warned of already
            kept = "" if report.skipped else f"{report.summary()}; "
            print(f"morvane: {kept}{rows} rows", file=sys.stderr)
    finally:
        progress.close()
    return 0


def tsv_header(command: str) -> bytes:
    from . import __version__
    return f"# morvane {__version__}: {command}\n{chr(9).join(COLUMNS)}\n".encode()


def write_tsv(handle: IO[bytes], t: VariantHits) -> None:
    """The rows as TSV: scores as the shortest text that reads back to the same double, p-values
    and the log-ratio to 6 significant digits, names with tabs and newlines as spaces."""
    if not len(t):
        return
    from ._scan import format_rows
    from .output import FIELD, P_DIGITS, RAW
    mode = {"pos": 0, "ref_start": 0, "alt_start": 0, "ref_score": 0, "alt_score": 0, "ref_pvalue": P_DIGITS,
            "alt_pvalue": P_DIGITS, "log10_ratio": P_DIGITS, "change_pvalue": P_DIGITS, "change_sampled": P_DIGITS,
            "ref_strand": RAW,
            "alt_strand": RAW, "ref_sequence": RAW, "alt_sequence": RAW, "call": RAW}
    pieces: list[Any] = []
    for k, name in enumerate(COLUMNS):
        pieces += [b"\t"] if k else []
        pieces.append((np.ascontiguousarray(t[name]), mode.get(name, FIELD)))
    pieces.append(b"\n")
    handle.write(format_rows(pieces, len(t)))


INFO_KEY = "MORVANE"
INFO_DESCRIPTION = ("Motif effects: ALT|motif|call|ref_pvalue|alt_pvalue|change_pvalue for each ALT and motif "
                    "where either allele reaches the cut-off (morvane variants)")


class VcfAnnotator:
    """The input VCF again, read beside the scoring, each record written once the batches up to it
    are scored, with its rows in INFO."""

    def __init__(self, path: str, handle: IO[bytes], command: str) -> None:
        import pysam
        self.source = pysam.VariantFile(path)
        header = self.source.header.copy()
        header.add_line(f'##INFO=<ID={INFO_KEY},Number=.,Type=String,Description="{INFO_DESCRIPTION}">')
        header.add_line(f"##morvaneCommand={command}")
        self.out = pysam.VariantFile(f"/dev/fd/{handle.fileno()}", "w", header=header)
        self.handle = handle
        self.read = 0
        self.pending: dict[int, list[str]] = {}

    def add(self, table: VariantHits, upto: int) -> None:
        for index, text in zip(table["record"].tolist(), self._entries(table)):
            self.pending.setdefault(index, []).append(text)
        self._write(upto)

    @staticmethod
    def _entries(table: VariantHits) -> list[str]:
        def p(x: float) -> str:
            return f"{x:.6g}"
        return [f"{r['alt']}|{r['motif']}|{r['call']}|{p(r['ref_pvalue'])}|{p(r['alt_pvalue'])}|"
                f"{p(r['change_pvalue'])}".replace(",", "_").replace(";", "_").replace(" ", "_") for r in table]

    def _write(self, upto: int) -> None:
        for rec in self.source:
            self.read += 1
            entries = self.pending.pop(self.read, None)
            if entries:
                rec.translate(self.out.header)
                rec.info[INFO_KEY] = tuple(entries)
            self.out.write(rec)
            if self.read >= upto:
                return

    def finish(self) -> None:
        self._write(1 << 62)
        self.out.close()
        self.source.close()


class _CallableModule(types.ModuleType):
    def __call__(self, *args: Any, **kwargs: Any) -> VariantHits:
        return variants(*args, **kwargs)


sys.modules[__name__].__class__ = _CallableModule
