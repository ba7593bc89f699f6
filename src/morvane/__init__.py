"""morvane: fast building blocks for scoring DNA against sequence models.

`morvane.utils.sequences` is the native module. The scanning layer on top of it,
`Motif`, `read_motifs` and `scan`, loads on first use, so that importing the
module alone does not import Biopython.
"""

__version__ = "0.1.0"

_LAZY = {"Motif": "motifs", "read_motifs": "motifs", "scan": "scan"}


def __getattr__(name):
    if name not in _LAZY:
        raise AttributeError(f"module 'morvane' has no attribute {name!r}")
    import importlib
    module = importlib.import_module(f".{_LAZY[name]}", __name__)
    # `morvane.scan` is the engine module, callable as the scan function itself.
    return module if name == "scan" else getattr(module, name)


def __dir__():
    return sorted([*globals(), *_LAZY])
