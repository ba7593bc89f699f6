"""Statistics of motif hits: exact PWM p-values, Benjamini-Hochberg q-values, DWM tail estimates.

Matrices are in morvane's code order: rows A, T, C, G (codes 0 to 3), one column per motif position.

The score of a word is the double that scanning produces: the log-odds of its bases added one column
after the other, starting from 0.0. That double is its exact sum rounded a few times, and two words
whose exact sums are equal (a site and its reverse complement under a symmetric matrix) can get
doubles an ulp apart. A p-value therefore counts as ties every word within the proven rounding bound
tau(s) below the query: pvalue(s) = P(scanned score >= s - tau(s)), so both strands of a site share
one p-value, and a hit's own score always counts as "at or above" itself.
"""

from .dwm import TailEstimate, dwm_pvalue, dwm_threshold
from .pwm import PwmNull
from .qvalues import bh_qvalues
from .tables import prepare_all

__all__ = ["PwmNull", "prepare_all", "bh_qvalues", "TailEstimate", "dwm_pvalue", "dwm_threshold"]
