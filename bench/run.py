"""Runs every benchmark case (bench/cases_*.py) and prints and saves the ratios.

Each case times zevra and its counterpart in this process, alternating them; the ratio is
zevra's median time over the counterpart's (below 1: zevra is faster).
Draws them in a bar chart too when matplotlib is installed (bench/chart.py).
Usage: run.py [--filter TEXT] [--json PATH] [--chart PATH]
"""

from __future__ import annotations

import argparse
import importlib
import importlib.util
import json
import os
import pathlib
import platform
import sys

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")  # compare single-threaded products

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

from harness import format_seconds, measure  # noqa: E402


def load_cases():
    for path in sorted(HERE.glob("cases_*.py")):
        module = importlib.import_module(path.stem)
        yield from module.cases()


def main() -> int:
    parser = argparse.ArgumentParser()
    parser.add_argument("--filter", default="", help="run only cases whose name contains this")
    parser.add_argument("--json", default=str(HERE / "results.json"))
    parser.add_argument("--chart", default=str(HERE / "ratios.png"))
    args = parser.parse_args()

    rows = []
    header = f"{'case':58} {'zevra':>10} {'reference':>22} {'ratio':>7} {'target':>7}"
    print(header)
    print("-" * len(header))
    for case in load_cases():
        if args.filter not in case.name:
            continue
        t = measure(case)
        mark = {None: "", True: "ok", False: "MISS"}[t.met]
        target = "" if case.target is None else f"<={case.target:g}"
        ref = f"{format_seconds(t.reference_s)} {case.reference_name}"
        print(f"{case.name:58} {format_seconds(t.zevra_s):>10} {ref:>22} {t.ratio:7.3f} {target:>7} {mark}",
              flush=True)
        rows.append({"case": case.name, "zevra_s": t.zevra_s, "reference": case.reference_name,
                     "reference_s": t.reference_s, "ratio": t.ratio, "target": case.target,
                     "met": t.met})
    checks = []
    for path in sorted(HERE.glob("checks_*.py")):
        for name, ok, detail in importlib.import_module(path.stem).checks():
            if args.filter in name:
                print(f"{name:58} {'holds' if ok else 'FAILS':>10}  {detail}", flush=True)
                checks.append({"check": name, "holds": ok, "detail": detail})
    meta = {"python": sys.version.split()[0], "machine": platform.machine(),
            "processor": platform.processor()}
    results = {"meta": meta, "cases": rows, "checks": checks}
    pathlib.Path(args.json).write_text(json.dumps(results, indent=2))
    print(f"\nwrote {args.json}")
    if rows and importlib.util.find_spec("matplotlib") is not None:
        import chart

        chart.draw(results, pathlib.Path(args.chart))
        print(f"wrote {args.chart}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
