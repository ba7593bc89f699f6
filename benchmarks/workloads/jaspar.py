"""Every JASPAR CORE vertebrate matrix of pyjaspar's newest release (1019 in JASPAR2026) on the 21 Mbp
benchmark genome, both strands: the whole `morvane scan` command, from the motif file to its BED file,
against FIMO, MOODS and memelite at p = 1e-4, and at p = 1e-3 against itself at p = 1e-4; the
command's peak resident memory at both."""

from __future__ import annotations

import os
from typing import Any

from inputs import jaspar_motifs
from harness import Command, Context, Row, fmt_time, hit_lines, race, say
from peers import FimoJob, memelite, meme_scan, moods, moods_scan, pymemesuite
from workloads.scan import peer_rows

# FIMO scans some 7 Mbp a second per motif here (about 50 minutes for the whole job), too long for
# a bench run: it scans every FIMO_EVERY-th matrix and its time is scaled to all of them.
FIMO_EVERY = 40


def bench_scan_jaspar(ctx: Context) -> list[Row]:
    motifs, why = jaspar_motifs()
    if motifs is None:
        label = "morvane scan, JASPAR CORE vertebrates, 21 Mbp, p=1e-4, BED out, 1 thread"
        say("all JASPAR matrices: skipped, " + why)
        return [Row(label, None, "-", None, "time", 0.5, note=why)]
    n = len(motifs)
    say(f"all JASPAR matrices: {motifs.source}, 21 Mbp, both strands, the whole command ...")
    fasta = ctx.genome(21)
    folder = ctx.folder("jaspar")
    motifs_file = motifs.write_jaspar(folder / "core-vertebrates.jaspar")
    strict, loose = (Command(fasta, motifs_file, str(folder / f"hits-{p}.bed"), "--pvalue", p) for p in ("1e-4", "1e-3"))
    # the p=1e-3 job again with its 4 GB of text thrown away: what the job costs without the page
    # cache, whose cost on these VMs swings several-fold from run to run
    discarded = Command(fasta, motifs_file, os.devnull, "--pvalue", "1e-3")
    label = f"morvane scan, {n} JASPAR CORE vertebrates, 21 Mbp, p=1e-4, BED out, 1 thread"

    hits: dict[str, int] = {}
    peers = [moods(), memelite()]
    fimo = pymemesuite()
    # both sides of the p=1e-3 / p=1e-4 ratio take the best of as many runs
    entries: list[tuple[Any, int]] = [(strict, 2), (loose, 2), (discarded, 1)]
    for p in peers:
        if p.module is not None:
            scan = moods_scan if p.label.startswith("MOODS") else meme_scan
            entries.append((lambda p=p, scan=scan: hits.__setitem__(p.label, scan(p.module, fasta, motifs, 1e-4)), 1))
    share = list(range(0, n, FIMO_EVERY))
    fimo_label = f"FIMO (pymemesuite), every {FIMO_EVERY}th matrix ({len(share)}) x {n / len(share):.1f}"
    if fimo.module is not None:
        say(f"  FIMO: loading the genome and the {n} matrices ...")
        job = FimoJob(fimo.module, fasta, motifs, folder, 1e-4)
        entries.append((lambda: hits.__setitem__("FIMO share", job.scan(share)), 1))
    times = race(*entries, warm=False)
    t_strict, t_loose, t_discarded = times.pop(0), times.pop(0), times.pop(0)
    found = {f"morvane p={c.argv[-1]}": hit_lines(c.out) for c in (strict, loose) if not c.error}
    say("  hits: " + ", ".join(f"{k} {v:,}" for k, v in {**found, **hits}.items()))
    rows = []
    if fimo.module is None:
        rows.append(Row(label, t_strict, fimo_label, None, "time", 0.05, note=fimo.why))
    else:
        t_fimo = times.pop() * n / len(share)
        say(f"  FIMO on {len(share)} matrices: {fmt_time(t_fimo * len(share) / n)}, scaled to {n}: {fmt_time(t_fimo)}")
        rows.append(Row(label, t_strict, fimo_label, t_fimo, "time", 0.05))
    rows += peer_rows(label, t_strict, peers, times)
    for row in rows:
        strict.settle(row)
    loose_label = f"morvane scan, {n} JASPAR CORE vertebrates, 21 Mbp, p=1e-3, BED out, 1 thread"
    row = Row(loose_label, t_loose, "the same at p=1e-4", t_strict, "time", 3.0)
    if loose.settle(row) and strict.settle(row):
        row.note = f"{found['morvane p=1e-3']:,} hits"
    rows.append(row)
    row = Row(f"{loose_label}, to {os.devnull}", t_discarded, "the same at p=1e-4", t_strict, "time", None)
    discarded.settle(row)
    rows.append(row)
    rows.append(strict.memory_row(f"peak RSS, {label.removeprefix('morvane ')}"))
    rows.append(loose.memory_row(f"peak RSS, {loose_label.removeprefix('morvane ')}"))
    return rows


WORKLOADS = {"scan_jaspar": bench_scan_jaspar}
