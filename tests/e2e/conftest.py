"""Shared parts of the end-to-end tests: running Windows programs in the test run's Wine
prefix, copies of setup.exe in clean directories, and reading its trace files."""
import contextlib
import os
import re
import shutil
import subprocess
import time
from pathlib import Path

import pytest

BUILD_DIR = Path(os.environ.get("SETUP_BUILD_DIR", Path(__file__).resolve().parents[2] / "build"))
WINE_RUN = BUILD_DIR / "wine-run"
SETUP_EXE = Path(os.environ.get("SETUP_EXE", BUILD_DIR / "setup" / "setup.exe"))
RUN_EXIT_CODE = Path(os.environ.get("RUN_EXIT_CODE",
                                    BUILD_DIR / "tests" / "tools" / "run_exit_code.exe"))
# The build under test: i686 runs under WoW64, with the 32-bit system directory syswow64;
# x86_64 runs under 64-bit Wine, whose system directory is system32.
ARCH = os.environ.get("SETUP_ARCH", "i686")
SYSTEM_DIR = "syswow64" if ARCH == "i686" else "system32"
# The helper programs (run_exit_code, the UI driver, ...) and the loader that starts them are
# those of the build in BUILD_DIR; the i686 setup.exe may be run by the x86_64 helpers, which
# start natively where the i686 code itself is emulated.
HELPER_ARCH = os.environ.get("SETUP_HELPER_ARCH", ARCH)
# The platform (Xvfb and the prefix) of the run: the suite's own unless a group brings its own.
TEST_ROOT = Path(os.environ.get("SETUP_TEST_ROOT", BUILD_DIR / "testroot"))

TRACE_LINE = re.compile(
    r"^(?P<pid>\d{3,}):(?P<tid>[0-9a-f]{4,}) "
    r"(?P<h>\d\d):(?P<m>\d\d):(?P<s>\d\d)\.(?P<ms>\d{3}) (?P<message>.*)$")
TRACE_NAME = re.compile(r"^tw-setup-\d{4}-\d\d-\d\d-\d\d-\d\d-\d\d\.log$")


def windows_path(path):
    """The Windows name of a Unix path (Wine maps Z: to the Unix root)."""
    return "Z:" + str(Path(path).resolve()).replace("/", "\\")


def wine(*args, cwd=None, env=None, timeout=120, check=False):
    """Runs a Windows program in the test prefix; returns the CompletedProcess."""
    full_env = dict(os.environ)
    full_env.update(env or {})
    return subprocess.run([str(WINE_RUN), *map(str, args)], cwd=cwd, env=full_env,
                          capture_output=True, text=True, errors="replace",
                          timeout=timeout, check=check, stdin=subprocess.DEVNULL)


# A run, and each dialog a test waits for, gets this long; a run that hangs on a dialog nobody
# answers then fails within a minute instead of at CTest's limit. Emulated code is slower: the
# limits grow by the factor SETUP_TEST_SLOWDOWN.
SLOWDOWN = float(os.environ.get("SETUP_TEST_SLOWDOWN", "1"))
RUN_LIMIT_S = round(60 * SLOWDOWN)
DIALOG_LIMIT_MS = round(30000 * SLOWDOWN)


# What the current test started in the background and has not seen end (each has stop()).
BACKGROUND = []


@pytest.fixture(autouse=True)
def background_ends_with_its_test():
    """However a test ends, nothing it started in the background outlives it: a failed run
    must not leave its dialogs for the next test's UI driver to find."""
    yield
    while BACKGROUND:
        BACKGROUND.pop().stop()


class Started:
    """A Windows command line running in the background through run_exit_code, whose job holds
    the run and everything it starts: killing run_exit_code ends them all."""

    def __init__(self, command_line, cwd, env=None):
        self.command_line = command_line
        self.env = dict(env or {})
        # Only the servers a test starts may be reached: the machine's proxy would stand between.
        full_env = {k: v for k, v in os.environ.items() if not k.lower().endswith("_proxy")}
        full_env.update(self.env, RUN_COMMAND_LINE=command_line)
        self.process = subprocess.Popen([str(WINE_RUN), str(RUN_EXIT_CODE)], cwd=cwd,
                                        env=full_env, stdin=subprocess.DEVNULL,
                                        stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                                        text=True, errors="replace")
        BACKGROUND.append(self)

    def ended(self):
        return self.process.poll() is not None

    def stop(self):
        if self.process.poll() is None:
            self.process.kill()
        self.process.wait()
        self.process.stdout.close()
        with contextlib.suppress(ValueError):
            BACKGROUND.remove(self)


