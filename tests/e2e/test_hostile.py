"""Hostile mirrors and planted files. Whatever a mirror does, the run ends within a bound with
msiexec's exit code, the local package installed (or the new build, where a reset package
download went on where it broke off); programs and libraries planted beside a
downloaded setup.exe are never run or loaded."""
import shutil
import threading
import time

import pytest

from conftest import PRODUCT_DIR, TOOLS_DIR, throwaway_prefix, windows_path, wine
from servers import closed_port, http_server, unaccepting_port
from test_update_check import (CAPTION, DOWNLOADED, FORCED_END, LOCAL, PACKAGE, PROGRESS, Run,
                               wait_until)
from test_update_check import started as started_step
from test_update_check import run  # noqa: F401 (the fixture)

CANCEL = 2
OPENING = "*** Try open URL procedure: node #"
READING = "*** Internet copy file procedure: read file: start ***"
WRITING = "*** Internet copy file procedure: write file: "
TOO_LARGE = "*** Download build callback: build information too large ***"
# After a Cancel a transfer that does not end by itself is left behind within a second; then
# the install runs.
CANCEL_BOUND = 5
LEFT_RUNNING = "*** Download: transfer left to end by itself after cancel ***"
# A mirror that fails by itself: from the start of the run, or from the person's last answer.
PROMPT_BOUND = 10
BUILD_INFO_MAX = 1024 * 1024
BLOCK = 32768
NO_PRODUCT = "{00000000-0000-0000-0000-000000000000}"


@pytest.fixture(scope="module")
def mirror_prefix(tmp_path_factory):
    """One prefix for all the mirrors, where a crash ends the setup at once instead of waiting
    on Wine's crash dialog."""
    with throwaway_prefix(tmp_path_factory.mktemp("mirrors") / "prefix") as prefix:
        wine("reg", "add", "HKCU\\Software\\Wine\\WineDbg", "/v", "ShowCrashDialog", "/t",
             "REG_DWORD", "/d", "0", "/f", env=prefix.env, check=True)
        yield prefix


@pytest.fixture
def mirror_run(mirror_prefix, packages, setup_dir, tmp_path, temp_dir):
    # Each run installs the local package over the last one's: the file, removed, comes back.
    (mirror_prefix.drive_c / PRODUCT_DIR / "readme.txt").unlink(missing_ok=True)
    return Run(mirror_prefix, packages, setup_dir, tmp_path, temp_dir)


def wait_for_line(run, prefix, timeout=30):
    wait_until(lambda: any(m["message"].startswith(prefix) for m in run.traces.new_lines()),
               f"the trace line {prefix!r}", timeout)


def cancel_when(prefix):
    """The person presses Cancel once the worker has traced the line and waits on the mirror,
    unless the run has ended the dialog by itself by then: each case's ending line tells
    whether that was allowed."""
    def act(run):
        wait_for_line(run, prefix)
        time.sleep(0.5)
        run.dialog_unless_ended("click", CAPTION, CANCEL, *PROGRESS)
    return act


def save_the_update(run):
    run.accept()


# The mirror's path, what the person does, the line that shows how the check ended and the
# bound in seconds.
MIRRORS = [
    pytest.param("/mute", cancel_when(OPENING), LEFT_RUNNING, CANCEL_BOUND,
                 id="stalls before its headers"),
    pytest.param("/headers", cancel_when(READING), LEFT_RUNNING, CANCEL_BOUND,
                 id="stalls after its headers"),
    pytest.param("unaccepting", cancel_when(OPENING), LEFT_RUNNING, CANCEL_BOUND,
                 id="never accepts"),
    # The build information has a single pass: a reset ends the check.
    pytest.param("/reset", None, "*** Download build callback: failed ***", PROMPT_BOUND,
                 id="resets the build information mid-transfer"),
    # The package goes on where the reset broke it off, and the new build is installed.
    pytest.param("package /reset", save_the_update, "*** Download: resume: ", PROMPT_BOUND,
                 id="resets the package mid-transfer"),
    # Stopped at the bound, the transfer's handle is closed, and WinInet reads what has arrived
    # of the announced 2 GiB first: minutes while the server keeps up (the person presses
    # Cancel), or the run goes on at once when the server falls behind for a moment.
    pytest.param("/repeat", cancel_when(TOO_LARGE), TOO_LARGE, CANCEL_BOUND, id="sends 2 GiB"),
    # No proxy is in use: no log-on is asked for (WinInet's dialog would have no proxy to name).
    pytest.param("/proxy-auth", None, "*** Check status code: no proxy is used ***",
                 PROMPT_BOUND, id="answers 407 for ever"),
    pytest.param("/loop", cancel_when(OPENING), LEFT_RUNNING, CANCEL_BOUND,
                 id="redirects to itself"),
    # A read waits for a whole block: the transfer never sees the Cancel, and is left behind.
    pytest.param("/trickle", cancel_when(READING), LEFT_RUNNING, CANCEL_BOUND,
                 id="drips a byte a second"),
    pytest.param("/len", save_the_update, "*** Check status code: status code = 404 ***",
                 PROMPT_BOUND, id="lists a package that is gone"),
]


