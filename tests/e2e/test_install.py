"""Installs, updates and removes a real package through setup.exe and Wine's own msiexec, in a
throw-away copy of the prefix where a recorder stands in front of msiexec."""
import re
import shutil

import pytest

from conftest import (INSTALL_STAGES, INTERACTIVE_STAGES, PRODUCT_CODE, PRODUCT_DIR,
                      UNINSTALL_STAGES, TraceFiles, messages, recorded_lines, setup_command,
                      windows_path)

LOG_NAME = r"tw-(un)?install-\d{4}-\d\d-\d\d-\d\d-\d\d-\d\d\.log"


def default_log(line, temp_dir, kind):
    """The log path of a recorded line, checked to be the default one, as a Unix path."""
    match = re.search(r' /l\*v "([^"]*)"$', line)
    assert match, line
    name = match.group(1).rsplit("\\", 1)[1]
    assert re.fullmatch(LOG_NAME, name) and name.startswith(f"tw-{kind}-"), name
    return temp_dir / name


def test_install_update_and_removal(private_prefix, packages, setup_dir, temp_dir):
    record = private_prefix.record_msiexec()
    temp = private_prefix.temp_dir(temp_dir)
    readme = private_prefix.drive_c / PRODUCT_DIR / "readme.txt"
    package = setup_dir / "vlm.tch.msi"

    # A clean machine: no REINSTALL, or msiexec would install nothing and still succeed.
    shutil.copy2(packages["1.0.0"], package)
    traces = TraceFiles(temp)
    assert private_prefix.run(setup_command(setup_dir, "/s"), cwd=setup_dir) == 0
    assert readme.read_text() == "version one\n"
    line = recorded_lines(record)[-1]
    assert line.startswith('msiexec /i "vlm.tch.msi" /qn /l*v "')
    assert default_log(line, temp, "install").exists()
    assert messages(traces.new_lines()) == INSTALL_STAGES

    # The same product installed: the minor update goes through the reinstall tail.
    shutil.copy2(packages["1.0.1"], package)
    assert private_prefix.run(setup_command(setup_dir, "/s"), cwd=setup_dir) == 0
    assert readme.read_text() == "version two\n"
    line = recorded_lines(record)[-1]
    assert line.startswith('msiexec /i "vlm.tch.msi" REINSTALL="ALL" REINSTALLMODE="voums" '
                           '/qn /l*v "')

    traces = TraceFiles(temp)
    assert private_prefix.run(setup_command(setup_dir, f"/x{PRODUCT_CODE} /s"),
                              cwd=setup_dir) == 0
    assert not readme.exists()
    line = recorded_lines(record)[-1]
    assert line.startswith(f"msiexec /x{PRODUCT_CODE} /qn /l*v \"")
    assert default_log(line, temp, "uninstall").exists()
    assert messages(traces.new_lines()) == UNINSTALL_STAGES
    assert len(recorded_lines(record)) == 3


def test_properties_arguments_and_a_named_log_reach_msiexec(private_prefix, packages,
                                                            setup_dir, tmp_path):
    record = private_prefix.record_msiexec()
    shutil.copy2(packages["1.0.0"], setup_dir / "vlm.tch.msi")
    log = tmp_path / "my logs" / "install.log"
    log.parent.mkdir()
    args = (r'/s /p"INSTALLDIR=C:\Velmora Elsewhere" /pNOTE=a=b '
            f'/v/norestart /l"{windows_path(log)}"')

    assert private_prefix.run(setup_command(setup_dir, args), cwd=setup_dir) == 0

    assert (private_prefix.drive_c / "Velmora Elsewhere" / "readme.txt").exists()
    assert not (private_prefix.drive_c / PRODUCT_DIR).exists()
    assert log.exists()
    assert recorded_lines(record) == [
        r'msiexec /i "vlm.tch.msi" /qn INSTALLDIR="C:\Velmora Elsewhere" NOTE="a=b" '
        f'/norestart /l*v "{windows_path(log)}"']


def test_an_interactive_install_makes_the_update_check_first(private_prefix, packages,
                                                             setup_dir, temp_dir):
    record = private_prefix.record_msiexec()
    shutil.copy2(packages["1.0.0"], setup_dir / "vlm.tch.msi")
    traces = TraceFiles(private_prefix.temp_dir(temp_dir))

    # msiexec is kept quiet through /v; the setup itself runs interactively.
    assert private_prefix.run(setup_command(setup_dir, "/v/qn"), cwd=setup_dir) == 0

    assert (private_prefix.drive_c / PRODUCT_DIR / "readme.txt").exists()
    # The driver's own stages, around the update check's lines (the shipped mirrors do not
    # resolve here, so it finds nothing).
    stages = [m for m in messages(traces.new_lines()) if m in INTERACTIVE_STAGES]
    assert stages == INTERACTIVE_STAGES
    assert recorded_lines(record)[0].startswith('msiexec /i "vlm.tch.msi" /qn /l*v "')


def test_administrative_install_passes_msiexecs_own_failure_under_wine(private_prefix, packages,
                                                                       setup_dir):
    record = private_prefix.record_msiexec()
    shutil.copy2(packages["1.0.0"], setup_dir / "vlm.tch.msi")

    code = private_prefix.run(setup_command(setup_dir, "/a /s /lC:\\admin.log"), cwd=setup_dir)

    line = recorded_lines(record)[-1]
    assert line == 'msiexec /a "vlm.tch.msi" /qn /l*v "C:\\admin.log"'
    direct = private_prefix.run(f"C:\\windows\\system32\\{line}", cwd=setup_dir)
    assert code == direct
    # Wine's msiexec does not support administrative installs (1626): a code that a setup
    # which always said 0 could not pass on.
    assert code != 0


def test_msiexec_that_cannot_be_started_gives_1157(private_prefix, setup_dir, temp_dir):
    (private_prefix.system_dir / "msiexec.exe").unlink()
    traces = TraceFiles(private_prefix.temp_dir(temp_dir))

    assert private_prefix.run(setup_command(setup_dir, "/s"), cwd=setup_dir) == 1157

    assert messages(traces.new_lines()) == INSTALL_STAGES


@pytest.mark.parametrize("started_in", ["the root", "a subfolder with a decoy package"])
def test_a_setup_in_the_root_of_a_drive_installs_its_own_package(private_prefix, packages,
                                                                 setup_dir, started_in):
    # The drive E: of the prefix is the directory that holds setup.exe and the package.
    (private_prefix.path / "dosdevices" / "e:").symlink_to(setup_dir)
    shutil.copy2(packages["1.0.0"], setup_dir / "vlm.tch.msi")
    cwd = setup_dir
    if started_in != "the root":
        cwd = setup_dir / "sub"
        cwd.mkdir()
        shutil.copy2(packages["1.0.1"], cwd / "vlm.tch.msi")
    record = private_prefix.record_msiexec()

    assert private_prefix.run('"E:\\setup.exe" /s', cwd=cwd) == 0

    assert (private_prefix.drive_c / PRODUCT_DIR / "readme.txt").read_text() == "version one\n"
    assert recorded_lines(record)[-1].startswith('msiexec /i "vlm.tch.msi" /qn')
