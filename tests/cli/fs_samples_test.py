#!/usr/bin/env python3
"""Names from the file systems of the Debian forensics samples.

The same files were copied onto a FAT32, an exFAT and an NTFS image, and some of their folders
deleted (forensics-samples-vfat, -exfat, -ntfs). Each image is recovered with lumivore-cli and
--names; every file must come back under its original folder and name, byte for byte the same
on the three, including the NTFS file that lies in pieces, which only its run list places.

Exit 77 (skipped) when the packages are not installed.
"""
import argparse
import hashlib
import lzma
import os
import shutil
import subprocess
import sys

SAMPLES = "/usr/share/forensics-samples"
KINDS = ["vfat", "exfat", "ntfs"]
# What the samples hold: pic1, audio1 and movie1 live, pic2, audio2 and movie2 deleted.
EXPECTED = {
    "pic1/IMG_1054.JPG", "pic1/IMG-20191006-WA0002.jpg", "pic1/IMG_20200827_231612.jpg", "pic1/debian.png",
    "pic1/debian_logo.jpg", "pic1/debian_logo.png", "pic1/empty.jpg", "audio1/debian.wav",
    "movie1/VID_20191220_170832.mp4", "pic2/IMG_20191224_234846.jpg", "pic2/IMG_20200124_231153.jpg",
    "pic2/IMG_20200608_111614.jpg", "pic2/d-debian.jpg", "pic2/d-debian.png", "audio2/deleted.wav",
    "movie2/movie-hello.avi", "movie2/movie-hello.mp4",
}


def digests(folder):
    out = {}
    for root, _dirs, files in os.walk(folder):
        for name in files:
            if name.endswith(".csv"):
                continue
            path = os.path.join(root, name)
            with open(path, "rb") as f:
                out[os.path.relpath(path, folder)] = hashlib.sha256(f.read()).hexdigest()
    return out


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--cli", required=True)
    parser.add_argument("--work", required=True)
    args = parser.parse_args()
    if not all(os.path.exists(os.path.join(SAMPLES, f"fs.{k}.xz")) for k in KINDS):
        print("forensics-samples-vfat, -exfat and -ntfs are not installed")
        return 77
    os.makedirs(args.work, exist_ok=True)
    results = {}
    problems = []
    for kind in KINDS:
        image = os.path.join(args.work, f"fs.{kind}")
        if not os.path.exists(image):
            with lzma.open(os.path.join(SAMPLES, f"fs.{kind}.xz")) as src, open(image + ".part", "wb") as dst:
                shutil.copyfileobj(src, dst)
            os.replace(image + ".part", image)
        out = os.path.join(args.work, f"out-{kind}")
        shutil.rmtree(out, ignore_errors=True)
        status = subprocess.run([args.cli, "recover", image, "--to", out, "--names", "--quiet"],
                                stdout=subprocess.DEVNULL).returncode
        if status != 0:
            problems.append(f"{kind}: lumivore-cli recover ended with status {status}")
        results[kind] = digests(out)
        missing = EXPECTED - set(results[kind])
        if missing:
            problems.append(f"{kind}: not written under their original names: {sorted(missing)}")
    for kind in KINDS[1:]:
        for name in EXPECTED & set(results[kind]) & set(results["vfat"]):
            if results[kind][name] != results["vfat"][name]:
                problems.append(f"{kind}: {name} differs from the FAT32 copy")
    for p in problems:
        print(p)
    print(f"{len(problems)} problem(s) over {len(KINDS)} file systems")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
