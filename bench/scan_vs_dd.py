#!/usr/bin/env python3
"""Times `lumivore-cli scan` against `dd` reading the same cached sample card image.

Usage: bench/scan_vs_dd.py [--build DIR] [--size-mb N] [--rounds N]

Builds a sample card image, reads it once to warm the page cache, then alternates
`dd if=IMAGE of=/dev/null bs=512k` and `lumivore-cli scan --quiet --json IMAGE >/dev/null`,
and prints each pair's times, the median ratio scan/dd, the scan's peak memory, and the share
of found files whose length the scan states (the rest say "length unknown").
"""
import argparse, json, os, resource, statistics, subprocess, sys, tempfile, time

# A length counts as known from 1 byte up to the file length limit (formats/LengthPolicy.h).
FILE_LENGTH_LIMIT = 52428800

def known_share(json_lines):
    records = [json.loads(line) for line in json_lines.splitlines() if line.strip()]
    known = sum(1 for r in records if 1 <= r["Length"] < FILE_LENGTH_LIMIT)
    return known, len(records)

def timed(cmd, **kw):
    start = time.perf_counter()
    subprocess.run(cmd, check=True, **kw)
    return time.perf_counter() - start

def cpu_timed(cmd, **kw):
    """Wall time and processor time (user + system) of cmd. On a busy machine the processor
    time tells the work done apart from the waiting."""
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    wall = timed(cmd, **kw)
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    return wall, (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)

def peak_rss_kb(cmd):
    """Peak resident memory of cmd in KiB, and of the same program doing nothing (--version)."""
    if os.path.exists("/usr/bin/time"):
        def measure(c):
            out = subprocess.run(["/usr/bin/time", "-f", "%M"] + c, check=True,
                                 stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
            return int(out.stderr.strip().splitlines()[-1])
    else:
        # Without GNU time: the children's figure, which may include the forking interpreter.
        def measure(c):
            code = ("import resource,subprocess,sys;"
                    "subprocess.run(sys.argv[1:],check=True,stdout=subprocess.DEVNULL);"
                    "print(resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss)")
            out = subprocess.run([sys.executable, "-c", code] + c, check=True, capture_output=True, text=True)
            return int(out.stdout.strip())
    return measure(cmd), measure([cmd[0], "--version"])

def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", default="build")
    ap.add_argument("--size-mb", type=int, default=1024)
    ap.add_argument("--rounds", type=int, default=5)
    args = ap.parse_args()
    cli = os.path.join(args.build, "lumivore-cli")
    maker = os.path.join(args.build, "make_sample_card")
    with tempfile.TemporaryDirectory() as tmp:
        image = os.path.join(tmp, "card.img")
        subprocess.run([maker, image, str(args.size_mb)], check=True, stdout=subprocess.DEVNULL)
        env = dict(os.environ, LUMIVORE_CONFIG=os.path.join(tmp, "settings.xml"))
        subprocess.run(["cat", image], check=True, stdout=subprocess.DEVNULL)  # warm the cache
        dd = ["dd", f"if={image}", "of=/dev/null", "bs=512k"]
        scan = [cli, "scan", "--quiet", "--json", image]
        ratios, cpu_ratios = [], []
        for r in range(args.rounds):
            t_dd, c_dd = cpu_timed(dd, stderr=subprocess.DEVNULL)
            t_scan, c_scan = cpu_timed(scan, stdout=subprocess.DEVNULL, env=env)
            ratios.append(t_scan / t_dd)
            cpu_ratios.append(c_scan / max(c_dd, 1e-6))
            mb = args.size_mb
            print(f"round {r + 1}: dd {t_dd:.3f} s ({mb / t_dd:.0f} MB/s, cpu {c_dd:.3f} s), scan {t_scan:.3f} s "
                  f"({mb / t_scan:.0f} MB/s, cpu {c_scan:.3f} s), ratio {t_scan / t_dd:.2f}")
        out = subprocess.run(scan, check=True, env=env, capture_output=True, text=True).stdout
        known, total = known_share(out)
        print(f"found files with a known length: {known} of {total} ({100.0 * known / max(total, 1):.1f}%)")
        rss, idle = peak_rss_kb(scan)
        print(f"median ratio scan/dd: {statistics.median(ratios):.2f}")
        print(f"median processor-time ratio scan/dd: {statistics.median(cpu_ratios):.2f}")
        print(f"scan peak memory: {rss / 1024:.1f} MiB (the program doing nothing: {idle / 1024:.1f} MiB)")

if __name__ == "__main__":
    main()
