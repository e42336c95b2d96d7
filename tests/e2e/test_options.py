"""The help box, a command line too long for msiexec, a missing package and an msiexec planted
where the setup must never take it from. None of these installs anything, so they share the
test run's prefix, except where msiexec itself is replaced."""
import shutil
import time

import pytest

from conftest import (TOOLS_DIR, TraceFiles, answer_and_wait, messages, run_for_exit_code,
                      save_screenshot, setup_command, start_setup, wine)

CAPTION = "Velmora 2010 安裝程式"
HELP_TEXT = ("命令列： 安裝 [<options>]\n\n選項：\n/s\t\t\t- 無訊息模式\n/l<path to file>\t\t- 安裝記錄\n"
             "/p<property>=<value>\t- 設定安裝內容\n/v<string>\t\t- 設定 msiexec 的參數\n/h\t\t\t- 說明訊息")
PLANTED_EXIT = 77
# A line whose msiexec arguments alone leave no room in the 1,024 characters.
TOO_LONG = "/s /v" + "x" * 1000


def wait_for_window(caption, timeout=30):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if f"caption={caption}" in wine(TOOLS_DIR / "ui_driver.exe", "list",
                                         env={"LC_ALL": "C.UTF-8"}).stdout:
            return
        time.sleep(0.1)
    pytest.fail(f"no window {caption!r}")


@pytest.mark.parametrize("args", ["/h", "/?", "-H", "/s /h /x{A}", "/hx"])
def test_help_shows_the_box_and_ends_with_minus_4(args, setup_dir, temp_dir):
    traces = TraceFiles(temp_dir)
    setup = start_setup(setup_command(setup_dir, args), cwd=setup_dir)
    if args == "/h":
        wait_for_window(CAPTION)
        time.sleep(0.5)
        save_screenshot("help.png")

    texts, code = answer_and_wait(CAPTION, 1, setup)

    assert code == -4
    assert HELP_TEXT in texts
    # No engine check, no msiexec, and the trace ends where the help came.
    assert messages(traces.new_lines()) == ["*** start ***", "*** Parse parameters: start ***"]


@pytest.mark.parametrize("args, stage", [(TOO_LONG, "Install"),
                                         ("/x{A} " + TOO_LONG, "Uninstall")],
                         ids=["install", "uninstall"])
def test_a_line_that_does_not_fit_is_not_run(args, stage, private_prefix, setup_dir, temp_dir):
    ran = private_prefix.plant_msiexec()
    # The stand-in is what the setup runs for a line that fits.
    fits = args.replace(TOO_LONG, "/s")
    assert private_prefix.run(setup_command(setup_dir, fits), cwd=setup_dir) == PLANTED_EXIT
    assert ran.exists()
    ran.unlink()
    traces = TraceFiles(private_prefix.temp_dir(temp_dir))

    assert private_prefix.run(setup_command(setup_dir, args), cwd=setup_dir) == 1639

    assert not ran.exists()
    lines = messages(traces.new_lines())
    assert lines[-3:] == [f"*** {stage}: command line too long ***", f"*** {stage}: end ***",
                          "*** end ***"]


def direct_msiexec_code(cwd):
    return run_for_exit_code('C:\\windows\\system32\\msiexec.exe /i "vlm.tch.msi" /qn',
                             cwd=cwd)


def test_a_missing_package_gives_msiexecs_own_code(setup_dir):
    code = run_for_exit_code(setup_command(setup_dir, "/s"), cwd=setup_dir)
    assert code == direct_msiexec_code(setup_dir)
    assert code not in (0, 1157)


def test_a_planted_msiexec_never_runs(setup_dir, tmp_path):
    current = tmp_path / "current"
    current.mkdir()
    for directory in (setup_dir, current):
        shutil.copy2(TOOLS_DIR / "planted.exe", directory / "msiexec.exe")

    code = run_for_exit_code(setup_command(setup_dir, "/s"), cwd=current)

    assert code != PLANTED_EXIT
    assert code == direct_msiexec_code(setup_dir)
    assert not (setup_dir / "msiexec.exe.ran").exists()
    assert not (current / "msiexec.exe.ran").exists()
