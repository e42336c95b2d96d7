"""The transfer layer under Wine against real servers on 127.0.0.1, through the transfer probe:
FTP in passive and active mode, HTTP with and without a length, error statuses that fail over,
unreachable mirrors, hostile servers and an authenticating proxy answered through WinInet's own
log-on dialog."""
import hashlib
import os
import re
import subprocess
import threading
import time
from pathlib import Path

import pytest

from conftest import (BACKGROUND, BUILD_DIR, RUN_LIMIT_S, TRACE_LINE, WINE_RUN, wine,
                      windows_path)
from servers import closed_port, ftp_server, http_server, make_file, squid_proxy

TOOLS = BUILD_DIR / "tests" / "tools"
PROBE = Path(os.environ.get("TRANSFER_PROBE", TOOLS / "transfer_probe.exe"))
UI_DRIVER = Path(os.environ.get("UI_DRIVER", TOOLS / "ui_driver.exe"))

SIZES = [0, 32768, 5 * 1024 * 1024 + 123]
PROXY_USER, PROXY_PASSWORD = "setup", "s3cret"
DIALOG = "Enter Network Password"
WRITE_FILE = "*** Internet copy file procedure: write file: "


def sha256(path):
    return hashlib.sha256(Path(path).read_bytes()).hexdigest()


