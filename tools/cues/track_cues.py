#!/usr/bin/python3
"""Does a cue tell the fire clips from the negative clips that alarm? Measure it first.

Runs `firesmoke detect` on every clip of a manifest and measures, inside each reported
fire box, cues that the literature proposes for telling flames from fire-coloured
objects. Each clip gets the median of each cue over its fire boxes. For each cue the
tool then reports the range over the fire clips, the range over the negative clips that
alarmed, and how many fire clips fall inside the negatives' range: when none does, one
threshold on the cue would silence those negatives and keep every fire clip.

    /usr/bin/python3 tools/cues/track_cues.py --firesmoke build/release/tools/firesmoke/firesmoke \\
        --model models/VEK_FireSmoke_v2.0 --manifest ../shared/data/videos/manifest.csv \\
        --images ../shared/data

Cues, over the box's flame-coloured pixels (the detector's colour rule, with the model's
thresholds) at the working width of 320 pixels:
  flame_share      share of the box's pixels that have flame colour
  flicker_share    share of them whose brightness keeps reversing (the flicker map's rule,
                   rate >= 96 of 255)
  brightness_std   spread of their brightness (R+G+B)
  hue_brightness   correlation of G/R with brightness: flames grow yellower where they are
                   brighter, a dyed surface keeps its hue under shading
  upward           share of the moving ones whose optical flow, relative to the frame's
                   median flow, points up (flames rise)
  coherence        |mean flow| / mean |flow| of the moving ones: 1 for a rigid move
  texture          mean |Laplacian| of their red channel over their mean red: flame tongues
                   and embers are rough, a dyed cloth is smooth between its folds
and over all the box's pixels:
  hot_core         share of bright yellow pixels (R >= 220, G >= 190, R - B >= 40): a flame
                   emits light and its core saturates the camera yellow to white, a lit
                   orange surface reflects little green
and per clip: longest_run_s, the longest stretch of frames with a detection (gaps of up
to 3 frames closed); drift, the median distance that the largest fire box's centre moves
in 0.5 s, in box sizes (a fire stays where its fuel is, a cloth is waved about); and what
an alarm would score if raised only once detections had lasted 0.5, 1, 1.5 or 2 s. A cue
picked by looking at these clips flatters them: this tool says whether a cue is worth testing
on other footage, not what it will score there.

With --images DATA (the folder with images/fire-8 and images/extra), the cues that a still
image has are also measured in every boxed fire of those sets, and the tool reports the share
of them that lie below and above the fire clips' range: fires from other scenes that a
threshold drawn between the clips' fires and their negatives would put on the wrong side.
Progress goes to standard error; the last line of standard output sums up.
"""

import argparse
import csv
import json
import math
import os
import subprocess
import sys
from typing import Dict, List, Optional, Sequence, Tuple

import cv2
import numpy as np

WORK_WIDTH = 320
CUES = ("flame_share", "flicker_share", "brightness_std", "hue_brightness", "upward", "coherence",
        "hot_core", "texture")
CLIP_CUES = ("longest_run_s", "drift")
STILL_CUES = ("flame_share", "hot_core", "brightness_std", "hue_brightness", "texture")
HOT_RED, HOT_GREEN, HOT_RED_BLUE = 220, 190, 40
DRIFT_LAG_S = 0.5
FLICKER_MIN_STEP, FLICKER_GAIN, FLICKER_RATE = 6, 32, 96
MOVING_FLOW = 0.3  # pixels per frame
HOLDS = (0.5, 1.0, 1.5, 2.0)  # seconds of detections before an alarm


# The detector's flame colour rule: R >= G > B, R and R - B at least these (model.yml's
# colour/fire_min_red and colour/fire_min_red_blue, with their defaults).
FLAME = {"fire_min_red": 150, "fire_min_red_blue": 70}


def flame_mask(bgr: np.ndarray, rule: Dict[str, int] = FLAME) -> np.ndarray:
    """Pixels of flame colour by the detector's rule."""
    b, g, r = (bgr[..., i].astype(np.int32) for i in range(3))
    return (r >= rule["fire_min_red"]) & (r >= g) & (g > b) & (r - b >= rule["fire_min_red_blue"])


def read_flame_rule(model: str) -> Dict[str, int]:
    """The flame colour thresholds of the model folder's model.yml, defaults where unset."""
    storage = cv2.FileStorage(os.path.join(model, "model.yml"), cv2.FILE_STORAGE_READ)
    if not storage.isOpened():
        raise SystemExit(f"cannot read {os.path.join(model, 'model.yml')}")
    rule = dict(FLAME)
    colour = storage.getNode("colour")
    if colour.empty():
        return rule
    for key in rule:
        node = colour.getNode(key)
        if not node.empty():
            rule[key] = int(node.real())
    return rule


