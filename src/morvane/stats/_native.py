"""The native lattice recursions the statistics call: every call of the package goes through here."""

from .. import _scan

lattice_bracket = _scan._lattice_bracket
lattice_words = _scan._lattice_words
lattice_tails = _scan._lattice_tails
best_first = _scan._best_first
