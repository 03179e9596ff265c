#!/usr/bin/python3
"""Runs the certification program, built against the fault-injecting detector, over a
table of faults and asset layouts, and checks for each case:

  * GoogleTest's JSON report: which tests ran, which failed, how many failures each
    has and what each failure says (substrings, in order), which tests skipped;
  * standard output: the banner, the skip message of each skipped test, the
    benchmark line (present inside PerformanceBenchmark with the expected detection
    count, or absent), and the exit code (1 exactly when a failure is expected);
  * the detector's call log: one detector per test, constructed and destroyed on the
    main thread, lifetimes one after another; the exact sequence of calls each test
    makes (unit tests: only the body's own calls; integration tests: Initialize with
    the model folder, 0.5 and an empty label map, the body's calls, then exactly one
    Destroy); the two workers of the concurrency test on two other threads and
    overlapping in time.

Standard library and cv2 only (cv2 writes the synthetic test videos).
Usage: check_fault_table.py --exe PROGRAM --asset-root DIR --work-dir DIR [--case NAME ...]
"""

import argparse
import dataclasses
import json
import os
import re
import shutil
import subprocess
import sys
import time

UNIT_SUITE = "FireNSmokeUnitTest"
INTEGRATION_SUITE = "FireNSmokeIntegrationTest"
UNIT_TESTS = [
    "EmptyFrameReturnsNoDetections",
    "TinyFrameReturnsNoDetections",
    "UninitializedDetectorReturnsNoDetections",
    "RunInferenceWithCameraId",
    "ConfigureParametersReturnsValidConfig",
    "DestroySucceeds",
    "DestroyCanBeCalledMultipleTimes",
    "InitializeWithInvalidDirectoryFails",
    "OptimizeBeforeInitializeReturnsFalse",
]
INTEGRATION_TESTS = [
    "InitializeProducesLabelMap",
    "InferenceOnSolidFrameReturnsNoDetections",
    "InferenceOnSmallFrame",
    "InferenceOnLargeFrame",
    "DetectionResultFieldsAreValid",
    "PerformanceBenchmark",
    "ThreadSafetyConcurrentInference",
]
SUITE_OF = {**{t: UNIT_SUITE for t in UNIT_TESTS}, **{t: INTEGRATION_SUITE for t in INTEGRATION_TESTS}}
ALL_TESTS = UNIT_TESTS + INTEGRATION_TESTS

MODEL_SUBPATH = "ModelsForZOLVAN/VEK_FireSmoke_v2.0"
VIDEO_SUBPATH = "Videos/FireNSmoke/VEKFireFull.mp4"
VIDEO_SIZE = (160, 120)
VIDEO_FRAMES = {"full": 120, "short": 40}
# The fake detector reports its first detection on the fifth non-uniform frame of a
# camera (FaultyDetector.cpp, kDetectAfter + 1).
DETECTION_FRAME = 5

BENCH_RE = re.compile(r"^\[FireNSmoke\] 100 frames: avg=(\S+)ms/frame, detections=(-?\d+)$")
MODEL_SKIP = "Fire/Smoke model not found at: {model}"
VIDEO_SKIP = "Fire/Smoke test video not found"
INIT_FAILED = ("Value of: ok", "Failed to initialize Fire/Smoke detector")


def fails(*failures):
    """Expected outcome: exactly these failures, in order; each is a substring or a
    tuple of substrings that the failure text must all contain."""
    return ("fail", [f if isinstance(f, tuple) else (f,) for f in failures])


def skip(message):
    return ("skip", message)


@dataclasses.dataclass
class Case:
    name: str
    fault: str = ""
    model: str = "dir"  # dir | missing | file
    video: str = "full"  # full (120 frames) | short (40) | missing | garbage
    expect: dict = dataclasses.field(default_factory=dict)  # test -> outcome; others pass
    bench: dict = None  # None: no benchmark line; else {"detections": N, "avg_min"/"avg_below": ms}
    run: list = None  # tests that must run (default: all sixteen)
    args: tuple = ()


def all_of(tests, outcome):
    return {t: outcome for t in tests}


