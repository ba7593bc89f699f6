"""`morvane build SITES -o MODEL`: train DWM motifs from aligned sites and save them.

    morvane build SITES [--format FMT] [--pseudocount P] [--background uniform|a,c,g,t] -o MODEL

SITES is any sites file `read_motifs` reads (JASPAR .sites, one site per line, or a
motif file whose records carry their sites); MODEL is a model file (morvane.models).
"""

import argparse
from typing import Any


def add_build_parser(subparsers: Any) -> argparse.ArgumentParser:
    """The `build` subcommand on an argparse subparsers object; its `run` default is run_build."""
    build: argparse.ArgumentParser = subparsers.add_parser(
        "build", help="train DWM motifs from aligned sites into a model file",
        description="Count the aligned sites of SITES into dinucleotide models (one per motif of the "
                    "file) and write them to a model file that `morvane scan --model dwm` reads.")
    build.add_argument("sites", help="aligned sites: JASPAR .sites, one site per line, ...")
    build.add_argument("-o", "--output", required=True, help="model file to write (.npz)")
    build.add_argument("--format", help="sites file format (default: guessed)")
    build.add_argument("--pseudocount", type=float, default=1.0,
                       help="pseudo-count of the motif's PWM (default 1)")
    build.add_argument("--background", default="uniform",
                       help="uniform (default) or four probabilities a,c,g,t")
    build.set_defaults(run=run_build)
    return build


def run_build(args: argparse.Namespace, argv: list[str] | None = None) -> int:
    from .models import save_models
    from .motifs import read_motifs
    from .output import Output

    output = Output(args.output, [("the sites file", args.sites)])    # refused before anything is read
    motifs = read_motifs(args.sites, args.format)
    for motif in motifs:
        if motif.sites is None:
            raise ValueError(f"{args.sites}: motif {motif.id!r} has no aligned sites to train a DWM from")
    background: Any = args.background
    if background != "uniform":
        try:
            background = [float(v) for v in background.split(",")]
        except ValueError:
            raise ValueError(f"--background: expected uniform or a,c,g,t, got {args.background!r}") from None
    if args.pseudocount != 1.0 or background != "uniform":
        motifs = [type(motif)(motif.name, motif.counts, id=motif.id, pseudocount=args.pseudocount,
                              background=background, sites=motif.sites) for motif in motifs]
    save_models(output, motifs)
    return 0
