#!/usr/bin/python3
"""The benchmarks of setup.exe under Wine, each measured side by side with its reference in the
same run, interleaved, over several rounds; prints best and median, and writes bench/RESULTS.md.

    bench/run [--rounds 5] [--cancel-rounds 3]
              [--only download,resume,overhead,size,cancel] [--results FILE | --no-results]

Started by bench/run, which builds first; SETUP_BUILD_DIR names the build to measure. Brings up
a Wine prefix and Xvfb of its own under <build>/benchroot, copies the prefix for what installs,
and stops and removes all of it at the end.

1. download: the setup's package job (download_probe job: trace file, callbacks, a shown dialog
   with its bar) against the bare copy loop (download_probe floor) and curl, 256 MiB over
   loopback HTTP and FTP; plus the job without a trace file, the cost of one trace line and of
   one posted bar position, to tell where the time goes.
2. memory: peak working set of the job for 256 MiB against 1 MiB (same runs as 1).
   resume: the job for 256 MiB over HTTP (nginx) cut three times, each piece continued with a
   range, against the same download uncut, both through the same cutting relay.
3. overhead: setup.exe /s against msiexec /i pkg /qn for the same package, uninstalled between
   runs, in a throw-away copy of the prefix; plus msiexec with the verbose log that setup.exe
   asks for, and the start of a minimal program.
4. size: the shipped i686 setup.exe.
5. cancel: Cancel pressed (by the UI driver) once the package download has started: a dripping
   server, one that stalls after its headers, one that stalls before them and one that never
   accepts the connection; to the start of msiexec ("*** Install: start ***")."""
import argparse
import datetime
import hashlib
import os
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

REPO = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(REPO / "tests" / "e2e"))
from servers import (DRIP_BYTES, DRIP_SECONDS, cutting_relay, ftp_server,  # noqa: E402
                     http_server, make_file, nginx_server, unaccepting_port)

BUILD = Path(os.environ.get("SETUP_BUILD_DIR", REPO / "build")).resolve()
ARCH = "x86_64" if BUILD.name == "build-x86_64" else "i686"
ROOT = BUILD / "benchroot"
WINE_RUN = BUILD / "wine-run"
PROBE = BUILD / "bench" / "download_probe.exe"
TOOLS = BUILD / "tests" / "tools"
SETUP_EXE = BUILD / "setup" / "setup.exe"
SHIPPED_EXE = REPO / "build" / "setup" / "setup.exe"
PLATFORM = REPO / "tests" / "tools" / "test-platform"
PRODUCT_WXS = REPO / "tests" / "e2e" / "packages" / "product.wxs"
PRODUCT_CODE = "{6A3F1C2E-4B7D-4E11-9C55-2D8E0A7B1F01}"
PRODUCT_FILE = Path("drive_c") / "Program Files (x86)" / "Velmora Test Product" / "readme.txt"
RESULTS = REPO / "bench" / "RESULTS.md"

BIG, SMALL = 256 << 20, 1 << 20
# Programs that do nothing, with more and more of setup.exe's imports.
MINIMAL_PROGRAMS = ("minimal_kernel32", "minimal_user32", "minimal_comdlg32")
BLOCK = 32768
TRACE_LINES_SAMPLE, POSTS_SAMPLE = 49152, 4096

# The interactive run (see tests/e2e/test_update_check.py).
CAPTION = "Velmora 2010 安裝程式"
SAVE_AS, FILE_NAME, YES, SAVE, CANCEL = "Save As", 0x47C, 6, 1, 2
NEWER_PACKAGE = "vlm.tch-9.0.0.512.msi"
SLOW_PACKAGE_SIZE = 2 << 20
CANCEL_RECEIVED = "*** DownloadBuildDialogProc: cancel is received ***"
INSTALL_START = "*** Install: start ***"
FORCED_END = "*** WaitAndClose: Thread is not signaled, terminate ***"
LEFT_RUNNING = "*** Download: transfer left to end by itself after cancel ***"
STAGED = "*** Stage download: "
OPENING = "*** Try open URL procedure: node #"
READING = "*** Internet copy file procedure: read file: start ***"
CANCEL_BOUND_S = 1.0
# The servers of the cancel benchmark: what the package's URL is, and what the person waits for
# before pressing Cancel.
CANCEL_KINDS = {
    "drip": "a dripping download (8 KiB every 0.1 s)",
    "stall": "a server that stalls after its headers",
    "mute": "a server that stalls before its headers",
    "unaccepting": "a server that never accepts the connection",
}
TRACE_LINE = re.compile(r"^\d+:[0-9a-f]+ (\d\d):(\d\d):(\d\d)\.(\d{3}) (.*)$")


def log(text):
    print(text, file=sys.stderr, flush=True)


def windows_path(path):
    return "Z:" + str(Path(path).resolve()).replace("/", "\\")


def sha256(path):
    digest = hashlib.sha256()
    with open(path, "rb") as f:
        while block := f.read(1 << 20):
            digest.update(block)
    return digest.hexdigest()


def wine_env(prefix=None, **extra):
    env = {k: v for k, v in os.environ.items() if not k.lower().endswith("_proxy")}
    env["SETUP_TEST_ROOT"] = str(ROOT)
    if prefix is not None:
        env["SETUP_TEST_PREFIX"] = str(prefix)
    env.update(extra)
    return env