@pytest.mark.parametrize("path, person, ending, bound", MIRRORS)
def test_a_hostile_mirror_ends_with_an_install_in_time(mirror_run, path, person, ending, bound):
    run = mirror_run
    # The product's line comes after some 70 KB of others, beyond the half that the reset lets
    # through; the package that it lists is not on the server, unless the mirror is the
    # package's.
    others = "".join(f"ABC-ENU 1.0.0.{n} http://127.0.0.1/abc/abc.msi\r\n" for n in range(1500))
    package = path.startswith("package ")
    if not package:
        (run.served / PACKAGE).unlink()
    temporary = set(run.temp.glob("tmp*.tmp"))
    reset = threading.Event()
    with http_server(run.served, reset=reset) as base, unaccepting_port() as port:
        run.publish(base, kind=path.split()[-1] if package else "/len")
        verinfo = run.served / "pr_dl" / "verinfo.txt"
        verinfo.write_text(others + verinfo.read_text())
        if not package:
            run.mirrors(f"http://127.0.0.1:{port}/len/pr_dl/verinfo.txt"
                        if path == "unaccepting" else f"{base}{path}/pr_dl/verinfo.txt")
        started = time.monotonic()
        run.start()
        # A reset drops what the worker has not read yet: it comes once a block is written (or
        # the package's first read waits for the rest), or it could come before the headers
        # and fail the open instead of the transfer.
        if path == "/reset":
            wait_for_line(run, WRITING)
        if package:
            person(run)
            person, started = None, time.monotonic()
            wait_until(lambda: started_step(run, READING), "the package's first read")
            time.sleep(0.2)
        reset.set()
        if person:
            person(run)
            started = time.monotonic()
        run.finish()
        elapsed = time.monotonic() - started

    assert run.code == 0
    assert run.installed == (DOWNLOADED if package else LOCAL)
    assert any(message.startswith(ending) for message in run.trace), ending
    assert FORCED_END not in run.trace
    assert elapsed < bound
    if path == "/repeat":
        (copy,) = set(run.temp.glob("tmp*.tmp")) - temporary
        assert copy.stat().st_size <= BUILD_INFO_MAX + BLOCK
    if path == "/len":
        assert not run.target.exists()
    if package:
        assert run.target.read_bytes() == (run.served / PACKAGE).read_bytes()


def test_files_planted_beside_the_setup_are_never_run_or_loaded(run):
    # setup.exe as downloaded, with an msiexec.exe, a wininet.dll and a library that msi.dll
    # loads beside it, in the directory that is also the current one.
    shutil.copy2(TOOLS_DIR / "planted.exe", run.setup_dir / "msiexec.exe")
    for library in ("wininet.dll", "mspatcha.dll"):
        shutil.copy2(TOOLS_DIR / "planted_dll.dll", run.setup_dir / library)
    # As on Windows, a wininet.dll found first is taken; Wine would prefer its own.
    run.prefix.env["SETUP_TEST_DLLOVERRIDES"] = "wininet=n,b;mscoree,mshtml="
    run.mirrors(f"http://127.0.0.1:{closed_port()}/pr_dl/verinfo.txt")
    run.start().finish()

    assert run.code == 0
    assert run.installed == LOCAL
    assert "*** Internet connection successfully initialized ***" in run.trace
    markers = ["msiexec.exe.ran", "wininet.dll.loaded", "mspatcha.dll.loaded"]
    assert [m for m in markers if (run.setup_dir / m).exists()] == []

    # Each plant is live: a program that searches the usual way takes it.
    assert run.prefix.run(f"msiexec /x{NO_PRODUCT} /qn", cwd=run.setup_dir) == 77
    classic = run.setup_dir / "classic.exe"
    shutil.copy2(TOOLS_DIR / "planted.exe", classic)
    for library in ("wininet.dll", "msi.dll"):
        run.prefix.run(f'"{windows_path(classic)}"', cwd=run.setup_dir,
                       env={"PLANTED_LOAD": library})
    assert [m for m in markers if (run.setup_dir / m).exists()] == markers