def windows_up(env=None):
    """The windows shown in the prefix, with the texts of the dialogs (ui_driver list)."""
    result = wine(TOOLS_DIR / "ui_driver.exe", "list", env=dict(env or {}, LC_ALL="C.UTF-8"),
                  timeout=30)
    return result.stdout.replace("\r", "").strip() or "none"


def exit_code_of(started, timeout=RUN_LIMIT_S):
    """Waits for the run's end and returns its whole 32-bit (signed) exit code. A run still
    going after timeout seconds is ended, with what it started, and fails the test with the
    windows it was showing."""
    try:
        out, _ = started.process.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        shown = windows_up(started.env)
        started.stop()
        raise AssertionError(f"waited {timeout} s in vain for the end of {started.command_line}; "
                             f"windows up:\n{shown}") from None
    started.stop()
    match = re.search(r"exit code: (-?\d+)", out)
    assert match, f"no exit code from {started.command_line}: {out!r}"
    return int(match.group(1))


def run_for_exit_code(command_line, cwd=None, env=None, timeout=RUN_LIMIT_S):
    """Runs a Windows command line and returns its whole 32-bit (signed) exit code."""
    return exit_code_of(Started(command_line, cwd, env), timeout)


@pytest.fixture(scope="session")
def temp_dir():
    """The Unix path of the temporary directory that Windows programs of the prefix see."""
    out = wine("cmd", "/c", "echo", "%TEMP%").stdout.strip().splitlines()[-1].strip()
    unix = wine("winepath", "-u", out).stdout.strip().splitlines()[-1].strip()
    path = Path(unix)
    path.mkdir(parents=True, exist_ok=True)
    return path


@pytest.fixture
def setup_dir(tmp_path):
    """A clean directory holding a copy of setup.exe."""
    directory = tmp_path / "setup dir"
    directory.mkdir()
    shutil.copy2(SETUP_EXE, directory / "setup.exe")
    return directory


class TraceFiles:
    """Snapshot of the trace files in a directory, to find those a run made or grew."""

    def __init__(self, directory):
        self.directory = Path(directory)
        self.before = self._sizes()

    def _sizes(self):
        return {p.name: p.stat().st_size for p in self.directory.glob("tw-setup-*.log")}

    def new_lines(self):
        """Lines added since the snapshot, in file order, as parsed prefix dictionaries."""
        lines = []
        for name, size in sorted(self._sizes().items()):
            start = self.before.get(name, 0)
            if size == start:
                continue
            data = (self.directory / name).read_bytes()[start:]
            assert data.endswith(b"\r\n"), f"{name} does not end with CR LF"
            for raw in data[:-2].split(b"\r\n"):
                text = raw.decode("mbcs" if os.name == "nt" else "latin-1")
                match = TRACE_LINE.match(text)
                assert match, f"malformed trace line {text!r} in {name}"
                lines.append(match.groupdict())
        return lines

    def new_files(self):
        return sorted(n for n in self._sizes() if n not in self.before)


def messages(lines):
    return [line["message"] for line in lines]


# ---------------------------------------------------------------------------------------------
# Packages, throw-away prefixes and dialogs

PACKAGES_DIR = Path(__file__).resolve().parent / "packages"
TOOLS_DIR = BUILD_DIR / "tests" / "tools"
PLATFORM = Path(__file__).resolve().parents[1] / "tools" / "test-platform"
PRODUCT_CODE = "{6A3F1C2E-4B7D-4E11-9C55-2D8E0A7B1F01}"
PRODUCT_DIR = Path("Program Files (x86)") / "Velmora Test Product"
SHARED_PREFIX = TEST_ROOT / "prefix"
SCREENSHOTS_DIR = BUILD_DIR / "screenshots"

# The driver's stage lines of a normal install and of an uninstall.
INSTALL_STAGES = ["*** start ***", "*** Parse parameters: start ***",
                  "*** Parse parameters: end ***", "*** Check msi version: start ***",
                  "*** Check msi version: end ***", "*** Install: start ***",
                  "*** Install: end ***", "*** end ***"]
UNINSTALL_STAGES = INSTALL_STAGES[:5] + ["*** Uninstall: start ***", "*** Uninstall: end ***",
                                         "*** end ***"]
INTERACTIVE_STAGES = INSTALL_STAGES[:5] + ["*** CheckForNewVersion: start ***",
                                           "*** CheckForNewVersion: end: 0 ***"] + \
    INSTALL_STAGES[5:]


