#!/usr/bin/python3
"""Write the development clips of one fold of families as a manifest of their own.

A network trained with `train.py --clip-fold I/N` has seen frames of every family outside
fold I. Only fold I's clips may judge it:

    /usr/bin/python3 tools/train/fold_manifest.py --manifest ../shared/data/videos/manifest.csv \\
        --fold 0/2 --out /tmp/fold0.csv
    build/release/tools/firesmoke/firesmoke eval --model DIR --manifest /tmp/fold0.csv

Paths in the written manifest are absolute, so it may live anywhere. The last line of
standard output names the families and counts the clips.
"""

import argparse
import csv
import sys
from typing import Optional, Sequence

from train import family_fold, parse_fold, read_manifest


def main(argv: Optional[Sequence[str]] = None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--manifest", required=True, help="CSV with the columns path, label and family")
    ap.add_argument("--fold", required=True, type=parse_fold, metavar="I/N", help="the fold to write")
    ap.add_argument("--out", required=True, help="manifest to write")
    args = ap.parse_args(argv)

    held, folds = args.fold
    fields, rows = read_manifest(args.manifest)
    rows = [r for r in rows if family_fold(r["family"], folds) == held]
    with open(args.out, "w", newline="", encoding="utf-8") as fh:
        writer = csv.DictWriter(fh, fieldnames=fields)
        writer.writeheader()
        writer.writerows(rows)
    negatives = sum(r["label"] == "negative" for r in rows)
    families = sorted({r["family"] for r in rows})
    print(f"fold {held} of {folds}: {len(rows)} clips ({len(rows) - negatives} with fire, "
          f"{negatives} negative) of the families {', '.join(families)}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
