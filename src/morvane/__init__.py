"""morvane: fast building blocks for scoring DNA against sequence models.

`morvane.utils.sequences` is the native module. The scanning layer on top of it,
`Motif`, `read_motifs` and `scan`, loads on first use, so that importing the
module alone stays light.
"""

from typing import TYPE_CHECKING, Any

__version__ = "0.1.0"

if TYPE_CHECKING:
    from . import scan as _engine, variants as _effects
    from .motifs import Motif as Motif, read_motifs as read_motifs

    class _Scan:
        """`morvane.scan` as checkers see it: the engine module, callable as its scan function."""

        __call__ = staticmethod(_engine.scan)
        iter_hits = staticmethod(_engine.iter_hits)
        Hits = _engine.Hits

        def __getattr__(self, name: str) -> Any: ...

    scan: _Scan

    class _Variants:
        """`morvane.variants` as checkers see it: the module, callable as its variants function."""

        __call__ = staticmethod(_effects.variants)
        iter_variants = staticmethod(_effects.iter_variants)
        VariantHits = _effects.VariantHits

        def __getattr__(self, name: str) -> Any: ...

    variants: _Variants

_LAZY = {"Motif": "motifs", "read_motifs": "motifs", "scan": "scan", "variants": "variants"}


def __getattr__(name: str) -> object:
    if name not in _LAZY:
        raise AttributeError(f"module 'morvane' has no attribute {name!r}")
    import importlib
    module = importlib.import_module(f".{_LAZY[name]}", __name__)
    # `morvane.scan` and `morvane.variants` are modules, callable as their functions.
    return module if name in ("scan", "variants") else getattr(module, name)


def __dir__() -> list[str]:
    return sorted([*globals(), *_LAZY])
