"""The hits-heavy job: 10 motifs of widths 8 to 20 at p = 1e-2 on the 21 Mbp benchmark genome (some
4 million hits). The whole `morvane scan` command against the bare native scan, its peak resident
memory, and the lines per second of the command's BED writer."""

from __future__ import annotations

from pathlib import Path

from inputs import random_motifs
from harness import Command, Context, Row, fmt_time, hit_lines, race, run_child, say
from workloads.scan import BareScan

P = 1e-2
WIDTHS = (8, 9, 10, 12, 13, 14, 16, 17, 18, 20)
WRITER_WIDTHS = (8, 8, 9, 9, 10, 10, 11, 11, 12, 12)


def bench_scan_hits(ctx: Context) -> list[Row]:
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
    rows = [row, command.memory_row(f"peak RSS, {label.removeprefix('morvane ')}")]
    if command.settle(row):
        hits = hit_lines(out)
        if hits != bare():
            row.checks.append("hit count differs from the bare scan's")
        row.note = f"{hits:,} hits"
        say(f"  {hits:,} hits: the command {fmt_time(row.ours)}, the bare scan {fmt_time(row.base)}")
    else:
        say(f"  the command failed: {command.error}")
    return rows + [bench_writer(ctx, fasta, folder)]


def bench_writer(ctx: Context, fasta: str, folder: Path) -> Row:
    """The command's writer is what it does beyond iter_hits with the same arguments: both run in
    children (the same start-up), taking turns, and the writer's time is their difference. Narrow
    motifs keep the hits' p-values cheap, so that the difference is mostly writing."""
    motifs_file = random_motifs(ctx.rng, WRITER_WIDTHS).write_jaspar(folder / "writer.jaspar")
    command = Command(fasta, motifs_file, str(folder / "writer.bed"), "--pvalue", f"{P:g}")
    tables = Tables(fasta, motifs_file)
    t_command, t_tables = race((command, 2), (tables, 2), warm=False)
    writer = Row.budget("BED writer of morvane scan, 10 motifs w8-12, p=1e-2, 1 core, per million lines", 1.0)
    writer.baseline = "budget of 1 s (1M lines/s)"
    if not command.settle(writer) or tables.error:
        writer.note = writer.note or tables.error
        return writer
    hits = hit_lines(command.out)
    if t_command > t_tables:
        writer.ours = (t_command - t_tables) / hits * 1e6
        writer.note = (f"{hits / (t_command - t_tables):,.0f} lines/s over {hits:,} lines: the command "
                       f"{fmt_time(t_command)} less iter_hits alone {fmt_time(t_tables)}")
    else:
        writer.note = f"iter_hits alone ({fmt_time(t_tables)}) took as long as the command ({fmt_time(t_command)})"
    say(f"  writer: {writer.note}")
    return writer


# iter_hits with the arguments the command gives it, its tables dropped as they come.
TABLES_CHILD = """
import morvane
motifs = morvane.read_motifs(sys.argv[2])
print(sum(len(t) for t in morvane.scan.iter_hits(sys.argv[1], motifs, pvalue=float(sys.argv[3]), background="uniform")))
"""


class Tables:
    def __init__(self, fasta: str, motifs_file: str) -> None:
        self.args = (fasta, motifs_file, f"{P:g}")
        self.error = ""

    def __call__(self) -> None:
        run = run_child(TABLES_CHILD, *self.args)
        if run.peak is None:
            self.error = f"iter_hits failed: {run.error}"


WORKLOADS = {"scan_hits": bench_scan_hits}
