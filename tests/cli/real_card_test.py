#!/usr/bin/env python3
"""Recovery of a memory card of real camera files, scored file by file.

Builds (once per build folder) a FAT32 card image from the real camera files of
testkit/cards/samples plus generated camera photos, written by the file system's own tools
and then emptied, with a truth table of where every file lies; recovers it with lumivore-cli
in one pass and in two steps; and scores both against the truth. The run fails when fewer
files than the floor come back byte-identical, when a file listed as expected whole does not,
or when more outputs than allowed match no file. The checker is tried on a recovery with one
expected file taken away, which it must refuse, so that a floor that cannot fail is caught.

Exit 77 (skipped) when the card tools' programs are not installed.
"""
import argparse
import os
import shutil
import subprocess
import sys

CARD_OPTIONS = ["-S", "64M", "-n", "4", "-m", "delete", "-r", "3"]
# Outputs matching no file that a run may leave: a sample whose RIFF size leaves out its last
# 16 bytes comes back as that much, which matches nothing.
EXTRAS_ALLOWED = 3
NEEDED = ["mkfs.vfat", "mcopy", "exiftool", "sox", "python3"]


def run(cmd, **kw):
    return subprocess.run(cmd, check=True, **kw)


def build_card(source, work):
    """The card image and its truth table, made once per build folder and options."""
    image = os.path.join(work, "card.img")
    stamp = image + ".options"
    wanted = " ".join(CARD_OPTIONS)
    if os.path.exists(image + ".truth.tsv") and os.path.exists(stamp) and open(stamp).read() == wanted:
        return image
    os.makedirs(work, exist_ok=True)
    run([os.path.join(source, "testkit", "cards", "make-sample-card")] + CARD_OPTIONS + [image],
        stdout=subprocess.DEVNULL)
    with open(stamp, "w") as f:
        f.write(wanted)
    return image


def score(source, truth, outdir):
    """exact count, extras, and the names of the files recovered byte-identical."""
    scorer = os.path.join(source, "testkit", "cards", "score.py")
    text = run([sys.executable, scorer, "--list", "all", truth, outdir], stdout=subprocess.PIPE,
               text=True).stdout
    summary = [line for line in text.splitlines() if line.startswith("exact=")][-1]
    fields = dict(part.split("=") for part in summary.split())
    exact = int(fields["exact"].split("/")[0])
    whole = set()
    for line in text.splitlines():
        parts = line.split()
        if len(parts) >= 4 and parts[0] == "exact":
            whole.add(parts[-1])
    return exact, int(fields["extra"]), whole, summary


def check(source, truth, outdir, floor, expected, label):
    """The problems of one recovery, as lines; none when it passes."""
    exact, extras, whole, summary = score(source, truth, outdir)
    problems = []
    if exact < floor:
        problems.append(f"{label}: {exact} files byte-identical, fewer than {floor} ({summary})")
    for name in sorted(expected - whole):
        problems.append(f"{label}: {name} did not come back byte-identical")
    if extras > EXTRAS_ALLOWED:
        problems.append(f"{label}: {extras} outputs match no file, more than {EXTRAS_ALLOWED} ({summary})")
    return problems, summary


def recover(cli, image, outdir, extra):
    shutil.rmtree(outdir, ignore_errors=True)
    status = subprocess.run([cli, "recover", image, "--to", outdir, "--quiet"] + extra,
                            stdout=subprocess.DEVNULL).returncode
    # 3: finished, but some file could not be written whole (a sample that runs past what its
    # structure says, say); anything else is a failure of the run itself.
    if status not in (0, 3):
        raise SystemExit(f"lumivore-cli recover {' '.join(extra)} ended with status {status}")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--cli", required=True)
    ap.add_argument("--source", required=True)
    ap.add_argument("--work", required=True)
    args = ap.parse_args()
    missing = [p for p in NEEDED if shutil.which(p) is None]
    if missing:
        print("skipped: not installed: " + " ".join(missing))
        return 77

    expected_path = os.path.join(args.source, "tests", "cli", "real_card_expected.txt")
    lines = [l.strip() for l in open(expected_path, encoding="utf-8") if l.strip() and not l.startswith("#")]
    floor = int(lines[0].split("=")[1])
    expected = set(lines[1:])

    image = build_card(args.source, args.work)
    truth = image + ".truth.tsv"
    problems = []
    for label, extra in (("one pass", []), ("two steps", ["--two-pass"])):
        outdir = os.path.join(args.work, "out-" + label.replace(" ", "-"))
        recover(args.cli, image, outdir, extra)
        found, summary = check(args.source, truth, outdir, floor, expected, label)
        print(f"{label}: {summary}")
        problems += found

    # The checker itself: a recovery that lost one expected file must be refused.
    lost = os.path.join(args.work, "out-lost")
    shutil.rmtree(lost, ignore_errors=True)
    shutil.copytree(os.path.join(args.work, "out-one-pass"), lost)
    victim = sorted(expected)[0]
    sha = [l.split("\t")[2] for l in open(truth, encoding="utf-8") if l.split("\t")[0] == victim][0]
    for name in os.listdir(lost):
        path = os.path.join(lost, name)
        if os.path.isfile(path):
            digest = subprocess.run(["sha256sum", path], stdout=subprocess.PIPE, text=True).stdout.split()[0]
            if digest == sha:
                os.remove(path)
    refused, _ = check(args.source, truth, lost, floor, expected, "one file lost")
    if not refused:
        problems.append(f"the checker passed a recovery without {victim}")

    for p in problems:
        print(p)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
