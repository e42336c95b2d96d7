"""An installer engine that is not usable (Wine's msi.dll disabled for the run, or a stand-in
that reports an old version) makes the setup run the redistributable beside it; its exit code
decides whether the run goes on."""
import shutil

import pytest

from conftest import (SETUP_EXE, TOOLS_DIR, TraceFiles, answer_and_wait, messages,
                      run_for_exit_code, setup_command, start_setup, throwaway_prefix,
                      windows_path, wine)

CAPTION = "Velmora 2010 安裝程式"
RESTART_TEXT = ("Windows Installer 安裝程式需要重新啟動電腦。 若要繼續安裝應用程式，請重新啟動電腦，"
                "並再次進行安裝。")
NO_ENGINE = {"SETUP_TEST_DLLOVERRIDES": "msi=d;mscoree,mshtml="}
UNTIL_ENGINE = ["*** start ***", "*** Parse parameters: start ***",
                "*** Parse parameters: end ***", "*** Check msi version: start ***"]
GOES_ON = UNTIL_ENGINE + ["*** Check msi version: end ***", "*** Install: start ***",
                          "*** Install: end ***", "*** end ***"]


@pytest.fixture
def my_setup(tmp_path):
    """setup.exe and a redistributable in 'My Setup', with a decoy My.exe beside the directory,
    where an unquoted redistributable path would start it."""
    directory = tmp_path / "My Setup"
    directory.mkdir()
    shutil.copy2(SETUP_EXE, directory / "setup.exe")
    shutil.copy2(TOOLS_DIR / "planted.exe", directory / "instmsiw.exe")
    shutil.copy2(TOOLS_DIR / "planted.exe", tmp_path / "My.exe")
    return directory


def redistributable_command(directory):
    ran = directory / "instmsiw.exe.ran"
    return ran.read_bytes().decode("utf-16-le") if ran.exists() else None


def test_restart_needed_under_s_ends_with_0_and_no_box(my_setup, temp_dir):
    traces = TraceFiles(temp_dir)
    env = dict(NO_ENGINE, PLANTED_EXIT_CODE="3010")

    assert run_for_exit_code(setup_command(my_setup, "/s"), cwd=my_setup, env=env) == 0

    expected = f'"{windows_path(my_setup / "instmsiw.exe")}" /q'
    assert redistributable_command(my_setup) == expected
    assert not (my_setup.parent / "My.exe.ran").exists()
    assert messages(traces.new_lines()) == UNTIL_ENGINE
    # The decoy is live: the same line unquoted starts it.
    run_for_exit_code(expected.replace('"', ""), cwd=my_setup)
    assert (my_setup.parent / "My.exe.ran").exists()


def test_restart_needed_shows_the_restart_message(my_setup, temp_dir):
    traces = TraceFiles(temp_dir)
    setup = start_setup(setup_command(my_setup), cwd=my_setup,
                        env=dict(NO_ENGINE, PLANTED_EXIT_CODE="3010"))

    texts, code = answer_and_wait(CAPTION, 1, setup)

    assert code == 0
    assert RESTART_TEXT in texts
    assert messages(traces.new_lines()) == UNTIL_ENGINE
    assert not (my_setup.parent / "My.exe.ran").exists()


@pytest.mark.parametrize("redistributable", ["fails with 1603", "missing"])
def test_the_run_goes_on_to_msiexec(redistributable, my_setup, temp_dir):
    if redistributable == "missing":
        (my_setup / "instmsiw.exe").unlink()
    traces = TraceFiles(temp_dir)
    env = dict(NO_ENGINE, PLANTED_EXIT_CODE="1603")

    code = run_for_exit_code(setup_command(my_setup, "/s"), cwd=my_setup, env=env)

    assert code not in (0, 1157)
    assert messages(traces.new_lines()) == GOES_ON
    assert (redistributable_command(my_setup) is None) == (redistributable == "missing")
    assert not (my_setup.parent / "My.exe.ran").exists()


def test_a_usable_engine_is_not_updated(my_setup):
    run_for_exit_code(setup_command(my_setup, "/s"), cwd=my_setup,
                      env={"PLANTED_EXIT_CODE": "3010"})
    assert redistributable_command(my_setup) is None


@pytest.fixture(scope="module")
def stand_in_engine(tmp_path_factory):
    """A throw-away prefix whose msi.dll, for setup.exe alone, reports the version that
    FAKE_MSI_VERSION names; msiexec keeps Wine's own, which the stand-in would crash."""
    with throwaway_prefix(tmp_path_factory.mktemp("engine") / "prefix") as prefix:
        shutil.copy2(TOOLS_DIR / "fake_msi.dll", prefix.system_dir / "msi.dll")
        wine("reg", "add", "HKCU\\Software\\Wine\\AppDefaults\\setup.exe\\DllOverrides",
             "/v", "msi", "/t", "REG_SZ", "/d", "native", "/f", env=prefix.env, check=True)
        yield prefix


@pytest.mark.parametrize("reported, updated", [
    ("2.0", False), ("3.1", False), ("1.99", True), ("0.0", True), ("none", True),
    ("5.0!", True),
], ids=["2.0, the lowest usable", "3.1", "1.99", "0.0", "no version", "5.0 from a failed call"])
def test_an_engine_older_than_2_0_is_updated(stand_in_engine, my_setup, temp_dir, reported,
                                              updated):
    traces = TraceFiles(stand_in_engine.temp_dir(temp_dir))
    env = {"FAKE_MSI_VERSION": reported, "PLANTED_EXIT_CODE": "1603"}

    code = stand_in_engine.run(setup_command(my_setup, "/s"), cwd=my_setup, env=env)

    assert (redistributable_command(my_setup) is not None) == updated
    assert messages(traces.new_lines()) == GOES_ON
    assert code not in (0, 1157)
