#!/usr/bin/env python3
"""Recovery of a card full of small files: one pass against two steps.

Usage: bench/many_files.py [--build DIR] [--files N ...]

Writes an image holding N tiny JPEGs, one at every other sector, and times `lumivore-cli
recover` of it in one pass and with --two-pass. Both write the same N files, so their ratio
shows what the one-pass bookkeeping costs per found file: it must stay near 1 however large N
grows (a cost that grows with the square of N shows as a ratio that climbs with N). It also
prints the peak resident memory of each, and between two values of N what each found file
added to the one pass's peak.
"""
import argparse
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import time

# Start of image, a JFIF segment, a start of scan with one component, a little coded data and
# the end marker: what the scan recognises and measures as a photo of 64 bytes.
JPEG = (b"\xff\xd8" + b"\xff\xe0" + struct.pack(">H", 16) + b"JFIF\x00\x01\x01\x00\x00\x01\x00\x01\x00\x00"
        + b"\xff\xda" + struct.pack(">H", 8) + b"\x01\x01\x00\x00\x3f\x00" + bytes(range(1, 19)) + b"\xff\xd9")


def write_image(path, files):
    sector = bytearray(1024)
    sector[:len(JPEG)] = JPEG
    with open(path, "wb") as f:
        for _ in range(files):
            f.write(sector)


def timed(cmd, env):
    """Runs cmd in a child of its own; its wall seconds and its peak resident set in MiB."""
    script = ("import resource, subprocess, sys\n"
              "r = subprocess.run(sys.argv[1:], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)\n"
              "sys.stderr.write(r.stderr)\n"
              "print(r.returncode, resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss)\n")
    start = time.perf_counter()
    r = subprocess.run([sys.executable, "-c", script] + cmd, env=env, capture_output=True, text=True, check=True)
    seconds = time.perf_counter() - start
    status, peak_kib = (int(v) for v in r.stdout.split())
    if status not in (0, 3):
        raise SystemExit(f"{' '.join(cmd)}: status {status}: {r.stderr.strip()}")
    return seconds, peak_kib / 1024.0


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", default="build")
    ap.add_argument("--files", type=int, nargs="+", default=[32768, 131072])
    args = ap.parse_args()
    cli = os.path.join(args.build, "lumivore-cli")
    with tempfile.TemporaryDirectory() as tmp:
        env = dict(os.environ, LUMIVORE_CONFIG=os.path.join(tmp, "settings.xml"))
        last = None
        for n in args.files:
            image = os.path.join(tmp, f"many-{n}.img")
            write_image(image, n)
            out = os.path.join(tmp, "out")
            one, one_peak = timed([cli, "recover", image, "--to", out, "--quiet"], env)
            written = len(os.listdir(out)) - 1
            shutil.rmtree(out)
            two, two_peak = timed([cli, "recover", image, "--to", out, "--quiet", "--two-pass"], env)
            shutil.rmtree(out)
            os.remove(image)
            slope = ""
            if last is not None and n != last[0]:
                slope = f", {(one_peak - last[1]) * 1024 * 1024 / (n - last[0]):.0f} bytes a file more"
            last = (n, one_peak)
            print(f"{n} files: one pass {one:.1f} s, two steps {two:.1f} s, ratio {one / two:.2f}, "
                  f"{written} files written; peak {one_peak:.1f} MiB one pass, {two_peak:.1f} MiB two steps{slope}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