CASES = [
    Case("healthy", bench={"detections": 100}),
    Case("healthy_short_video", video="short", bench={"detections": 40}),
    Case("list_tests", args=("--gtest_list_tests",)),
    Case("unit_filter_without_assets", model="missing", video="missing", run=UNIT_TESTS,
         args=("--gtest_filter=FireNSmokeUnitTest.*",)),
    Case("model_missing", model="missing", expect=all_of(INTEGRATION_TESTS, skip(MODEL_SKIP))),
    Case("model_is_regular_file", model="file", expect=all_of(INTEGRATION_TESTS, skip(MODEL_SKIP))),
    Case("video_missing", video="missing",
         expect=all_of(["DetectionResultFieldsAreValid", "PerformanceBenchmark"], skip(VIDEO_SKIP))),
    Case("video_unreadable", video="garbage",
         expect={"DetectionResultFieldsAreValid": fails("Value of: cap.isOpened()"),
                 "PerformanceBenchmark": fails(("totalDetections", "-1", "Video could not be opened"))}),
    # A false Destroy fails the unit tests that assert it, never the integration
    # fixture's tear-down.
    Case("destroy_always_false", fault="destroy_false", bench={"detections": 100},
         expect={"DestroySucceeds": fails("Value of: detector.Destroy()"),
                 "DestroyCanBeCalledMultipleTimes": fails("Value of: detector.Destroy()",
                                                          "Value of: detector.Destroy()")}),
    Case("destroy_false_on_second_call", fault="destroy_false_second", bench={"detections": 100},
         expect={"DestroyCanBeCalledMultipleTimes": fails("Value of: detector.Destroy()")}),
    Case("initialize_accepts_missing_path", fault="init_accept_any", bench={"detections": 100},
         expect={"InitializeWithInvalidDirectoryFails": fails(("Value of: result", "Actual: true"))}),
    Case("initialize_fails", fault="init_fail", expect=all_of(INTEGRATION_TESTS, fails(INIT_FAILED))),
    Case("initialize_empty_label_map", fault="init_empty_labelmap", bench={"detections": 100},
         expect={"InitializeProducesLabelMap": fails("Value of: labelMap.empty()", "Value of: classes.empty()")}),
    Case("optimize_without_model", fault="optimize_true", bench={"detections": 100},
         expect={"OptimizeBeforeInitializeReturnsFalse": fails("Value of: detector.OptimizeModel(true)")}),
    Case("config_returns_false", fault="config_false", bench={"detections": 100},
         expect={"ConfigureParametersReturnsValidConfig": fails("Value of: result")}),
    Case("config_empty_roi", fault="config_no_roi", bench={"detections": 100},
         expect={"ConfigureParametersReturnsValidConfig": fails("Value of: params.ROI_Config.empty()")}),
    Case("config_single_parameter", fault="config_one_param", bench={"detections": 100},
         expect={"ConfigureParametersReturnsValidConfig": fails("(params.Parameters.size()) >= (2u)")}),
    Case("config_names_in_other_case", fault="config_name_case", bench={"detections": 100},
         expect={"ConfigureParametersReturnsValidConfig": fails(
             ("Value of: hasSmokeScore", "Missing SmokeScore parameter"),
             ("Value of: hasSensitivity", "Missing Sensitivity parameter"))}),
    Case("config_smoke_max_100", fault="config_smoke_max100", bench={"detections": 100},
         expect={"ConfigureParametersReturnsValidConfig": fails(("p.MaxValue", "100"))}),
    Case("config_smoke_twice", fault="config_dup_smoke", bench={"detections": 100},
         expect={"ConfigureParametersReturnsValidConfig": fails(("p.DataType", '"Float"'),
                                                                ("p.DataType", '"Float"'))}),
    Case("detections_without_model", fault="uninit_detect", bench={"detections": 100},
         expect=all_of(UNIT_TESTS[:4], fails("Value of: results.empty()"))),
    Case("inference_throws_on_empty_image", fault="throw_on_empty", bench={"detections": 100},
         expect={"EmptyFrameReturnsNoDetections": fails(
             ('C++ exception with description "injected fault: empty image"', "thrown in the test body"))}),
    Case("detection_on_gray_frame", fault="gray_detect", bench={"detections": 100},
         expect={"InferenceOnSolidFrameReturnsNoDetections": fails(
             ("Value of: results.empty()", "Solid gray frame should not trigger fire/smoke"))}),
    Case("video_class_1", fault="video_class1", bench={"detections": 100},
         expect={"DetectionResultFieldsAreValid": fails("Expected fire (0) or smoke (2), got classId=1")}),
    Case("video_nan_confidence", fault="video_nan", bench={"detections": 100},
         expect={"DetectionResultFieldsAreValid": fails(("(obj.confidence) >= (0.0f)", "nan"),
                                                        ("(obj.confidence) <= (1.0f)", "nan"))}),
    Case("video_negative_box", fault="video_neg_box", bench={"detections": 100},
         expect={"DetectionResultFieldsAreValid": fails(("(obj.box.width) >= (0)", "-1"),
                                                        ("(obj.box.height) >= (0)", "-1"))}),
    Case("video_without_detections", fault="video_no_detections", bench={"detections": 100}),
    Case("worker_throws", fault="worker_throw", bench={"detections": 100},
         expect={"ThreadSafetyConcurrentInference": fails(
             'C++ exception with description "injected fault: inference for cam_2 failed"')}),
    Case("benchmark_mean_200ms", fault="slow_ms=200", video="short",
         bench={"detections": 40, "avg_min": 200.0},
         expect={"PerformanceBenchmark": fails(("(avgMs) < (200.0)", "Average inference time exceeds 200ms"))}),
    Case("benchmark_mean_190ms", fault="slow_ms=190", video="short",
         bench={"detections": 40, "avg_min": 190.0, "avg_below": 200.0}),
]