def wine_tool_env(prefix):
    """For Wine's own tools (wineserver) on a prefix of the benchmarks: the caller's Wine
    variables, meant for a Wine of the caller's, are left out (wine-run leaves them out too)."""
    env = {k: v for k, v in os.environ.items() if not k.startswith("WINE")}
    env.update(WINEPREFIX=str(prefix), WINEDEBUG="-all")
    return env


def wine(args, env, cwd=None, timeout=300, check=True):
    result = subprocess.run([str(WINE_RUN), *map(str, args)], env=env, cwd=cwd,
                            stdin=subprocess.DEVNULL, capture_output=True, text=True,
                            errors="replace", timeout=timeout)
    if check and result.returncode != 0:
        raise RuntimeError(f"{args[0]} {args[1:3]} failed ({result.returncode}): "
                           f"{result.stdout[-500:]} {result.stderr[-500:]}")
    return result


def probe(args, env, cwd=None):
    """Runs download_probe; returns the fields of its last line as a dictionary."""
    out = wine([PROBE, *args], env, cwd=cwd).stdout.split()
    fields = {}
    for key, value in zip(out[::2], out[1::2]):
        try:
            fields[key] = float(value)
        except ValueError:
            pass
    return fields


def rotated(items, n):
    n %= len(items)
    return items[n:] + items[:n]


def best_median(values):
    return min(values), statistics.median(values)


def parse_time(line):
    match = TRACE_LINE.match(line)
    if not match:
        return None, None
    h, m, s, ms, message = match.groups()
    return int(h) * 3600 + int(m) * 60 + int(s) + int(ms) / 1000, message


# ---------------------------------------------------------------------------------------------
# 1 and 2: download throughput and memory

PROTOCOLS = ("http", "ftp")
DOWNLOAD_VARIANTS = ("job", "floor", "curl", "job-sized", "job-untraced", "job-1mib")
VARIANT_TEXT = {
    "job": "the package job (DownloadBuild, trace file, callbacks, shown bar)",
    "floor": "bare copy loop: same flags, 32 KiB buffer; no trace, no callbacks",
    "curl": "curl, same server",
    "job-sized": "the job where the remote size is known, as on Windows",
    "job-untraced": "the job with no tracer registered",
    "job-1mib": "the job, 1 MiB file",
}
POST_LINE = b"*** PostProgress: post progress: "
RESUME_LINE = b"*** Download: resume: "
# The resume benchmark: a cut every 64 MiB of a connection, three in 256 MiB; the back-offs
# before the three resumes (0.5 s, doubling).
RESUME_CUTS, RESUME_CUT_BYTES, RESUME_BACKOFF_S = 3, 64 << 20, 0.5 + 1 + 2


def run_download(variant, url, work, expected):
    out = work / "out.bin"
    trace = work / "trace"
    out.unlink(missing_ok=True)
    for old in trace.glob("*.log"):
        old.unlink()
    env = wine_env()
    if variant == "curl":
        result = subprocess.run(["curl", "-sS", "--noproxy", "*", "-o", str(out), "-w",
                                 "%{time_total}", url], capture_output=True, text=True,
                                check=True, stdin=subprocess.DEVNULL)
        fields = {"seconds": float(result.stdout.strip().replace(",", "."))}
    elif variant in ("job", "job-1mib", "job-sized"):
        args = [windows_path(trace), url, windows_path(out)]
        if variant == "job-sized":
            fields = probe(["job-sized", *args, str(BIG)], env)
        else:
            fields = probe(["job", *args], env)
        text = b"".join(f.read_bytes() for f in trace.glob("*.log"))
        fields["trace_lines"] = text.count(b"\r\n")
        fields["posts"] = text.count(POST_LINE)
        fields["resumes"] = text.count(RESUME_LINE)
    else:
        fields = probe([variant, url, windows_path(out)], env)
    if sha256(out) != expected:
        raise RuntimeError(f"{variant} {url}: the copy differs from the original")
    return fields


def bench_download(work, rounds):
    served = work / "served"
    served.mkdir()
    (work / "trace").mkdir()
    make_file(served / "big.bin", BIG)
    make_file(served / "small.bin", SMALL)
    hashes = {"big.bin": sha256(served / "big.bin"), "small.bin": sha256(served / "small.bin")}
    runs = {(p, v): [] for p in PROTOCOLS for v in DOWNLOAD_VARIANTS}
    micro = {"trace_line_us": [], "post_us": [], "lookup_us": [], "bare_post_us": []}
    with http_server(served) as http_base, ftp_server(served) as ftp_base:
        bases = {"http": f"{http_base}/len", "ftp": ftp_base}
        # One small warm-up of each kind, not counted.
        for protocol in PROTOCOLS:
            for variant in ("job", "floor", "curl"):
                run_download(variant, f"{bases[protocol]}/small.bin", work, hashes["small.bin"])
        for n in range(rounds):
            log(f"download: round {n + 1} of {rounds}")
            for protocol in rotated(list(PROTOCOLS), n):
                for variant in rotated(list(DOWNLOAD_VARIANTS), n):
                    name = "small.bin" if variant == "job-1mib" else "big.bin"
                    fields = run_download(variant, f"{bases[protocol]}/{name}", work,
                                          hashes[name])
                    runs[(protocol, variant)].append(fields)
            lines = probe(["trace-lines", windows_path(work / "trace"),
                           str(TRACE_LINES_SAMPLE)], wine_env())
            micro["trace_line_us"].append(lines["seconds"] / lines["calls"] * 1e6)
            posts = probe(["post-progress", str(POSTS_SAMPLE)], wine_env())
            micro["post_us"].append(posts["seconds"] / posts["calls"] * 1e6)
            micro["lookup_us"].append(posts["lookup_seconds"] / posts["calls"] * 1e6)
            micro["bare_post_us"].append(posts["post_seconds"] / posts["calls"] * 1e6)
    return runs, micro


