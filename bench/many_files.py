#!/usr/bin/env python3
"""Recovery of a card full of small files: one pass against two steps.

Usage: bench/many_files.py [--build DIR] [--files N ...] [--camera]

Writes an image holding N tiny JPEGs, one at every other sector, and times `lumivore-cli
recover` of it in one pass and with --two-pass. Both write the same N files, so their ratio
shows what the one-pass bookkeeping costs per found file: it must stay near 1 however large N
grows (a cost that grows with the square of N shows as a ratio that climbs with N). It also
prints the peak resident memory of each, and between two values of N what each found file
added to the one pass's peak. With --camera each photo carries the camera texts a real one
does (EXIF Make, Model and DateTimeOriginal), which the found file's record keeps.
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


def camera_jpeg():
    """JPEG with an EXIF segment naming the camera and the time the photo was taken."""
    make, model, date = b"Canon\x00", b"Canon EOS 5D Mark III\x00", b"2024:05:17 10:21:33\x00"

    def entry(tag, kind, count, value):
        return struct.pack(">HHII", tag, kind, count, value)

    ifd0 = 8
    make_at = ifd0 + 2 + 3 * 12 + 4
    model_at = make_at + len(make)
    exif_at = model_at + len(model)
    date_at = exif_at + 2 + 12 + 4
    tiff = (b"MM\x00\x2a" + struct.pack(">I", ifd0) + struct.pack(">H", 3)
            + entry(0x010F, 2, len(make), make_at) + entry(0x0110, 2, len(model), model_at)
            + entry(0x8769, 4, 1, exif_at) + struct.pack(">I", 0) + make + model
            + struct.pack(">H", 1) + entry(0x9003, 2, len(date), date_at) + struct.pack(">I", 0) + date)
    app1 = b"Exif\x00\x00" + tiff
    return b"\xff\xd8\xff\xe1" + struct.pack(">H", len(app1) + 2) + app1 + JPEG[2 + 2 + 16:]


def write_image(path, files, photo=JPEG):
    sector = bytearray(1024)
    sector[:len(photo)] = photo
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
    ap.add_argument("--camera", action="store_true", help="photos that carry their camera's texts")
    args = ap.parse_args()
    cli = os.path.join(args.build, "lumivore-cli")
    with tempfile.TemporaryDirectory() as tmp:
        env = dict(os.environ, LUMIVORE_CONFIG=os.path.join(tmp, "settings.xml"))
        last = None
        for n in args.files:
            image = os.path.join(tmp, f"many-{n}.img")
            write_image(image, n, camera_jpeg() if args.camera else JPEG)
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