# Calls each unit test body makes, and nothing else (the unit fixture adds none).
UNIT_CALLS = {
    "EmptyFrameReturnsNoDetections": [("RI1", {"size": "0x0"})],
    "TinyFrameReturnsNoDetections": [("RI1", {"size": "5x5"})],
    "UninitializedDetectorReturnsNoDetections": [("RI1", {"size": "640x480"})],
    "RunInferenceWithCameraId": [("RI2", {"size": "640x480", "cam": "test_cam_01"})],
    "ConfigureParametersReturnsValidConfig": [("ConfigureParameters", {})],
    "DestroySucceeds": [("Destroy", {})],
    "DestroyCanBeCalledMultipleTimes": [("Destroy", {}), ("Destroy", {})],
    "InitializeWithInvalidDirectoryFails": [
        ("Initialize", {"dir": "C:\\NonExistent\\Path\\Model", "threshold": "0.5", "labelmap_in": ""})],
    "OptimizeBeforeInitializeReturnsFalse": [("OptimizeModel", {"arg": "1"})],
}


def expected_calls(case, test, model_dir):
    """The calls the detector of `test` must receive, in order."""
    if test in UNIT_CALLS:
        return UNIT_CALLS[test]
    destroy = [("Destroy", {})]
    if case.model != "dir":
        return destroy
    calls = [("Initialize", {"dir": model_dir, "threshold": "0.5", "labelmap_in": ""})]
    if "init_fail" in case.fault:
        return calls + destroy
    frames = VIDEO_FRAMES.get(case.video, 0)
    video_frame = "%dx%d" % VIDEO_SIZE
    body = {
        "InitializeProducesLabelMap": [],
        "InferenceOnSolidFrameReturnsNoDetections": [("RI2", {"size": "1920x1080", "cam": "test_cam"})],
        "InferenceOnSmallFrame": [("RI2", {"size": "320x240", "cam": "test_cam"})],
        "InferenceOnLargeFrame": [("RI2", {"size": "3840x2160", "cam": "test_cam"})],
        "DetectionResultFieldsAreValid": [("RI2", {"size": video_frame, "cam": "test_cam"})] * min(
            frames, 300 if "video_no_detections" in case.fault else DETECTION_FRAME),
        "PerformanceBenchmark": [("RI1", {"size": video_frame})] * min(frames, 100),
        "ThreadSafetyConcurrentInference": [("RI2", {"size": "640x480", "cam": "cam_1"}),
                                            ("RI2", {"size": "640x480", "cam": "cam_2"})],
    }[test]
    return calls + body + destroy


# ---------------------------------------------------------------------------
# Assets
# ---------------------------------------------------------------------------

