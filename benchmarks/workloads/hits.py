"""The hits-heavy job: 10 motifs of widths 8 to 20 at p = 1e-2 on the 21 Mbp benchmark genome (some
4 million hits). The whole `morvane scan` command against the bare native scan, its peak resident
memory, and the lines per second of the command's BED writer."""

from __future__ import annotations

from data import random_motifs
from harness import Command, Context, Row, fmt_time, hit_lines, race, say
from workloads.scan import BareScan

P = 1e-2
WIDTHS = (8, 9, 10, 12, 13, 14, 16, 17, 18, 20)


def bench_scan_hits(ctx: Context) -> list[Row]:
    import morvane
    from morvane.cli import main

    say("hits-heavy job: 10 motifs of widths 8 to 20, p = 1e-2, 21 Mbp, both strands ...")
    fasta = ctx.genome(21)
    folder = ctx.folder("hits")
    motifs = random_motifs(ctx.rng, WIDTHS)
    motifs_file = motifs.write_jaspar(folder / "motifs.jaspar")
    out = str(folder / "hits.bed")
    command = Command(fasta, motifs_file, out, "--pvalue", f"{P:g}")
    bare = BareScan.at(fasta, motifs, P)
    label = "morvane scan, 10 motifs w8-20, 21 Mbp, p=1e-2, BED out, 1 thread"
    row = Row(label, None, "bare native scan (Scanner over the chunks)", None, "time", 10.0)
    row.ours, row.base = race((command, 2), (bare, 3), warm=False)
    hits = hit_lines(out)
    if hits != bare():
        row.checks.append("hit count differs from the bare scan's")
    row.note = f"{hits:,} hits"
    say(f"  {hits:,} hits: the command {fmt_time(row.ours)}, the bare scan {fmt_time(row.base)}")
    rows = [row, command.memory_row(f"peak RSS, {label.removeprefix('morvane ')}")]

    # The writer is what the command does beyond iter_hits with the same arguments: both are timed
    # in this process, taking turns, and the writer's time is their difference.
    read = morvane.read_motifs(motifs_file)
    options = dict(pvalue=P, threshold=None, regions=None, strand="both", model="pwm", background="uniform",
                   threads=1, progress=False)

    def tables() -> int:
        return sum(len(t) for t in morvane.scan.iter_hits(fasta, read, qvalue=False, **options))

    t_command, t_tables = race((lambda: main(command.argv), 3), (tables, 3), warm=False)
    writer = Row.budget(f"BED writer of morvane scan ({hits:,} lines, 1 core), per million lines", 1.0)
    writer.baseline = "budget of 1 s (1M lines/s)"
    if t_command > t_tables:
        writer.ours = (t_command - t_tables) / hits * 1e6
        writer.note = (f"{hits / (t_command - t_tables):,.0f} lines/s: the command {fmt_time(t_command)} "
                       f"less iter_hits alone {fmt_time(t_tables)}")
    else:
        writer.note = f"iter_hits alone ({fmt_time(t_tables)}) took as long as the command ({fmt_time(t_command)})"
    say(f"  {writer.note}")
    return rows + [writer]


WORKLOADS = {"scan_hits": bench_scan_hits}