def bench_resume(work, rounds):
    """The job for 256 MiB cut RESUME_CUTS times and uncut, through the same relay in front of
    nginx, interleaved; the seconds of each run."""
    served = work / "resume-served"
    served.mkdir()
    (work / "trace").mkdir(exist_ok=True)
    make_file(served / "big.bin", BIG)
    expected = sha256(served / "big.bin")
    times = {"uncut": [], "cut": []}
    with nginx_server(served) as base:
        for n in range(rounds):
            log(f"resume: round {n + 1} of {rounds}")
            for variant in rotated(list(times), n):
                cuts = RESUME_CUTS if variant == "cut" else 0
                with cutting_relay(base, cuts, RESUME_CUT_BYTES) as (relay, made):
                    fields = run_download("job", f"{relay}/big.bin", work, expected)
                if len(made) != cuts or fields["resumes"] != cuts:
                    raise RuntimeError(f"resume: {len(made)} cuts, {fields['resumes']:.0f} "
                                       f"resumes; {cuts} of each expected")
                times[variant].append(fields["seconds"])
    return times


# ---------------------------------------------------------------------------------------------
# 3: the bootstrapper's overhead

def build_package(directory, version="1.0.0", text="version one\n"):
    source = directory / f"source-{version}"
    source.mkdir(parents=True)
    (source / "readme.txt").write_text(text)
    out = directory / f"product-{version}.msi"
    subprocess.run(["wixl", "-D", f"Version={version}", "-D", "ReadMe=readme.txt", "-o",
                    str(out), str(PRODUCT_WXS)], cwd=source, check=True, capture_output=True)
    return out


def timed_command(prefix, command_line, cwd):
    fields = probe(["time-command"], wine_env(prefix, BENCH_COMMAND_LINE=command_line), cwd=cwd)
    if "exit_code" not in fields:
        raise RuntimeError(f"not started: {command_line}")
    return fields


def uninstall(prefix, cwd):
    timed_command(prefix, f"msiexec /x{PRODUCT_CODE} /qn", cwd)
    if (prefix / PRODUCT_FILE).exists():
        raise RuntimeError("the product is still installed after the uninstall")


def setup_stages(lines):
    """Seconds of a setup.exe /s run by its trace: before the install, the install stage
    (the installed-product query and msiexec), and the whole traced span."""
    stamps = {}
    for line in lines:
        seconds, message = parse_time(line)
        if message is not None:
            stamps.setdefault(message, seconds)
    start, install, installed, end = (stamps[m] for m in (
        "*** start ***", INSTALL_START, "*** Install: end ***", "*** end ***"))
    return {"before": (install - start) % 86400, "install": (installed - install) % 86400,
            "traced": (end - start) % 86400}


def bench_overhead(prefix, work, rounds):
    directory = work / "overhead"
    directory.mkdir()
    package = build_package(directory)
    setup_dir = directory / "setup dir"
    setup_dir.mkdir()
    shutil.copy2(SETUP_EXE, setup_dir / "setup.exe")
    shutil.copy2(package, setup_dir / "vlm.tch.msi")
    temp = temp_dir_of(prefix)
    commands = {
        "setup": (f'"{windows_path(setup_dir / "setup.exe")}" /s', True),
        "msiexec": ('msiexec /i "vlm.tch.msi" /qn', True),
        "msiexec-log": (f'msiexec /i "vlm.tch.msi" /qn /l*v '
                        f'"{windows_path(directory / "install.log")}"', True),
    }
    for name in MINIMAL_PROGRAMS:
        commands[name] = (f'"{windows_path(BUILD / "bench" / (name + ".exe"))}"', False)
    times = {name: [] for name in commands}
    stages = []
    uninstall(prefix, setup_dir)
    for n in range(rounds + 1):     # the first round warms up and is not counted
        log(f"overhead: round {n} of {rounds}" if n else "overhead: warm-up")
        for name in rotated(list(commands), n):
            command, installs = commands[name]
            sizes = {p.name: p.stat().st_size for p in temp.glob("tw-setup-*.log")}
            fields = timed_command(prefix, command, setup_dir)
            if fields["exit_code"] != 0:
                raise RuntimeError(f"{name}: exit code {fields['exit_code']:.0f}")
            if installs:
                if not (prefix / PRODUCT_FILE).exists():
                    raise RuntimeError(f"{name}: nothing was installed")
                uninstall(prefix, setup_dir)
            if n:
                times[name].append(fields["seconds"])
                if name == "setup":
                    stages.append(setup_stages(trace_lines_since(temp, sizes)))
    return times, stages


