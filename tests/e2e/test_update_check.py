"""The update check before an interactive install, as a person meets it: a copy of setup.exe
whose mirror list points at local servers, the progress dialog, the question and the Save As
dialog answered through the UI driver, and Wine's msiexec installing whichever package the check
leaves behind, in a throw-away prefix."""
import threading
import time

import pytest

from conftest import (CLOSED_BY_ITS_PROGRAM, PRODUCT_DIR, RUN_LIMIT_S, TraceFiles, UiDriver,
                      drive_dialog, exit_code_of, messages, recorded_lines, save_screenshot,
                      set_strings, setup_command, start_setup, windows_path)
from servers import closed_port, ftp_server, http_server, make_file, unaccepting_port

CAPTION = "Velmora 2010 安裝程式"
# The question is owned by the progress dialog and has its caption: the bar tells them apart.
PROGRESS = ("--with-control", 1000)
QUESTION = ("--without-control", 1000)
SAVE_AS, FILE_NAME, YES, NO, CANCEL = "Save As", 0x47C, 6, 7, 2
NEWER = "9.0.0.512"
# As the person reads it: the row's escaped brackets are shown as brackets.
QUESTION_TEXT = ("安裝精靈在Tarrowin伺服器上偵測到新版的應用程式 (%)。 建議您下載並安裝該新版本。 "
                 "按 [是] 下載並安裝新版本。 按 [否] 安裝現有版本。")
PACKAGE = f"vlm.tch-{NEWER}.msi"
COMPANIONS = {"setup.reg": b"REGEDIT4\r\n", "install.cfg": b"[install]\r\n",
              "disk1.cab": b"MSCF"}
LOCAL, DOWNLOADED = "version one\n", "version two\n"
FORCED_END = "*** WaitAndClose: Thread is not signaled, terminate ***"
READING = "*** Internet copy file procedure: read file: start ***"
OPENING = "*** Try open URL procedure: node #"
CANCELLED = "*** DownloadBuildDialogProc: cancel is received ***"
LEFT_RUNNING = "*** Download: transfer left to end by itself after cancel ***"
# The slow server needs some 25 s for it, far longer than a Cancel takes; the stalling one sends
# only its first 16 KiB.
SLOW_PACKAGE_SIZE = 2 * 1024 * 1024


def wait_until(condition, what, timeout=30):
    deadline = time.monotonic() + timeout
    while not condition():
        assert time.monotonic() < deadline, f"waited {timeout} s in vain for {what}"
        time.sleep(0.05)


