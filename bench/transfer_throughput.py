#!/usr/bin/python3
"""Throughput of the transfer layer: a 256 MiB copy over loopback HTTP and FTP under Wine,
through the transfer probe, next to curl against the same server in the same run.

    bench/transfer_throughput.py [--size-mib 256] [--runs 3]

Needs a build (cmake --build build; SETUP_BUILD_DIR=build-x86_64 on a host that runs no 32-bit
code). Brings up a Wine prefix and Xvfb of its own under <build>/benchroot and stops them at the
end."""
import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

REPO = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(REPO / "tests" / "e2e"))
from servers import ftp_server, http_server, make_file  # noqa: E402

# The same build, platform and helpers as the other benchmarks.
from benchmarks import ARCH, BUILD, PLATFORM, ROOT, WINE_RUN, sha256, windows_path  # noqa: E402

PROBE = BUILD / "tests" / "tools" / "transfer_probe.exe"


def wine_env():
    env = {k: v for k, v in os.environ.items() if not k.lower().endswith("_proxy")}
    env.update(SETUP_TEST_ROOT=str(ROOT))
    return env


def timed(command, env=None):
    start = time.monotonic()
    result = subprocess.run(command, env=env, stdin=subprocess.DEVNULL, capture_output=True,
                            text=True, errors="replace")
    elapsed = time.monotonic() - start
    if result.returncode != 0:
        raise RuntimeError(f"{command[0]} failed ({result.returncode}): {result.stdout[-500:]}"
                           f"{result.stderr[-500:]}")
    return elapsed


def measure(label, url, work, expected, runs, size):
    out = work / "out.bin"
    rows = []
    for tool in ("probe", "curl"):
        times = []
        for _ in range(runs):
            out.unlink(missing_ok=True)
            if tool == "probe":
                trace = work / "trace"
                trace.mkdir(exist_ok=True)
                times.append(timed([str(WINE_RUN), str(PROBE), windows_path(trace), url,
                                    windows_path(out)], env=wine_env()))
                for log in trace.glob("*.log"):
                    log.unlink()
            else:
                times.append(timed(["curl", "-sS", "--noproxy", "*", "-o", str(out), url]))
            if sha256(out) != expected:
                raise RuntimeError(f"{tool} over {label}: the copy differs from the original")
        rows.append((label, tool, times))
    for label, tool, times in rows:
        mib = size / (1 << 20)
        best, median = min(times), statistics.median(times)
        print(f"{label:5} {tool:6} best {best:6.2f} s {mib / best:8.1f} MiB/s   "
              f"median {median:6.2f} s {mib / median:8.1f} MiB/s")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--size-mib", type=int, default=256)
    parser.add_argument("--runs", type=int, default=3)
    args = parser.parse_args()
    size = args.size_mib << 20

    subprocess.run([str(PLATFORM), "up", str(ROOT), ARCH], check=True, stdout=subprocess.DEVNULL)
    try:
        with tempfile.TemporaryDirectory(prefix="setup-bench-") as temp:
            work = Path(temp)
            served = work / "served"
            served.mkdir()
            make_file(served / "big.bin", size)
            expected = sha256(served / "big.bin")
            version = subprocess.run([str(WINE_RUN), "--version"], capture_output=True, text=True)
            print(f"{args.size_mib} MiB, {args.runs} runs each, probe under "
                  f"{version.stdout.strip()}")
            with http_server(served) as base:
                measure("http", f"{base}/len/big.bin", work, expected, args.runs, size)
            with ftp_server(served) as base:
                measure("ftp", f"{base}/big.bin", work, expected, args.runs, size)
    finally:
        subprocess.run([str(PLATFORM), "down", str(ROOT)], stdout=subprocess.DEVNULL)


if __name__ == "__main__":
    main()
