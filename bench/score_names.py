#!/usr/bin/env python3
"""How many files of a card came back under their original names.

usage: score_names.py TRUTH.tsv OUTDIR

TRUTH.tsv is the card's truth table (name, size, sha256, ...; name is the file's path on the
card). For each true file: named (an output whose file name is the file's), in its folder (the
output's path below OUTDIR is the file's path on the card, or differs only in the top folder,
whose name a quick format wipes with the root folder), and byte-identical under that name.
"""
import hashlib
import os
import sys


def main():
    if len(sys.argv) != 3:
        print(__doc__)
        return 2
    truth_path, out = sys.argv[1], sys.argv[2]
    with open(truth_path, encoding="utf-8") as f:
        header = f.readline().rstrip("\n").split("\t")
        col = {n: i for i, n in enumerate(header)}
        truth = [line.rstrip("\n").split("\t") for line in f if line.strip()]
    outputs = {}
    for root, _dirs, files in os.walk(out):
        for name in files:
            if name == "recovery-report.csv":
                continue
            path = os.path.join(root, name)
            with open(path, "rb") as g:
                outputs[os.path.relpath(path, out)] = hashlib.sha256(g.read()).hexdigest()
    by_base = {}
    for rel in outputs:
        by_base.setdefault(os.path.basename(rel).lower(), []).append(rel)
    named = folder = top = exact = 0
    for row in truth:
        name, sha = row[col["name"]], row[col["sha256"]]
        hits = by_base.get(os.path.basename(name).lower(), [])
        named += bool(hits)
        parts = name.split("/")
        folder += any(h.split(os.sep)[1:] == parts[1:] and len(h.split(os.sep)) == len(parts) for h in hits)
        top += any(h.replace(os.sep, "/") == name for h in hits)
        exact += any(outputs[h] == sha for h in hits)
    n = len(truth)
    print(f"named={named}/{n} folder={folder}/{n} whole_path={top}/{n} named_exact={exact}/{n}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
