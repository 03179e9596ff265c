"""Checks of the cue measurements. Run from this folder:

    /usr/bin/python3 -B -m unittest -v test_track_cues
"""

import os
import sys
import tempfile
import unittest

import cv2
import numpy as np

sys.dont_write_bytecode = True

import track_cues as tc  # noqa: E402


def patch(b, g, r):
    """A 20x20 BGR patch from three 20x20 channel arrays."""
    return np.dstack([np.broadcast_to(c, (20, 20)) for c in (b, g, r)]).astype(np.uint8)


class CueTest(unittest.TestCase):
    box = [0, 0, 20, 20]
    rate = np.zeros((20, 20), np.int32)

    def test_hue_brightness_tells_a_shaded_surface_from_a_flame(self):
        shade = np.linspace(0.7, 1.0, 20)[:, None]
        cloth = patch(20 * shade, 110 * shade, 250 * shade)   # one hue, darker and lighter
        flame = patch(40 * shade, 255 * shade ** 4, 255)       # yellower where brighter
        self.assertLess(abs(tc.box_cues(cloth, self.rate, None, self.box)["hue_brightness"]), 0.2)
        self.assertGreater(tc.box_cues(flame, self.rate, None, self.box)["hue_brightness"], 0.9)

    def test_flow_cues_of_a_rigid_move_and_of_rising_flames(self):
        orange = patch(20, 110, 250)
        flow = np.zeros((40, 40, 2), np.float32)   # the frame's median flow stays 0
        flow[:20, :20] = (3.0, 0.0)                # the box moves right as one piece
        cues = tc.box_cues(orange, self.rate, flow, self.box)
        self.assertAlmostEqual(cues["coherence"], 1.0, places=6)
        self.assertEqual(cues["upward"], 0.0)
        rng = np.random.default_rng(1)
        flow[:20, :20] = np.dstack([rng.normal(0, 2, (20, 20)), -np.abs(rng.normal(2, 1, (20, 20)))])
        cues = tc.box_cues(orange, self.rate, flow, self.box)
        self.assertEqual(cues["upward"], 1.0)
        self.assertLess(cues["coherence"], 0.9)

    def test_hot_core_counts_bright_yellow_not_clipped_orange_or_white(self):
        flame = patch(40, 120, 240)
        flame[5:10, 5:10] = (120, 230, 255)   # a yellow core, 25 of 400 pixels
        clipped_cloth = patch(30, 150, 255)   # red clipped, little green
        flame_by_a_wall = flame.copy()
        flame_by_a_wall[:, 15:] = 245          # white wall: bright, but no hue
        self.assertAlmostEqual(tc.box_cues(flame, self.rate, None, self.box)["hot_core"], 25 / 400)
        self.assertEqual(tc.box_cues(clipped_cloth, self.rate, None, self.box)["hot_core"], 0.0)
        self.assertAlmostEqual(tc.box_cues(flame_by_a_wall, self.rate, None, self.box)["hot_core"],
                               25 / 400)

    def test_drift_is_the_box_centres_median_move_in_box_sizes(self):
        still = {f: [[10, 10, 20, 20]] for f in range(10)}
        waved = {f: [[10 + 10 * f, 10, 20, 20]] for f in range(10)}   # half a box per frame
        largest = {f: [[0, 50 * f, 4, 4], [10, 10, 20, 20]] for f in range(10)}
        cases = [  # boxes per frame, fps, expected drift at a lag of 0.5 s
            (still, 2.0, 0.0),
            (waved, 2.0, 0.5),
            (waved, 4.0, 1.0),       # two frames apart
            (largest, 2.0, 0.0),     # only the largest box counts
            ({0: [[0, 0, 10, 10]], 2: [[5, 0, 10, 10]]}, 2.0, None),   # no frame one lag apart
        ]
        for boxes, fps, expected in cases:
            got = tc.drift(boxes, fps)
            if expected is None:
                self.assertIsNone(got, (boxes, fps))
            else:
                self.assertAlmostEqual(got, expected, msg=(fps, expected))

    def test_texture_tells_rough_flames_from_smooth_cloth(self):
        shade = np.linspace(0.8, 1.0, 20)[:, None]
        cloth = patch(20, 110 * shade, 250 * shade)   # a fold: red changes slowly
        rng = np.random.default_rng(2)
        flame = patch(20, 120, rng.integers(160, 256, (20, 20)))
        smooth = tc.box_cues(cloth, self.rate, None, self.box)["texture"]
        rough = tc.box_cues(flame, self.rate, None, self.box)["texture"]
        self.assertLess(smooth, 0.05)
        self.assertGreater(rough, 0.3)

    def test_a_still_image_has_no_flicker_cue(self):
        cues = tc.box_cues(patch(20, 110, 250), None, None, self.box)
        self.assertNotIn("flicker_share", cues)
        self.assertIn("texture", cues)

    def test_image_fire_boxes_are_measured_at_the_working_width(self):
        with tempfile.TemporaryDirectory() as data:
            images = os.path.join(data, "images", "fire-8", "train", "images")
            labels = os.path.join(data, "images", "fire-8", "train", "labels")
            os.makedirs(images)
            os.makedirs(labels)
            frame = np.full((320, 640, 3), 90, np.uint8)
            frame[80:240, 160:480] = (20, 110, 250)   # the right half of the box is not flame
            frame[80:240, 320:480] = (90, 90, 90)
            cv2.imwrite(os.path.join(images, "a.png"), frame)
            with open(os.path.join(labels, "a.txt"), "w") as f:
                f.write("0 0.375 0.5 0.25 0.5\n")   # fire: the orange half
                f.write("2 0.5 0.5 0.5 0.5\n")      # smoke: not measured
            cv2.imwrite(os.path.join(images, "b.png"), frame)
            open(os.path.join(labels, "b.txt"), "w").close()   # no fire
            found = tc.image_fire_cues(data)
        self.assertEqual(len(found), 1, found)
        source, cues = found[0]
        self.assertEqual(source, "fire-8")
        self.assertAlmostEqual(cues["flame_share"], 1.0, places=2)
        self.assertEqual(tc.outside_share([0.1, 0.2, 0.5, 0.9], 0.15, 0.6), (0.25, 0.25))

    def test_no_cues_without_flame_colour(self):
        grey = patch(120, 120, 120)
        self.assertIsNone(tc.box_cues(grey, self.rate, None, self.box))
        self.assertIsNone(tc.box_cues(grey, self.rate, None, [30, 30, 5, 5]), "a box outside")

    def test_flicker_follows_the_detector_rule(self):
        flicker, previous = tc.Flicker(), None
        for i in range(40):
            gray = np.full((4, 4), 100, np.uint8)
            gray[0, 0] = 60 if i % 2 else 200   # reverses on every frame
            gray[1, 1] = 60 if i < 20 else 200  # one edge passing
            gray[2, 2] = 100 + (i % 2) * (tc.FLICKER_MIN_STEP - 1)  # below the step
            rate = flicker.update(gray, previous)
            previous = gray
        self.assertEqual(rate[0, 0], 249)
        self.assertEqual(rate[1, 1], 0)
        self.assertEqual(rate[2, 2], 0)

    def test_the_flame_rule_comes_from_the_model_folder(self):
        with tempfile.TemporaryDirectory() as model:
            with open(os.path.join(model, "model.yml"), "w") as f:
                f.write("%YAML:1.0\n---\ncolour:\n   fire_min_red: 200\n")
            rule = tc.read_flame_rule(model)
        self.assertEqual(rule, {"fire_min_red": 200, "fire_min_red_blue": tc.FLAME["fire_min_red_blue"]})
        dim_orange = patch(20, 110, 180)
        self.assertFalse(tc.flame_mask(dim_orange, rule).any(), "red below the model's 200")
        self.assertTrue(tc.flame_mask(dim_orange).all(), "the defaults are left as they were")

    def test_longest_run_closes_short_gaps(self):
        cases = [([], 0), ([5], 1), ([1, 2, 3, 10, 11], 3), ([1, 5, 9], 9), ([1, 6], 1)]
        for frames, expected in cases:
            self.assertEqual(tc.longest_run(frames), expected, frames)

    def test_an_alarm_held_back_until_detections_last(self):
        cases = [  # frames, hold (s), expected time (s), at 10 frames/s
            ([], 0.0, None),
            ([3], 0.0, 0.3),
            ([0, 1, 2, 3, 4], 0.4, 0.4),
            ([0, 1, 2, 3, 4], 0.5, None),
            ([0, 4, 8, 12], 1.2, 1.2),          # gaps of 3 frames are closed
            ([0, 5, 10, 11, 12], 0.2, 1.2),     # a gap of 4 starts afresh
        ]
        for frames, hold, expected in cases:
            got = tc.first_sustained(frames, 10.0, hold)
            if expected is None:
                self.assertIsNone(got, (frames, hold))
            else:
                self.assertAlmostEqual(got, expected, msg=(frames, hold))

    def test_separation_counts_fire_clips_inside_the_negatives_range(self):
        self.assertEqual(tc.separation([0.5, 0.9], [0.1, 0.3])["fire_inside"], 0)
        self.assertEqual(tc.separation([0.2, 0.9], [0.1, 0.3])["fire_inside"], 1)
        self.assertIsNone(tc.separation([0.2], [])["fire_inside"])


if __name__ == "__main__":
    unittest.main()