class Run:
    """One interactive run of a copy of setup.exe beside the local package (1.0.0) and its
    companion files, with a mirror directory that serves verinfo.txt and the newer package
    (1.0.1)."""

    def __init__(self, prefix, packages, setup_dir, tmp_path, temp_dir):
        self.prefix, self.setup_dir = prefix, setup_dir
        self.temp = prefix.temp_dir(temp_dir)
        self.served = tmp_path / "served"
        (self.served / "pr_dl").mkdir(parents=True)
        (self.served / PACKAGE).write_bytes(packages["1.0.1"].read_bytes())
        (setup_dir / "vlm.tch.msi").write_bytes(packages["1.0.0"].read_bytes())
        for name, data in COMPANIONS.items():
            (setup_dir / name).write_bytes(data)
        self.downloads = tmp_path / "downloads"
        self.downloads.mkdir()
        self.target = self.downloads / PACKAGE

    def publish(self, base, version=NEWER, kind="", name=PACKAGE):
        """Lists the package (served as name) on the server at base (kind: a path prefix of the
        HTTP server) and points the mirror list at its verinfo.txt."""
        (self.served / "pr_dl" / "verinfo.txt").write_text(
            f"VLM-PRO 10.0.0.100 {base}/other.msi\r\n"
            f"VLM-TCH {version} {base}{kind}/{name}\r\n")
        self.mirrors(f"{base}{'/len' if kind else ''}/pr_dl/verinfo.txt")

    def mirrors(self, urls):
        set_strings(self.setup_dir / "setup.exe", {2010: urls})

    def start(self, cwd=None):
        self.traces = TraceFiles(self.temp)
        # msiexec is kept quiet through /v; the setup itself runs interactively.
        self.process = start_setup(setup_command(self.setup_dir, "/v/qn"),
                                   cwd=cwd or self.setup_dir, env=self.prefix.env)
        return self

    def dialog(self, action, caption, *args):
        return drive_dialog(action, caption, *args, env=self.prefix.env)

    def dialog_unless_ended(self, action, caption, *args):
        """Acts on the dialog like dialog(), unless the run ends the dialog by itself first;
        returns whether the dialog was acted on."""
        driver = UiDriver(action, caption, *args, env=self.prefix.env)
        while not driver.done() and not self.process.ended():
            time.sleep(0.05)
        if driver.done() and driver.process.returncode == 0:
            driver.result()
            return True
        if self.process.ended() or driver.process.returncode == CLOSED_BY_ITS_PROGRAM:
            driver.stop()
            return False
        return driver.result()    # fails, with what the driver waited for and what was up

    def accept(self, target=None, screenshot=None):
        """Answers Yes and saves the package as target (a path, or a Windows name as typed);
        returns the question's text."""
        if screenshot:
            self.dialog("wait", CAPTION, *QUESTION)
            save_screenshot(screenshot)
        question = "\n".join(self.dialog("click", CAPTION, YES, *QUESTION))
        name = target if isinstance(target, str) else windows_path(target or self.target)
        self.dialog("fill", SAVE_AS, 1, f"{FILE_NAME}={name}")
        return question

    def finish(self, timeout=RUN_LIMIT_S):
        self.code = exit_code_of(self.process, timeout=timeout)
        self.lines = self.traces.new_lines()
        self.trace = messages(self.lines)
        return self

    def seconds_between(self, first, then):
        """Seconds from the first line that begins with first to the next that begins with then,
        by the trace's own clock."""
        def at(line):
            return (int(line["h"]) * 60 + int(line["m"])) * 60 + int(line["s"]) + \
                int(line["ms"]) / 1000
        start = next(i for i, l in enumerate(self.lines) if l["message"].startswith(first))
        end = next(l for l in self.lines[start:] if l["message"].startswith(then))
        return at(end) - at(self.lines[start])

    @property
    def installed(self):
        return (self.prefix.drive_c / PRODUCT_DIR / "readme.txt").read_text()


@pytest.fixture
def run(private_prefix, packages, setup_dir, tmp_path, temp_dir):
    return Run(private_prefix, packages, setup_dir, tmp_path, temp_dir)


def serve(protocol, run):
    return ftp_server(run.served) if protocol == "ftp" else http_server(run.served)


@pytest.mark.parametrize("listed", ["9.0.0.463", "10.0.0.1"], ids=["same build", "other major"])
def test_no_newer_build_installs_the_local_package(run, listed):
    with ftp_server(run.served) as base:
        run.publish(base, listed)
        run.start().finish()

    assert run.code == 0
    assert run.installed == LOCAL
    assert "*** Dialog loop: end: 2 ***" in run.trace
    assert "*** CheckForNewVersion: end: 0 ***" in run.trace


@pytest.mark.parametrize("protocol", ["ftp", "http"])
def test_an_accepted_update_is_downloaded_and_installed(run, protocol, packages):
    with serve(protocol, run) as base:
        run.publish(base, kind="/len" if protocol == "http" else "")
        run.start()
        question = run.accept(screenshot="question.png" if protocol == "ftp" else None)
        run.finish()

    assert question == QUESTION_TEXT.replace("%", NEWER)
    assert run.code == 0
    assert run.installed == DOWNLOADED
    assert run.target.read_bytes() == packages["1.0.1"].read_bytes()
    for name, data in COMPANIONS.items():
        assert (run.downloads / name).read_bytes() == data
    assert "*** CheckForNewVersion: end: 1 ***" in run.trace


@pytest.mark.parametrize("answer", ["no", "save as cancelled"])
def test_a_declined_update_installs_the_local_package(run, answer):
    with ftp_server(run.served) as base:
        run.publish(base)
        run.start()
        if answer == "no":
            run.dialog("click", CAPTION, NO, *QUESTION)
        else:
            run.dialog("click", CAPTION, YES, *QUESTION)
            run.dialog("click", SAVE_AS, CANCEL)
        run.finish()

    assert run.code == 0
    assert run.installed == LOCAL
    assert list(run.downloads.iterdir()) == []
    assert "*** CheckForNewVersion: end: 0 ***" in run.trace


def traced(run, prefix):
    return any(line["message"].startswith(prefix) for line in run.traces.new_lines())


