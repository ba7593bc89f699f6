"""morvane: fast building blocks for scoring DNA against sequence models.

`morvane.utils.sequences` is the native module. The scanning layer on top of it,
`Motif`, `read_motifs` and `scan`, loads on first use, so that importing the
module alone stays light.
"""

from typing import TYPE_CHECKING, Any

__version__ = "0.1.0"

if TYPE_CHECKING:
    from . import scan as _engine
    from .motifs import Motif as Motif, read_motifs as read_motifs

    class _Scan:
        """`morvane.scan` as checkers see it: the engine module, callable as its scan function."""

        __call__ = staticmethod(_engine.scan)
        iter_hits = staticmethod(_engine.iter_hits)
        Hits = _engine.Hits

        def __getattr__(self, name: str) -> Any: ...

    scan: _Scan

_LAZY = {"Motif": "motifs", "read_motifs": "motifs", "scan": "scan"}


def __getattr__(name: str) -> object:
    if name not in _LAZY:
        raise AttributeError(f"module 'morvane' has no attribute {name!r}")
    import importlib
    module = importlib.import_module(f".{_LAZY[name]}", __name__)
    # `morvane.scan` is the engine module, callable as the scan function itself.
    return module if name == "scan" else getattr(module, name)


def __dir__() -> list[str]:
    return sorted([*globals(), *_LAZY])
