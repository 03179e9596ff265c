#!/usr/bin/python3
"""Train the fire/smoke grid network and export it for the detector.

The network maps a 384x224 BGR frame (values pixel/255, plain resize) to a 2x14x24 grid of
sigmoid probabilities: channel 0 fire, channel 1 smoke, one cell per 16x16 input pixels.

One command builds the dataset, trains, exports ONNX (readable by OpenCV 4.6), checks the
export with cv2.dnn and writes the side-car firesmoke_grid.yml:

    /usr/bin/python3 tools/train/train.py --data ../shared/data --out models/VEK_FireSmoke_v2.0

See README.md beside this file for the split rule, the targets and the loss.
"""

import argparse
import csv
import hashlib
import math
import os
import random
import sys
import time
from dataclasses import dataclass, field
from typing import Dict, List, Optional, Tuple

import cv2
import numpy as np
import torch
import torch.nn as nn
import torch.nn.functional as F

INPUT_W, INPUT_H = 384, 224
CELL = 16
GRID_W, GRID_H = INPUT_W // CELL, INPUT_H // CELL
FIRE, SMOKE = 0, 1
CLASS_NAMES = ("fire", "smoke")

# Label states of one class on one image.
BOXED = "boxed"  # boxes given: cell targets and image target are known
IMAGE_POS = "image_pos"  # image-level positive only: cells unknown, max over grid must fire
NEGATIVE = "negative"  # nothing of that class anywhere in the image
UNKNOWN = "unknown"  # not annotated for that class
PARTIAL = "partial"  # not annotated, but assumed absent away from the other class's boxes

# A cell is positive when a box covers at least this share of it (or its centre); a cell
# that a box covers by more than GRAZE_COVER but is not positive is left out of the loss.
POS_COVER = 0.30
GRAZE_COVER = 0.02
VAL_PERCENT = 20


@dataclass
class Sample:
    path: str
    source: str  # e.g. "fire-8", "extra/indoor-fire", "fire-images/normal"
    group: str  # split unit: every image of one group lands on the same side
    boxes: List[List[Tuple[float, float, float, float]]]  # per class, normalised x0,y0,x1,y1
    state: List[str]  # per class label state
    weight: float = 1.0  # loss weight of the whole image (hard negatives weigh more)
    hard_negative: bool = False
    val: bool = False
    extra_info: Dict[str, str] = field(default_factory=dict)


# ----------------------------------------------------------------------------------------
# Dataset: collection and split
# ----------------------------------------------------------------------------------------


def _read_yolo(label_path: str) -> List[Tuple[int, float, float, float, float]]:
    rows = []
    if not os.path.exists(label_path):
        return rows
    with open(label_path, "r", encoding="utf-8") as fh:
        tokens = fh.read().split()
    if len(tokens) % 5 != 0:
        raise ValueError(f"malformed YOLO label file {label_path}")
    for i in range(0, len(tokens), 5):
        cls = int(float(tokens[i]))
        cx, cy, w, h = (float(t) for t in tokens[i + 1 : i + 5])
        rows.append((cls, cx, cy, w, h))
    return rows


def _to_corners(cx: float, cy: float, w: float, h: float) -> Tuple[float, float, float, float]:
    return (
        max(0.0, cx - w / 2),
        max(0.0, cy - h / 2),
        min(1.0, cx + w / 2),
        min(1.0, cy + h / 2),
    )


def fire8_group(file_name: str) -> str:
    """Split unit of a fire-8 image.

    Named clips ("fire1_mp4-24_jpg.rf.…", "pexels-alan-w-8365989_mp4-…") form one group each.
    The "img_N" frames are consecutive frames of a handful of clips: numbers are grouped in
    blocks of 100 so that neighbouring frames stay on one side.
    """
    base = os.path.basename(file_name)
    if base.startswith("img_"):
        digits = ""
        for ch in base[4:]:
            if not ch.isdigit():
                break
            digits += ch
        return f"fire-8/img_block{int(digits) // 100}"
    stem = base.split("_mp4")[0]
    if stem == base:
        stem = base.split("_jpg")[0]
    return "fire-8/" + stem


def _name_hash(name: str) -> int:
    """A stable number for a name: the first 32 bits of its MD5."""
    return int(hashlib.md5(name.encode("utf-8")).hexdigest()[:8], 16)


def _in_val(group: str) -> bool:
    return _name_hash(group) % 100 < VAL_PERCENT


def _list_images(folder: str) -> List[str]:
    exts = (".jpg", ".jpeg", ".png", ".bmp")
    return sorted(
        os.path.join(folder, f) for f in os.listdir(folder) if f.lower().endswith(exts)
    )


