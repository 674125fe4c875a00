#!/usr/bin/env python3
"""Times `lumivore-cli scan` against `dd` reading the same cached sample card image.

Usage: bench/scan_vs_dd.py [--build DIR] [--size-mb N] [--rounds N] [--baseline DIR]

Builds a sample card image, reads it once to warm the page cache, then alternates
`dd if=IMAGE of=/dev/null bs=512k` and `lumivore-cli scan --quiet --json IMAGE >/dev/null`,
and prints each pair's times, the median ratio scan/dd, the scan's peak memory, the share
of found files whose length the scan states (the rest say "length unknown"), and the median
start-up time of the program (`lumivore-cli --version`).

With --baseline, the lumivore-cli of another build (an earlier commit) is timed in the same
rounds, right after the first, so that both meet the same load on a shared machine; the two
scans' JSON output must be byte-identical, and the script says whether it is.
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

def startup_ms(cli, env, runs=30):
    """Median wall time of `cli --version` in milliseconds: what every run pays before it reads."""
    times = [timed([cli, "--version"], stdout=subprocess.DEVNULL, env=env) for _ in range(runs)]
    return 1000.0 * statistics.median(times)

def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", default="build")
    ap.add_argument("--size-mb", type=int, default=1024)
    ap.add_argument("--rounds", type=int, default=5)
    ap.add_argument("--baseline", help="a second build directory whose lumivore-cli is timed alongside")
    args = ap.parse_args()
    clis = [("scan", os.path.join(args.build, "lumivore-cli"))]
    if args.baseline:
        clis.append(("baseline", os.path.join(args.baseline, "lumivore-cli")))
    maker = os.path.join(args.build, "make_sample_card")
    with tempfile.TemporaryDirectory() as tmp:
        image = os.path.join(tmp, "card.img")
        subprocess.run([maker, image, str(args.size_mb)], check=True, stdout=subprocess.DEVNULL)
        env = dict(os.environ, LUMIVORE_CONFIG=os.path.join(tmp, "settings.xml"))
        subprocess.run(["cat", image], check=True, stdout=subprocess.DEVNULL)  # warm the cache
        dd = ["dd", f"if={image}", "of=/dev/null", "bs=512k"]
        scans = {name: [cli, "scan", "--quiet", "--json", image] for name, cli in clis}
        ratios = {name: [] for name, _ in clis}
        cpu_ratios = {name: [] for name, _ in clis}
        mb = args.size_mb
        for r in range(args.rounds):
            t_dd, c_dd = cpu_timed(dd, stderr=subprocess.DEVNULL)
            line = f"round {r + 1}: dd {t_dd:.3f} s ({mb / t_dd:.0f} MB/s, cpu {c_dd:.3f} s)"
            for name, _ in clis:
                t_scan, c_scan = cpu_timed(scans[name], stdout=subprocess.DEVNULL, env=env)
                ratios[name].append(t_scan / t_dd)
                cpu_ratios[name].append(c_scan / max(c_dd, 1e-6))
                line += (f", {name} {t_scan:.3f} s ({mb / t_scan:.0f} MB/s, cpu {c_scan:.3f} s), "
                         f"ratio {t_scan / t_dd:.2f}")
            print(line)
        outputs = {name: subprocess.run(scans[name], check=True, env=env, capture_output=True, text=True).stdout
                   for name, _ in clis}
        known, total = known_share(outputs["scan"])
        print(f"found files with a known length: {known} of {total} ({100.0 * known / max(total, 1):.1f}%)")
        if args.baseline:
            same = outputs["scan"] == outputs["baseline"]
            print(f"scan output identical to the baseline's: {'yes' if same else 'NO'}")
        for name, cli in clis:
            print(f"{name}: median ratio scan/dd: {statistics.median(ratios[name]):.2f}")
            print(f"{name}: median processor-time ratio scan/dd: {statistics.median(cpu_ratios[name]):.2f}")
            print(f"{name}: median start-up (--version): {startup_ms(cli, env):.1f} ms")
        rss, idle = peak_rss_kb(scans["scan"])
        print(f"scan peak memory: {rss / 1024:.1f} MiB (the program doing nothing: {idle / 1024:.1f} MiB)")
        if args.baseline and not same:
            sys.exit(1)

if __name__ == "__main__":
    main()