class Flicker:
    """The flicker map's per-pixel reversal rate, as the detector computes it."""

    def __init__(self) -> None:
        self.direction: Optional[np.ndarray] = None
        self.rate: Optional[np.ndarray] = None

    def update(self, gray: np.ndarray, previous: Optional[np.ndarray]) -> np.ndarray:
        if previous is None or self.rate is None or self.rate.shape != gray.shape:
            self.direction = np.zeros(gray.shape, np.int32)
            self.rate = np.zeros(gray.shape, np.int32)
            return self.rate
        step = gray.astype(np.int32) - previous.astype(np.int32)
        up, down = step >= FLICKER_MIN_STEP, step <= -FLICKER_MIN_STEP
        reversed_ = (up & (self.direction < 0)) | (down & (self.direction > 0))
        self.rate = np.minimum(255, self.rate - (self.rate + 7) // 8 + FLICKER_GAIN * reversed_)
        self.direction = np.where(up, 1, np.where(down, -1, self.direction))
        return self.rate


def working_copy(frame: np.ndarray) -> Tuple[np.ndarray, float]:
    """@p frame area-averaged to the working width, and the scale from frame to copy."""
    scale = WORK_WIDTH / frame.shape[1]
    return cv2.resize(frame, (WORK_WIDTH, max(1, round(frame.shape[0] * scale))),
                      interpolation=cv2.INTER_AREA), scale


def box_cues(work: np.ndarray, rate: Optional[np.ndarray], flow: Optional[np.ndarray],
             box: Sequence[int], rule: Dict[str, int] = FLAME) -> Optional[Dict[str, float]]:
    """Cues of one box (working-frame pixels); None when it holds too little flame colour.
    Without @p rate (a still image) there is no flicker_share, without @p flow no flow cues."""
    x, y, w, h = (int(v) for v in box)
    x0, y0 = max(x, 0), max(y, 0)
    roi = work[y0:y + h, x0:x + w]
    if roi.size == 0:
        return None
    flame = flame_mask(roi, rule)
    if flame.sum() < 20:
        return None
    hot = ((roi[..., 2] >= HOT_RED) & (roi[..., 1] >= HOT_GREEN) &
           (roi[..., 2].astype(np.int32) - roi[..., 0] >= HOT_RED_BLUE))
    roughness = np.abs(cv2.Laplacian(roi[..., 2].astype(np.float32), cv2.CV_32F, ksize=3))[flame]
    b, g, r = (roi[..., i].astype(np.float64)[flame] for i in range(3))
    brightness = b + g + r
    hue = g / np.maximum(r, 1.0)
    cues = {
        "flame_share": float(flame.mean()),
        "hot_core": float(hot.mean()),
        "brightness_std": float(brightness.std()),
        "hue_brightness": (float(np.corrcoef(brightness, hue)[0, 1])
                           if brightness.std() > 0 and hue.std() > 0 else 0.0),
        "texture": float(roughness.mean() / max(r.mean(), 1.0)),
    }
    if rate is not None:
        cues["flicker_share"] = float((rate[y0:y + h, x0:x + w][flame] >= FLICKER_RATE).mean())
    if flow is not None:
        background = np.median(flow.reshape(-1, 2), axis=0)
        v = flow[y0:y + h, x0:x + w][flame] - background
        speed = np.linalg.norm(v, axis=1)
        moving = v[speed > MOVING_FLOW]
        if len(moving) >= 20:
            cues["upward"] = float((moving[:, 1] < 0).mean())
            cues["coherence"] = float(np.linalg.norm(moving.mean(axis=0)) /
                                      np.linalg.norm(moving, axis=1).mean())
    return cues


def stretches(frames: Sequence[int], gap: int = 3) -> List[List[int]]:
    """@p frames (sorted) cut into stretches wherever more than @p gap frames are missing."""
    out: List[List[int]] = []
    for f in frames:
        if not out or f - out[-1][-1] > gap + 1:
            out.append([])
        out[-1].append(f)
    return out


def longest_run(frames: Sequence[int], gap: int = 3) -> int:
    """Frames spanned by the longest stretch of @p frames (sorted) with gaps of at most @p gap."""
    return max((s[-1] - s[0] + 1 for s in stretches(frames, gap)), default=0)


def first_sustained(frames: Sequence[int], fps: float, hold_s: float, gap: int = 3) -> Optional[float]:
    """Time (s) at which detections have lasted @p hold_s, gaps of at most @p gap frames
    closed; None when they never do. An alarm raised only then."""
    for s in stretches(frames, gap):
        for f in s:
            if (f - s[0]) / fps >= hold_s:
                return f / fps
    return None


def drift(fire: Dict[int, List[List[int]]], fps: float, lag_s: float = DRIFT_LAG_S) -> Optional[float]:
    """Median distance that the centre of the largest fire box moves in @p lag_s, in units of
    the larger box's size (square root of its area); None without two frames that far apart."""
    centres = {}
    for frame, boxes in fire.items():
        x, y, w, h = max(boxes, key=lambda b: b[2] * b[3])
        centres[frame] = (x + w / 2.0, y + h / 2.0, float(np.sqrt(max(w * h, 1))))
    lag = max(1, round(fps * lag_s))
    moves = [np.hypot(a[0] - b[0], a[1] - b[1]) / max(a[2], b[2])
             for f, a in centres.items() for b in [centres.get(f + lag)] if b is not None]
    return float(np.median(moves)) if moves else None


def separation(fire: Sequence[float], alarmed: Sequence[float]) -> Dict[str, object]:
    """Ranges of a cue over fire clips and alarmed negatives; fire clips inside the latter."""
    if not fire or not alarmed:
        return {"fire": None, "negatives": None, "fire_inside": None}
    lo, hi = min(alarmed), max(alarmed)
    return {"fire": [min(fire), max(fire)], "negatives": [lo, hi],
            "fire_inside": sum(1 for v in fire if lo <= v <= hi)}


def clip_cues(path: str, detections: Dict[int, List[List[int]]],
              rule: Dict[str, int] = FLAME) -> Dict[str, float]:
    """Median of each cue over the clip's fire boxes."""
    capture = cv2.VideoCapture(path)
    flicker, previous, samples = Flicker(), None, {c: [] for c in CUES}
    index = 0
    while True:
        ok, frame = capture.read()
        if not ok:
            break
        work, scale = working_copy(frame)
        gray = cv2.cvtColor(work, cv2.COLOR_BGR2GRAY)
        rate = flicker.update(gray, previous)
        boxes = detections.get(index, [])
        if boxes:
            flow = (cv2.calcOpticalFlowFarneback(previous, gray, None, 0.5, 2, 9, 2, 5, 1.1, 0)
                    if previous is not None else None)
            for box in boxes:
                cues = box_cues(work, rate, flow, [round(v * scale) for v in box], rule)
                for name, value in (cues or {}).items():
                    samples[name].append(value)
        previous = gray
        index += 1
    return {c: float(np.median(v)) for c, v in samples.items() if v}


def image_fire_cues(data_root: str, rule: Dict[str, int] = FLAME) -> List[Tuple[str, Dict[str, float]]]:
    """Still-image cues of every boxed fire in the boxed image sets under @p data_root, with
    the set each comes from; each image scaled to the working width, as a frame would be."""
    sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "train"))
    import train  # the trainer's reader of the image sets and their label orders

    out = []
    samples = [s for s in train.collect_samples(data_root) if s.boxes[train.FIRE]]
    for i, sample in enumerate(samples, start=1):
        if i % 500 == 0 or i == len(samples):
            print(f"images: {i}/{len(samples)}", file=sys.stderr, flush=True)
        image = cv2.imread(sample.path)
        if image is None:
            print(f"cannot read {sample.path}, skipped", file=sys.stderr)
            continue
        work, _ = working_copy(image)
        height, width = work.shape[:2]
        for x0, y0, x1, y1 in sample.boxes[train.FIRE]:
            box = [math.floor(x0 * width), math.floor(y0 * height),
                   math.ceil((x1 - x0) * width), math.ceil((y1 - y0) * height)]
            cues = box_cues(work, None, None, box, rule)
            if cues is not None:
                out.append((sample.source, cues))
    return out


