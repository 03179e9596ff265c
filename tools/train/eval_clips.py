#!/usr/bin/python3
"""Frame-level look at an exported grid network on the development clips.

For each clip of videos/manifest.csv: the share of frames in which some cell reaches the
class threshold of firesmoke_grid.yml, and whether a simple 8-of-15 frame vote would fire.
This is a diagnostic of the network alone (the detector adds its own logic on top); it is
never used to train or to choose thresholds.

    /usr/bin/python3 tools/train/eval_clips.py --data ../shared/data \
        --model models/VEK_FireSmoke_v2.0
"""

import argparse
import csv
import os
import sys
from collections import deque

import cv2
import numpy as np

INPUT_W, INPUT_H = 384, 224


def clip_scores(net, path, stride):
    cap = cv2.VideoCapture(path)
    scores = []
    i = 0
    while True:
        ok, frame = cap.read()
        if not ok:
            break
        if i % stride == 0:
            blob = cv2.dnn.blobFromImage(frame, 1 / 255.0, (INPUT_W, INPUT_H), (0, 0, 0),
                                         swapRB=False, crop=False)
            net.setInput(blob)
            out = net.forward()[0]
            scores.append(out.reshape(2, -1).max(1))
        i += 1
    cap.release()
    return np.array(scores).reshape(-1, 2)


def vote_alarm(hits, window=15, need=8):
    q = deque(maxlen=window)
    for h in hits:
        q.append(bool(h))
        if sum(q) >= need:
            return True
    return False


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__,
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--data", required=True)
    ap.add_argument("--model", required=True, help="folder with firesmoke_grid.onnx/.yml")
    ap.add_argument("--stride", type=int, default=1, help="use every Nth frame")
    args = ap.parse_args(argv)

    fs = cv2.FileStorage(os.path.join(args.model, "firesmoke_grid.yml"), cv2.FILE_STORAGE_READ)
    thr = (fs.getNode("fire_threshold").real(), fs.getNode("smoke_threshold").real())
    fs.release()
    net = cv2.dnn.readNetFromONNX(os.path.join(args.model, "firesmoke_grid.onnx"))
    cv2.setNumThreads(1)

    vids = os.path.join(args.data, "videos")
    with open(os.path.join(vids, "manifest.csv"), newline="") as fh:
        rows = list(csv.DictReader(fh))
    print(f"thresholds: fire {thr[0]:.2f} smoke {thr[1]:.2f}")
    print(f"{'clip':38s} {'label':10s} {'fire%':>6s} {'smoke%':>6s} {'fire-vote':>9s} "
          f"{'smoke-vote':>10s}")
    summary = {"fire": [0, 0], "negative": [0, 0]}
    neg_fire_frames, neg_smoke_frames, neg_frames = 0, 0, 0
    for r in rows:
        s = clip_scores(net, os.path.join(vids, r["path"]), args.stride)
        fire_hits = s[:, 0] >= thr[0]
        smoke_hits = s[:, 1] >= thr[1]
        fv, sv = vote_alarm(fire_hits), vote_alarm(smoke_hits)
        kind = "negative" if r["label"] == "negative" else "fire"
        summary[kind][0] += 1
        summary[kind][1] += int(fv or sv)
        if kind == "negative":
            neg_frames += len(s)
            neg_fire_frames += int(fire_hits.sum())
            neg_smoke_frames += int(smoke_hits.sum())
        print(f"{r['path']:38s} {r['label']:10s} {100 * fire_hits.mean():6.1f} "
              f"{100 * smoke_hits.mean():6.1f} {str(fv):>9s} {str(sv):>10s}")
    print(f"fire clips with a vote alarm: {summary['fire'][1]}/{summary['fire'][0]}; "
          f"negative clips with a vote alarm: {summary['negative'][1]}/{summary['negative'][0]}")
    if neg_frames:
        print(f"negative-clip frames over threshold: fire {100 * neg_fire_frames / neg_frames:.1f}%"
              f", smoke {100 * neg_smoke_frames / neg_frames:.1f}% of {neg_frames}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