# ---------------------------------------------------------------------------------------------
# 5: Cancel to msiexec

def temp_dir_of(prefix):
    env = wine_env(prefix)
    out = wine(["cmd", "/c", "echo", "%TEMP%"], env).stdout.strip().splitlines()[-1].strip()
    return Path(wine(["winepath", "-u", out], env).stdout.strip().splitlines()[-1].strip())


def drive(prefix, action, caption, *args, timeout_ms=60000):
    result = wine([TOOLS / "ui_driver.exe", action, caption, *map(str, args), "--timeout",
                   str(timeout_ms)], wine_env(prefix, LC_ALL="C.UTF-8"),
                  timeout=timeout_ms / 1000 + 30, check=False)
    if result.returncode != 0:
        raise RuntimeError(f"ui_driver {action} {caption!r}: {result.stdout[-300:]}")


def wait_until(condition, timeout=60):
    deadline = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > deadline:
            raise TimeoutError("timed out")
        time.sleep(0.05)


def trace_lines_since(temp, sizes):
    lines = []
    for path in sorted(temp.glob("tw-setup-*.log")):
        data = path.read_bytes()[sizes.get(path.name, 0):]
        lines += data.decode("latin-1").split("\r\n")
    return lines


def has_after(temp, sizes, first, then):
    lines = [parse_time(line)[1] for line in trace_lines_since(temp, sizes)]
    starts = [i for i, m in enumerate(lines) if m is not None and m.startswith(first)]
    return bool(starts) and any(m is not None and m.startswith(then)
                                for m in lines[starts[0]:])


def one_cancel(prefix, setup_dir, downloads, temp, kind):
    sizes = {p.name: p.stat().st_size for p in temp.glob("tw-setup-*.log")}
    env = wine_env(prefix, RUN_COMMAND_LINE=f'"{windows_path(setup_dir / "setup.exe")}" /v/qn')
    process = subprocess.Popen([str(WINE_RUN), str(TOOLS / "run_exit_code.exe")], cwd=setup_dir,
                               env=env, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                               stderr=subprocess.DEVNULL, text=True)
    try:
        drive(prefix, "click", CAPTION, YES, "--without-control", 1000)
        drive(prefix, "fill", SAVE_AS, SAVE,
              f"{FILE_NAME}={windows_path(downloads / NEWER_PACKAGE)}")
        if kind == "drip":
            # Some blocks have come in: the worker is in the middle of the copy.
            wait_until(lambda: any(p.stat().st_size >= 2 * BLOCK
                                   for p in downloads.glob("vlm*.tmp")))
        else:
            # The package's open, or its first read, has begun and waits for ever.
            wait_until(lambda: has_after(temp, sizes, STAGED,
                                         READING if kind == "stall" else OPENING))
            time.sleep(0.5)
        drive(prefix, "click", CAPTION, CANCEL, "--with-control", 1000)
        pressed = datetime.datetime.now()
        out, _ = process.communicate(timeout=90)
    finally:
        if process.poll() is None:
            process.kill()
            process.communicate()
    match = re.search(r"exit code: (-?\d+)", out)
    if not match or int(match.group(1)) != 0:
        raise RuntimeError(f"cancel ({kind}): setup.exe ended with {out!r}")
    stamps = {}
    for line in trace_lines_since(temp, sizes):
        seconds, message = parse_time(line)
        if message is not None and message not in stamps:
            stamps[message] = seconds
    if CANCEL_RECEIVED not in stamps or INSTALL_START not in stamps:
        raise RuntimeError(f"cancel ({kind}): the trace lacks the Cancel or the install")
    midnight = pressed.replace(hour=0, minute=0, second=0, microsecond=0)
    pressed_s = (pressed - midnight).total_seconds()
    return {"trace": (stamps[INSTALL_START] - stamps[CANCEL_RECEIVED]) % 86400,
            "driver": (stamps[INSTALL_START] - pressed_s) % 86400,
            "forced": FORCED_END in stamps, "left": LEFT_RUNNING in stamps}


def bench_cancel(prefix, work, rounds):
    directory = work / "cancel"
    setup_dir = directory / "setup dir"
    served = directory / "served"
    downloads = directory / "downloads"
    for d in (setup_dir, served / "pr_dl", downloads):
        d.mkdir(parents=True)
    shutil.copy2(SETUP_EXE, setup_dir / "setup.exe")
    shutil.copy2(build_package(directory), setup_dir / "vlm.tch.msi")
    make_file(served / NEWER_PACKAGE, SLOW_PACKAGE_SIZE)
    temp = temp_dir_of(prefix)
    results = {kind: [] for kind in CANCEL_KINDS}
    with http_server(served) as base, unaccepting_port() as port:
        wine([TOOLS / "patch_strings.exe", "set", windows_path(setup_dir / "setup.exe"),
              f"2010={base}/len/pr_dl/verinfo.txt"], wine_env(prefix))
        for n in range(rounds):
            for kind in rotated(list(results), n):
                log(f"cancel: {kind}, round {n + 1} of {rounds}")
                url = (f"http://127.0.0.1:{port}/len" if kind == "unaccepting"
                       else f"{base}/{kind}")
                (served / "pr_dl" / "verinfo.txt").write_text(
                    f"VLM-TCH 9.0.0.512 {url}/{NEWER_PACKAGE}\r\n")
                results[kind].append(one_cancel(prefix, setup_dir, downloads, temp, kind))
                uninstall(prefix, setup_dir)
                if list(downloads.iterdir()):
                    raise RuntimeError(f"cancel ({kind}): the download left files behind")
    return results


