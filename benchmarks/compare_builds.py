"""Before/after: the same benchmark against two builds, in one run.

    python benchmarks/compare_builds.py OLD_ROOT [NEW_ROOT] [--suite kernels|pipeline]
        [--rounds 5] [--kernels ma,std] [--layouts 1-D,panel] [--windows 20,250]
        [--clock wall|cpu]

OLD_ROOT and NEW_ROOT are directories holding the `quellix` and `vestamo`
packages with their compiled modules (a checkout's `src/` after `make
build`; NEW_ROOT defaults to this checkout's). Each round runs the suite
once per build in a fresh process, alternating which goes first, so load
from elsewhere falls on both alike; the table shows each case's median over
the rounds and new / old.

Suites: `kernels` (benchmarks/kernel_times.py: every rolling kernel on
float64 series and panels), `pipeline` (benchmarks/bench_pipeline.py's
stages on the 5,000-stock sample market).
"""
import argparse
import json
import os
import pathlib
import re
import statistics
import subprocess
import sys

HERE = pathlib.Path(__file__).resolve().parent


def run_kernels(root, args):
    cmd = [sys.executable, str(HERE / "kernel_times.py"), args.kernels, args.layouts, args.clock, args.windows]
    out = subprocess.run(cmd, env=env_for(root), capture_output=True, text=True, check=True).stdout
    return json.loads(out)


STAGE = re.compile(r"^(.+?)\s+(\d+\.\d+)\s+(\d+\.\d+)\s+(\d+\.\d+)$")


def run_pipeline(root, args):
    cmd = [sys.executable, str(HERE / "bench_pipeline.py"), str(args.stocks)]
    out = subprocess.run(cmd, env=env_for(root), capture_output=True, text=True, check=True).stdout
    times = {}
    for line in out.splitlines():
        m = STAGE.match(line.strip())
        if m and not m.group(1).startswith("market"):
            times[m.group(1).strip() + " (wall)"] = float(m.group(2))
            times[m.group(1).strip() + " (CPU)"] = float(m.group(3))
    return times


def env_for(root):
    env = dict(os.environ)
    env["PYTHONPATH"] = str(root)
    return env


def fmt(seconds):
    if seconds >= 1e-3:
        return "%9.2f ms" % (seconds * 1e3)
    return "%9.1f us" % (seconds * 1e6)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("old")
    parser.add_argument("new", nargs="?", default=str(HERE.parent / "src"))
    parser.add_argument("--suite", choices=["kernels", "pipeline"], default="kernels")
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--kernels", default="")
    parser.add_argument("--layouts", default="1-D,panel")
    parser.add_argument("--windows", default="", help="kernels: window lengths (default 5,20,60,120,250)")
    parser.add_argument("--stocks", type=int, default=5000)
    parser.add_argument("--clock", choices=["wall", "cpu"], default="wall",
                        help="kernels: time by the wall clock or by the process's CPU time (steadier under load)")
    args = parser.parse_args()
    runner = run_kernels if args.suite == "kernels" else run_pipeline
    old, new = pathlib.Path(args.old).resolve(), pathlib.Path(args.new).resolve()
    samples = {"old": {}, "new": {}}
    for r in range(args.rounds):
        order = [("old", old), ("new", new)] if r % 2 == 0 else [("new", new), ("old", old)]
        for label, root in order:
            for case, t in runner(root, args).items():
                samples[label].setdefault(case, []).append(t)
        print(f"round {r + 1}/{args.rounds} done", file=sys.stderr, flush=True)
    ratios = []
    print(f"{'case':<34}{'old':>13}{'new':>13}{'new/old':>9}")
    for case in samples["old"]:
        a, b = statistics.median(samples["old"][case]), statistics.median(samples["new"].get(case, [float("nan")]))
        ratio = b / a if a > 0 else float("nan")
        ratios.append(ratio)
        print(f"{case:<34}{fmt(a):>13}{fmt(b):>13}{ratio:9.3f}")
    finite = [x for x in ratios if x == x and x > 0]
    if finite:
        geo = statistics.geometric_mean(finite)
        print(f"geometric mean new/old over {len(finite)} cases: {geo:.3f}; worst {max(finite):.3f}")


if __name__ == "__main__":
    main()