def make_videos(folder):
    """Synthetic moving-gradient videos; never any recorded footage."""
    import cv2
    import numpy as np

    os.makedirs(folder, exist_ok=True)
    paths = {}
    width, height = VIDEO_SIZE
    ramp = np.tile(np.arange(width, dtype=np.uint8), (height, 1))
    for kind, count in VIDEO_FRAMES.items():
        path = os.path.join(folder, kind + ".mp4")
        writer = cv2.VideoWriter(path, cv2.VideoWriter_fourcc(*"mp4v"), 25.0, (width, height))
        if not writer.isOpened():
            sys.exit("cannot write the test video " + path)
        for i in range(count):
            writer.write(np.dstack([ramp, np.roll(ramp, 3 * i, axis=1), np.full_like(ramp, (5 * i) % 256)]))
        writer.release()
        capture = cv2.VideoCapture(path)
        read = 0
        while capture.read()[0]:
            read += 1
        if read != count:
            sys.exit("test video %s has %d readable frames instead of %d" % (path, read, count))
        paths[kind] = path
    return paths


def lay_out_assets(root, case, videos):
    shutil.rmtree(root, ignore_errors=True)
    os.makedirs(root)
    model = os.path.join(root, MODEL_SUBPATH)
    video = os.path.join(root, VIDEO_SUBPATH)
    if case.model == "dir":
        os.makedirs(model)
        with open(os.path.join(model, "model.yml"), "w") as f:
            f.write("%YAML:1.0\n---\nname: placeholder\n")
    elif case.model == "file":
        os.makedirs(os.path.dirname(model))
        with open(model, "w") as f:
            f.write("a regular file where the model folder belongs\n")
    if case.video in videos:
        os.makedirs(os.path.dirname(video))
        shutil.copyfile(videos[case.video], video)
    elif case.video == "garbage":
        os.makedirs(os.path.dirname(video))
        with open(video, "wb") as f:
            f.write(b"this is not a video\n" * 64)
    return model, video


# ---------------------------------------------------------------------------
# Parsing
# ---------------------------------------------------------------------------

UNESCAPE = {"t": "\t", "n": "\n", "\\": "\\"}


def parse_call_log(path):
    events = []
    if not os.path.exists(path):
        return events
    with open(path) as f:
        for index, line in enumerate(f):
            fields = {}
            for item in line.rstrip("\n").split("\t"):
                key, _, value = item.partition("=")
                fields[key] = re.sub(r"\\(.)", lambda m: UNESCAPE.get(m.group(1), m.group(1)), value)
            fields["index"] = index
            fields["t_us"] = int(fields["t_us"])
            fields["obj"] = int(fields["obj"])
            events.append(fields)
    return events


def split_stdout(lines):
    """Lines printed inside each test, keyed by test name, and its closing status."""
    segments, status, current = {}, {}, None
    for line in lines:
        m = re.match(r"^\[ RUN      \] (\w+)\.(\w+)$", line)
        if m:
            current = m.group(2)
            segments[current] = []
            continue
        m = re.match(r"^\[ +(OK|FAILED|SKIPPED) +\] (\w+)\.(\w+) \(", line)
        if m and m.group(3) == current:
            status[current] = m.group(1)
            current = None
            continue
        if current is not None:
            segments[current].append(line)
    return segments, status


def skip_message(segment):
    for i, line in enumerate(segment):
        if line.endswith(": Skipped"):
            return "\n".join(segment[i + 1:])
    return None


# ---------------------------------------------------------------------------
# Checks
# ---------------------------------------------------------------------------

def check_report(case, report, segments, status, model_dir, errors):
    ran = [(s["name"], t["name"], t) for s in report["testsuites"] for t in s["testsuite"]]
    want = case.run or ALL_TESTS
    if [(SUITE_OF[t], t) for t in want] != [(s, n) for s, n, _ in ran]:
        errors.append("tests in the report: %s, expected %s" % ([n for _, n, _ in ran], want))
        return
    for _, name, entry in ran:
        kind, detail = case.expect.get(name, ("pass", None))
        got = [f["failure"] for f in entry.get("failures", [])]
        if kind == "skip":
            message = detail.format(model=model_dir)
            if entry["result"] != "SKIPPED" or got or status.get(name) != "SKIPPED":
                errors.append("%s: expected a skip, got %s/%s with %d failures"
                              % (name, entry["result"], status.get(name), len(got)))
            elif skip_message(segments.get(name, [])) != message:
                errors.append("%s: skip message %r, expected %r"
                              % (name, skip_message(segments.get(name, [])), message))
            continue
        if entry["result"] != "COMPLETED":
            errors.append("%s: result %s, expected it to run" % (name, entry["result"]))
        failures = detail if kind == "fail" else []
        if len(got) != len(failures):
            errors.append("%s: %d failures, expected %d: %s" % (name, len(got), len(failures), got))
            continue
        for i, (text, needles) in enumerate(zip(got, failures)):
            missing = [n for n in needles if n not in text]
            if missing:
                errors.append("%s: failure %d lacks %s: %r" % (name, i + 1, missing, text))
        if status.get(name) != ("FAILED" if failures else "OK"):
            errors.append("%s: closing status %s on standard output" % (name, status.get(name)))


