"""Checks of the cue measurements. Run from this folder:

    /usr/bin/python3 -B -m unittest -v test_track_cues
"""

import os
import sys
import tempfile
import unittest

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