class Probe:
    """One run of the transfer probe: its exit code, printed events and trace messages."""

    def __init__(self, work, urls, random=False, stop_after=None, env=None, background=False):
        self.work = Path(work)
        self.trace_dir = self.work / "trace"
        self.trace_dir.mkdir(exist_ok=True)
        self.local = self.work / "local.bin"
        args = [str(WINE_RUN), str(PROBE)]
        if random:
            args.append("--random")
        if stop_after is not None:
            args += ["--stop-after-blocks", str(stop_after)]
        args += [windows_path(self.trace_dir), urls, windows_path(self.local)]
        # Only the proxy a test starts itself may be used; the machine's own would hide ours.
        full_env = {k: v for k, v in os.environ.items() if not k.lower().endswith("_proxy")}
        full_env.update(env or {})
        self.started = time.monotonic()
        self.process = subprocess.Popen(args, env=full_env, stdin=subprocess.DEVNULL,
                                        stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                        text=True, errors="replace")
        if background:
            # A probe left waiting on a log-on dialog must not outlive a test that failed.
            BACKGROUND.append(self)
        else:
            self.wait()

    def wait(self, timeout=RUN_LIMIT_S):
        try:
            self.stdout, self.stderr = self.process.communicate(timeout=timeout)
        finally:
            self.stop()
        self.elapsed = time.monotonic() - self.started
        self.code = self.process.returncode
        return self

    def stop(self):
        if self.process.poll() is None:
            self.process.kill()
            self.process.communicate()
        if self in BACKGROUND:
            BACKGROUND.remove(self)

    def wait_for_trace(self, message, count=1, timeout=60):
        """Waits until message stands count times in the trace, or the probe has ended."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline and self.process.poll() is None:
            if self.trace.count(message) >= count:
                return True
            time.sleep(0.05)
        return False

    @property
    def events(self):
        return [line for line in self.stdout.splitlines() if " event " in line]

    @property
    def trace(self):
        return [message for _, message in self.timed_trace]

    @property
    def timed_trace(self):
        """(seconds since midnight, message) of every whole trace line."""
        lines = []
        for log in sorted(self.trace_dir.glob("probe-*.log")):
            # While the probe runs, the last line may still be half written.
            for raw in log.read_bytes().split(b"\r\n")[:-1]:
                if raw:
                    match = TRACE_LINE.match(raw.decode("latin-1"))
                    assert match, raw
                    seconds = (int(match["h"]) * 3600 + int(match["m"]) * 60 + int(match["s"]) +
                               int(match["ms"]) / 1000)
                    lines.append((seconds, match["message"]))
        return lines


@pytest.fixture
def files(tmp_path):
    root = tmp_path / "served"
    root.mkdir()
    for size in SIZES:
        make_file(root / f"f{size}.bin", size)
    return root


@pytest.mark.parametrize("size", SIZES)
@pytest.mark.parametrize("mode", ["ftp-passive", "ftp-active-only", "http-length", "http-chunked"])
def test_a_file_arrives_byte_identical(tmp_path, files, mode, size):
    name = f"f{size}.bin"
    if mode.startswith("ftp"):
        with ftp_server(files, passive=mode == "ftp-passive") as base:
            probe = Probe(tmp_path, f"{base}/{name}")
    else:
        kind = "len" if mode == "http-length" else "chunked"
        with http_server(files) as base:
            probe = Probe(tmp_path, f"{base}/{kind}/{name}")

    assert probe.code == 0, probe.stdout + probe.stderr
    assert sha256(probe.local) == sha256(files / name)
    assert probe.events[-1].startswith("copy event 2 size ")
    assert f"copied {size} " in probe.events[-1]
    trace = probe.trace
    passive_failed = "*** Try open URL procedure: passive FTP mode failed, try active FTP mode ***"
    assert (passive_failed in trace) == (mode == "ftp-active-only")
    if mode.startswith("ftp"):
        assert "*** Check status code: can't get status code, no proxy is used ***" in trace
    else:
        assert "*** Check status code: status code = 200 ***" in trace
    assert trace.count("*** Internet copy file procedure: read file: 0 ***") == 1


def test_error_statuses_fail_over_to_the_next_mirror(tmp_path, files):
    with http_server(files) as base:
        urls = f"{base}/status/404;{base}/status/500;{base}/len/f32768.bin"
        probe = Probe(tmp_path, urls)

    assert probe.code == 0
    assert sha256(probe.local) == sha256(files / "f32768.bin")
    assert probe.events[:4] == ["open event 0 nodes 3 current 0", "open event 1 nodes 3 current 1",
                                "open event 1 nodes 3 current 2", "open event 2 nodes 3 current 3"]
    trace = probe.trace
    for code in (404, 500):
        at = trace.index(f"*** Check status code: status code = {code} ***")
        url = f"{base}/status/{code}"
        assert trace[at + 1] == f"*** Try open URL procedure: can't open node {url} ***"


def test_unreachable_and_unresolvable_mirrors_fail_fast_with_their_errors(tmp_path):
    with closed_port() as port:
        urls = (f"http://127.0.0.1:{port}/f;ftp://127.0.0.1:{port}/f;"
                f"http://mirror.invalid-host.example/f")
        probe = Probe(tmp_path, urls)

    assert probe.code == 1
    assert probe.events == ["open event 0 nodes 3 current 0", "open event 1 nodes 3 current 1",
                            "open event 1 nodes 3 current 2", "open event 1 nodes 3 current 3",
                            "open event 3 nodes 3 current 4"]
    reports = [m for m in probe.trace if m.startswith("*** VERIFY WININET CALL: hDest != NULL")]
    # HTTP once, FTP passive and active, the unknown host once.
    assert len(reports) == 4
    assert sum("): 12029, " in r for r in reports) == 3
    assert sum("): 12007, " in r for r in reports) == 1
    assert not probe.local.exists()
    # The refused opens, timed by the probe's own trace (not Wine's start-up, nor the name
    # lookup of the third node): no retries and no waiting for the 12 s connect time-out.
    times = {m.split(":")[1]: t for t, m in probe.timed_trace
             if m.startswith("*** Try open URL procedure: node #")}
    assert (times[" node #3"] - times[" node #1"]) % 86400 < 5


def test_a_reset_half_way_fails_and_keeps_what_was_written(tmp_path, files):
    reset = threading.Event()
    with http_server(files, reset=reset) as base:
        probe = Probe(tmp_path, f"{base}/reset/f{SIZES[2]}.bin", background=True)
        # The reset drops what the probe has not read yet: it comes once a block is written.
        deadline = time.monotonic() + 60
        while (time.monotonic() < deadline and probe.process.poll() is None and
               not any(m.startswith(WRITE_FILE) for m in probe.trace)):
            time.sleep(0.05)
        reset.set()
        probe.wait()

    assert probe.code == 2, probe.stdout
    assert probe.events[-1].startswith("copy event 3 ")
    written = probe.local.read_bytes()
    original = (files / f"f{SIZES[2]}.bin").read_bytes()
    assert 0 < len(written) < len(original)
    assert original.startswith(written)


def test_a_server_that_closes_before_the_headers_is_not_opened(tmp_path, files):
    with http_server(files) as base:
        probe = Probe(tmp_path, f"{base}/close")

    # No answer, so nothing to copy. (Wine opens such a URL and reports the status 0; Windows
    # fails the open itself.)
    assert probe.code == 1
    assert probe.events[-1] == "open event 3 nodes 1 current 2"
    assert f"*** Try open URL procedure: can't open node {base}/close ***" in probe.trace
    assert not probe.local.exists()


def test_stopping_after_the_first_block_flushes_and_fails(tmp_path, files):
    with http_server(files) as base:
        probe = Probe(tmp_path, f"{base}/len/f{SIZES[2]}.bin", stop_after=1)

    assert probe.code == 2
    match = re.fullmatch(r"copy event 3 size (-?\d+) copied (\d+) blocks 1", probe.events[-1])
    assert match, probe.events[-1]
    # The Content-Length, or 0 where FtpGetFileSize answers 0 for HTTP too (Wine's does).
    assert int(match[1]) in (0, SIZES[2])
    # One read's worth: a whole block under Wine, maybe less elsewhere.
    assert 0 < int(match[2]) <= 32768
    assert probe.local.stat().st_size == int(match[2])


def test_random_order_reaches_the_one_working_mirror(tmp_path, files):
    # Seven mirrors that answer 404, each under a name of its own, and the working one last.
    missing = [f"missing-{i}.bin" for i in range(7)]
    tried_orders = []
    with http_server(files) as base:
        urls = [f"{base}/len/{name}" for name in missing] + [f"{base}/len/f32768.bin"]
        for run in range(3):
            work = tmp_path / f"run{run}"
            work.mkdir()
            probe = Probe(work, ";".join(urls), random=True)

            assert probe.code == 0
            assert sha256(probe.local) == sha256(files / "f32768.bin")
            assert probe.events[-3].startswith("open event 2 nodes 8 current ")
            numbers = [m for m in probe.trace
                       if m.startswith("*** Try open URL procedure: node #")]
            assert [n.split(":")[1] for n in numbers] == [f" node #{i}"
                                                         for i in range(1, len(numbers) + 1)]
            tried = [n.split(": ", 2)[2].removesuffix(" ***") for n in numbers]
            assert tried[-1] == urls[-1]
            assert len(set(tried)) == len(tried)
            tried_orders.append(tried)
    # The list's own order comes up once in 40,320 runs; it must not be what every run takes.
    assert any(tried != urls for tried in tried_orders), tried_orders


AUTH_REQUIRED = "*** Check status code: authorization is required ***"


def drive_dialog(probe, nth, *args, timeout_ms=30000):
    """Answers the probe's nth log-on dialog. The trace line comes after the previous dialog
    has been destroyed, so the driver can't catch that one while it is closing."""
    assert probe.wait_for_trace(AUTH_REQUIRED, nth), probe.trace
    return wine(UI_DRIVER, *args, "--timeout", str(timeout_ms), timeout=timeout_ms / 1000 + 30)