# ---------------------------------------------------------------------------------------------
# Platform, machine, report

class Platform:
    """The benchmark's own Xvfb and Wine prefix, and throw-away copies of the prefix."""

    def __init__(self):
        self.copies = []

    def __enter__(self):
        log(f"bringing up the Wine platform under {ROOT}")
        try:
            subprocess.run([str(PLATFORM), "up", str(ROOT), ARCH], check=True,
                           stdout=subprocess.DEVNULL)
        except BaseException:
            self.__exit__(None, None, None)
            raise
        return self

    def copy(self, name):
        path = ROOT / name
        shutil.rmtree(path, ignore_errors=True)
        subprocess.run(["cp", "-a", str(ROOT / "prefix"), str(path)], check=True)
        self.copies.append(path)
        display = (ROOT / "display").read_text().strip()
        subprocess.run([str(PLATFORM), "serve", str(path), ARCH, str(TOOLS / "ui_driver.exe")],
                       env=dict(os.environ, DISPLAY=f":{display}"), stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=120, check=True)
        return path

    def __exit__(self, *exc):
        for path in self.copies:
            subprocess.run(["wineserver", "-k"], env=wine_tool_env(path),
                           stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL)
            shutil.rmtree(path, ignore_errors=True)
        subprocess.run([str(PLATFORM), "down", str(ROOT)], stdout=subprocess.DEVNULL)


def machine():
    model = "unknown"
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    wine_version = subprocess.run([str(WINE_RUN), "--version"], capture_output=True,
                                  text=True).stdout.strip()
    commit = subprocess.run(["git", "-C", str(REPO), "log", "-1", "--format=%h"],
                            capture_output=True, text=True).stdout.strip()
    return {"nproc": os.cpu_count(), "cpu": model, "wine": wine_version,
            "kernel": os.uname().release,
            "build": f"{ARCH} ({BUILD.name}/, MinSizeRel), commit {commit}"}


def load_average():
    return " ".join(f"{x:.1f}" for x in os.getloadavg())


def fmt_ratio(best, median):
    return f"{median:.2f}× (best {best:.2f}×)"


class Report:
    def __init__(self):
        self.rows = []      # (figure, target, measured, met)
        self.details = []

    def row(self, figure, target, measured, met):
        """met: True, False, or None for a figure that is only reported."""
        verdict = "–" if met is None else "yes" if met else "**no**"
        self.rows.append((figure, target, measured, verdict))

    def text(self, info, command, started, seconds, loads):
        out = ["# Benchmark results", "",
               f"Written by `{command}` on {started:%Y-%m-%d %H:%M}, in {seconds / 60:.1f} min.",
               "",
               f"Machine: {info['nproc']} CPUs ({info['cpu']}), Linux {info['kernel']}, "
               f"{info['wine']}; build: {info['build']}. Load average (1, 5, 15 min) at the "
               f"start {loads[0]}, at the end {loads[1]}: other work shares this machine, which "
               f"is why every figure is a ratio of variants run interleaved in the same rounds.",
               "", "| figure | target | measured | met? |", "|---|---|---|---|"]
        out += [f"| {a} | {b} | {c} | {d} |" for a, b, c, d in self.rows]
        out += [""] + self.details
        return "\n".join(out).rstrip() + "\n"


BAR_SOURCE = {
    "http": "the remote size comes from the Content-Length, so the percentage follows it.",
    "ftp": "under Wine the remote size is 0 (FtpGetFileSize is a stub), so the percentage "
           "sweeps 0–100 within every MiB, and a sweeping bar gets a new position at most "
           "every 50 ms.",
}