def check_benchmark(case, lines, segments, errors):
    found = [line for line in lines if line.startswith("[FireNSmoke]")]
    if case.bench is None:
        if found:
            errors.append("unexpected benchmark line %r" % found)
        return
    inside = [line for line in segments.get("PerformanceBenchmark", []) if BENCH_RE.match(line)]
    if len(found) != 1 or inside != found:
        errors.append("expected one benchmark line inside PerformanceBenchmark, got %r" % found)
        return
    avg, detections = BENCH_RE.match(inside[0]).groups()
    avg = float(avg)
    if int(detections) != case.bench["detections"]:
        errors.append("benchmark detections=%s, expected %d" % (detections, case.bench["detections"]))
    if avg < case.bench.get("avg_min", 0.0) or avg >= case.bench.get("avg_below", float("inf")):
        errors.append("benchmark avg=%s outside [%s, %s)"
                      % (avg, case.bench.get("avg_min", 0.0), case.bench.get("avg_below", "inf")))


def group_calls(events):
    """Per object: its events with each RunInference begin/end pair folded into one call."""
    objects = {}
    open_calls = {}
    for e in events:
        ev = e["ev"]
        calls = objects.setdefault(e["obj"], [])
        if ev.endswith(".begin"):
            call = dict(e, ev=ev.split(".")[0], begin=e["t_us"], end=None)
            calls.append(call)
            open_calls[(e["obj"], e["tid"])] = call
        elif ev.endswith(".end") or ev.endswith(".throw"):
            call = open_calls.pop((e["obj"], e["tid"]), None)
            if call is not None:
                call["end"] = e["t_us"]
        else:
            calls.append(dict(e, begin=e["t_us"], end=e["t_us"]))
    return objects


def check_call_log(case, events, tests_run, model_dir, errors):
    if not events:
        errors.append("the call log is empty")
        return
    main_tid = events[0]["tid"]
    objects = group_calls(events)
    serials = sorted(objects)
    if len(serials) != len(tests_run):
        errors.append("%d detectors constructed for %d tests" % (len(serials), len(tests_run)))
        return
    previous_end = -1
    for serial, test in zip(serials, tests_run):
        calls = objects[serial]
        kinds = [c["ev"] for c in calls]
        if kinds[0] != "ctor" or kinds[-1] != "dtor" or kinds.count("ctor") != 1 or kinds.count("dtor") != 1:
            errors.append("%s: detector events %s do not start with its construction and end with its "
                          "destruction" % (test, kinds))
            continue
        if calls[0]["index"] < previous_end:
            errors.append("%s: detector constructed before the previous one was destroyed" % test)
        previous_end = calls[-1]["index"]
        if any(c["end"] is None for c in calls):
            errors.append("%s: a RunInference call never returned" % test)
        body = calls[1:-1]
        want = expected_calls(case, test, model_dir)
        got = [(c["ev"], {k: c.get(k) for k in attrs}) for c, (_, attrs) in zip(body, want)]
        if test == "ThreadSafetyConcurrentInference" and len(got) > 2:  # the workers start in any order
            got = got[:1] + sorted(got[1:-1], key=lambda c: c[1].get("cam") or "") + got[-1:]
        if len(body) != len(want) or got != want:
            first = next((i for i, (g, w) in enumerate(zip(got, want)) if g != w), min(len(got), len(want)))
            shown = [(c["ev"], {k: v for k, v in c.items() if k in ("size", "cam", "dir", "threshold")})
                     for c in body[first:first + 2]]
            errors.append("%s: %d calls, expected %d; from call %d on got %s, expected %s"
                          % (test, len(body), len(want), first + 1, shown, want[first:first + 2]))
            continue
        workers = [c for c in body if c.get("cam") in ("cam_1", "cam_2")]
        others = [c for c in calls if c not in workers]
        if any(c["tid"] != main_tid for c in others):
            errors.append("%s: a call other than the concurrent workers ran off the main thread" % test)
        if workers:
            a, b = workers
            if len({a["tid"], b["tid"], main_tid}) != 3:
                errors.append("%s: the two workers did not run on two threads of their own" % test)
            if not (a["begin"] < b["end"] and b["begin"] < a["end"]):
                errors.append("%s: the two worker calls did not overlap in time" % test)


