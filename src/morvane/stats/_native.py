"""The native lattice recursions the statistics call: every call of the package goes through here."""

from .._stats import SUBSTEPS, best_first, fine_table, lattice_bracket, lattice_tails, lattice_words, read_off

__all__ = ["SUBSTEPS", "best_first", "fine_table", "lattice_bracket", "lattice_tails", "lattice_words", "read_off"]