def report_download(report, runs, micro, rounds):
    d = report.details
    d += ["## Download throughput and memory", "",
          f"256 MiB over loopback, {rounds} rounds, variants interleaved (order rotated every "
          "round). Times are the transfer alone: the probe's own clock from the open to the "
          "closed handle, curl's `time_total`. Every copy was checked against the original's "
          "SHA-256.", "",
          "| protocol | variant | best s | median s | median MiB/s | peak working set, median |",
          "|---|---|---|---|---|---|"]
    med = {}
    for protocol in PROTOCOLS:
        for variant in DOWNLOAD_VARIANTS:
            values = [r["seconds"] for r in runs[(protocol, variant)]]
            best, median = best_median(values)
            size = SMALL if variant == "job-1mib" else BIG
            peaks = [r["peak_working_set"] for r in runs[(protocol, variant)]
                     if "peak_working_set" in r]
            peak = f"{statistics.median(peaks) / (1 << 20):.1f} MiB" if peaks else "–"
            d.append(f"| {protocol} | {variant}: {VARIANT_TEXT[variant]} | {best:.3f} | "
                     f"{median:.3f} | {size / (1 << 20) / median:.1f} | {peak} |")
            med[(protocol, variant)] = median
    d.append("")
    for protocol in PROTOCOLS:
        def per_round(numerator, denominator):
            return statistics.median(n["seconds"] / m["seconds"] for n, m in
                                     zip(runs[(protocol, numerator)],
                                         runs[(protocol, denominator)]))
        floor_best = min(r["seconds"] for r in runs[(protocol, "floor")])
        job_best = min(r["seconds"] for r in runs[(protocol, "job")])
        # Throughput ratios: the faster the job, the higher.
        ratio_best, ratio_median = floor_best / job_best, per_round("floor", "job")
        report.row(f"download throughput over {protocol.upper()}, job ÷ floor", "≥ 0.90×",
                   fmt_ratio(ratio_best, ratio_median), ratio_median >= 0.9 and ratio_best >= 0.9)
        report.row(f"download throughput over {protocol.upper()}, job ÷ curl", "(reported)",
                   f"{per_round('curl', 'job'):.2f}× (floor ÷ curl "
                   f"{per_round('curl', 'floor'):.2f}×)", None)

        def paired(a, b):
            """The median over the rounds of a's time less b's in the same round."""
            return statistics.median(x["seconds"] - y["seconds"] for x, y in
                                     zip(runs[(protocol, a)], runs[(protocol, b)]))
        job, floor = med[(protocol, "job")], med[(protocol, "floor")]
        sized, untraced = med[(protocol, "job-sized")], med[(protocol, "job-untraced")]
        added = paired("job", "floor")
        by_trace, left = paired("job", "job-untraced"), paired("job-sized", "floor")
        blocks = statistics.median(r["reads"] for r in runs[(protocol, "job")]) - 1
        lines = statistics.median(r["trace_lines"] for r in runs[(protocol, "job")])
        posts = statistics.median(r["posts"] for r in runs[(protocol, "job")])
        sized_lines = statistics.median(r["trace_lines"] for r in runs[(protocol, "job-sized")])
        sized_posts = statistics.median(r["posts"] for r in runs[(protocol, "job-sized")])
        dialog_cpu = statistics.median(r["dialog_cpu_seconds"] for r in runs[(protocol, "job")])
        sized_cpu = statistics.median(r["dialog_cpu_seconds"]
                                      for r in runs[(protocol, "job-sized")])
        worker_cpu = statistics.median(r["worker_cpu_seconds"] for r in runs[(protocol, "job")])
        floor_cpu = statistics.median(r["worker_cpu_seconds"]
                                      for r in runs[(protocol, "floor")])
        allowed = floor / 0.9 - floor
        d += [f"**Where the job's time goes over {protocol.upper()}** (job {job:.2f} s, floor "
              f"{floor:.2f} s, medians; each difference below is the median of the differences "
              f"within a round):", "",
              f"- The floor reads {blocks:.0f} blocks of 32 KiB at "
              f"{floor / (blocks + 1) * 1e6:.0f} µs per read (InternetReadFile and WriteFile). "
              f"At 0.9× the job may add {allowed:.2f} s, {allowed / blocks * 1e6:.0f} µs per "
              f"block; it adds {added:.2f} s, {added / blocks * 1e6:.0f} µs per "
              f"block.",
              f"- The bar: {BAR_SOURCE[protocol]} The job posts {posts:.0f} positions; where "
              f"the size is known (job-sized), one per percent, {sized_posts:.0f}, and takes "
              f"{sized:.2f} s, {per_round('floor', 'job-sized'):.2f}× the floor. The dialog's "
              f"thread uses {dialog_cpu:.2f} s of CPU in the job ({sized_cpu:.2f} s with the "
              f"size known), on a machine of {os.cpu_count()} CPUs that the worker, the server "
              f"and the wineserver share; the worker itself uses {worker_cpu:.2f} s, the "
              f"floor's {floor_cpu:.2f} s.",
              f"- The trace: {lines:.0f} lines, {lines / blocks:.1f} per block (read file, "
              f"write file, and the callback's start, progressed, post progress, end). Without "
              f"a tracer (job-untraced) the job takes {untraced:.2f} s: the lines cost "
              f"{by_trace:.2f} s, {by_trace / lines * 1e6:.1f} µs per line in "
              f"place.",
              f"- What is left with the size known: {left:.2f} s over the floor, "
              f"{left / blocks * 1e6:.0f} µs per block, for "
              f"{sized_lines / blocks:.1f} trace lines per block and the callback.", ""]
    d += [f"Alone, one trace line costs {statistics.median(micro['trace_line_us']):.1f} µs "
          f"(best {min(micro['trace_line_us']):.1f} µs; {TRACE_LINES_SAMPLE} lines of the copy "
          f"loop's text through the tracer into a real file, one WriteFile each), and one new "
          f"bar position posted from a worker to the shown dialog (PostProgress without a "
          f"tracer: IsWindow, GetDlgItem, IsWindow, PostMessageW) "
          f"{statistics.median(micro['post_us']):.1f} µs (best {min(micro['post_us']):.1f} µs; "
          f"{POSTS_SAMPLE} posts); on their own, once the dialog has caught up, the three "
          f"look-ups take {statistics.median(micro['lookup_us']):.1f} µs and the bare "
          f"PostMessageW {statistics.median(micro['bare_post_us']):.1f} µs (medians). Under "
          f"Wine GetDlgItem and PostMessageW are round trips to the wineserver.", ""]
    ratios = []
    for protocol in PROTOCOLS:
        big = [r["peak_working_set"] for r in runs[(protocol, "job")]]
        small = [r["peak_working_set"] for r in runs[(protocol, "job-1mib")]]
        ratios.append((statistics.median(big) / statistics.median(small), max(big) / min(small),
                       protocol, statistics.median(big), statistics.median(small)))
    worst = max(ratios)
    report.row("peak working set, 256 MiB ÷ 1 MiB download (job)", "≤ 1.05×",
               f"{worst[0]:.3f}× ({worst[2].upper()}: {worst[3] / (1 << 20):.1f} MiB ÷ "
               f"{worst[4] / (1 << 20):.1f} MiB; highest ÷ lowest {worst[1]:.3f}×)",
               worst[0] <= 1.05)
    for ratio, extreme, protocol, big, small in ratios:
        d.append(f"Peak working set over {protocol.upper()}: {big / (1 << 20):.1f} MiB for "
                 f"256 MiB, {small / (1 << 20):.1f} MiB for 1 MiB (medians), {ratio:.3f}×; "
                 f"highest 256 MiB run ÷ lowest 1 MiB run {extreme:.3f}×.")
    d.append("")


