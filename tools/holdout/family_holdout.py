#!/usr/bin/python3
"""Held-out figures for thresholds chosen on labelled clips: leave one family out at a time.

Thresholds picked while looking at a set of clips flatter that set. This tool runs
`firesmoke eval` once per setting of two model.yml keys (a grid), then, for each family of
clips in turn, picks the setting that does best on the other families and judges the family
left out with it. The pooled result is what a setting chosen this way scores on scenes it
was not chosen on.

    /usr/bin/python3 tools/holdout/family_holdout.py --firesmoke build/release/tools/firesmoke/firesmoke \\
        --model models/VEK_FireSmoke_v2.0 --manifest ../shared/data/videos/manifest.csv

"Best" is: most positive clips with an alarm, then fewest negative clips with one, then the
earliest mean first alarm, then the first setting of the grid. The manifest needs the
columns path, label and family. Progress goes to standard error; the last line of standard
output is the held-out summary in words.
"""

import argparse
import csv
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
from dataclasses import dataclass
from typing import Dict, List, Optional, Sequence, Tuple

# The two keys of model.yml that the grid varies, with the section each lives in.
KEYS = (("network", "smoke_full_motion"), ("verifier", "fire_flicker_share"))


@dataclass(frozen=True)
class Clip:
    positive: bool
    family: str


@dataclass(frozen=True)
class Outcome:
    alarm: bool
    first_alarm_s: Optional[float]


@dataclass
class Tally:
    detected: int = 0
    positives: int = 0
    false_alarms: int = 0
    negatives: int = 0
    delays: Tuple[float, ...] = ()

    def add(self, clip: Clip, outcome: Outcome) -> None:
        if clip.positive:
            self.positives += 1
            if outcome.alarm:
                self.detected += 1
                self.delays += (outcome.first_alarm_s or 0.0,)
        else:
            self.negatives += 1
            self.false_alarms += int(outcome.alarm)

    def mean_delay(self) -> float:
        return sum(self.delays) / len(self.delays) if self.delays else 0.0

    def words(self) -> str:
        delay = f"{self.mean_delay():.2f} s" if self.delays else "none"
        return (f"recall {self.detected}/{self.positives}, false alarms {self.false_alarms}/"
                f"{self.negatives}, mean delay {delay}")


def tally(outcomes: Dict[str, Outcome], clips: Dict[str, Clip], paths: Sequence[str]) -> Tally:
    t = Tally()
    for path in paths:
        t.add(clips[path], outcomes[path])
    return t


def rank(t: Tally) -> Tuple[int, int, float]:
    """Smaller is better: most detected, then fewest false alarms, then earliest."""
    return (-t.detected, t.false_alarms, t.mean_delay())


def hold_out(runs: Dict[str, Dict[str, Outcome]], clips: Dict[str, Clip],
             order: Sequence[str]) -> Tuple[Dict[str, str], Tally]:
    """For each family, the setting (a key of @p runs) that ranks best on the other
    families, and the pooled tally of every family judged with the setting chosen
    without it. @p order breaks the last ties (the grid's order)."""
    families = sorted({c.family for c in clips.values()})
    chosen: Dict[str, str] = {}
    pooled = Tally()
    for family in families:
        others = [p for p, c in clips.items() if c.family != family]
        own = [p for p, c in clips.items() if c.family == family]
        best = min(order, key=lambda s: (rank(tally(runs[s], clips, others)), order.index(s)))
        chosen[family] = best
        for path in own:
            pooled.add(clips[path], runs[best][path])
    return chosen, pooled


def read_manifest(path: str) -> Dict[str, Clip]:
    clips: Dict[str, Clip] = {}
    with open(path, newline="") as f:
        reader = csv.DictReader(f)
        missing = {"path", "label", "family"} - set(reader.fieldnames or [])
        if missing:
            raise SystemExit(f"{path}: the manifest lacks the column(s) {', '.join(sorted(missing))}")
        for line, row in enumerate(reader, start=2):
            label, family = (row["label"] or "").strip(), (row["family"] or "").strip()
            if label not in ("fire", "smoke", "fire+smoke", "negative"):
                raise SystemExit(f"{path} line {line}: unknown label '{label}'")
            if not family:
                raise SystemExit(f"{path} line {line}: no family")
            clips[(row["path"] or "").strip()] = Clip(label != "negative", family)
    return clips


