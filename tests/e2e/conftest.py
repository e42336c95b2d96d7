"""Shared parts of the end-to-end tests: running Windows programs in the test run's Wine
prefix, copies of setup.exe in clean directories, and reading its trace files."""
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


def run_for_exit_code(command_line, cwd=None, env=None, timeout=120):
    """Runs a Windows command line and returns its whole 32-bit (signed) exit code."""
    full_env = dict(env or {}, RUN_COMMAND_LINE=command_line)
    result = wine(RUN_EXIT_CODE, cwd=cwd, env=full_env, timeout=timeout)
    match = re.search(r"exit code: (-?\d+)", result.stdout)
    assert match, f"no exit code: {result.stdout!r} {result.stderr[-2000:]!r}"
    return int(match.group(1))


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
