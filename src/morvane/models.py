"""Trained DWM motifs kept in files: `save_models`, `load_models`, `is_model_file`.

A model file is a NumPy `.npz` archive (a zip of `.npy` arrays, read with
`allow_pickle=False`, so loading one runs no code). Format version 1 holds:

| entry | content |
| --- | --- |
| `format` | the text "morvane-dwm" |
| `version` | 1 |
| `count` | K, the number of motifs |
| `{i}.id`, `{i}.name` | motif i's identifier and name (text) |
| `{i}.counts` | (4, L) base counts, rows A, C, G, T (the PWM's counts) |
| `{i}.pair_counts` | (5, 5, L, L) pair counts of the sites: [x, y, p, q] for code x at p, y at q |
| `{i}.pseudocount` | the PWM's pseudo-count |
| `{i}.background` | four background probabilities, A, C, G, T |

Pair-count codes are morvane's: A, T, C, G, N. A loaded motif is prepared from those numbers as
a motif built from its sites is, so its matrices are the same doubles. Readers refuse a newer
version with a clear error.
"""

import os
import stat
import zipfile
import zlib
from collections.abc import Iterable
from typing import Any

import numpy as np

from .motifs import Motif
from .output import Output

FORMAT = "morvane-dwm"
VERSION = 1
_ZIP_MAGIC = b"PK\x03\x04"


def save_models(path: str | os.PathLike[str] | Output, motifs: Motif | Iterable[Motif]) -> None:
    """Write motifs with a DWM to a model file (or an `Output` checked already): it appears whole
    or not at all, under the rules of `morvane.output.Output`."""
    motifs = [motifs] if isinstance(motifs, Motif) else list(motifs)
    if not motifs:
        raise ValueError("no motifs to save")
    entries: dict[str, Any] = {"format": np.array(FORMAT), "version": np.array(VERSION),
                               "count": np.array(len(motifs))}
    for i, motif in enumerate(motifs):
        if motif.pair_counts is None:
            raise ValueError(f"motif {motif.id!r} has no DWM to save: build it from aligned sites")
        entries |= {f"{i}.id": np.array(motif.id), f"{i}.name": np.array(motif.name),
                    f"{i}.counts": motif.counts, f"{i}.pair_counts": motif.pair_counts,
                    f"{i}.pseudocount": np.array(motif.pseudocount),
                    f"{i}.background": motif.background}
    with path if isinstance(path, Output) else Output(path) as handle:
        np.savez_compressed(handle, **entries)


def is_model_file(path: str | os.PathLike[str]) -> bool:
    """Whether path is a morvane model file (a zip holding a `format` entry), by its first bytes.
    A pipe or FIFO is not looked into: its bytes, once read, would be gone for the motif reader."""
    try:
        if not stat.S_ISREG(os.stat(path).st_mode):
            return False
        with open(path, "rb") as handle:
            if handle.read(4) != _ZIP_MAGIC:
                return False
        with zipfile.ZipFile(path) as archive:
            return "format.npy" in archive.namelist()
    except (OSError, zipfile.BadZipFile):
        return False


def load_models(path: str | os.PathLike[str]) -> list[Motif]:
    """The motifs of a model file, each with its DWM prepared as when it was saved."""
    name = os.fspath(path)
    try:
        with np.load(name, allow_pickle=False) as archive:
            entries = {key: archive[key] for key in archive.files}
    except FileNotFoundError:
        raise
    except (OSError, ValueError, EOFError, zipfile.BadZipFile, zlib.error) as exc:
        raise ValueError(f"{name}: not a readable morvane model file ({exc})") from None
    return [_motif(name, entries, i) for i in range(_count(name, entries))]


def _count(path: str, entries: dict[str, Any]) -> int:
    if str(entries.get("format", "")) != FORMAT:
        raise ValueError(f"{path}: not a morvane model file (no format entry {FORMAT!r})")
    version = _scalar(path, entries, "version", int)
    if version > VERSION:
        raise ValueError(f"{path}: model format version {version} is newer than this morvane reads "
                         f"({VERSION}); upgrade morvane")
    if version < 1:
        raise ValueError(f"{path}: model format version {version} is not one morvane wrote")
    count: int = _scalar(path, entries, "count", int)
    if count < 1:
        raise ValueError(f"{path}: the model file holds no motifs")
    return count


def _scalar(path: str, entries: dict[str, Any], key: str, kind: type) -> Any:
    if key not in entries:
        raise ValueError(f"{path}: the model file has no {key!r} entry (truncated or damaged?)")
    value = entries[key]
    if value.shape != ():
        raise ValueError(f"{path}: the model entry {key!r} is not a single value")
    try:
        return kind(value.item())
    except (TypeError, ValueError):
        raise ValueError(f"{path}: the model entry {key!r} is not a {kind.__name__}") from None


def _motif(path: str, entries: dict[str, Any], i: int) -> Motif:
    ident = _scalar(path, entries, f"{i}.id", str)
    name = _scalar(path, entries, f"{i}.name", str)
    arrays = {}
    for key in ("counts", "pair_counts", "background"):
        if f"{i}.{key}" not in entries:
            raise ValueError(f"{path}: motif {i + 1} has no {key!r} entry (truncated or damaged?)")
        value = entries[f"{i}.{key}"]
        if value.dtype.kind not in "fiu":
            raise ValueError(f"{path}: motif {name!r}: {key} must be numbers, not {value.dtype}")
        arrays[key] = value.astype(np.float64)
    try:
        motif = Motif(name, arrays["counts"], id=ident, pseudocount=_scalar(path, entries, f"{i}.pseudocount", float),
                      background=arrays["background"], pair_counts=arrays["pair_counts"])
    except ValueError as exc:
        raise ValueError(f"{path}: {exc}") from None
    return motif