def collect_samples(data_root: str, limit_per_source: Optional[int] = None,
                    fire8_smoke_partial: bool = True) -> List[Sample]:
    """Lists every training/validation image with its label states and split side.

    fire8_smoke_partial: a fire-8 frame with fire boxes but no smoke box counts as
    smoke-negative only away from its fire (True), or everywhere (False).

    Split rule: fire-8 by source clip (see fire8_group), pooled over its own train/valid/test
    folders; fire-images per image (they are distinct photos). 20% of the groups (by hash of
    the group name) go to validation. The extra/ sets are training-only.
    """
    img_root = os.path.join(data_root, "images")
    samples: List[Sample] = []

    def take(items: List[str]) -> List[str]:
        if limit_per_source is None:
            return items
        # Spread the subset over the sorted list so that small runs still see all kinds.
        step = max(1, len(items) // max(1, limit_per_source))
        return items[::step][:limit_per_source]

    # fire-8: class 0 fire, 1 "default" (a whole negative scene), 2 smoke.
    f8 = os.path.join(img_root, "fire-8")
    if os.path.isdir(f8):
        paths = []
        for part in ("train", "valid", "test"):
            d = os.path.join(f8, part, "images")
            if os.path.isdir(d):
                paths += _list_images(d)
        for p in take(paths):
            lbl = os.path.join(os.path.dirname(os.path.dirname(p)), "labels",
                               os.path.splitext(os.path.basename(p))[0] + ".txt")
            rows = _read_yolo(lbl)
            boxes: List[List[Tuple[float, float, float, float]]] = [[], []]
            for cls, cx, cy, w, h in rows:
                if cls == 0:
                    boxes[FIRE].append(_to_corners(cx, cy, w, h))
                elif cls == 2:
                    boxes[SMOKE].append(_to_corners(cx, cy, w, h))
            negative = not boxes[FIRE] and not boxes[SMOKE]
            state = [BOXED if boxes[c] else NEGATIVE for c in (FIRE, SMOKE)]
            if fire8_smoke_partial and boxes[FIRE] and not boxes[SMOKE]:
                # Fire frames often show unboxed smoke: trust "no smoke" only away from fire.
                state[SMOKE] = PARTIAL
            group = fire8_group(p)
            samples.append(Sample(p, "fire-8", group, boxes, state,
                                  weight=2.0 if negative else 1.0,
                                  hard_negative=negative, val=_in_val(group)))

    # extra sets: label 0 fire, 1 smoke; an empty label file is a negative image.
    extra_sets = {
        "indoor-fire": dict(smoke=PARTIAL, neg_weight=2.0),
        "fire-smoke-news": dict(smoke=BOXED, neg_weight=2.0),
        "fire-smoke-web": dict(smoke=BOXED, neg_weight=2.0),
        "fire-smoke-hardneg": dict(smoke=BOXED, neg_weight=3.0),
    }
    for name, cfg in extra_sets.items():
        d = os.path.join(img_root, "extra", name, "images")
        if not os.path.isdir(d):
            continue
        for p in take(_list_images(d)):
            lbl = os.path.join(img_root, "extra", name, "labels",
                               os.path.splitext(os.path.basename(p))[0] + ".txt")
            rows = _read_yolo(lbl)
            boxes = [[], []]
            for cls, cx, cy, w, h in rows:
                if cls in (0, 1):
                    boxes[FIRE if cls == 0 else SMOKE].append(_to_corners(cx, cy, w, h))
            negative = not boxes[FIRE] and not boxes[SMOKE]
            fire_state = BOXED if boxes[FIRE] else NEGATIVE
            if cfg["smoke"] == PARTIAL:
                smoke_state = NEGATIVE if negative else PARTIAL
            else:
                smoke_state = BOXED if boxes[SMOKE] else NEGATIVE
            samples.append(Sample(p, "extra/" + name, "extra/" + name + "/" + os.path.basename(p),
                                  boxes, [fire_state, smoke_state],
                                  weight=cfg["neg_weight"] if negative else 1.0,
                                  hard_negative=negative, val=False))

    # fire-images: image-level labels. fire/ = fire somewhere (smoke not annotated),
    # normal/ = no fire and no smoke (many hard negatives).
    for sub, state, weight, hard in (
        ("fire", [IMAGE_POS, UNKNOWN], 1.0, False),
        ("normal", [NEGATIVE, NEGATIVE], 2.5, True),
    ):
        d = os.path.join(img_root, "fire-images", sub)
        if not os.path.isdir(d):
            continue
        for p in take(_list_images(d)):
            group = "fire-images/" + sub + "/" + os.path.basename(p)
            samples.append(Sample(p, "fire-images/" + sub, group, [[], []], list(state),
                                  weight=weight, hard_negative=hard, val=_in_val(group)))
    return samples


def family_fold(family: str, folds: int) -> int:
    """Fold of a family of development clips: a hash of its name, so no one picks it."""
    return _name_hash(family) % folds


def read_manifest(manifest: str) -> Tuple[List[str], List[Dict[str, str]]]:
    """Columns and rows of a clip manifest, each row's path made absolute (paths in the file
    are relative to its folder)."""
    folder = os.path.dirname(os.path.abspath(manifest))
    with open(manifest, newline="", encoding="utf-8") as fh:
        reader = csv.DictReader(fh)
        rows = list(reader)
        fields = list(reader.fieldnames or [])
    for row in rows:
        row["path"] = os.path.join(folder, row["path"])
    return fields, rows


def collect_clip_samples(manifest: str, families: List[str], per_clip: int = 24) -> List[Sample]:
    """Frames of the labelled development clips of the given families, as training images.

    `per_clip` frames of each clip, evenly spaced, so that long clips do not outweigh short
    ones. A negative clip's frames are negatives for both classes (weight
    2.5, as the hard-negative photos). A fire clip's frames are image-level fire positives,
    with smoke unknown: fire shows for most of such a clip, and the image term only asks
    that the best cell fire. Clips are never validation images: the image split stays the
    only calibration set, and the families trained on must be left out of any clip figures.
    """
    wanted = set(families)
    samples: List[Sample] = []
    _, rows = read_manifest(manifest)
    missing = wanted - {r.get("family", "") for r in rows}
    if missing:
        raise SystemExit(f"{manifest}: no clip of the families {', '.join(sorted(missing))}")
    for row in rows:
        if row.get("family") not in wanted:
            continue
        path = row["path"]
        capture = cv2.VideoCapture(path)
        # The container's count is often one too many; it still sets the spacing (the
        # documented fold runs used it), and the frames that decode bound the indices.
        stated = int(capture.get(cv2.CAP_PROP_FRAME_COUNT))
        decoded = 0
        while capture.grab():
            decoded += 1
        if decoded == 0:
            raise SystemExit(f"{manifest}: cannot read clip {path}")
        count = stated if stated > 0 else decoded
        negative = row["label"] == "negative"
        state = [NEGATIVE, NEGATIVE] if negative else [IMAGE_POS, UNKNOWN]
        step = count / max(1, min(per_clip, count))
        for frame in sorted({min(int((i + 0.5) * step), decoded - 1) for i in range(min(per_clip, count))}):
            samples.append(Sample(f"{path}#{frame}", "clips/" + ("negative" if negative else "fire"),
                                  "clips/" + row["family"], [[], []], list(state),
                                  weight=2.5 if negative else 1.0, hard_negative=negative))
    return samples


# ----------------------------------------------------------------------------------------
# Image cache
# ----------------------------------------------------------------------------------------


_clip_frames: Dict[str, List[np.ndarray]] = {}


def _clip_frame(path: str, frame: int) -> Optional[np.ndarray]:
    """Frame `frame` of a clip; the last clip read is kept decoded, as its frames come in turn."""
    if path not in _clip_frames:
        _clip_frames.clear()
        capture, frames = cv2.VideoCapture(path), []
        while True:
            ok, img = capture.read()
            if not ok:
                break
            frames.append(img)
        _clip_frames[path] = frames
    frames = _clip_frames[path]
    return frames[frame] if 0 <= frame < len(frames) else None


def load_frame(path: str) -> np.ndarray:
    clip, _, frame = path.rpartition("#")
    if clip and frame.isdigit():
        img = _clip_frame(clip, int(frame))
    else:
        img = cv2.imread(path, cv2.IMREAD_COLOR)
    if img is None:
        raise IOError(f"cannot read image {path}")
    # Plain resize, as the detector does before its forward pass.
    return cv2.resize(img, (INPUT_W, INPUT_H), interpolation=cv2.INTER_LINEAR)


def build_cache(samples: List[Sample], cache_dir: str, log=print) -> np.ndarray:
    """Returns an N x H x W x 3 uint8 array of the resized images, cached on disk."""
    os.makedirs(cache_dir, exist_ok=True)
    names = "\n".join(os.path.realpath(s.path) for s in samples)
    key = hashlib.md5(names.encode("utf-8")).hexdigest()[:16]
    path = os.path.join(cache_dir, f"frames_{INPUT_W}x{INPUT_H}_{key}.npy")
    if os.path.exists(path):
        arr = np.load(path, mmap_mode="r")
        if arr.shape == (len(samples), INPUT_H, INPUT_W, 3):
            log(f"cache: {len(samples)} frames from {path}")
            return np.ascontiguousarray(arr)
    arr = np.empty((len(samples), INPUT_H, INPUT_W, 3), np.uint8)
    t0 = time.time()
    for i, s in enumerate(samples):
        arr[i] = load_frame(s.path)
        if (i + 1) % 1000 == 0:
            log(f"cache: {i + 1}/{len(samples)} frames ({time.time() - t0:.0f}s)")
    tmp = path + ".tmp.npy"
    np.save(tmp, arr)
    os.replace(tmp, path)
    log(f"cache: wrote {len(samples)} frames to {path}")
    return arr


# ----------------------------------------------------------------------------------------
# Targets and augmentation
# ----------------------------------------------------------------------------------------


def cell_coverage(boxes: List[Tuple[float, float, float, float]]) -> Tuple[np.ndarray, np.ndarray]:
    """Per cell: the largest share of the cell covered by one box, and whether a box holds
    the cell centre. Boxes are normalised corners."""
    cover = np.zeros((GRID_H, GRID_W), np.float32)
    centre = np.zeros((GRID_H, GRID_W), bool)
    if not boxes:
        return cover, centre
    xs0 = np.arange(GRID_W, dtype=np.float32) / GRID_W
    ys0 = np.arange(GRID_H, dtype=np.float32) / GRID_H
    xs1, ys1 = xs0 + 1.0 / GRID_W, ys0 + 1.0 / GRID_H
    xc, yc = xs0 + 0.5 / GRID_W, ys0 + 0.5 / GRID_H
    for x0, y0, x1, y1 in boxes:
        ox = np.clip(np.minimum(xs1, x1) - np.maximum(xs0, x0), 0, None) * GRID_W
        oy = np.clip(np.minimum(ys1, y1) - np.maximum(ys0, y0), 0, None) * GRID_H
        cover = np.maximum(cover, oy[:, None] * ox[None, :])
        centre |= ((yc >= y0) & (yc < y1))[:, None] & ((xc >= x0) & (xc < x1))[None, :]
    return cover, centre


def make_targets(sample: Sample, boxes: List[List[Tuple[float, float, float, float]]],
                 valid: np.ndarray, graze: float = GRAZE_COVER
                 ) -> Tuple[np.ndarray, np.ndarray, np.ndarray, np.ndarray]:
    """Cell targets/masks (2 x H x W) and image targets/masks (2,) of one (augmented) image.

    valid marks the cells that show image content (zoom-out padding is always negative).
    Cells that a box only grazes (graze < cover < POS_COVER, centre outside) are ignored.
    """
    tgt = np.zeros((2, GRID_H, GRID_W), np.float32)
    mask = np.zeros((2, GRID_H, GRID_W), np.float32)
    img_tgt = np.zeros(2, np.float32)
    img_mask = np.zeros(2, np.float32)
    for c in (FIRE, SMOKE):
        st = sample.state[c]
        if st == BOXED:
            cover, centre = cell_coverage(boxes[c])
            pos = (cover >= POS_COVER) | centre
            tgt[c] = pos
            mask[c] = 1.0
            mask[c][(cover > graze) & ~pos] = 0.0
            if pos.any():
                img_tgt[c], img_mask[c] = 1.0, 1.0
            elif not (cover > graze).any():
                # Box cropped away entirely: the image is a negative for this class.
                img_tgt[c], img_mask[c] = 0.0, 1.0
        elif st == NEGATIVE:
            mask[c] = 1.0
            img_mask[c] = 1.0
        elif st == IMAGE_POS:
            img_tgt[c], img_mask[c] = 1.0, 1.0
        elif st == PARTIAL:
            # Smoke was not annotated: around the other class's boxes it may be present,
            # elsewhere it is taken as absent, at a lower weight.
            other = SMOKE if c == FIRE else FIRE
            grown = []
            for x0, y0, x1, y1 in boxes[other]:
                w, h = x1 - x0, y1 - y0
                grown.append((x0 - w, y0 - 2 * h, x1 + w, y1 + h))
            cover, centre = cell_coverage(grown)
            mask[c] = 0.5
            mask[c][(cover > 0) | centre] = 0.0
        # UNKNOWN: nothing known, everything masked.
        mask[c] *= valid
    return tgt, mask, img_tgt, img_mask


def random_affine(rng: random.Random, allow_zoom_out: bool) -> Tuple[float, float, float, float]:
    """Scale (sx, sy) and translation (tx, ty), in normalised units, mapping source to output."""
    r = rng.random()
    if r < 0.45:
        s = rng.uniform(1.0, 1.7)
    elif r < 0.7 and allow_zoom_out:
        s = rng.uniform(0.55, 1.0)
    else:
        s = 1.0
    aspect = math.exp(rng.uniform(-0.15, 0.15))
    sx, sy = s * aspect, s / aspect
    if s == 1.0:
        sx = sy = 1.0
    tx = rng.uniform(min(0.0, 1.0 - sx), max(0.0, 1.0 - sx))
    ty = rng.uniform(min(0.0, 1.0 - sy), max(0.0, 1.0 - sy))
    return sx, sy, tx, ty


def augment(img: np.ndarray, sample: Sample, rng: random.Random, graze: float = GRAZE_COVER):
    """Geometric and texture augmentation of one cached frame; returns image and targets."""
    image_only = IMAGE_POS in sample.state
    sx, sy, tx, ty = random_affine(rng, allow_zoom_out=True)
    if image_only:  # image-level positives: keep most of the picture so the fire stays in
        sx, sy = min(sx, 1.15), min(sy, 1.15)
        sx, sy = max(sx, 0.7), max(sy, 0.7)
        tx = rng.uniform(min(0.0, 1.0 - sx), max(0.0, 1.0 - sx))
        ty = rng.uniform(min(0.0, 1.0 - sy), max(0.0, 1.0 - sy))
    flip = rng.random() < 0.5
    if flip:
        tx = 1.0 - tx - sx
        sx_eff = -sx
        tx_eff = tx + sx
    else:
        sx_eff, tx_eff = sx, tx
    if (sx_eff, sy, tx_eff, ty) != (1.0, 1.0, 0.0, 0.0):
        m = np.array([[sx_eff, 0.0, tx_eff * INPUT_W], [0.0, sy, ty * INPUT_H]], np.float32)
        fill = tuple(int(v) for v in img.reshape(-1, 3).mean(0)) if rng.random() < 0.5 else \
            tuple(rng.randint(0, 255) for _ in range(3))
        out = cv2.warpAffine(img, m, (INPUT_W, INPUT_H), flags=cv2.INTER_LINEAR,
                             borderMode=cv2.BORDER_CONSTANT, borderValue=fill)
    else:
        out = img.copy()

    def tb(b):
        x0, y0, x1, y1 = b
        xa, xb = sorted((sx_eff * x0 + tx_eff, sx_eff * x1 + tx_eff))
        ya, yb = sy * y0 + ty, sy * y1 + ty
        return (max(0.0, xa), max(0.0, ya), min(1.0, xb), min(1.0, yb))

    boxes = [[b for b in (tb(b) for b in sample.boxes[c]) if b[2] > b[0] and b[3] > b[1]]
             for c in (FIRE, SMOKE)]
    # Cells mostly outside the warped source image show padding only.
    cover, centre = cell_coverage([tb((0.0, 0.0, 1.0, 1.0))])
    valid = ((cover >= 0.5) | centre).astype(np.float32)
    pad_cells = 1.0 - valid
    tgt, mask, img_tgt, img_mask = make_targets(sample, boxes, valid, graze)
    # Padding is a plain colour: teach it as negative for both classes.
    mask += pad_cells[None] * 0.5

    # Texture: blur (surveillance footage is often soft), noise, JPEG artefacts.
    r = rng.random()
    if r < 0.2:
        out = cv2.GaussianBlur(out, (0, 0), rng.uniform(0.6, 1.8))
    elif r < 0.4:
        f = rng.uniform(0.35, 0.8)
        small = cv2.resize(out, (max(8, int(INPUT_W * f)), max(8, int(INPUT_H * f))),
                           interpolation=cv2.INTER_AREA)
        out = cv2.resize(small, (INPUT_W, INPUT_H), interpolation=cv2.INTER_LINEAR)
    if rng.random() < 0.2:
        ok, enc = cv2.imencode(".jpg", out, [cv2.IMWRITE_JPEG_QUALITY, rng.randint(20, 70)])
        if ok:
            out = cv2.imdecode(enc, cv2.IMREAD_COLOR)
    return out, tgt, mask, img_tgt, img_mask


def colour_jitter(x: torch.Tensor, gen: torch.Generator) -> torch.Tensor:
    """Per-image brightness, contrast, saturation, gamma, channel gain and noise on a
    float batch (N,3,H,W) in [0,1]."""
    n = x.shape[0]

    def u(lo, hi, shape=(n, 1, 1, 1)):
        return lo + (hi - lo) * torch.rand(shape, generator=gen)

    gray = x.mean(1, keepdim=True)
    x = gray + (x - gray) * u(0.45, 1.5)  # saturation
    mean = x.mean((1, 2, 3), keepdim=True)
    x = mean + (x - mean) * u(0.6, 1.4)  # contrast
    x = x * u(0.6, 1.4)  # brightness
    x = x * u(0.92, 1.08, (n, 3, 1, 1))  # white balance
    x = x.clamp(0, 1) ** torch.exp(u(-0.35, 0.35))  # gamma
    noisy = (torch.rand((n, 1, 1, 1), generator=gen) < 0.25).float()
    x = x + noisy * torch.randn(x.shape, generator=gen) * u(0.005, 0.03)
    return x.clamp(0, 1)


# ----------------------------------------------------------------------------------------
# Network
# ----------------------------------------------------------------------------------------


def conv_bn(cin: int, cout: int, k: int, stride: int = 1, groups: int = 1, dil: int = 1):
    pad = dil * (k // 2)
    return nn.Sequential(
        nn.Conv2d(cin, cout, k, stride, pad, dilation=dil, groups=groups, bias=False),
        nn.BatchNorm2d(cout), nn.ReLU(inplace=True))


class DSBlock(nn.Module):
    """Depthwise 3x3 + pointwise 1x1, with a residual when shapes allow."""

    def __init__(self, cin: int, cout: int, stride: int = 1, dil: int = 1):
        super().__init__()
        self.dw = conv_bn(cin, cin, 3, stride, groups=cin, dil=dil)
        self.pw = conv_bn(cin, cout, 1)
        self.residual = stride == 1 and cin == cout

    def forward(self, x):
        y = self.pw(self.dw(x))
        return x + y if self.residual else y


class GlobalContext(nn.Module):
    """Squeeze-and-excitation gate: lets every cell see a summary of the whole frame
    (e.g. "the whole scene is hazy" versus "a plume rises in one place")."""

    def __init__(self, ch: int, hidden: int):
        super().__init__()
        self.fc1 = nn.Conv2d(ch, hidden, 1)
        self.fc2 = nn.Conv2d(hidden, ch, 1)

    def forward(self, x):
        g = F.adaptive_avg_pool2d(x, 1)
        g = torch.sigmoid(self.fc2(F.relu(self.fc1(g))))
        return x * g


class GridNet(nn.Module):
    def __init__(self, width: Tuple[int, int, int, int] = (16, 32, 64, 128),
                 context_dilations: Tuple[int, int] = (2, 4)):
        super().__init__()
        c1, c2, c3, c4 = width
        d1, d2 = context_dilations
        self.features = nn.Sequential(
            conv_bn(3, c1, 3, 2),  # 112x192
            DSBlock(c1, c2, 2),  # 56x96
            DSBlock(c2, c2),
            DSBlock(c2, c3, 2),  # 28x48
            DSBlock(c3, c3),
            DSBlock(c3, c4, 2),  # 14x24
            DSBlock(c4, c4),
            DSBlock(c4, c4, dil=d1),
            GlobalContext(c4, c4 // 4),
            DSBlock(c4, c4, dil=d2),
        )
        self.head = nn.Conv2d(c4, 2, 1)
        nn.init.constant_(self.head.bias, -4.0)

    def logits(self, x):
        return self.head(self.features(x))

    def forward(self, x):
        return torch.sigmoid(self.logits(x))


def count_parameters(model: nn.Module) -> int:
    return sum(p.numel() for p in model.parameters())


# ----------------------------------------------------------------------------------------
# Loss
# ----------------------------------------------------------------------------------------

POS_WEIGHT = torch.tensor([3.0, 2.0]).view(1, 2, 1, 1)


def grid_loss(logits, tgt, mask, img_tgt, img_mask, img_weight):
    """Weighted cell BCE plus an image-level BCE on the maximum cell.

    The cell term weighs positive cells up (they are rare) and every cell of an image by that
    image's weight (hard negatives weigh more). The image term pushes the highest cell of a
    negative image down - that cell is what raises a false alarm - and pulls the highest cell
    of a positive image up (the only signal for image-level labels).
    """
    w = mask * img_weight.view(-1, 1, 1, 1) * (1.0 + (POS_WEIGHT - 1.0) * tgt)
    cell = F.binary_cross_entropy_with_logits(logits, tgt, reduction="none")
    cell_loss = (cell * w).sum() / w.sum().clamp(min=1.0)

    # Max over the cells that take part for that class (unknown cells excluded).
    eligible = (mask > 0) | (img_tgt.view(-1, 2, 1, 1) > 0)
    masked = logits.masked_fill(~eligible, -1e4).flatten(2).amax(2)
    iw = img_mask * img_weight.view(-1, 1)
    img = F.binary_cross_entropy_with_logits(masked, img_tgt, reduction="none")
    img_loss = (img * iw).sum() / iw.sum().clamp(min=1.0)
    return cell_loss + 0.5 * img_loss, cell_loss.item(), img_loss.item()


# ----------------------------------------------------------------------------------------
# Evaluation and calibration
# ----------------------------------------------------------------------------------------


@torch.no_grad()
def predict(model: nn.Module, frames: np.ndarray, batch: int = 64) -> np.ndarray:
    model.eval()
    out = []
    for i in range(0, len(frames), batch):
        x = torch.from_numpy(frames[i : i + batch]).permute(0, 3, 1, 2).float() / 255.0
        out.append(model(x).numpy())
    return np.concatenate(out) if out else np.zeros((0, 2, GRID_H, GRID_W), np.float32)


def val_targets(samples: List[Sample], graze: float = GRAZE_COVER):
    ident = np.ones((GRID_H, GRID_W), np.float32)
    rows = [make_targets(s, s.boxes, ident, graze) for s in samples]
    return (np.stack([r[0] for r in rows]), np.stack([r[1] for r in rows]),
            np.stack([r[2] for r in rows]), np.stack([r[3] for r in rows]))


def prf(tp: int, fp: int, fn: int) -> Tuple[float, float]:
    p = tp / (tp + fp) if tp + fp else float("nan")
    r = tp / (tp + fn) if tp + fn else float("nan")
    return p, r


def figures_at(probs, tgt, mask, img_tgt, img_mask, c: int, thr: float, neg_images):
    """Image- and cell-level precision/recall of class c at cell threshold thr."""
    imax = probs[:, c].reshape(len(probs), -1).max(1)
    sel = img_mask[:, c] > 0
    pred = imax >= thr
    pos = img_tgt[:, c] > 0
    tp = int((pred & pos & sel).sum())
    fp = int((pred & ~pos & sel).sum())
    fn = int((~pred & pos & sel).sum())
    ip, ir = prf(tp, fp, fn)
    cm = mask[:, c] > 0
    cp = probs[:, c] >= thr
    ct = tgt[:, c] > 0
    ctp = int((cp & ct & cm).sum())
    cfp = int((cp & ~ct & cm).sum())
    cfn = int((~cp & ct & cm).sum())
    cpp, crr = prf(ctp, cfp, cfn)
    nfp = float(pred[neg_images].mean()) if neg_images.any() else float("nan")
    return dict(img_precision=ip, img_recall=ir, img_tp=tp, img_fp=fp, img_fn=fn,
                cell_precision=cpp, cell_recall=crr, neg_fp_rate=nfp,
                n_img=int(sel.sum()), n_pos=int((pos & sel).sum()))


def calibrate(probs, tgt, mask, img_tgt, img_mask, c: int, neg_images,
              precision_target: float, max_neg_fp: float) -> float:
    """Lowest cell threshold whose image-level precision reaches the target and whose
    false-positive rate on negative images stays within max_neg_fp."""
    best = 0.99
    for thr in np.round(np.arange(0.99, 0.049, -0.01), 2):
        f = figures_at(probs, tgt, mask, img_tgt, img_mask, c, float(thr), neg_images)
        p = f["img_precision"]
        ok_p = (not math.isnan(p)) and p >= precision_target
        ok_n = math.isnan(f["neg_fp_rate"]) or f["neg_fp_rate"] <= max_neg_fp
        if ok_p and ok_n:
            best = float(thr)
    return best


def report(probs, samples, thresholds, log=print, graze: float = GRAZE_COVER):
    tgt, mask, img_tgt, img_mask = val_targets(samples, graze)
    neg_images = np.array([s.state == [NEGATIVE, NEGATIVE] for s in samples])
    results = {}
    for c, name in enumerate(CLASS_NAMES):
        f = figures_at(probs, tgt, mask, img_tgt, img_mask, c, thresholds[c], neg_images)
        results[name] = f
        by_source = []
        for src in sorted({s.source for s, n in zip(samples, neg_images) if n}):
            sel = np.array([s.source == src for s in samples]) & neg_images
            imax = probs[sel, c].reshape(int(sel.sum()), -1).max(1)
            by_source.append(f"{src} {100 * float((imax >= thresholds[c]).mean()):.1f}% "
                             f"of {int(sel.sum())}")
        f["neg_fp_by_source"] = "; ".join(by_source)
        log(f"  {name:5s} thr={thresholds[c]:.2f}  image: precision={f['img_precision']:.3f} "
            f"recall={f['img_recall']:.3f} (tp={f['img_tp']} fp={f['img_fp']} fn={f['img_fn']}, "
            f"{f['n_pos']} positive of {f['n_img']})  cell: precision={f['cell_precision']:.3f} "
            f"recall={f['cell_recall']:.3f}  false alarms on negative images: "
            f"{f['neg_fp_rate'] * 100:.1f}% of {int(neg_images.sum())} ({f['neg_fp_by_source']})")
    return results


# ----------------------------------------------------------------------------------------
# Export
# ----------------------------------------------------------------------------------------


def remove_identity_nodes(model_proto):
    """Rewrites Identity nodes away (OpenCV 4.6 cannot import them).

    An Identity of an initializer becomes an initializer of its own under the output name;
    any other Identity is bypassed by pointing its consumers at its input.
    """
    import onnx
    from onnx import numpy_helper

    graph = model_proto.graph
    inits = {i.name: i for i in graph.initializer}
    graph_outputs = {o.name for o in graph.output}
    rename: Dict[str, str] = {}
    keep = []
    for node in graph.node:
        if node.op_type != "Identity":
            keep.append(node)
            continue
        src, dst = node.input[0], node.output[0]
        src = rename.get(src, src)
        if src in inits:
            arr = numpy_helper.to_array(inits[src])
            new = numpy_helper.from_array(arr, dst)
            graph.initializer.append(new)
            inits[dst] = new
        elif dst in graph_outputs:
            keep.append(node)  # a graph output must keep its name
        else:
            rename[dst] = src
    for node in keep:
        for i, name in enumerate(node.input):
            if name in rename:
                node.input[i] = rename[name]
    del graph.node[:]
    graph.node.extend(keep)
    onnx.checker.check_model(model_proto)
    return model_proto


def export_onnx(model: nn.Module, path: str, opset: int = 11) -> None:
    import onnx

    model.eval()
    dummy = torch.zeros(1, 3, INPUT_H, INPUT_W)
    tmp = path + ".raw"
    torch.onnx.export(model, dummy, tmp, opset_version=opset, input_names=["input"],
                      output_names=["grid"], do_constant_folding=True)
    proto = onnx.load(tmp)
    os.remove(tmp)
    proto = remove_identity_nodes(proto)
    if any(n.op_type == "Identity" for n in proto.graph.node):
        raise RuntimeError("Identity nodes left in the exported graph")
    onnx.save(proto, path)


def check_with_cv_dnn(model: nn.Module, onnx_path: str, frames: np.ndarray, log=print) -> float:
    """Loads the ONNX with cv2.dnn, compares it with PyTorch on a few frames and returns
    the single-thread forward time in milliseconds."""
    net = cv2.dnn.readNetFromONNX(onnx_path)
    worst = 0.0
    for frame in frames[:4]:
        blob = cv2.dnn.blobFromImage(frame, 1.0 / 255.0, (INPUT_W, INPUT_H), (0, 0, 0),
                                     swapRB=False, crop=False)
        net.setInput(blob)
        out = net.forward()
        if out.shape != (1, 2, GRID_H, GRID_W):
            raise RuntimeError(f"cv2.dnn output shape {out.shape}")
        with torch.no_grad():
            ref = model(torch.from_numpy(blob)).numpy()
        worst = max(worst, float(np.abs(out - ref).max()))
    if worst > 1e-3:
        raise RuntimeError(f"cv2.dnn and PyTorch disagree by {worst}")
    prev = cv2.getNumThreads()
    cv2.setNumThreads(1)
    blob = cv2.dnn.blobFromImage(frames[0], 1.0 / 255.0, (INPUT_W, INPUT_H), (0, 0, 0),
                                 swapRB=False, crop=False)
    net.setInput(blob)
    net.forward()
    times = []
    for _ in range(20):
        t0 = time.perf_counter()
        net.setInput(blob)
        net.forward()
        times.append((time.perf_counter() - t0) * 1000)
    cv2.setNumThreads(prev)
    ms = float(np.median(times))
    log(f"cv2.dnn check: max |cv2 - torch| = {worst:.2e}, forward {ms:.2f} ms median "
        f"(1 thread, {INPUT_W}x{INPUT_H})")
    return ms


def write_side_car(path: str, thresholds, n_params: int, results, extra: Dict[str, float]):
    fs = cv2.FileStorage(path, cv2.FILE_STORAGE_WRITE)
    fs.write("format_version", 1)
    fs.write("input_width", INPUT_W)
    fs.write("input_height", INPUT_H)
    fs.write("grid_width", GRID_W)
    fs.write("grid_height", GRID_H)
    fs.write("fire_threshold", float(thresholds[FIRE]))
    fs.write("smoke_threshold", float(thresholds[SMOKE]))
    fs.write("parameters", int(n_params))
    for name, f in results.items():
        for k in ("img_precision", "img_recall", "cell_precision", "cell_recall", "neg_fp_rate"):
            v = f[k]
            fs.write(f"val_{name}_{k}", float(-1.0 if math.isnan(v) else v))
        fs.write(f"val_{name}_images", int(f["n_img"]))
        fs.write(f"val_{name}_positive_images", int(f["n_pos"]))
    for k, v in extra.items():
        fs.write(k, v)
    fs.release()


# ----------------------------------------------------------------------------------------
# Training
# ----------------------------------------------------------------------------------------


def seed_everything(seed: int) -> None:
    random.seed(seed)
    np.random.seed(seed)
    torch.manual_seed(seed)


def run(args, log=print) -> Dict[str, object]:
    seed_everything(args.seed)
    torch.set_num_threads(args.threads)
    cv2.setNumThreads(1)

    if args.synthetic:
        samples = synthetic_samples(args.synthetic_dir)
    else:
        samples = collect_samples(args.data, args.limit, args.fire8_smoke == "partial")
        if args.clip_fold:
            held, folds = args.clip_fold
            manifest = os.path.join(args.data, "videos", "manifest.csv")
            families = sorted({r["family"] for r in read_manifest(manifest)[1]})
            trained = [f for f in families if family_fold(f, folds) != held]
            log(f"clips: training on the families outside fold {held} of {folds}: "
                f"{', '.join(trained)}; left out: "
                f"{', '.join(f for f in families if f not in trained)}")
            samples += collect_clip_samples(manifest, trained, args.clip_frames)
    if not samples:
        raise SystemExit(f"no images found under {args.data}")
    train = [s for s in samples if not s.val]
    val = [s for s in samples if s.val]
    if not val:  # tiny runs: still evaluate on something
        val = train[: max(1, len(train) // 4)]
    log(f"dataset: {len(samples)} images, {len(train)} train / {len(val)} validation")
    for src in sorted({s.source for s in samples}):
        tr = [s for s in train if s.source == src]
        va = [s for s in val if s.source == src]
        log(f"  {src:28s} train {len(tr):5d} (hard neg {sum(s.hard_negative for s in tr):4d})"
            f"  val {len(va):4d} (neg {sum(s.hard_negative for s in va):3d})")
    vgroups = sorted({s.group for s in val if s.source == "fire-8"})
    log(f"  fire-8 validation clips: {', '.join(g.split('/', 1)[1] for g in vgroups)}")

    frames = build_cache(samples, args.cache, log)
    index = {id(s): i for i, s in enumerate(samples)}
    train_idx = np.array([index[id(s)] for s in train])
    val_idx = np.array([index[id(s)] for s in val])

    model = GridNet(context_dilations=args.context_dilations)
    n_params = count_parameters(model)
    log(f"model: {n_params} parameters")

    steps_per_epoch = max(1, math.ceil(len(train) / args.batch))
    total_steps = args.steps if args.steps else steps_per_epoch * args.epochs
    opt = torch.optim.AdamW(model.parameters(), lr=args.lr, weight_decay=1e-4)
    sched = torch.optim.lr_scheduler.OneCycleLR(opt, max_lr=args.lr, total_steps=total_steps,
                                                pct_start=0.1)
    rng = random.Random(args.seed)
    gen = torch.Generator().manual_seed(args.seed)
    t0 = time.time()
    step = 0
    epoch = 0
    while step < total_steps:
        epoch += 1
        order = list(range(len(train)))
        rng.shuffle(order)
        model.train()
        run_loss = run_cell = run_img = 0.0
        n_batches = 0
        for b in range(0, len(order), args.batch):
            if step >= total_steps:
                break
            chunk = order[b : b + args.batch]
            if len(chunk) < 2:
                continue
            imgs, tg, mk, it, im, wt = [], [], [], [], [], []
            for j in chunk:
                s = train[j]
                out, a, b_, c_, d_ = augment(frames[train_idx[j]], s, rng, args.graze_cover)
                imgs.append(out)
                tg.append(a)
                mk.append(b_)
                it.append(c_)
                im.append(d_)
                wt.append(s.weight)
            x = torch.from_numpy(np.stack(imgs)).permute(0, 3, 1, 2).float() / 255.0
            x = colour_jitter(x, gen)
            logits = model.logits(x)
            loss, lc, li = grid_loss(logits, torch.from_numpy(np.stack(tg)),
                                     torch.from_numpy(np.stack(mk)), torch.from_numpy(np.stack(it)),
                                     torch.from_numpy(np.stack(im)), torch.tensor(wt))
            opt.zero_grad(set_to_none=True)
            loss.backward()
            opt.step()
            sched.step()
            step += 1
            n_batches += 1
            run_loss += loss.item()
            run_cell += lc
            run_img += li
            if step % args.log_every == 0:
                log(f"step {step}/{total_steps} epoch {epoch} loss {run_loss / n_batches:.4f} "
                    f"(cell {run_cell / n_batches:.4f}, image {run_img / n_batches:.4f}) "
                    f"lr {sched.get_last_lr()[0]:.2e} {time.time() - t0:.0f}s")
        if n_batches:
            msg = (f"epoch {epoch} done: loss {run_loss / n_batches:.4f} "
                   f"{time.time() - t0:.0f}s")
            if args.eval_every and epoch % args.eval_every == 0 and step < total_steps:
                probs = predict(model, frames[val_idx])
                vt = val_targets(val, args.graze_cover)
                negs = np.array([s.state == [NEGATIVE, NEGATIVE] for s in val])
                f = figures_at(probs, *vt, FIRE, 0.5, negs)
                sm = figures_at(probs, *vt, SMOKE, 0.5, negs)
                msg += (f" | val@0.5 fire P/R {f['img_precision']:.2f}/{f['img_recall']:.2f}"
                        f" smoke P/R {sm['img_precision']:.2f}/{sm['img_recall']:.2f}"
                        f" neg FP fire {f['neg_fp_rate']:.2f} smoke {sm['neg_fp_rate']:.2f}")
            log(msg)
    train_seconds = time.time() - t0
    log(f"training: {step} steps in {train_seconds:.0f}s")

    # Calibrate on validation.
    probs = predict(model, frames[val_idx])
    vt = val_targets(val, args.graze_cover)
    negs = np.array([s.state == [NEGATIVE, NEGATIVE] for s in val])
    thresholds = [
        calibrate(probs, *vt, FIRE, negs, args.fire_precision, args.max_neg_fp),
        calibrate(probs, *vt, SMOKE, negs, args.smoke_precision, args.max_neg_fp),
    ]
    log("validation at threshold 0.5:")
    report(probs, val, [0.5, 0.5], log, args.graze_cover)
    log(f"validation at calibrated thresholds (image precision >= {args.fire_precision:.2f} fire /"
        f" {args.smoke_precision:.2f} smoke, false alarms on negative images <= "
        f"{args.max_neg_fp * 100:.0f}%):")
    results = report(probs, val, thresholds, log, args.graze_cover)

    os.makedirs(args.out, exist_ok=True)
    onnx_path = os.path.join(args.out, "firesmoke_grid.onnx")
    export_onnx(model, onnx_path)
    size = os.path.getsize(onnx_path)
    log(f"exported {onnx_path} ({size} bytes)")
    ms = check_with_cv_dnn(model, onnx_path, frames[val_idx[:4]], log)
    write_side_car(os.path.join(args.out, "firesmoke_grid.yml"), thresholds, n_params, results,
                   {"train_steps": int(step), "train_seconds": float(round(train_seconds, 1)),
                    "seed": int(args.seed), "val_images": int(len(val)),
                    "cv_dnn_forward_ms": float(round(ms, 3))})
    log(f"wrote {os.path.join(args.out, 'firesmoke_grid.yml')}")
    if args.save_checkpoint:
        torch.save(model.state_dict(), os.path.join(args.cache, "last_model.pt"))
    return dict(thresholds=thresholds, results=results, onnx=onnx_path, forward_ms=ms,
                parameters=n_params, model=model)


# ----------------------------------------------------------------------------------------
# Synthetic data (for the self-test when the real footage is absent)
# ----------------------------------------------------------------------------------------


def synthetic_samples(folder: str, count: int = 12) -> List[Sample]:
    """Writes small images with orange blobs (fire), grey blobs (smoke) or neither."""
    os.makedirs(folder, exist_ok=True)
    rng = np.random.default_rng(0)
    samples = []
    for i in range(count):
        img = (rng.random((160, 200, 3)) * 60 + 40).astype(np.uint8)
        kind = i % 3
        boxes: List[List[Tuple[float, float, float, float]]] = [[], []]
        if kind < 2:
            x0, y0 = rng.uniform(0.1, 0.5), rng.uniform(0.1, 0.5)
            x1, y1 = x0 + 0.3, y0 + 0.3
            colour = (0, 120, 255) if kind == 0 else (170, 170, 170)
            cv2.rectangle(img, (int(x0 * 200), int(y0 * 160)), (int(x1 * 200), int(y1 * 160)),
                          colour, -1)
            boxes[kind].append((x0, y0, x1, y1))
        p = os.path.join(folder, f"synthetic_{i:02d}.png")
        cv2.imwrite(p, img)
        state = [BOXED if boxes[c] else NEGATIVE for c in (FIRE, SMOKE)]
        samples.append(Sample(p, "synthetic", f"synthetic/{i}", boxes, state,
                              hard_negative=kind == 2, val=i % 4 == 3))
    return samples


def _two_ints(text: str) -> Tuple[int, int]:
    parts = text.split(",")
    if len(parts) != 2 or not all(p.strip().isdigit() and int(p) >= 1 for p in parts):
        raise argparse.ArgumentTypeError(f"expected two positive integers such as 2,4, got {text!r}")
    return int(parts[0]), int(parts[1])


def parse_fold(text: str) -> Tuple[int, int]:
    held, _, folds = text.partition("/")
    if not (held.isdigit() and folds.isdigit() and 0 <= int(held) < int(folds)):
        raise argparse.ArgumentTypeError(f"expected I/N with 0 <= I < N, such as 0/2, got {text!r}")
    return int(held), int(folds)


def parse_args(argv=None):
    here = os.path.dirname(os.path.abspath(__file__))
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--data", default=os.path.join(here, "..", "..", "..", "shared", "data"),
                    help="folder holding images/ (read only)")
    ap.add_argument("--out", default=os.path.join(here, "..", "..", "models", "VEK_FireSmoke_v2.0"),
                    help="folder that receives firesmoke_grid.onnx and firesmoke_grid.yml")
    ap.add_argument("--cache", default=os.path.join(here, "cache"), help="preprocessed frame cache")
    ap.add_argument("--epochs", type=int, default=24)
    ap.add_argument("--steps", type=int, default=0, help="train this many steps instead of epochs")
    ap.add_argument("--batch", type=int, default=32)
    ap.add_argument("--lr", type=float, default=4e-3)
    ap.add_argument("--seed", type=int, default=1234)
    ap.add_argument("--threads", type=int, default=2)
    ap.add_argument("--limit", type=int, default=None, help="at most this many images per source")
    ap.add_argument("--fire-precision", type=float, default=0.95)
    ap.add_argument("--smoke-precision", type=float, default=0.90)
    ap.add_argument("--max-neg-fp", type=float, default=0.03,
                    help="largest false-alarm rate allowed on negative validation images")
    ap.add_argument("--eval-every", type=int, default=3, help="validate every N epochs (0: never)")
    ap.add_argument("--log-every", type=int, default=20)
    ap.add_argument("--save-checkpoint", action="store_true")
    ap.add_argument("--context-dilations", type=_two_ints, default=(2, 4),
                    help="dilation of the two context blocks at 1/16 scale, e.g. 2,4 or 1,1")
    ap.add_argument("--fire8-smoke", choices=("partial", "negative"), default="partial",
                    help="smoke label of fire-8 frames with fire boxes only: negative away from"
                    " the fire (partial) or everywhere (negative)")
    ap.add_argument("--graze-cover", type=float, default=GRAZE_COVER,
                    help="a non-positive cell that a box covers by more than this share is"
                    " left out of the loss")
    ap.add_argument("--clip-fold", type=parse_fold, default=None, metavar="I/N",
                    help="also train on frames of the development clips whose family is not in"
                    " fold I of N (folds by a hash of the family name); judge the network only"
                    " on fold I's clips")
    ap.add_argument("--clip-frames", type=int, default=24,
                    help="with --clip-fold: frames taken from each clip, evenly spaced")
    ap.add_argument("--synthetic", action="store_true",
                    help="train on generated images (written to --synthetic-dir)")
    ap.add_argument("--synthetic-dir", default=None)
    return ap.parse_args(argv)


def main(argv=None) -> int:
    args = parse_args(argv)
    if args.synthetic and not args.synthetic_dir:
        args.synthetic_dir = os.path.join(args.cache, "synthetic")
    log = lambda m: print(m, flush=True)  # noqa: E731
    run(args, log)
    return 0


if __name__ == "__main__":
    sys.exit(main())