@pytest.fixture(scope="session")
def packages(tmp_path_factory):
    """Two builds of one product, built by wixl: 1.0.0 and its minor update 1.0.1."""
    directory = tmp_path_factory.mktemp("packages")
    built = {}
    for version, text in (("1.0.0", "version one\n"), ("1.0.1", "version two\n")):
        source = directory / version
        source.mkdir()
        (source / "readme.txt").write_text(text)
        out = directory / f"product-{version}.msi"
        subprocess.run(["wixl", "-D", f"Version={version}", "-D", "ReadMe=readme.txt",
                        "-o", str(out), str(PACKAGES_DIR / "product.wxs")],
                       cwd=source, check=True, capture_output=True)
        built[version] = out
    return built


def setup_command(setup_dir, args=""):
    exe = windows_path(Path(setup_dir) / "setup.exe")
    return f'"{exe}" {args}'.rstrip()


class Prefix:
    """A Wine prefix of the tests' own: the shared one, or a throw-away copy."""

    def __init__(self, path, env):
        self.path = Path(path)
        self.env = env

    @property
    def drive_c(self):
        return self.path / "drive_c"

    @property
    def system_dir(self):
        """The system directory that the build under test sees."""
        return self.drive_c / "windows" / SYSTEM_DIR

    def temp_dir(self, shared_temp):
        return self.path / Path(shared_temp).relative_to(SHARED_PREFIX)

    def run(self, command_line, cwd, env=None, timeout=120):
        return run_for_exit_code(command_line, cwd=cwd, env=dict(self.env, **(env or {})),
                                 timeout=timeout)

    def _run_msiexec_from_disk(self):
        # 64-bit Wine runs the file on disk, not its builtin msiexec, only with an override.
        wine("reg", "add", "HKCU\\Software\\Wine\\DllOverrides", "/v", "msiexec.exe",
             "/t", "REG_SZ", "/d", "native", "/f", env=self.env, check=True)

    def plant_msiexec(self):
        """Puts the planted stand-in (exit code 77) in place of msiexec; returns the marker
        file it leaves when it is run."""
        if ARCH == "x86_64":
            self._run_msiexec_from_disk()
        shutil.copy2(TOOLS_DIR / "planted.exe", self.system_dir / "msiexec.exe")
        return self.system_dir / "msiexec.exe.ran"

    def record_msiexec(self):
        """Puts the recorder in place of msiexec; returns the file of recorded lines."""
        system = self.system_dir
        self.env.update(MSIEXEC_RECORD="C:\\msiexec-record.txt")
        if ARCH == "x86_64":
            # The recorder lifts the override while the real one, the builtin, runs.
            self._run_msiexec_from_disk()
            self.env.update(MSIEXEC_REAL=f"C:\\windows\\{SYSTEM_DIR}\\msiexec.exe",
                            MSIEXEC_OVERRIDDEN="1")
        else:
            real = self.drive_c / "msiexec-real"
            real.mkdir()
            shutil.copy2(system / "msiexec.exe", real / "msiexec.exe")
            self.env.update(MSIEXEC_REAL="C:\\msiexec-real\\msiexec.exe")
        shutil.copy2(TOOLS_DIR / "msiexec_recorder.exe", system / "msiexec.exe")
        return self.drive_c / "msiexec-record.txt"


def recorded_lines(record):
    return record.read_text(encoding="utf-8").splitlines() if record.exists() else []


def wine_tool_env(prefix):
    """The environment for Wine's own tools (wineserver) run on a prefix of the tests: the
    caller's Wine variables, meant for a Wine of the caller's, are left out."""
    env = {k: v for k, v in os.environ.items() if not k.startswith("WINE")}
    env.update(WINEPREFIX=str(prefix), WINEDEBUG="-all")
    return env


