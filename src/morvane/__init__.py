"""morvane: fast building blocks for scoring DNA against sequence models."""

__version__ = "0.1.0"
