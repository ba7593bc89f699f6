"""Utilities of morvane; the extension module `morvane.utils.sequences` lives here."""
