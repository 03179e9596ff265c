"""Fast checks of the grid-network trainer: targets, geometry, split, export.

Run from this folder:  /usr/bin/python3 -B -m unittest -v test_train
The real footage is read from $FIRESMOKE_SHARED_DATA when it holds images/, otherwise the
end-to-end case trains on small generated images. Nothing is written into the repository.
"""

import contextlib
import csv
import io
import os
import random
import sys
import tempfile
import unittest

sys.dont_write_bytecode = True

import cv2  # noqa: E402
import onnx  # noqa: E402
import numpy as np  # noqa: E402
import torch  # noqa: E402

import train  # noqa: E402


def _data_root():
    root = os.environ.get("FIRESMOKE_SHARED_DATA", "")
    return root if root and os.path.isdir(os.path.join(root, "images")) else None


class CellTargetTest(unittest.TestCase):
    def test_box_to_cells(self):
        w, h = 1.0 / train.GRID_W, 1.0 / train.GRID_H
        graze = train.GRAZE_COVER
        cases = [
            # name, box (normalised corners), graze cover, cells that must be positive, ignored
            ("exact cell", (2 * w, 3 * h, 3 * w, 4 * h), graze, {(3, 2)}, set()),
            ("two cells wide", (4 * w, 0.0, 6 * w, h), graze, {(0, 4), (0, 5)}, set()),
            # covers 40% of cell (5,8): positive
            ("partial cover", (7 * w, 5 * h, 8.4 * w, 6 * h), graze, {(5, 7), (5, 8)}, set()),
            # covers 20% of cell (5,8), not its centre: left out of the loss
            ("grazed cell", (7 * w, 5 * h, 8.2 * w, 6 * h), graze, {(5, 7)}, {(5, 8)}),
            # covers 1% of cell (5,8): a negative, unless any cover at all is left out
            ("barely grazed cell", (7 * w, 5 * h, 8.01 * w, 6 * h), graze, {(5, 7)}, set()),
            ("barely grazed, --graze-cover 0", (7 * w, 5 * h, 8.01 * w, 6 * h), 0.0, {(5, 7)}, {(5, 8)}),
            # holds the centre of cell (1,1) while covering less than the threshold of it
            ("thin box through centre", (1.45 * w, h, 1.55 * w, 2 * h), graze, {(1, 1)}, set()),
        ]
        for name, box, cover, positive, ignored in cases:
            with self.subTest(name):
                s = train.Sample("x", "t", "g", [[box], []], [train.BOXED, train.NEGATIVE])
                tgt, mask, img_tgt, img_mask = train.make_targets(
                    s, s.boxes, np.ones((train.GRID_H, train.GRID_W), np.float32), cover)
                got_pos = {tuple(p) for p in np.argwhere(tgt[0] > 0)}
                got_ign = {tuple(p) for p in np.argwhere(mask[0] == 0)}
                self.assertEqual(got_pos, positive)
                self.assertEqual(got_ign, ignored)
                self.assertEqual(img_tgt.tolist(), [1.0, 0.0])
                self.assertEqual(img_mask.tolist(), [1.0, 1.0])
                self.assertEqual(tgt[1].sum(), 0)
                self.assertTrue((mask[1] == 1).all())

    def test_label_states(self):
        ones = np.ones((train.GRID_H, train.GRID_W), np.float32)
        box = (0.4, 0.4, 0.6, 0.6)
        cases = [
            # state per class -> (cell mask sum > 0, image target, image mask)
            ("image-level positive", [train.IMAGE_POS, train.UNKNOWN], [[], []],
             (False, False), [1, 0], [1, 0]),
            ("negative everywhere", [train.NEGATIVE, train.NEGATIVE], [[], []],
             (True, True), [0, 0], [1, 1]),
            ("smoke partly known", [train.BOXED, train.PARTIAL], [[box], []],
             (True, True), [1, 0], [1, 0]),
        ]
        for name, state, boxes, has_mask, img_t, img_m in cases:
            with self.subTest(name):
                s = train.Sample("x", "t", "g", boxes, state)
                tgt, mask, it, im = train.make_targets(s, boxes, ones)
                self.assertEqual(tuple(bool(mask[c].sum() > 0) for c in (0, 1)), has_mask)
                self.assertEqual(it.tolist(), img_t)
                self.assertEqual(im.tolist(), img_m)

    def test_partial_smoke_ignores_area_around_fire(self):
        s = train.Sample("x", "t", "g", [[(0.45, 0.6, 0.55, 0.8)], []],
                         [train.BOXED, train.PARTIAL])
        _, mask, _, _ = train.make_targets(s, s.boxes,
                                           np.ones((train.GRID_H, train.GRID_W), np.float32))
        col = int(0.5 * train.GRID_W)
        self.assertEqual(mask[1, int(0.5 * train.GRID_H), col], 0.0)  # above the fire
        self.assertEqual(mask[1, int(0.7 * train.GRID_H), col], 0.0)  # on the fire
        self.assertGreater(mask[1, 0, 0], 0.0)  # far corner: taken as no smoke


