#!/usr/bin/env python3
"""Scan time, device reads and peak memory of lumivore-cli on card images, as ratios.

Usage: bench/used_card_figures.py [--build DIR] IMAGE [IMAGE ...]

For each card image (from ../shared/tools/cards/make-sample-card, any mode, or the testkit's
make_sample_card), with the image in the page cache:
  - `dd` of the image to /dev/null, best of three;
  - `lumivore-cli scan` (with the pieces pass), best of three, and its time against dd's; the photos it put
    back together, and the goal of 5 times dd plus 20 ms per such photo;
  - `lumivore-cli recover` (one pass): the bytes it read from the image itself over the
    image's size (its own temporary files on the destination are not counted), and its peak
    resident memory in MiB;
  - when IMAGE.truth.tsv lies beside the image, the files back byte-identical (cards/score.py).
The device bytes are counted by bench/device_reads.c, built here with gcc and loaded with
LD_PRELOAD.
"""
import argparse, os, re, resource, shutil, subprocess, sys, tempfile, time

HERE = os.path.dirname(os.path.abspath(__file__))
SCORE = os.path.join(HERE, "..", "..", "shared", "tools", "cards", "score.py")


def timed(cmd, env=None):
    start = time.monotonic()
    r = subprocess.run(cmd, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    if r.returncode not in (0, 1):
        sys.exit(f"{cmd[0]} failed ({r.returncode}): {r.stderr[-500:]}")
    return time.monotonic() - start, r


def peak_rss_mib(cmd, env):
    """Runs cmd in a child of its own and returns its peak resident set in MiB, and stderr."""
    script = ("import resource, subprocess, sys\n"
              "r = subprocess.run(sys.argv[1:], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)\n"
              "sys.stderr.write(r.stderr)\n"
              "print(resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss)\n")
    r = subprocess.run([sys.executable, "-c", script] + cmd, env=env, capture_output=True, text=True, check=True)
    return int(r.stdout.strip().splitlines()[-1]) / 1024.0, r.stderr


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", default="build")
    ap.add_argument("images", nargs="+")
    args = ap.parse_args()
    cli = os.path.abspath(os.path.join(args.build, "lumivore-cli"))
    with tempfile.TemporaryDirectory() as tmp:
        shim = os.path.join(tmp, "device_reads.so")
        subprocess.run(["gcc", "-shared", "-fPIC", "-O2", "-o", shim, os.path.join(HERE, "device_reads.c"), "-ldl"],
                       check=True)
        env = dict(os.environ, LUMIVORE_CONFIG=os.path.join(tmp, "settings.xml"))
        print(f"{'card':24} {'MiB':>6} {'dd s':>6} {'scan s':>7} {'scan/dd':>8} {'photos':>6} {'goal s':>7} "
              f"{'read/card':>9} {'peak MiB':>8}  byte-identical")
        for image in args.images:
            image = os.path.abspath(image)
            size = os.path.getsize(image)
            dd = min(timed(["dd", f"if={image}", "of=/dev/null", "bs=4M"])[0] for _ in range(3))
            # The scan, best of three like dd: the machine's other work only ever adds time.
            runs = [timed([cli, "scan", image], env) for _ in range(3)]
            scan_s, scan = min(runs, key=lambda r: r[0])
            m = re.search(r"(\d+) photo\(s\) put back together", scan.stdout)
            photos = int(m.group(1)) if m else 0
            goal = 5 * dd + 0.020 * photos
            out = os.path.join(tmp, "out")
            shutil.rmtree(out, ignore_errors=True)
            renv = dict(env, LD_PRELOAD=shim, DEVICE_READS_PATH=os.path.realpath(image))
            peak, err = peak_rss_mib([cli, "recover", "--quiet", image, "--to", out], renv)
            m = re.search(r"device-bytes (\d+)", err)
            read = int(m.group(1)) / size if m else float("nan")
            exact = ""
            truth = image + ".truth.tsv"
            if os.path.exists(truth) and os.path.exists(SCORE):
                s = subprocess.run([sys.executable, SCORE, truth, out], capture_output=True, text=True)
                m = re.search(r"exact=(\d+/\d+)", s.stdout)
                exact = m.group(1) if m else "?"
            print(f"{os.path.basename(image)[:24]:24} {size / 2**20:6.0f} {dd:6.2f} {scan_s:7.2f} {scan_s / dd:8.1f} "
                  f"{photos:6d} {goal:7.2f} {read:9.3f} {peak:8.1f}  {exact}")


if __name__ == "__main__":
    main()
