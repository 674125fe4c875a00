#!/usr/bin/env python3
"""Recovery of a card full of small files: one pass against two steps.

Usage: bench/many_files.py [--build DIR] [--files N ...]

Writes an image holding N tiny JPEGs, one at every other sector, and times `lumivore-cli
recover` of it in one pass and with --two-pass. Both write the same N files, so their ratio
shows what the one-pass bookkeeping costs per found file: it must stay near 1 however large N
grows (a cost that grows with the square of N shows as a ratio that climbs with N).
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
    start = time.perf_counter()
    r = subprocess.run(cmd, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    if r.returncode not in (0, 3):
        raise SystemExit(f"{' '.join(cmd)}: status {r.returncode}: {r.stderr.strip()}")
    return time.perf_counter() - start


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", default="build")
    ap.add_argument("--files", type=int, nargs="+", default=[32768, 131072])
    args = ap.parse_args()
    cli = os.path.join(args.build, "lumivore-cli")
    with tempfile.TemporaryDirectory() as tmp:
        env = dict(os.environ, LUMIVORE_CONFIG=os.path.join(tmp, "settings.xml"))
        for n in args.files:
            image = os.path.join(tmp, f"many-{n}.img")
            write_image(image, n)
            out = os.path.join(tmp, "out")
            one = timed([cli, "recover", image, "--to", out, "--quiet"], env)
            written = len(os.listdir(out)) - 1
            shutil.rmtree(out)
            two = timed([cli, "recover", image, "--to", out, "--quiet", "--two-pass"], env)
            shutil.rmtree(out)
            os.remove(image)
            print(f"{n} files: one pass {one:.1f} s, two steps {two:.1f} s, ratio {one / two:.2f}, "
                  f"{written} files written")
    return 0


if __name__ == "__main__":
    sys.exit(main())