def report_resume(report, times, rounds):
    per_round = [c / (u + RESUME_BACKOFF_S) for c, u in zip(times["cut"], times["uncut"])]
    ratio_best = min(times["cut"]) / (min(times["uncut"]) + RESUME_BACKOFF_S)
    ratio_median = statistics.median(per_round)
    report.row(f"a download cut {RESUME_CUTS} times ÷ uncut, with its "
               f"{RESUME_BACKOFF_S:.1f} s of back-off (256 MiB, HTTP)", "≤ 1.10×",
               fmt_ratio(ratio_best, ratio_median), ratio_median <= 1.1)
    uncut, cut = best_median(times["uncut"]), best_median(times["cut"])
    report.details += [
        "## Resuming", "",
        f"The package job for 256 MiB from nginx through a relay that closes each of the "
        f"first {RESUME_CUTS} connections after {RESUME_CUT_BYTES >> 20} MiB, against the same "
        f"download through the same relay uncut; {rounds} rounds, interleaved. Each break is "
        f"continued with a range request after a back-off (0.5 s, 1 s, 2 s: "
        f"{RESUME_BACKOFF_S:.1f} s in all). Uncut: best {uncut[0]:.2f} s, median "
        f"{uncut[1]:.2f} s; cut: best {cut[0]:.2f} s, median {cut[1]:.2f} s. The figure divides "
        f"the cut download's time by the uncut one's plus the back-offs, round by round.", ""]


def report_overhead(report, measured, rounds):
    times, stages = measured
    d = report.details
    d += ["## Overhead of the bootstrapper", "",
          f"The test package of the end-to-end tests (one file, 9.7 KB), in a throw-away copy "
          f"of the prefix, uninstalled after every install; {rounds} rounds after a warm-up, "
          f"order rotated. Each time runs from CreateProcessW to the end of the process, "
          f"measured inside Wine (download_probe time-command).", "",
          "| command | best s | median s |", "|---|---|---|"]
    labels = {"setup": "`setup.exe /s`", "msiexec": "`msiexec /i vlm.tch.msi /qn`",
              "msiexec-log": "`msiexec /i vlm.tch.msi /qn /l*v <log>` (what setup.exe runs)",
              "minimal_kernel32": "a program that does nothing, kernel32 only",
              "minimal_user32": "the same, importing user32",
              "minimal_comdlg32": "the same, importing user32 and comdlg32"}
    for name, values in times.items():
        best, median = best_median(values)
        d.append(f"| {labels[name]} | {best:.3f} | {median:.3f} |")
    per_round = [s / m for s, m in zip(times["setup"], times["msiexec"])]
    ratio_best = min(times["setup"]) / min(times["msiexec"])
    ratio_median = statistics.median(per_round)
    report.row("`setup.exe /s` ÷ `msiexec /i pkg /qn`", "≤ 1.10×",
               fmt_ratio(ratio_best, ratio_median), ratio_median <= 1.1 and ratio_best <= 1.1)
    m = {name: statistics.median(values) for name, values in times.items()}

    def paired(a, b):
        """The median over the rounds of a's time less b's in the same round."""
        return statistics.median(x - y for x, y in zip(times[a], times[b]))
    st = {key: statistics.median(s[key] for s in stages) for key in stages[0]}
    outside = m["setup"] - st["traced"]
    added = paired("setup", "msiexec")
    d += ["", f"**Where setup.exe's time goes** (medians; each difference is the median of "
          f"the differences within a round): {m['setup']:.3f} s in all, "
          f"{added:.3f} s more than the bare msiexec "
          f"({m['msiexec']:.3f} s; with the verbose log setup.exe asks for, "
          f"{m['msiexec-log']:.3f} s).", "",
          f"- Its trace spans {st['traced']:.3f} s: {st['before']:.3f} s from its first line "
          f"to `Install: start` (options, the engine check that loads msi.dll), and "
          f"{st['install']:.3f} s for the install stage (the installed-product query, then "
          f"msiexec started and waited for).",
          f"- The other {outside:.3f} s lie outside the trace: starting and ending the "
          f"process. A program that does nothing takes {m['minimal_kernel32']:.3f} s with "
          f"kernel32 alone; importing user32 adds "
          f"{paired('minimal_user32', 'minimal_kernel32'):.3f} s (Wine connects to the "
          f"display); setup.exe imports these two only. Importing comdlg32 as well would add "
          f"another {paired('minimal_comdlg32', 'minimal_user32'):.3f} s "
          f"({m['minimal_comdlg32']:.3f} s in all), which is why setup.exe loads it only "
          f"for the Save As dialog of an accepted update.",
          f"- The overhead is fixed: at 1.1× it would be met by a package whose bare install "
          f"takes {added / 0.1:.1f} s or more.", ""]


