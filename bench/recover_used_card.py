#!/usr/bin/env python3
"""Recovery of a used card against a formatted card of the same size, through lumivore-cli.

Usage: bench/recover_used_card.py [--build DIR] [--size-mb N] [--seed N]

Builds a used card (photos split over the holes that deleted files left, then formatted) and a
card of the same files written once (make_sample_card ... used|formatted), runs
`lumivore-cli recover` (one pass) and `lumivore-cli recover --two-pass` on each, and prints:
the time and the device bytes read by the used card's recovery against the formatted card's
(ratios), bytes read / card size for each, and the share of the used card's split photos whose
recovered file is byte-identical with the photo the card was given (FNV-1a 64 against the
manifest), by number of pieces; the one-pass and two-pass files are compared with each other.
"""
import argparse, os, subprocess, sys, tempfile, time

def fnv1a64(path):
    h = 0xCBF29CE484222325
    with open(path, "rb") as f:
        data = f.read()
    for b in data:
        h ^= b
        h = (h * 0x100000001B3) & 0xFFFFFFFFFFFFFFFF
    return h

def run_counted(cmd, env):
    """Seconds taken and bytes read through system calls by cmd (rchar of the shell running it)."""
    script = '"$@" >/dev/null; s=$?; sed -n "s/^rchar: //p" /proc/$$/io; exit $s'
    start = time.monotonic()
    r = subprocess.run(["sh", "-c", script, "sh"] + cmd, env=env, check=True, capture_output=True, text=True)
    return time.monotonic() - start, int(r.stdout.strip().splitlines()[-1])

def manifest(path):
    files = []
    with open(path) as f:
        next(f)
        for line in f:
            kind, live, size, digest, pieces, _ = line.rstrip("\n").split("\t", 5)
            runs = [tuple(int(x) for x in p.split("+")) for p in pieces.split(",") if p]
            files.append({"type": kind, "live": live == "yes", "hash": int(digest, 16), "pieces": runs})
    return files

def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", default="build")
    ap.add_argument("--size-mb", type=int, default=256)
    ap.add_argument("--seed", type=int, default=1)
    args = ap.parse_args()
    cli = os.path.join(args.build, "lumivore-cli")
    maker = os.path.join(args.build, "make_sample_card")
    with tempfile.TemporaryDirectory() as tmp:
        env = dict(os.environ, LUMIVORE_CONFIG=os.path.join(tmp, "settings.xml"))
        figures = {}
        for kind in ("used", "formatted"):
            image = os.path.join(tmp, kind + ".img")
            subprocess.run([maker, image, str(args.size_mb), str(args.seed), kind], check=True,
                           stdout=subprocess.DEVNULL)
            card = os.path.getsize(image)
            one = os.path.join(tmp, kind + "-one")
            two = os.path.join(tmp, kind + "-two")
            t1, r1 = run_counted([cli, "recover", "--quiet", image, "--to", one], env)
            t2, r2 = run_counted([cli, "recover", "--quiet", "--two-pass", image, "--to", two], env)
            figures[kind] = (card, t1, r1, t2, r2)
            print(f"{kind:9s}: one pass {t1:6.2f} s, read {r1 / card:.3f} of the card; "
                  f"two steps {t2:6.2f} s, read {r2 / card:.3f}")
            same = sorted(os.listdir(one)) == sorted(os.listdir(two)) and all(
                open(os.path.join(one, n), "rb").read() == open(os.path.join(two, n), "rb").read()
                for n in os.listdir(one))
            print(f"{'':9s}  one pass and two steps wrote the same files: {same}")
            if kind != "used":
                continue
            by_pieces = {}
            for f in manifest(image + ".manifest.tsv"):
                if not f["live"] or f["type"] != "JPG" or len(f["pieces"]) < 2:
                    continue
                n = min(len(f["pieces"]), 5)
                name = os.path.join(one, "f%010d.jpg" % (f["pieces"][0][0] // 512))
                back = os.path.exists(name) and fnv1a64(name) == f["hash"]
                total, good = by_pieces.get(n, (0, 0))
                by_pieces[n] = (total + 1, good + back)
            for n in sorted(by_pieces):
                total, good = by_pieces[n]
                label = str(n) if n < 5 else "5+"
                print(f"split photos in {label} pieces: {good} of {total} byte-identical ({100.0 * good / total:.0f}%)")
        u, f = figures["used"], figures["formatted"]
        print(f"used / formatted, one pass: time {u[1] / f[1]:.2f}, bytes read {u[2] / f[2]:.3f}")
        print(f"used / formatted, two steps: time {u[3] / f[3]:.2f}, bytes read {u[4] / f[4]:.3f}")

if __name__ == "__main__":
    sys.exit(main())