def set_key(text: str, section: str, key: str, value: float) -> str:
    """model.yml with @p key of @p section set to @p value; the key must be there."""
    pattern = re.compile(rf"^(\s+){re.escape(key)}:.*$", re.MULTILINE)
    if not pattern.search(text):
        raise SystemExit(f"model.yml has no key '{section}/{key}' to vary; add it with its default first")
    return pattern.sub(lambda m: f"{m.group(1)}{key}: {value}", text, count=1)


def evaluate(firesmoke: str, model: str, manifest: str, work: str, values: Tuple[float, float],
             log) -> Dict[str, Outcome]:
    """Runs `firesmoke eval` on a copy of the model folder with the two keys set."""
    name = "_".join(f"{k}-{v}" for (_, k), v in zip(KEYS, values))
    folder = os.path.join(work, name)
    shutil.rmtree(folder, ignore_errors=True)
    shutil.copytree(model, folder)
    yml = os.path.join(folder, "model.yml")
    with open(yml) as f:
        text = f.read()
    for (section, key), value in zip(KEYS, values):
        text = set_key(text, section, key, value)
    with open(yml, "w") as f:
        f.write(text)
    out = os.path.join(work, name + ".json")
    result = subprocess.run([firesmoke, "eval", "--model", folder, "--manifest", manifest, "--json", out],
                            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    if result.returncode != 0:
        raise SystemExit(f"firesmoke eval failed for {name} (exit {result.returncode})")
    log(f"  {name}: {result.stdout.strip().splitlines()[-1]}")
    with open(out) as f:
        videos = json.load(f)["videos"]
    return {v["path"]: Outcome(bool(v["alarm"]), v["first_alarm_s"]) for v in videos}


def parse_values(text: str) -> List[float]:
    try:
        return [float(v) for v in text.split(",") if v.strip()]
    except ValueError:
        raise argparse.ArgumentTypeError(f"'{text}' is not a comma-separated list of numbers")


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--firesmoke", required=True, help="the firesmoke command line tool")
    parser.add_argument("--model", required=True, help="model folder whose model.yml holds both keys")
    parser.add_argument("--manifest", required=True, help="clips manifest (path,label,family,...)")
    parser.add_argument("--drift", type=parse_values, default=[0.05, 0.1, 0.2, 0.4],
                        help="values of network/smoke_full_motion (default: 0.05,0.1,0.2,0.4)")
    parser.add_argument("--flicker", type=parse_values, default=[0.0, 0.005, 0.01, 0.02, 0.04],
                        help="values of verifier/fire_flicker_share (default: 0,0.005,0.01,0.02,0.04)")
    parser.add_argument("--json", help="write the grid, the choices and the held-out tally here")
    args = parser.parse_args(argv)

    clips = read_manifest(args.manifest)
    log = lambda line: print(line, file=sys.stderr, flush=True)  # noqa: E731
    grid = [(d, f) for d in args.drift for f in args.flicker]
    names = [f"drift {d} flicker {f}" for d, f in grid]
    runs: Dict[str, Dict[str, Outcome]] = {}
    with tempfile.TemporaryDirectory(prefix="family-holdout-") as work:
        for i, (values, name) in enumerate(zip(grid, names), start=1):
            log(f"[{i}/{len(grid)}] {name}")
            runs[name] = evaluate(args.firesmoke, args.model, args.manifest, work, values, log)
    for name in names:
        missing = set(clips) - set(runs[name])
        if missing:
            raise SystemExit(f"{name}: no result for {sorted(missing)[0]} (unreadable clip?)")

    chosen, pooled = hold_out(runs, clips, names)
    print("every setting on every clip (in-sample):")
    for name in names:
        print(f"  {name:28s} {tally(runs[name], clips, list(clips)).words()}")
    print("each family judged with the setting chosen on the others:")
    for family, name in chosen.items():
        own = [p for p, c in clips.items() if c.family == family]
        print(f"  {family:16s} {name:28s} {tally(runs[name], clips, own).words()}")
    if args.json:
        with open(args.json, "w") as f:
            json.dump({"grid": names, "chosen": chosen,
                       "held_out": {"detected": pooled.detected, "positives": pooled.positives,
                                    "false_alarms": pooled.false_alarms, "negatives": pooled.negatives,
                                    "mean_alarm_delay_s": pooled.mean_delay()}}, f, indent=2)
    print(f"held out by family: {pooled.words()}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
