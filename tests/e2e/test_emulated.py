"""The shipped i686 setup.exe where the host's kernel runs no 32-bit code: setup.exe and the
msiexec it starts run emulated, while the helpers (run_exit_code, the UI driver, patch_strings)
are the x86_64 build's, started natively in the same WoW64 prefix. tests/tools/i686-emulated
brings that platform up and runs this module; elsewhere it runs like any other."""
import re
import shutil
import struct

import pytest

from conftest import (INSTALL_STAGES, INTERACTIVE_STAGES, PRODUCT_DIR, RUN_LIMIT_S, SETUP_EXE,
                      SHARED_PREFIX, TraceFiles, messages, setup_command)
from servers import http_server
from test_signature import (MATERIAL, NOT_VERIFIED_TEXT, V100, V101, offer,  # noqa: F401
                            trusted_root)
from test_update_check import (CAPTION, COMPANIONS, LOCAL, PACKAGE, QUESTION, run,  # noqa: F401
                               wait_until)

I386 = 0x14C


@pytest.fixture(scope="session")
def trusted_root_on_disk(trusted_root):
    """Prefix copies are taken from the disk, where the server writes the registry only every
    30 s: a copy taken right after the test root's import would not trust it."""
    thumbprint = re.search(r"\\Certificates\\([0-9A-F]{40})\]",
                           (MATERIAL / "root.reg").read_text()).group(1)
    wait_until(lambda: thumbprint in (SHARED_PREFIX / "system.reg").read_text(errors="replace"),
               "the test root in the prefix's registry file", timeout=60)


def pe_machine(path):
    data = path.read_bytes()
    (header,) = struct.unpack_from("<I", data, 0x3C)
    assert data[header:header + 4] == b"PE\0\0", f"{path} is no PE image"
    return struct.unpack_from("<H", data, header + 4)[0]


def test_the_setup_under_test_is_the_shipped_i686_image():
    # The helpers beside it are another build's: a mixed-up path would test the wrong code.
    assert pe_machine(SETUP_EXE) == I386


def test_a_silent_install_traces_every_stage_and_installs(private_prefix, packages, setup_dir,
                                                          temp_dir):
    shutil.copy2(packages["1.0.0"], setup_dir / "vlm.tch.msi")
    traces = TraceFiles(private_prefix.temp_dir(temp_dir))

    code = private_prefix.run(setup_command(setup_dir, "/s"), cwd=setup_dir,
                              timeout=RUN_LIMIT_S)

    assert code == 0
    lines = traces.new_lines()
    assert messages(lines) == INSTALL_STAGES
    assert len({(line["pid"], line["tid"]) for line in lines}) == 1
    assert (private_prefix.drive_c / PRODUCT_DIR / "readme.txt").read_text() == LOCAL


def in_order(wanted, trace):
    """Whether the lines of wanted appear in trace in that order, others between them."""
    rest = iter(trace)
    return all(line in rest for line in wanted)


def interactive_stages(taken):
    end = f"*** CheckForNewVersion: end: {int(taken)} ***"
    return [end if line.startswith("*** CheckForNewVersion: end") else line
            for line in INTERACTIVE_STAGES]


@pytest.mark.parametrize("served, taken, verdict", [
    ("signed-a.msi", True, "*** Verify package: end: verified ***"),
    ("tampered.msi", False, "*** Verify package: content does not match its signature ***"),
], ids=["signed by the local signer", "changed after signing"])
def test_an_accepted_update_is_checked_before_it_is_installed(trusted_root_on_disk, run, served,
                                                               taken, verdict):
    offer(run, "local-a.msi", served)
    with http_server(run.served) as base:
        run.publish(base, kind="/len")
        run.start().accept()
        told = [] if taken else run.dialog("click", CAPTION, 1, *QUESTION)
        run.finish()

    assert run.code == 0
    assert run.installed == (V101 if taken else V100)
    assert told == ([] if taken else [NOT_VERIFIED_TEXT])
    assert in_order(interactive_stages(taken), run.trace), run.trace
    assert verdict in run.trace
    saved = sorted(p.name for p in run.downloads.iterdir())
    assert saved == (sorted([PACKAGE, *COMPANIONS]) if taken else [])
    if taken:
        assert run.target.read_bytes() == (MATERIAL / served).read_bytes()
        for name, data in COMPANIONS.items():
            assert (run.downloads / name).read_bytes() == data
