"""The native lattice recursions the statistics call: every call of the package goes through here."""

from .._stats import best_first, lattice_bracket, lattice_tails, lattice_words, read_off

__all__ = ["best_first", "lattice_bracket", "lattice_tails", "lattice_words", "read_off"]