class AugmentGeometryTest(unittest.TestCase):
    """The augmented image and its targets must move together (crop, zoom, flip)."""

    def test_targets_follow_the_pixels(self):
        img = np.zeros((train.INPUT_H, train.INPUT_W, 3), np.uint8)
        x0, y0, x1, y1 = 0.1, 0.2, 0.35, 0.6
        cv2.rectangle(img, (int(x0 * train.INPUT_W), int(y0 * train.INPUT_H)),
                      (int(x1 * train.INPUT_W) - 1, int(y1 * train.INPUT_H) - 1),
                      (255, 255, 255), -1)
        s = train.Sample("x", "t", "g", [[(x0, y0, x1, y1)], []], [train.BOXED, train.NEGATIVE])
        checked = 0
        for seed in range(40):
            rng = random.Random(seed)
            out, tgt, mask, _, _ = train.augment(img, s, rng)
            gray = out.astype(np.float32).mean(2)
            # Share of bright pixels per cell, ignoring texture noise and padding colour.
            bright = (gray > 200).reshape(train.GRID_H, train.CELL, train.GRID_W,
                                          train.CELL).mean((1, 3))
            pos = tgt[0] > 0
            if not pos.any():
                continue
            checked += 1
            with self.subTest(seed=seed):
                self.assertGreater(bright[pos].mean(), 0.5)
                far = (mask[0] > 0) & ~pos
                if far.any():
                    self.assertLess(bright[far].mean(), 0.2)
        self.assertGreater(checked, 20)


class SplitTest(unittest.TestCase):
    def test_fire8_groups(self):
        cases = [
            ("fire1_mp4-24_jpg.rf.b4.jpg", "fire-8/fire1"),
            ("fire1_mp4-33_jpg.rf.90.jpg", "fire-8/fire1"),
            ("pexels-alan-w-8365989_mp4-3_jpg.rf.1.jpg", "fire-8/pexels-alan-w-8365989"),
            ("img_52--2-_jpg.rf.e5.jpg", "fire-8/img_block0"),
            ("img_99_jpg.rf.aa.jpg", "fire-8/img_block0"),
            ("img_1002_jpg.rf.ec.jpg", "fire-8/img_block10"),
        ]
        for name, group in cases:
            with self.subTest(name):
                self.assertEqual(train.fire8_group(name), group)

    @unittest.skipUnless(_data_root(), "real footage not available")
    def test_no_group_on_both_sides(self):
        samples = train.collect_samples(_data_root())
        sides = {}
        for s in samples:
            sides.setdefault(s.group, set()).add(s.val)
        self.assertTrue(all(len(v) == 1 for v in sides.values()))
        self.assertFalse(any(s.val for s in samples if s.source.startswith("extra/")))
        self.assertTrue(any(s.val for s in samples))


def _write_clip(path: str, frames: int) -> None:
    """A small clip whose frame i has the grey level 10 * i, so a frame tells its number."""
    writer = cv2.VideoWriter(path, cv2.VideoWriter_fourcc(*"MJPG"), 10.0, (64, 48))
    for i in range(frames):
        writer.write(np.full((48, 64, 3), 10 * i, np.uint8))
    writer.release()