def report_size(report):
    size = SHIPPED_EXE.stat().st_size if SHIPPED_EXE.exists() else None
    measured = f"{size:,} bytes ({size / 1024:.1f} KiB)" if size else "not built"
    report.row("size of the i686 setup.exe (build/setup/setup.exe)", "≤ 65,536 bytes (64 KiB)",
               measured, size is not None and size <= 65536)


def report_cancel(report, results, rounds):
    d = report.details
    d += ["## Cancel", "",
          f"The real setup.exe, interactive, its mirror row 2010 pointing at a local HTTP "
          f"server; the UI driver answers Yes and Save As, waits until the package download "
          f"is under way (its open, or its copy, has begun), then presses Cancel. {rounds} "
          f"runs of each kind, interleaved. The figure is measured between two lines of the "
          f"setup's own trace (`{CANCEL_RECEIVED}` and `{INSTALL_START}`, millisecond time "
          f"stamps); the check beside it runs from the moment the driver returned from its "
          f"click (host clock) to the same trace line.", "",
          "| server | Cancel → Install: start, best s | median s | worst s | from the driver, "
          "median s | transfer left running | ended by force |", "|---|---|---|---|---|---|---|"]
    for kind, runs in results.items():
        trace = [r["trace"] for r in runs]
        driver = [r["driver"] for r in runs]
        forced = sum(r["forced"] for r in runs)
        left = sum(r["left"] for r in runs)
        d.append(f"| {CANCEL_KINDS[kind]} | {min(trace):.3f} | {statistics.median(trace):.3f} | "
                 f"{max(trace):.3f} | {statistics.median(driver):.3f} | {left} of {len(runs)} | "
                 f"{forced} of {len(runs)} |")
        worst = max(trace)
        report.row(f"Cancel → msiexec, {CANCEL_KINDS[kind]}",
                   f"< {CANCEL_BOUND_S:.0f} s, no forced end",
                   f"{statistics.median(trace):.2f} s (worst {worst:.2f} s, {forced} of "
                   f"{len(runs)} ended by force)", forced == 0 and worst < CANCEL_BOUND_S)
    d += ["", f"A dripping server sends {DRIP_BYTES} bytes every {DRIP_SECONDS} s; the "
          f"transfer sees the Cancel in its callback after the read it is in, or is left behind "
          f"after 0.3 s. A stalled read or open, and a connection that is never accepted, never "
          f"end under Wine, whatever is closed: the worker stops waiting for its transfer 0.3 s "
          f"after the Cancel and leaves it to end by itself; no worker is ended by force.", ""]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--cancel-rounds", type=int, default=3)
    parser.add_argument("--only", default="download,resume,overhead,size,cancel")
    parser.add_argument("--results", type=Path, default=RESULTS)
    parser.add_argument("--no-results", action="store_true", help="print only")
    args = parser.parse_args()
    only = set(args.only.split(","))
    if not only <= {"download", "resume", "overhead", "size", "cancel"}:
        parser.error("--only takes download, resume, overhead, size and cancel")

    started, start = datetime.datetime.now(), time.monotonic()
    loads = [load_average()]
    report = Report()
    with Platform() as platform, tempfile.TemporaryDirectory(prefix="setup-bench-") as temp:
        work = Path(temp)
        info = machine()
        if "download" in only:
            runs, micro = bench_download(work, args.rounds)
            report_download(report, runs, micro, args.rounds)
        if "resume" in only:
            report_resume(report, bench_resume(work, args.rounds), args.rounds)
        if "overhead" in only or "cancel" in only:
            prefix = platform.copy("scratch-prefix")
            if "overhead" in only:
                report_overhead(report, bench_overhead(prefix, work, args.rounds), args.rounds)
            if "cancel" in only:
                results = bench_cancel(prefix, work, args.cancel_rounds)
                report_cancel(report, results, args.cancel_rounds)
        if "size" in only:
            report_size(report)
    loads.append(load_average())
    command = "bench/run" + "".join(f" {a}" for a in sys.argv[1:])
    text = report.text(info, command, started, time.monotonic() - start, loads)
    print(text)
    if not args.no_results:
        args.results.write_text(text)
        log(f"written to {args.results}")


if __name__ == "__main__":
    main()
