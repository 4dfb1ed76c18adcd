"""Draws the benchmark ratios of a results file (bench/run.py writes one) as a bar chart.

One bar per case, from 1 to zevra's time over the reference's, on a logarithmic axis: bars to
the left of the line at 1 are cases where zevra is faster. The colour names the reference,
a diamond marks the case's target, and a red edge marks a missed target.
Usage: chart.py [--json PATH] [--out PATH]
"""

from __future__ import annotations

import argparse
import json
import pathlib

from matplotlib.backends.backend_agg import FigureCanvasAgg
from matplotlib.figure import Figure
from matplotlib.lines import Line2D
from matplotlib.patches import Patch
from matplotlib.ticker import FixedLocator, FuncFormatter, NullFormatter

HERE = pathlib.Path(__file__).resolve().parent
COLOURS = {"numpy": "tab:blue", "torch": "tab:orange", "ml_dtypes": "tab:green",
           "zevra f32": "tab:purple"}
OTHER = "tab:gray"


def draw(results: dict, out: pathlib.Path) -> None:
    cases = results["cases"]
    fig = Figure(figsize=(11, 1.6 + 0.3 * len(cases)), layout="constrained")
    FigureCanvasAgg(fig)
    ax = fig.add_subplot()
    rows = range(len(cases))
    ratios = [c["ratio"] for c in cases]
    ax.barh(rows, [r - 1 for r in ratios], left=1, height=0.7,
            color=[COLOURS.get(c["reference"], OTHER) for c in cases],
            edgecolor=["red" if c["met"] is False else "none" for c in cases], linewidth=1.5)
    for y, c in zip(rows, cases):
        ax.annotate(f"{c['ratio']:.2f}", (c["ratio"], y), xytext=(3 if c["ratio"] >= 1 else -3, 0),
                    textcoords="offset points", va="center", fontsize=7,
                    ha="left" if c["ratio"] >= 1 else "right")
    targeted = [(y, c["target"]) for y, c in zip(rows, cases) if c["target"] is not None]
    if targeted:
        ax.scatter([t for _, t in targeted], [y for y, _ in targeted], marker="D", s=22,
                   facecolor="white", edgecolor="black", zorder=3)
    ax.axvline(1, color="black", linewidth=1)
    ax.set_xscale("log")
    low, high = min(ratios + [t for _, t in targeted]), max(ratios + [t for _, t in targeted])
    ax.set_xlim(min(low, 1) / 1.6, max(high, 1) * 1.6)
    ax.xaxis.set_major_locator(FixedLocator([0.01, 0.02, 0.05, 0.1, 0.2, 0.5, 1, 2, 5, 10, 20]))
    ax.xaxis.set_major_formatter(FuncFormatter(lambda x, _: f"{x:g}"))
    ax.xaxis.set_minor_formatter(NullFormatter())
    ax.set_yticks(list(rows), [c["case"] for c in cases], fontsize=8)
    ax.invert_yaxis()  # the order of the run, top to bottom
    ax.set_xlabel("zevra's time / reference's time (left of 1: zevra is faster)")
    meta = results.get("meta", {})
    ax.set_title(f"zevra against its references, Python {meta.get('python', '?')} "
                 f"on {meta.get('machine', '?')}")
    used = dict.fromkeys(c["reference"] for c in cases)
    handles = [Patch(color=COLOURS.get(r, OTHER), label=f"against {r}") for r in used]
    handles.append(Line2D([], [], marker="D", linestyle="none", markerfacecolor="white",
                          markeredgecolor="black", markersize=5, label="target"))
    if any(c["met"] is False for c in cases):
        handles.append(Patch(facecolor="white", edgecolor="red", label="target missed"))
    ax.legend(handles=handles, loc="lower right", fontsize=8)
    fig.savefig(out, dpi=110)


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--json", default=str(HERE / "results.json"))
    parser.add_argument("--out", default=str(HERE / "ratios.png"))
    args = parser.parse_args()
    draw(json.loads(pathlib.Path(args.json).read_text()), pathlib.Path(args.out))
    print(f"wrote {args.out}")


if __name__ == "__main__":
    main()
