#!/usr/bin/env python3
"""Regenerates the speed table of README.md from one run of the peer harness.

Usage: bench/speed_table.py [--from LOG] [--harness PATH] [-- HARNESS-ARGS...]

Without --from, runs the harness (../shared/bench/run_vs_qor.sh next to the
project unless --harness names another) over this checkout, keeps its output
in build/speed-run.txt, and rewrites the table between the speed-table
markers of README.md: every format, our time, the fastest peer's, the ratio
and the goal. With --from, the table is made from a saved output instead.
"""
import os
import re
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BEGIN = "<!-- speed table: bench/speed_table.py writes what follows -->"
END = "<!-- end of speed table -->"
LINE = re.compile(
    r"^(?P<label>.+?)\s+qor/fastest-peer =\s+(?P<ratio>\S+)\s+"
    r"(?:goal <= (?P<goal>\S+)\s+(?P<verdict>ok|NOT)|\(not judged\))\s+"
    r"(?P<detail>.*)$")
OURS = re.compile(r"qor (?P<ms>[\d.]+) ms(?: \((?P<size>[^)]*)\))?")
PEER = re.compile(r", (?P<peer>[\w.+-]+) (?P<ms>[\d.]+) ms(?: \((?P<size>[^)]*)\))?")


def rows_of(text):
    rows = []
    for line in text.splitlines():
        m = LINE.match(line.strip())
        if not m:
            continue
        ours = OURS.search(m["detail"])
        peer = PEER.search(m["detail"])
        rows.append({
            "label": m["label"].strip(),
            "ratio": m["ratio"],
            "goal": m["goal"] or "",
            "verdict": m["verdict"] or "not judged",
            "ours": ours["ms"] + " ms" + (" (%s)" % ours["size"] if ours and ours["size"] else "") if ours else "n/a",
            "peer": "%s %s ms" % (peer["peer"], peer["ms"]) + (" (%s)" % peer["size"] if peer["size"] else "")
            if peer else "none measured",
        })
    return rows


def table(rows, summary):
    out = [BEGIN, "", "| format | qorimage | fastest peer | ratio | goal | within |", "|---|---:|---:|---:|---:|---|"]
    for r in rows:
        out.append("| %s | %s | %s | %s | %s | %s |" % (
            r["label"], r["ours"], r["peer"], r["ratio"], "≤ " + r["goal"] if r["goal"] else "—", r["verdict"]))
    out += ["", summary, "", END]
    return "\n".join(out)


def main(argv):
    log = None
    harness = os.path.join(os.path.dirname(ROOT), "shared", "bench", "run_vs_qor.sh")
    extra = []
    if "--" in argv:
        extra = argv[argv.index("--") + 1:]
        argv = argv[:argv.index("--")]
    while argv:
        opt = argv.pop(0)
        if opt == "--from" and argv:
            log = argv.pop(0)
        elif opt == "--harness" and argv:
            harness = argv.pop(0)
        else:
            sys.exit(__doc__)
    if log:
        text = open(log, encoding="utf-8").read()
    else:
        run = subprocess.run(["bash", harness, ROOT] + extra, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                             text=True)
        text = run.stdout
        os.makedirs(os.path.join(ROOT, "build"), exist_ok=True)
        with open(os.path.join(ROOT, "build", "speed-run.txt"), "w", encoding="utf-8") as f:
            f.write(text)
    rows = rows_of(text)
    if not rows:
        sys.exit("speed_table: the harness output holds no summary lines")
    summary = next((l.strip() for l in text.splitlines() if re.match(r"^\d+ formats within goal", l.strip())), "")
    readme = os.path.join(ROOT, "README.md")
    body = open(readme, encoding="utf-8").read()
    if BEGIN not in body or END not in body:
        sys.exit("speed_table: README.md has no speed-table markers")
    head, rest = body.split(BEGIN, 1)
    tail = rest.split(END, 1)[1]
    with open(readme, "w", encoding="utf-8") as f:
        f.write(head + table(rows, summary) + tail)
    print("speed_table: %d rows written to README.md (%s)" % (len(rows), summary))


if __name__ == "__main__":
    main(sys.argv[1:])
