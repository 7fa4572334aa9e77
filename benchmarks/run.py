"""Run every benchmark: each prints a table of our time against a baseline measured in the same run."""
import pathlib
import runpy
import sys

HERE = pathlib.Path(__file__).resolve().parent

if __name__ == "__main__":
    names = sys.argv[1:] or sorted(p.stem for p in HERE.glob("bench_*.py"))
    for name in names:
        print(f"== {name} ==", flush=True)
        runpy.run_path(str(HERE / f"{name}.py"), run_name="__main__")
        print(flush=True)