def started(run, step):
    """The package's transfer has reached the step: a line that begins with it after the
    download was staged."""
    lines = [line["message"] for line in run.traces.new_lines()]
    start = next((i for i, m in enumerate(lines) if m.startswith("*** Stage download: ")), None)
    return start is not None and any(m.startswith(step) for m in lines[start:])


def staged(run):
    """The download's own file in the chosen folder, once something was written to it."""
    return any(p.stat().st_size > 0 for p in run.downloads.glob("vlm*.tmp"))


@pytest.mark.parametrize("how", ["button", "escape", "close box"])
def test_cancel_during_a_slow_download_leaves_nothing_behind(run, how):
    make_file(run.served / PACKAGE, SLOW_PACKAGE_SIZE)
    # The end of the package waits for the person's Cancel, however late it comes: the download
    # (and its dialog) cannot finish first.
    cancelled = threading.Event()
    with http_server(run.served, release=cancelled) as base:
        run.publish(base, kind="/drip")
        run.start()
        run.accept()
        wait_until(lambda: staged(run), "the first block of the package")
        if how == "button":
            run.dialog("wait", CAPTION, *PROGRESS)
            save_screenshot("progress.png")
            run.dialog("click", CAPTION, CANCEL, *PROGRESS)
        else:
            run.dialog("escape" if how == "escape" else "close", CAPTION, *PROGRESS)
        cancelled.set()
        run.finish()

    assert run.code == 0
    assert run.installed == LOCAL
    assert list(run.downloads.iterdir()) == []
    # The worker saw the Cancel itself and was not ended by force.
    assert "*** Download build callback: terminated ***" in run.trace
    assert FORCED_END not in run.trace
    assert "*** CheckForNewVersion: end: 0 ***" in run.trace


def test_a_cancel_as_the_download_ends_leaves_nothing_of_it(run):
    # The transfer ends within the moment the worker waits for it after the Cancel: the package
    # is whole, and still neither checked, placed nor followed by its companions.
    size = 4 * 32768
    make_file(run.served / PACKAGE, size)
    release = threading.Event()
    with http_server(run.served, release=release) as base:
        run.publish(base, kind="/linger")
        run.start()
        run.accept()
        wait_until(lambda: any(p.stat().st_size == size for p in run.downloads.glob("vlm*.tmp")),
                   "the whole package in its staging file")
        run.dialog("click", CAPTION, CANCEL, *PROGRESS)
        wait_until(lambda: traced(run, CANCELLED), "the Cancel")
        release.set()
        run.finish()

    assert run.code == 0
    assert run.installed == LOCAL
    assert "*** Download: Download successfully finished ***" in run.trace
    assert LEFT_RUNNING not in run.trace
    assert list(run.downloads.iterdir()) == []
    assert "*** CheckLatestBuild: cancelled, download not used ***" in run.trace
    assert "*** CheckForNewVersion: end: 0 ***" in run.trace


def test_unreachable_mirrors_step_the_bar_and_install_the_local_package(run):
    with closed_port() as port:
        run.mirrors(";".join([f"ftp://127.0.0.1:{port}/pr_dl/verinfo.txt"] * 3 +
                             [f"http://127.0.0.1:{port}/pr_dl/verinfo.txt",
                              "ftp://mirror.invalid-host.example/pr_dl/verinfo.txt"]))
        run.start().finish()

    assert run.code == 0
    assert run.installed == LOCAL
    posted = [m for m in run.trace if m.startswith("*** PostProgress: post progress: ")]
    assert [int(m.split(": ")[2].split()[0]) for m in posted] == [0, 20, 40, 60, 80, 100]
    assert "*** CheckForNewVersion: end: 0 ***" in run.trace


def test_without_the_local_package_any_later_build_is_offered(run, tmp_path):
    # Started from a folder that holds a package of the name: only the one beside setup.exe
    # counts.
    (run.setup_dir / "vlm.tch.msi").replace(tmp_path / "vlm.tch.msi")
    with ftp_server(run.served) as base:
        run.publish(base, "9.0.0.1")
        run.start(cwd=tmp_path)
        question = run.accept()
        run.finish()

    assert "*** Build info: VLM-TCH 9.0.0.0***" in run.trace
    assert question == QUESTION_TEXT.replace("%", "9.0.0.1")
    assert run.code == 0
    assert run.installed == DOWNLOADED


@pytest.mark.parametrize("kind", ["/stall", "/mute", "unaccepting"],
                         ids=["stalls after its headers", "stalls before its headers",
                              "never accepts"])