class ClipFramesTest(unittest.TestCase):
    """Frames of labelled clips as training images, and the folds that keep them apart."""

    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        root = self.dir.name
        _write_clip(os.path.join(root, "fire.avi"), 20)
        _write_clip(os.path.join(root, "quiet.avi"), 6)
        self.manifest = os.path.join(root, "manifest.csv")
        with open(self.manifest, "w") as fh:
            fh.write("path,label,family\nfire.avi,fire,kitchen\nquiet.avi,negative,street\n")

    def tearDown(self):
        self.dir.cleanup()

    def test_frames_labels_and_spacing(self):
        samples = train.collect_clip_samples(self.manifest, ["kitchen", "street"], per_clip=4)
        fire = [s for s in samples if s.source == "clips/fire"]
        quiet = [s for s in samples if s.source == "clips/negative"]
        self.assertEqual([s.path.rpartition("#")[2] for s in fire], ["2", "7", "12", "17"])
        self.assertEqual(len(quiet), 4)
        self.assertTrue(all(s.state == [train.IMAGE_POS, train.UNKNOWN] for s in fire))
        self.assertTrue(all(s.state == [train.NEGATIVE, train.NEGATIVE] and s.hard_negative
                            for s in quiet))
        self.assertFalse(any(s.val for s in samples), "clip frames must stay out of validation")
        # The frame named is the frame loaded (grey level 10 * i, give or take the codec).
        img = train.load_frame(fire[1].path)
        self.assertEqual(img.shape, (train.INPUT_H, train.INPUT_W, 3))
        self.assertAlmostEqual(float(img.mean()), 70.0, delta=3.0)
        with self.assertRaises(IOError):
            train.load_frame(fire[0].path.rpartition("#")[0] + "#99")
        # Asking for more frames than a clip has takes each frame once, and each loads.
        every = train.collect_clip_samples(self.manifest, ["street"], per_clip=50)
        self.assertEqual([s.path.rpartition("#")[2] for s in every], [str(i) for i in range(6)])
        for s in every:
            train.load_frame(s.path)

    def test_a_family_without_clips_is_an_error(self):
        with self.assertRaises(SystemExit) as raised:
            train.collect_clip_samples(self.manifest, ["kitchen", "garage"])
        self.assertIn("garage", str(raised.exception))

    def test_fold_manifest_holds_exactly_the_left_out_families(self):
        import fold_manifest
        families = {"kitchen": train.family_fold("kitchen", 2), "street": train.family_fold("street", 2)}
        self.assertNotEqual(families["kitchen"], families["street"], "the fixture needs both folds")
        for held in (0, 1):
            with self.subTest(fold=held):
                out = os.path.join(self.dir.name, f"fold{held}.csv")
                fold_manifest.main(["--manifest", self.manifest, "--fold", f"{held}/2", "--out", out])
                with open(out) as fh:
                    rows = list(csv.DictReader(fh))
                self.assertEqual({r["family"] for r in rows},
                                 {f for f, k in families.items() if k == held})
                self.assertTrue(all(os.path.isabs(r["path"]) and os.path.exists(r["path"])
                                    for r in rows))
        with self.assertRaises(SystemExit), contextlib.redirect_stderr(io.StringIO()):
            train.parse_args(["--clip-fold", "2/2"])


class IdentityRewriteTest(unittest.TestCase):
    def test_identity_nodes_removed_and_graph_still_runs(self):
        from onnx import TensorProto, helper, numpy_helper

        w = numpy_helper.from_array(np.full((2, 3, 1, 1), 0.5, np.float32), "w")
        nodes = [
            helper.make_node("Identity", ["w"], ["w_copy"]),
            helper.make_node("Conv", ["input", "w"], ["a"], kernel_shape=[1, 1]),
            helper.make_node("Conv", ["input", "w_copy"], ["b"], kernel_shape=[1, 1]),
            helper.make_node("Identity", ["b"], ["b2"]),
            helper.make_node("Add", ["a", "b2"], ["grid"]),
        ]
        graph = helper.make_graph(
            nodes, "g", [helper.make_tensor_value_info("input", TensorProto.FLOAT, [1, 3, 4, 4])],
            [helper.make_tensor_value_info("grid", TensorProto.FLOAT, [1, 2, 4, 4])], [w])
        proto = helper.make_model(graph, opset_imports=[helper.make_opsetid("", 11)])
        proto = train.remove_identity_nodes(proto)
        self.assertNotIn("Identity", [n.op_type for n in proto.graph.node])
        with tempfile.TemporaryDirectory() as tmp:
            path = os.path.join(tmp, "g.onnx")
            onnx.save(proto, path)
            net = cv2.dnn.readNetFromONNX(path)
            net.setInput(np.ones((1, 3, 4, 4), np.float32))
            out = net.forward()
        np.testing.assert_allclose(out, np.full((1, 2, 4, 4), 3.0), rtol=1e-6)