def proxy_env(proxy):
    return {"http_proxy": proxy}


def test_a_proxy_log_on_through_the_dialog_gets_the_file(tmp_path, files):
    with squid_proxy(PROXY_USER, PROXY_PASSWORD) as proxy, http_server(files) as base:
        probe = Probe(tmp_path, f"{base}/len/f{SIZES[2]}.bin", env=proxy_env(proxy),
                      background=True)
        driven = drive_dialog(probe, 1, "fill", DIALOG, "1", f"1027={PROXY_USER}",
                              f"1028={PROXY_PASSWORD}")
        probe.wait()

    assert driven.returncode == 0, driven.stdout + driven.stderr
    assert probe.code == 0, probe.stdout
    assert sha256(probe.local) == sha256(files / f"f{SIZES[2]}.bin")
    trace = probe.trace
    at = trace.index("*** Check status code: status code = 407 ***")
    assert trace[at:at + 4] == [
        "*** Check status code: status code = 407 ***",
        "*** Check status code: authorization is required ***",
        "*** Check status code: send authorization information ***",
        "*** Check status code: status code = 200 ***",
    ]


def test_a_wrong_proxy_password_three_times_fails(tmp_path, files):
    with squid_proxy(PROXY_USER, PROXY_PASSWORD) as proxy, http_server(files) as base:
        probe = Probe(tmp_path, f"{base}/len/f32768.bin;{base}/len/f0.bin", env=proxy_env(proxy),
                      background=True)
        answers = [drive_dialog(probe, n, "fill", DIALOG, "1", f"1027={PROXY_USER}",
                                "1028=wrong") for n in (1, 2, 3)]
        probe.wait()

    assert [a.returncode for a in answers] == [0, 0, 0]
    assert probe.code == 1
    trace = probe.trace
    assert trace.count(AUTH_REQUIRED) == 3
    assert trace.count("*** Check status code: status code = 407 ***") == 4
    assert "*** Try open URL procedure: Authorization is failed ***" in trace
    # The second mirror is not tried once the log-on has failed.
    assert sum(m.startswith("*** Try open URL procedure: node #") for m in trace) == 1
    assert not probe.local.exists()


def test_a_cancelled_proxy_dialog_fails(tmp_path, files):
    with squid_proxy(PROXY_USER, PROXY_PASSWORD) as proxy, http_server(files) as base:
        probe = Probe(tmp_path, f"{base}/len/f32768.bin", env=proxy_env(proxy), background=True)
        driven = drive_dialog(probe, 1, "click", DIALOG, "2")
        probe.wait()

    assert driven.returncode == 0
    assert probe.code == 1
    assert "*** Check status code: authorization is cancelled: 0 ***" in probe.trace
