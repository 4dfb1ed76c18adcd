"""Prints bench/results.json as a Markdown table (for the README's performance section)."""

import json
import pathlib
import sys

from harness import format_seconds

path = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else pathlib.Path(__file__).with_name("results.json"))
data = json.loads(path.read_text())
print("| case | zevra | reference | ratio | target |")
print("|---|---|---|---|---|")
for row in data["cases"]:
    target = "" if row["target"] is None else f"<= {row['target']:g}" + ("" if row["met"] else " (missed)")
    print(f"| {row['case']} | {format_seconds(row['zevra_s'])} | "
          f"{format_seconds(row['reference_s'])} {row['reference']} | {row['ratio']:.3f} | {target} |")
for check in data.get("checks", []):
    print(f"| {check['check']} | {'holds' if check['holds'] else 'fails'} | {check['detail']} | | |")