def test_a_stalled_download_ends_within_a_second_of_cancel(run, kind):
    make_file(run.served / PACKAGE, SLOW_PACKAGE_SIZE)
    with http_server(run.served) as base, unaccepting_port() as port:
        run.publish(base, kind="/len")
        if kind == "unaccepting":
            base, kind = f"http://127.0.0.1:{port}", "/len"
        (run.served / "pr_dl" / "verinfo.txt").write_text(
            f"VLM-TCH {NEWER} {base}{kind}/{PACKAGE}\r\n")
        run.start()
        run.accept()
        # The package's open, or its first read, has begun and waits for ever.
        wait_until(lambda: started(run, READING if kind == "/stall" else OPENING),
                   "the package's open or first read")
        time.sleep(0.5)
        run.dialog("click", CAPTION, CANCEL, *PROGRESS)
        run.finish()

    # The transfer, still waiting in WinInet, is left behind; msiexec starts at once.
    assert run.seconds_between(CANCELLED, "*** Install: start ***") < 2
    assert LEFT_RUNNING in run.trace
    assert FORCED_END not in run.trace
    assert run.code == 0
    assert run.installed == LOCAL
    assert list(run.downloads.iterdir()) == []


@pytest.mark.parametrize("delay", [0, 1], ids=["at once", "a second later"])
def test_a_cancel_during_the_open_ends_the_copy_when_the_server_answers_after_it(run, delay):
    answer = threading.Event()
    with http_server(run.served, reset=answer) as base:
        run.publish(base, kind="/late")
        run.start()
        run.accept()
        wait_until(lambda: started(run, OPENING), "the package's open")
        time.sleep(0.5)
        run.dialog("click", CAPTION, CANCEL, *PROGRESS)
        time.sleep(delay)
        answer.set()
        run.finish()

    assert run.seconds_between(CANCELLED, "*** Install: start ***") < 2
    assert FORCED_END not in run.trace
    assert run.code == 0
    assert run.installed == LOCAL
    assert list(run.downloads.iterdir()) == []
    assert "*** CheckForNewVersion: end: 0 ***" in run.trace


# Enough companion cabinets to keep the worker copying for some seconds after the package took
# its name (about 3 ms each here), and few enough that it ends well within the main thread's
# wait for it.
CABINETS = 800


def test_a_cancel_after_the_package_was_placed_installs_the_local_one(run):
    record = run.prefix.record_msiexec()
    for n in range(CABINETS):
        (run.setup_dir / f"disk{n:04}.cab").write_bytes(b"MSCF")
    with ftp_server(run.served) as base:
        run.publish(base)
        run.start()
        run.accept()
        wait_until(lambda: traced(run, "*** Copy files: *.cab: file found: "),
                   "the companion copy")
        run.dialog("click", CAPTION, CANCEL, *PROGRESS)
        run.finish()

    # The package was placed and the worker's check succeeded, after the Cancel.
    assert run.trace.index(CANCELLED) < run.trace.index(
        "*** CheckLatestBuild: Save file: end: 1 ***")
    assert run.target.exists()
    assert FORCED_END not in run.trace
    assert "*** CheckForNewVersion: end: 0 ***" in run.trace
    assert run.code == 0
    assert run.installed == LOCAL
    (line,) = recorded_lines(record)
    assert "vlm.tch.msi" in line and PACKAGE not in line, line


def test_a_companion_file_that_cannot_be_replaced_fails_the_update(run):
    # Wine run by root replaces read-only files; a directory of the name can't be replaced.
    # The package, placed by then, goes again: a refused update leaves nothing at the name.
    (run.downloads / "setup.reg").mkdir()
    with ftp_server(run.served) as base:
        run.publish(base)
        run.start()
        run.accept()
        run.finish()

    assert run.code == 0
    assert run.installed == LOCAL
    assert not run.target.exists()
    assert (f"*** Copy files: File setup.reg is failed to copy to "
            f"{windows_path(run.downloads)} (5) ***") in run.trace
    assert "*** CheckForNewVersion: end: 0 ***" in run.trace


def test_saving_beside_the_setup_copies_nothing_and_installs_the_download(run):
    with ftp_server(run.served) as base:
        run.publish(base)
        run.start()
        run.accept(run.setup_dir / PACKAGE)
        run.finish()

    assert run.code == 0
    assert run.installed == DOWNLOADED
    assert ("*** Copy extra files: nothing to copy (new location is the same as the old one) "
            "***") in run.trace
