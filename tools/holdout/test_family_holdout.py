"""Checks of the leave-one-family-out choice. Run from this folder:

    /usr/bin/python3 -B -m unittest -v test_family_holdout
"""

import os
import sys
import tempfile
import unittest

sys.dont_write_bytecode = True

import family_holdout as fh  # noqa: E402

ALARM, QUIET = fh.Outcome(True, 1.0), fh.Outcome(False, None)


class HoldOutTest(unittest.TestCase):
    # Three families: fire in a and b, a negative clip in c that only "strict" keeps quiet.
    clips = {"a1": fh.Clip(True, "a"), "b1": fh.Clip(True, "b"), "c1": fh.Clip(False, "c"),
             "c2": fh.Clip(False, "c")}

    def test_a_family_is_judged_with_the_setting_chosen_without_it(self):
        runs = {
            "loose": {"a1": ALARM, "b1": ALARM, "c1": ALARM, "c2": ALARM},
            "strict": {"a1": ALARM, "b1": ALARM, "c1": QUIET, "c2": ALARM},
        }
        chosen, pooled = fh.hold_out(runs, self.clips, ["loose", "strict"])
        # Without c nothing tells the two apart: the grid's first setting wins the tie, and c
        # is judged with it, although "strict" would have been better on c itself.
        self.assertEqual(chosen, {"a": "strict", "b": "strict", "c": "loose"})
        self.assertEqual((pooled.detected, pooled.positives), (2, 2))
        self.assertEqual((pooled.false_alarms, pooled.negatives), (2, 2))

    def test_most_found_then_fewest_false_alarms_then_earliest(self):
        early, late = fh.Outcome(True, 0.5), fh.Outcome(True, 2.0)
        clips = {"p": fh.Clip(True, "x"), "q": fh.Clip(True, "x"), "n": fh.Clip(False, "y"),
                 "h": fh.Clip(True, "held")}
        cases = [
            # name, runs of two settings on p, q, n; the setting family "held" must get
            ("more found beats fewer false alarms",
             {"s1": [ALARM, QUIET, QUIET], "s2": [ALARM, ALARM, ALARM]}, "s2"),
            ("fewer false alarms beat an earlier alarm",
             {"s1": [early, early, ALARM], "s2": [late, late, QUIET]}, "s2"),
            ("an earlier alarm breaks the tie",
             {"s1": [late, late, QUIET], "s2": [early, early, QUIET]}, "s2"),
            ("the grid's order breaks the last tie",
             {"s1": [late, late, QUIET], "s2": [late, late, QUIET]}, "s1"),
        ]
        for name, table, expected in cases:
            with self.subTest(name):
                runs = {s: dict(zip("pqn", row), h=ALARM) for s, row in table.items()}
                chosen, _ = fh.hold_out(runs, clips, ["s1", "s2"])
                self.assertEqual(chosen["held"], expected)


class ModelYmlTest(unittest.TestCase):
    def test_set_key_changes_that_key_only(self):
        text = "network:\n   interval: 3\n   smoke_full_motion: 0.2\nverifier:\n   fire_flicker_share: 0.01\n"
        out = fh.set_key(text, "verifier", "fire_flicker_share", 0.04)
        self.assertEqual(out, text.replace("fire_flicker_share: 0.01", "fire_flicker_share: 0.04"))

    def test_a_missing_key_is_an_error_that_names_it(self):
        with self.assertRaises(SystemExit) as e:
            fh.set_key("network:\n   interval: 3\n", "network", "smoke_full_motion", 0.1)
        self.assertIn("network/smoke_full_motion", str(e.exception))


class ManifestTest(unittest.TestCase):
    def read(self, text):
        with tempfile.TemporaryDirectory() as tmp:
            path = os.path.join(tmp, "manifest.csv")
            with open(path, "w") as f:
                f.write(text)
            return fh.read_manifest(path)

    def test_labels_and_families(self):
        clips = self.read("path,label,family\na.mp4,fire+smoke,x\nb.mp4,negative,y\n")
        self.assertEqual(clips, {"a.mp4": fh.Clip(True, "x"), "b.mp4": fh.Clip(False, "y")})

    def test_bad_manifests_name_the_problem(self):
        cases = [("no family column", "path,label\na.mp4,fire\n", "family"),
                 ("unknown label", "path,label,family\na.mp4,fire,x\nb.mp4,lamp,y\n", "line 3")]
        for name, text, expected in cases:
            with self.subTest(name), self.assertRaises(SystemExit) as e:
                self.read(text)
            self.assertIn(expected, str(e.exception))


if __name__ == "__main__":
    unittest.main()