def outside_share(values: Sequence[float], lo: float, hi: float) -> Tuple[float, float]:
    """Shares of @p values below @p lo and above @p hi."""
    a = np.asarray(values, np.float64)
    return (float((a < lo).mean()), float((a > hi).mean())) if len(a) else (0.0, 0.0)


def detect(firesmoke: str, model: str, clip: str) -> Tuple[Dict[int, List[List[int]]], List[int]]:
    """Fire boxes per frame, and the frames with any detection, from `firesmoke detect`."""
    out = subprocess.run([firesmoke, "detect", "--model", model, clip], check=True,
                         stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True).stdout
    fire, any_frames = {}, []
    for line in out.splitlines():
        record = json.loads(line)
        if record["detections"]:
            any_frames.append(record["frame"])
        boxes = [d["box"] for d in record["detections"] if d["class_id"] == 0]
        if boxes:
            fire[record["frame"]] = boxes
    return fire, any_frames


def main(argv: Optional[Sequence[str]] = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--firesmoke", required=True, help="the firesmoke command")
    parser.add_argument("--model", required=True, help="model folder")
    parser.add_argument("--manifest", required=True, help="CSV with path, label and fps columns")
    parser.add_argument("--json", help="write the per-clip cues and the ranges here")
    parser.add_argument("--images", metavar="DATA",
                        help="also measure the still cues in the boxed fires of DATA/images")
    args = parser.parse_args(argv)

    rule = read_flame_rule(args.model)
    folder = os.path.dirname(os.path.abspath(args.manifest))
    with open(args.manifest, newline="") as f:
        rows = list(csv.DictReader(f))
    clips = []
    for i, row in enumerate(rows, start=1):
        print(f"[{i}/{len(rows)}] {row['path']}", file=sys.stderr, flush=True)
        path = os.path.join(folder, row["path"])
        fire, frames = detect(args.firesmoke, args.model, path)
        fps = float(row.get("fps") or 25.0)
        clip = {"path": row["path"], "label": row["label"], "alarm": bool(frames),
                "held_alarm_s": {str(h): first_sustained(frames, fps, h) for h in HOLDS},
                "longest_run_s": longest_run(frames) / fps, "drift": drift(fire, fps),
                "cues": clip_cues(path, fire, rule) if fire else {}}
        clips.append(clip)
        print(f"{row['label']:10s} {row['path']:36s} " +
              ("no detection" if not frames else
               f"longest run {clip['longest_run_s']:5.2f} s  " +
               ("" if clip["drift"] is None else f"drift={clip['drift']:.3f} ") +
               " ".join(f"{c}={clip['cues'][c]:.3f}" for c in CUES if c in clip["cues"])))

    positive = [c for c in clips if c["label"] != "negative" and c["alarm"]]
    alarmed = [c for c in clips if c["label"] == "negative" and c["alarm"]]
    ranges = {}
    for cue in CUES + CLIP_CUES:
        value = (lambda c: c[cue]) if cue in CLIP_CUES else (lambda c: c["cues"].get(cue))
        fire_values = [value(c) for c in positive if value(c) is not None]
        neg_values = [value(c) for c in alarmed if value(c) is not None]
        ranges[cue] = separation(fire_values, neg_values)
        r = ranges[cue]
        if r["fire"] is not None:
            print(f"{cue:15s} fire clips {r['fire'][0]:.3f}..{r['fire'][1]:.3f}, alarmed negatives "
                  f"{r['negatives'][0]:.3f}..{r['negatives'][1]:.3f}: {r['fire_inside']} of "
                  f"{len(fire_values)} fire clips inside")
    for hold in HOLDS:
        times = [c["held_alarm_s"][str(hold)] for c in clips if c["label"] != "negative"]
        found = [t for t in times if t is not None]
        false_alarms = sum(1 for c in clips
                           if c["label"] == "negative" and c["held_alarm_s"][str(hold)] is not None)
        print(f"alarm after {hold} s of detections: recall {len(found)}/{len(times)}, false alarms "
              f"{false_alarms}/{len(clips) - len(times)}, mean delay "
              f"{(sum(found) / len(found)) if found else 0.0:.2f} s")
    images = {}
    if args.images:
        boxes = image_fire_cues(args.images, rule)
        sources = sorted({source for source, _ in boxes})
        for cue in STILL_CUES:
            r = ranges[cue]
            if r["fire"] is None:
                continue
            per_source = {src: outside_share([c[cue] for s, c in boxes if s == src], *r["fire"])
                          for src in sources}
            below, above = outside_share([c[cue] for _, c in boxes], *r["fire"])
            images[cue] = {"boxes": len(boxes), "below": below, "above": above, "sources": per_source}
            print(f"{cue:15s} image fire boxes outside the fire clips' range {r['fire'][0]:.3f}.."
                  f"{r['fire'][1]:.3f}: {below:.1%} below, {above:.1%} above, of {len(boxes)} (" +
                  ", ".join(f"{src} {b:.0%}/{a:.0%}" for src, (b, a) in per_source.items()) + ")")
    if args.json:
        with open(args.json, "w") as f:
            json.dump({"clips": clips, "ranges": ranges, "images": images}, f, indent=1)
    separating = [c for c, r in ranges.items() if r["fire_inside"] == 0]
    print(f"{len(alarmed)} negative clips alarm; cues that set all of them apart from the "
          f"{len(positive)} fire clips that alarm: {', '.join(separating) or 'none'}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
