#!/usr/bin/env python3
"""Device bytes read by recovery on a sample card image, against the card's size.

Usage: bench/recover_reads.py [--build DIR] [--size-mb N]

Builds a sample card image (lumivore-cli demo --card-only) and runs, each in a shell that reports the bytes its children read
(/proc/<shell>/io, rchar): `lumivore-cli scan`, `lumivore-cli recover` (one pass) and
`lumivore-cli recover --two-pass`. Prints bytes read by the one-pass recover divided by the
card's size, bytes read by the recovery phase of the two-pass path (its reads less the scan's)
divided by the bytes written, and the share of found files whose length the scan measured.
"""
import argparse, json, os, subprocess, sys, tempfile

def read_bytes(cmd, env):
    """Bytes read through system calls by cmd (and its children), and its stdout."""
    script = '"$@" >"$LUMIVORE_BENCH_OUT"; s=$?; sed -n "s/^rchar: //p" /proc/$$/io; exit $s'
    with tempfile.NamedTemporaryFile() as out:
        env = dict(env, LUMIVORE_BENCH_OUT=out.name)
        r = subprocess.run(["sh", "-c", script, "sh"] + cmd, env=env, check=True, capture_output=True, text=True)
        return int(r.stdout.strip().splitlines()[-1]), open(out.name).read()

def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", default="build")
    ap.add_argument("--size-mb", type=int, default=1024)
    args = ap.parse_args()
    cli = os.path.join(args.build, "lumivore-cli")
    with tempfile.TemporaryDirectory() as tmp:
        env = dict(os.environ, LUMIVORE_CONFIG=os.path.join(tmp, "settings.xml"))
        subprocess.run([cli, "demo", "--to", tmp, "--size-mb", str(args.size_mb), "--card-only", "--quiet"],
                       check=True, stdout=subprocess.DEVNULL, env=env)
        image = os.path.join(tmp, "sample-card.img")
        card = os.path.getsize(image)
        scan_read, scan_out = read_bytes([cli, "scan", "--quiet", "--json", image], env)
        records = [json.loads(line) for line in scan_out.splitlines() if line.startswith("{")]
        known = sum(1 for r in records if r["Length"] > 0)
        one_read, _ = read_bytes([cli, "recover", "--quiet", image, "--to", os.path.join(tmp, "one")], env)
        two_read, _ = read_bytes([cli, "recover", "--quiet", "--two-pass", image, "--to", os.path.join(tmp, "two")], env)
        written = sum(os.path.getsize(os.path.join(tmp, "two", f)) for f in os.listdir(os.path.join(tmp, "two"))
                      if not f.startswith("recovery-report"))
        print(f"card {card} bytes, {len(records)} found files, {known} with a known length "
              f"({100.0 * known / max(len(records), 1):.1f}%)")
        print(f"one-pass recover read / card size: {one_read / card:.3f}")
        print(f"two-pass recover read / card size: {two_read / card:.3f}")
        print(f"two-pass recovery phase read / bytes written: {(two_read - scan_read) / max(written, 1):.3f}")

if __name__ == "__main__":
    sys.exit(main())