class CalibrationTest(unittest.TestCase):
    def test_threshold_meets_precision_and_negative_rate(self):
        rng = np.random.default_rng(3)
        n = 60
        probs = np.zeros((n, 2, train.GRID_H, train.GRID_W), np.float32)
        img_tgt = np.zeros((n, 2), np.float32)
        img_mask = np.ones((n, 2), np.float32)
        img_tgt[:30, 0] = 1
        probs[:30, 0, 5, 5] = rng.uniform(0.5, 1.0, 30)  # positives
        probs[30:, 0, 2, 2] = rng.uniform(0.0, 0.8, 30)  # negatives, some loud
        tgt = np.zeros_like(probs)
        tgt[:30, 0, 5, 5] = 1
        mask = np.ones_like(probs)
        negs = img_tgt[:, 0] == 0
        thr = train.calibrate(probs, tgt, mask, img_tgt, img_mask, 0, negs, 0.95, 0.05)
        f = train.figures_at(probs, tgt, mask, img_tgt, img_mask, 0, thr, negs)
        self.assertGreaterEqual(f["img_precision"], 0.95)
        self.assertLessEqual(f["neg_fp_rate"], 0.05)
        lower = train.figures_at(probs, tgt, mask, img_tgt, img_mask, 0, thr - 0.05, negs)
        self.assertTrue(lower["img_precision"] < 0.95 or lower["neg_fp_rate"] > 0.05)


class EndToEndTest(unittest.TestCase):
    """Trains a few steps, exports, and runs the ONNX with cv2.dnn as the detector does."""

    def test_train_export_and_forward(self):
        # The default network, and the one without dilated context blocks.
        for dilations, widest in (("2,4", 4), ("1,1", 1)):
            with self.subTest(context_dilations=dilations):
                self._train_export_and_forward(dilations, widest)

    def _train_export_and_forward(self, dilations, widest):
        with tempfile.TemporaryDirectory() as tmp:
            argv = ["--cache", os.path.join(tmp, "cache"), "--out", os.path.join(tmp, "model"),
                    "--steps", "3", "--batch", "4", "--eval-every", "0", "--log-every", "1",
                    "--context-dilations", dilations]
            if _data_root():
                argv += ["--data", _data_root(), "--limit", "2"]
            else:
                argv += ["--synthetic", "--synthetic-dir", os.path.join(tmp, "synthetic")]
            lines = []
            result = train.run(train.parse_args(argv), log=lines.append)
            self.assertTrue(any(line.startswith("step 3/3") for line in lines))

            onnx_path = os.path.join(tmp, "model", "firesmoke_grid.onnx")
            self.assertLess(os.path.getsize(onnx_path), 5 * 1024 * 1024)
            graph = onnx.load(onnx_path).graph
            dil = [max(a.ints) for n in graph.node if n.op_type == "Conv"
                   for a in n.attribute if a.name == "dilations"]
            self.assertEqual(max(dil + [1]), widest)
            net = cv2.dnn.readNetFromONNX(onnx_path)
            frame = (np.random.default_rng(1).random((240, 320, 3)) * 255).astype(np.uint8)
            blob = cv2.dnn.blobFromImage(frame, 1 / 255.0, (train.INPUT_W, train.INPUT_H),
                                         (0, 0, 0), swapRB=False, crop=False)
            net.setInput(blob)
            out = net.forward()
            self.assertEqual(out.shape, (1, 2, train.GRID_H, train.GRID_W))
            self.assertTrue(((out >= 0) & (out <= 1)).all())
            with torch.no_grad():
                ref = result["model"](torch.from_numpy(blob)).numpy()
            np.testing.assert_allclose(out, ref, atol=1e-4)

            fs = cv2.FileStorage(os.path.join(tmp, "model", "firesmoke_grid.yml"),
                                 cv2.FILE_STORAGE_READ)
            self.assertEqual(int(fs.getNode("format_version").real()), 1)
            self.assertEqual(int(fs.getNode("grid_width").real()), train.GRID_W)
            self.assertEqual(int(fs.getNode("grid_height").real()), train.GRID_H)
            self.assertEqual(int(fs.getNode("parameters").real()), result["parameters"])
            for key in ("fire_threshold", "smoke_threshold"):
                self.assertTrue(0.0 < fs.getNode(key).real() < 1.0, key)
            fs.release()


if __name__ == "__main__":
    unittest.main()
