#!/usr/bin/env python3
"""Recovery of cards of real camera files: files back byte-identical, time, reads and memory.

Usage: bench/real_cards.py [--build DIR] [--baseline DIR] [--cards DIR]
                           [--card SIZE:MODE[:PHOTOS[:CLIPS[:SEED[:CLUSTER]]]]] ...

Builds each card once (testkit/cards/make-sample-card; kept in --cards, default
build/bench-cards) and recovers it with `lumivore-cli recover` in one pass, with the build's
program and, with --baseline, with another build's (an earlier commit) right after it, so that
both meet the same load. For each it prints the score against the card's truth table
(byte-identical files, partial, missed, outputs that match no file), the recovery's time
against `dd` of the same page-cached image, the device bytes read against the card's size, and
the peak resident memory. The default cards: a formatted 256 MiB card with 6 photos and a used
512 MiB card with 30 photos and 80 clips; MODE is format, delete or fragment, SEED the card
generator's seed and CLUSTER its cluster size in bytes. The used cards the pieces pass is
measured on (bench/used_card_figures.py):
  256M:fragment:20:30:47:2048   256M:fragment:20:40:3:2048   256M:fragment:25:30:5:2048
  256M:fragment:6:40            1G:fragment:50:40:13:8192
"""
import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.dirname(HERE)
CARDS = os.path.join(SOURCE, "testkit", "cards")


def card_path(folder, layout):
    size, mode, photos, clips, seed, cluster = (layout.split(":") + [""] * 4)[:6]
    name = (f"{size}-{mode}" + (f"-n{photos}" if photos else "") + (f"-v{clips}" if clips else "") +
            (f"-r{seed}" if seed else "") + (f"-c{cluster}" if cluster else "") + ".img")
    path = os.path.join(folder, name)
    if not os.path.exists(path + ".truth.tsv"):
        os.makedirs(folder, exist_ok=True)
        options = ["-S", size, "-m", mode] + (["-n", photos] if photos else []) + (["-v", clips] if clips else [])
        options += (["-r", seed] if seed else []) + (["-c", cluster] if cluster else [])
        print(f"building {name} (this takes minutes) ...", flush=True)
        subprocess.run([os.path.join(CARDS, "make-sample-card")] + options + [path], check=True,
                       stdout=subprocess.DEVNULL)
    return path


def measured(cmd):
    """Wall seconds, bytes read through system calls (/proc/<shell>/io), peak resident KiB."""
    script = '"$@" >/dev/null 2>&1; s=$?; sed -n "s/^rchar: //p" /proc/$$/io; exit $s'
    start = time.perf_counter()
    proc = subprocess.Popen(["sh", "-c", script, "sh"] + cmd, stdout=subprocess.PIPE, text=True)
    out = proc.stdout.read()
    proc.stdout.close()
    # Reaped here, for the peak memory of the shell and the program it waited for.
    _, status, usage = os.wait4(proc.pid, 0)
    proc.returncode = os.waitstatus_to_exitcode(status)
    wall = time.perf_counter() - start
    read = int(out.strip().splitlines()[-1]) if out.strip() else 0
    return wall, read, usage.ru_maxrss, proc.returncode


def score(truth, outdir):
    text = subprocess.run([sys.executable, os.path.join(CARDS, "score.py"), truth, outdir],
                          capture_output=True, text=True, check=True).stdout
    return [line for line in text.splitlines() if line.startswith("exact=")][-1]


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", default="build")
    ap.add_argument("--baseline")
    ap.add_argument("--cards", default=os.path.join("build", "bench-cards"))
    ap.add_argument("--card", action="append")
    args = ap.parse_args()
    layouts = args.card or ["256M:format:6", "512M:fragment:30:80"]
    builds = [("this build", args.build)] + ([("baseline", args.baseline)] if args.baseline else [])
    for layout in layouts:
        image = card_path(args.cards, layout)
        size = os.path.getsize(image)
        subprocess.run(["dd", f"if={image}", "of=/dev/null", "bs=1M"], capture_output=True, check=True)
        dd, _, _, _ = measured(["dd", f"if={image}", "of=/dev/null", "bs=512k"])
        print(f"{os.path.basename(image)}: {size >> 20} MiB, dd {dd:.2f} s")
        for label, build in builds:
            with tempfile.TemporaryDirectory() as tmp:
                out = os.path.join(tmp, "out")
                env_cli = os.path.join(build, "lumivore-cli")
                os.environ["LUMIVORE_CONFIG"] = os.path.join(tmp, "settings.xml")
                wall, read, peak, status = measured([env_cli, "recover", image, "--to", out, "--quiet"])
                print(f"  {label:10} {score(image + '.truth.tsv', out)}")
                print(f"  {'':10} recover/dd {wall / dd:.1f} ({wall:.2f} s), read {read / size:.3f} x the card, "
                      f"peak {peak // 1024} MiB, status {status}")
                shutil.rmtree(out, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
