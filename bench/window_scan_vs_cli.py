#!/usr/bin/env python3
"""Times the wizard's scan of a cached sample card image against `lumivore-cli scan` of it.

Usage: bench/window_scan_vs_cli.py [--build DIR] [--size-mb N] [--rounds N] [--image FILE]
                                   [--limit RATIO]

Builds a sample card image (or takes --image), reads it once to warm the page cache, then
alternates `lumivore-cli scan --quiet --json IMAGE` and `window_scan_timer IMAGE`, which shows
the wizard, opens the image and times the scan that Next starts. The window program is timed
from that Next until the scan returns, so its start-up is left out; the command line's start-up
(a few milliseconds) is in its figure. Prints each round's times and the median ratio
window/command line; with --limit, the exit status is 1 when that ratio is above the limit.
Both must find the same number of files.

The window needs a display: run it under `xvfb-run -a -s '-screen 0 1280x1024x24'`, or with
QT_QPA_PLATFORM=offscreen.
"""
import argparse, os, statistics, subprocess, sys, tempfile, time

def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", default="build")
    ap.add_argument("--size-mb", type=int, default=1024)
    ap.add_argument("--rounds", type=int, default=5)
    ap.add_argument("--image", help="an image to scan instead of a fresh sample card")
    ap.add_argument("--limit", type=float, help="fail when the median ratio is above this")
    args = ap.parse_args()
    cli = os.path.join(args.build, "lumivore-cli")
    timer = os.path.join(args.build, "window_scan_timer")
    with tempfile.TemporaryDirectory() as tmp:
        image = args.image
        if not image:
            image = os.path.join(tmp, "card.img")
            subprocess.run([os.path.join(args.build, "make_sample_card"), image, str(args.size_mb)],
                           check=True, stdout=subprocess.DEVNULL)
        env = dict(os.environ, LUMIVORE_CONFIG=os.path.join(tmp, "settings.xml"))
        subprocess.run(["cat", image], check=True, stdout=subprocess.DEVNULL)  # warm the cache
        mb = os.path.getsize(image) / 1048576.0
        ratios = []
        for r in range(args.rounds):
            start = time.perf_counter()
            out = subprocess.run([cli, "scan", "--quiet", "--json", image], check=True, env=env,
                                 capture_output=True, text=True).stdout
            t_cli = time.perf_counter() - start
            cli_found = sum(1 for line in out.splitlines() if line.strip())
            line = subprocess.run([timer, image], check=True, env=env, capture_output=True,
                                  text=True).stdout.split()
            t_window, window_found = float(line[0]), int(line[1])
            if window_found != cli_found:
                print(f"the window found {window_found} files, the command line {cli_found}")
                sys.exit(1)
            ratios.append(t_window / t_cli)
            print(f"round {r + 1}: command line {t_cli:.3f} s ({mb / t_cli:.0f} MB/s), "
                  f"window {t_window:.3f} s ({mb / t_window:.0f} MB/s), ratio {t_window / t_cli:.2f}, "
                  f"{cli_found} files")
        median = statistics.median(ratios)
        print(f"median ratio window/command line: {median:.2f}")
        if args.limit is not None and median > args.limit:
            print(f"above the limit of {args.limit:.2f}")
            sys.exit(1)

if __name__ == "__main__":
    main()