def check_listing(lines, errors):
    want = []
    for suite, tests in ((UNIT_SUITE, UNIT_TESTS), (INTEGRATION_SUITE, INTEGRATION_TESTS)):
        want.append(suite + ".")
        want.extend("  " + t for t in tests)
    if lines[1:] != want:
        errors.append("test listing %r" % lines[1:])


def run_case(case, args, videos):
    folder = os.path.join(args.work_dir, case.name)
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)
    model_dir, _ = lay_out_assets(args.asset_root, case, videos)
    log_path = os.path.join(folder, "calls.log")
    json_path = os.path.join(folder, "report.json")
    env = {k: v for k, v in os.environ.items() if not k.startswith("GTEST_")}
    env.update(FIRESMOKE_FAULT=case.fault, FIRESMOKE_CALL_LOG=log_path)
    command = [args.exe] + list(case.args)
    listing = "--gtest_list_tests" in case.args
    if not listing:
        command.append("--gtest_output=json:" + json_path)
    proc = subprocess.run(command, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                          timeout=90)
    with open(os.path.join(folder, "stdout.txt"), "w") as f:
        f.write(proc.stdout)
    with open(os.path.join(folder, "stderr.txt"), "w") as f:
        f.write(proc.stderr)

    errors = []
    lines = proc.stdout.splitlines()
    if not lines or not lines[0].startswith("Running main() from "):
        errors.append("standard output does not start with the banner")
    events = parse_call_log(log_path)
    if listing:
        check_listing(lines, errors)
        if events:
            errors.append("listing the tests constructed or called a detector: %s" % events[0]["ev"])
        if proc.returncode != 0:
            errors.append("exit code %d, expected 0" % proc.returncode)
        return errors
    if not os.path.exists(json_path):
        return errors + ["no JSON report (exit code %d): %s" % (proc.returncode, proc.stderr[-500:])]
    with open(json_path) as f:
        report = json.load(f)
    segments, status = split_stdout(lines)
    check_report(case, report, segments, status, model_dir, errors)
    check_benchmark(case, lines, segments, errors)
    check_call_log(case, events, case.run or ALL_TESTS, model_dir, errors)
    want_exit = 1 if any(kind == "fail" for kind, _ in case.expect.values()) else 0
    if proc.returncode != want_exit:
        errors.append("exit code %d, expected %d" % (proc.returncode, want_exit))
    return errors


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--exe", required=True, help="FireNSmokeDetection_FaultTests")
    parser.add_argument("--asset-root", required=True, help="the asset root compiled into the program")
    parser.add_argument("--work-dir", required=True, help="where each case keeps its output and call log")
    parser.add_argument("--case", action="append", help="run only this case (repeatable)")
    args = parser.parse_args()
    args.asset_root = os.path.abspath(args.asset_root)
    args.work_dir = os.path.abspath(args.work_dir)

    names = {c.name for c in CASES}
    unknown = set(args.case or []) - names
    if unknown:
        sys.exit("unknown case(s): %s" % ", ".join(sorted(unknown)))
    os.makedirs(args.work_dir, exist_ok=True)
    videos = make_videos(os.path.join(args.work_dir, "videos"))

    passed = failed = 0
    started = time.monotonic()
    for case in CASES:
        if args.case and case.name not in args.case:
            continue
        t0 = time.monotonic()
        errors = run_case(case, args, videos)
        took = time.monotonic() - t0
        if errors:
            failed += 1
            print("FAIL %-36s (%.1fs)" % (case.name, took))
            for e in errors:
                print("     - " + e)
        else:
            passed += 1
            print("ok   %-36s (%.1fs)" % (case.name, took))
        sys.stdout.flush()
    print("conformance cases: %.1fs in all" % (time.monotonic() - started))
    print("%d passed, %d failed" % (passed, failed))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