@contextlib.contextmanager
def throwaway_prefix(path):
    """A throw-away copy of the test prefix at path with its own wineserver, for tests that
    install, replace msiexec or otherwise change the machine. The server is ended and the copy
    removed at the end."""
    subprocess.run(["cp", "-a", str(SHARED_PREFIX), str(path)], check=True)
    display = (TEST_ROOT / "display").read_text().strip()
    # The server, Wine's services and its desktop, none of them holding a pipe of ours.
    subprocess.run([str(PLATFORM), "serve", str(path), HELPER_ARCH,
                    str(TOOLS_DIR / "ui_driver.exe")],
                   env=dict(os.environ, DISPLAY=f":{display}"), stdin=subprocess.DEVNULL,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=120,
                   check=True)
    try:
        # wine-run takes the prefix from the project's own variable, never from WINEPREFIX.
        yield Prefix(path, {"SETUP_TEST_PREFIX": str(path)})
    finally:
        subprocess.run(["wineserver", "-k"], env=wine_tool_env(path), stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        shutil.rmtree(path, ignore_errors=True)


@pytest.fixture
def private_prefix(tmp_path):
    """A throw-away prefix of the test's own (see throwaway_prefix)."""
    with throwaway_prefix(tmp_path / "prefix") as prefix:
        yield prefix


@pytest.fixture
def shared_prefix():
    return Prefix(SHARED_PREFIX, {})


def start_setup(command_line, cwd, env=None):
    """Starts a Windows command line in the background (see Started)."""
    return Started(command_line, cwd, env)


# ui_driver's exit code when the dialog it found was closed by its program before it could act.
CLOSED_BY_ITS_PROGRAM = 3


class UiDriver:
    """The UI driver (click, fill, escape, close or wait; see ui_driver.cpp) acting on one
    dialog, in the background."""

    def __init__(self, action, caption, *args, env=None, timeout_ms=DIALOG_LIMIT_MS):
        self.again = (action, caption, *args)
        self.options = {"env": env, "timeout_ms": timeout_ms}
        self.what = f"{action} {caption!r} {' '.join(map(str, args))}".rstrip()
        self.limit_s = timeout_ms / 1000 + 15
        full_env = dict(os.environ, **(env or {}), LC_ALL="C.UTF-8")
        self.process = subprocess.Popen(
            [str(WINE_RUN), str(TOOLS_DIR / "ui_driver.exe"), action, caption,
             *map(str, args), "--timeout", str(timeout_ms)], env=full_env,
            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
            text=True, errors="replace")
        self.started = time.monotonic()

    def done(self):
        """Whether the driver has ended; one that outlives its own time-out is ended."""
        if self.process.poll() is None and time.monotonic() - self.started > self.limit_s:
            self.process.kill()
            self.process.wait()
        return self.process.poll() is not None

    def stop(self):
        self.process.kill()
        self.process.wait()
        self.process.stdout.close()

    def result(self):
        """The static texts the dialog showed; fails the test when the driver did not act."""
        try:
            out, _ = self.process.communicate(timeout=max(0, self.started + self.limit_s -
                                                          time.monotonic()))
        except subprocess.TimeoutExpired:
            self.stop()
            raise AssertionError(f"the UI driver hung: {self.what}") from None
        # A driver that ends without a word never ran: under load Wine now and then fails to
        # start a process (code 1, no output). It is started once more.
        if self.process.returncode != 0 and not out.strip() and self.again is not None:
            retry = UiDriver(*self.again, **self.options)
            retry.again = None
            return retry.result()
        assert self.process.returncode == 0, f"UI driver: {self.what}: {out}"
        return dialog_texts(out)


def dialog_texts(out):
    # A text of several lines goes on, without a prefix, until the next one.
    texts = []
    for line in out.replace("\r", "").split("\n"):
        if line.startswith("text: "):
            texts.append(line[len("text: "):])
        elif re.match(r"(clicked \d+|escaped|closed|found|timed out)", line):
            break
        elif texts:
            texts[-1] += "\n" + line
    return texts


def drive_dialog(action, caption, *args, env=None, timeout_ms=DIALOG_LIMIT_MS):
    """Runs the UI driver on the dialog and returns the static texts it showed."""
    return UiDriver(action, caption, *args, env=env, timeout_ms=timeout_ms).result()


def answer_dialog(caption, button, env=None, timeout_ms=DIALOG_LIMIT_MS):
    """Waits for the dialog, returns the static texts it showed after pressing the button."""
    return drive_dialog("click", caption, button, env=env, timeout_ms=timeout_ms)


def set_strings(exe, rows):
    """Replaces rows of the string table of a copy of setup.exe ({id: text})."""
    result = wine(TOOLS_DIR / "patch_strings.exe", "set", windows_path(exe),
                  *(f"{row}={text}" for row, text in rows.items()))
    assert result.returncode == 0, result.stdout


def save_screenshot(name):
    SCREENSHOTS_DIR.mkdir(parents=True, exist_ok=True)
    display = ":" + (TEST_ROOT / "display").read_text().strip()
    path = str(SCREENSHOTS_DIR / name)
    subprocess.run(["import", "-display", display, "-window", "root", path], check=True,
                   timeout=60)
    # The desktop is black and bare: what is left is the window, with the windows it owns.
    subprocess.run(["convert", path, "-trim", "+repage", path], check=True, timeout=60)


def show_string(exe, string_id):
    """A row of the string table of an executable, as the resource holds it."""
    result = wine(TOOLS_DIR / "patch_strings.exe", "show", windows_path(exe), str(string_id))
    hex_text = result.stdout.strip().split(": ", 1)[1] if ": " in result.stdout else ""
    return bytes.fromhex(hex_text).decode("utf-16-le")


def answer_and_wait(caption, button, process, env=None):
    """Answers the dialog and waits for the program that showed it; returns the dialog's
    texts and the program's exit code."""
    texts = answer_dialog(caption, button, env=env)
    return texts, exit_code_of(process)
