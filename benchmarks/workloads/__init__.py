"""One module per workload; each names its workloads in WORKLOADS (name -> function of a
harness.Context returning rows). ORDER is the order of a whole run: the quick rows first, the
genome-sized ones after."""

from workloads import coding, counting, dwm, dwm_scan, gc, hits, jaspar, pwm, scan, scan_memory, stats

ORDER = (pwm, dwm, coding, gc, counting, scan, dwm_scan, stats, hits, jaspar, scan_memory)

WORKLOADS = {name: fn for module in ORDER for name, fn in module.WORKLOADS.items()}
