"""How long the extension modules take to build.

    python benchmarks/bench_build.py            # from scratch, in a temporary directory
    python benchmarks/bench_build.py --report build/dev   # an existing build's log

From scratch: configures and builds both modules (Release, two jobs, this
checkout's sources) in a temporary directory and prints the wall time, the
compilers' CPU time and the slowest translation units. With --report: the
same figures read from a build directory's ninja log (wall time there is
from the first compile to the last link, without configuring). The budget:
120 s wall on two cores from scratch, no file above 60 s.
"""
import argparse
import os
import pathlib
import resource
import shutil
import subprocess
import sys
import sysconfig
import tempfile
import time

ROOT = pathlib.Path(__file__).resolve().parent.parent


def ninja_entries(build_dir):
    """(start ms, end ms) of the newest run of each step the build still has."""
    lines = (pathlib.Path(build_dir) / ".ninja_log").read_text().splitlines()[1:]
    targets = subprocess.run(["ninja", "-C", str(build_dir), "-t", "targets", "all"], capture_output=True,
                             text=True, check=True).stdout
    current = {line.rsplit(":", 1)[0] for line in targets.splitlines()}
    latest = {}
    for line in lines:
        start, end, _, output, _ = line.split("\t")
        if output in current or os.path.join(str(build_dir), output) in current:
            latest[output] = (int(start), int(end))
    return latest


def report(build_dir, wall=None, cpu=None, top=5):
    steps = ninja_entries(build_dir)
    compiles = {out: (s, e) for out, (s, e) in steps.items() if out.endswith((".o", ".gch", ".so"))}
    if not compiles:
        print(f"no compile steps in {build_dir}/.ninja_log")
        return
    span = (max(e for _, e in compiles.values()) - min(s for s, _ in compiles.values())) / 1000
    serial = sum(e - s for s, e in compiles.values()) / 1000
    if wall is not None:
        print(f"build wall time: {wall:.1f} s (configure + compile + link); compiler CPU time: {cpu:.1f} s")
    print(f"compile + link span: {span:.1f} s; sum of step times: {serial:.1f} s over {len(compiles)} steps")
    print(f"slowest {top}:")
    for out, (s, e) in sorted(compiles.items(), key=lambda kv: kv[1][0] - kv[1][1])[:top]:
        print(f"  {(e - s) / 1000:7.1f} s  {out}")


def from_scratch(jobs, top):
    python = sys.executable
    pybind11_dir = subprocess.run([python, "-m", "pybind11", "--cmakedir"], capture_output=True, text=True,
                                  check=True).stdout.strip()
    cmake = shutil.which("cmake", path=os.pathsep.join([sysconfig.get_path("scripts"), os.environ["PATH"]]))
    with tempfile.TemporaryDirectory(prefix="quellix-build-") as tmp:
        build, out = pathlib.Path(tmp) / "build", pathlib.Path(tmp) / "out"
        before = resource.getrusage(resource.RUSAGE_CHILDREN)
        t = time.perf_counter()
        subprocess.run([cmake, "-S", str(ROOT), "-B", str(build), "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Release",
                        f"-DPython_EXECUTABLE={python}", f"-Dpybind11_DIR={pybind11_dir}",
                        f"-DQUELLIX_OUTPUT_DIR={out}"], check=True, stdout=subprocess.DEVNULL)
        subprocess.run([cmake, "--build", str(build), "-j", str(jobs)], check=True, stdout=subprocess.DEVNULL)
        wall = time.perf_counter() - t
        after = resource.getrusage(resource.RUSAGE_CHILDREN)
        cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
        report(build, wall, cpu, top)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--report", metavar="BUILD_DIR")
    parser.add_argument("--jobs", type=int, default=2)
    parser.add_argument("--top", type=int, default=5, help="how many of the slowest steps to list")
    args = parser.parse_args()
    if args.report:
        report(args.report, top=args.top)
    else:
        from_scratch(args.jobs, args.top)


if __name__ == "__main__":
    main()
