"""A downloaded package takes the local one's place only when it passes the check: signed by the
anchor's publisher (the pins of string 2012, or else the local package's signer), unchanged,
and a later build of the same product. What was checked is held until msiexec has ended. The
packages, the test root (trusted in the prefix) and the publishers come from
tests/tools/make_signed_packages.py, run by the build."""
import os
import re
import threading
import time

import pytest

from conftest import BUILD_DIR, SHARED_PREFIX, recorded_lines, set_strings, windows_path, wine
from test_update_check import (CAPTION, COMPANIONS, PACKAGE, QUESTION, YES, run,  # noqa: F401
                               traced, wait_until)
from servers import http_server
from signing import sign

MATERIAL = BUILD_DIR / "tests" / "unit" / "signature"
V100, V101 = "Velmora test product 1.0.0\n", "Velmora test product 1.0.1\n"
VERSION_OF = {"local-a.msi": V100, "local-b.msi": V100, "unsigned-1.0.0.msi": V100}
# The Save As dialog's question before it replaces a file, as Wine captions it.
REPLACE_CAPTION = "Error"
NOT_VERIFIED_TEXT = ("下載的新版安裝套件未能通過數位簽章驗證，可能已遭竄改或並非由原發行者發行。 "
                     "安裝精靈將安裝現有版本。")
PINNED = "*** Verify package: anchored by the publisher pins ***"
UNVERIFIED = "*** CheckLatestBuild: download installed unverified ***"


def pins(*signers):
    """The signers' pins; "a~" is A's with its second digit changed, a key that is not A's."""
    listed = dict(line.split() for line in (MATERIAL / "pins.txt").read_text().splitlines())
    listed.update({f"{signer}~": pin[0] + ("1" if pin[1] == "0" else "0") + pin[2:]
                   for signer, pin in list(listed.items())})
    return ";".join(listed[signer] for signer in signers)


@pytest.fixture(scope="session", autouse=True)
def trusted_root():
    """The test root in the shared prefix's root store, once, before any test copies the prefix:
    a regedit run at once in a fresh copy failed now and then to start."""
    for _ in range(3):
        if wine("regedit", "/S", MATERIAL / "root.reg").returncode == 0:
            break
        time.sleep(1)
    else:
        pytest.fail("the test root could not be imported")
    # The server writes the registry to its files only every so often, and a copy of the
    # prefix is a copy of those files: wait until they hold the root.
    key = re.search(r"Certificates\\([0-9A-F]+)\]", (MATERIAL / "root.reg").read_text()).group(1)
    wait_until(lambda: key.lower() in (SHARED_PREFIX / "system.reg").read_text(
        errors="replace").lower(), f"the test root {key} in the prefix's registry files", 90)


def offer(run, local, served):
    (run.setup_dir / "vlm.tch.msi").write_bytes((MATERIAL / local).read_bytes())
    (run.served / PACKAGE).write_bytes((MATERIAL / served).read_bytes())


UPGRADE_CODE = "{6A3F1C2E-4B7D-4E11-9C55-2D8E0A7B1F02}"
OTHER_UPGRADE_CODE = "{6A3F1C2E-4B7D-4E11-9C55-2D8E0A7B1F0F}"
SAME_PRODUCT = "*** Verify package: same product, ProductVersion 1.0.1 after 1.0.0 ***"


@pytest.mark.parametrize("local, served, pinned, taken, line, product", [(*case, {}) for case in [
    ("local-a.msi", "signed-a.msi", "", True, "*** Verify package: end: verified ***"),
    ("local-a.msi", "tampered.msi", "", False,
     "*** Verify package: content does not match its signature ***"),
    ("local-a.msi", "signed-b.msi", "", False, "*** Verify package: signed by "),
    ("local-a.msi", "self-signed.msi", "", False,
     "*** Verify package: certificate chain is not trusted for code signing (0x800B0109) ***"),
    ("local-a.msi", "unsigned.msi", "", False, "*** Verify package: not signed (0x80092009) ***"),
    ("local-a.msi", "expired-stamped.msi", "", True,
     "*** Verify package: judged at its time stamp ***"),
    ("local-a.msi", "expired.msi", "", False,
     "*** Verify package: certificate chain is not trusted for code signing (0x800B0101) ***"),
    ("unsigned-1.0.0.msi", "unsigned.msi", "", True,
     "*** Verify package: local package is not signed, not verified ***"),
    ("unsigned-1.0.0.msi", "signed-a.msi", "a", True, PINNED),
    ("unsigned-1.0.0.msi", "signed-b.msi", "a", False,
     "*** Verify package: signed by Velmora Test Publisher B, whose key "),
    ("signed-a.msi", "local-a.msi", "", False,
     "*** Verify package: ProductVersion 1.0.0 is not higher than the local package's 1.0.1 ***"),
    ("local-a.msi", "other-product-a.msi", "", False,
     "*** Verify package: UpgradeCode {6A3F1C2E-4B7D-4E11-9C55-2D8E0A7B1F0F} is not the local "
     "package's {6A3F1C2E-4B7D-4E11-9C55-2D8E0A7B1F02} ***"),
    ("local-a.msi", "lower-case-a.msi", "", True, SAME_PRODUCT),
    # The build information is signed by B, pinned beside the near miss of A's key.
    ("unsigned-1.0.0.msi", "signed-a.msi", "a~+b", False,
     "*** Verify package: signed by Velmora Test Publisher A, whose key "),
]] + [
    # The product of the image's rows 2013 and 2014, and the build already installed.
    ("unsigned-1.0.0.msi", "signed-a.msi", "a", True, SAME_PRODUCT,
     {2013: UPGRADE_CODE.lower(), 2014: "1.0.1"}),
    ("unsigned-1.0.0.msi", "other-product-a.msi", "a", False,
     f"*** Verify package: UpgradeCode {OTHER_UPGRADE_CODE} is not the product's {UPGRADE_CODE} ***",
     {2013: UPGRADE_CODE}),
    ("unsigned-1.0.0.msi", "signed-a.msi", "a", False,
     "*** Verify package: ProductVersion 1.0.1 is not at least the product's 1.0.2 ***",
     {2014: "1.0.2"}),
    ("unsigned-1.0.0.msi", "unsigned.msi", "", False,
     "*** Verify package: ProductVersion 1.0.1 is not at least the product's 1.0.2 ***",
     {2014: "1.0.2"}),
    ("unsigned-1.0.0.msi", "signed-a.msi", "a", True, SAME_PRODUCT,
     {"installed": "unsigned-1.0.0.msi"}),
    ("unsigned-1.0.0.msi", "signed-a.msi", "a", False,
     "*** Verify package: ProductVersion 1.0.1 is not higher than the installed 1.0.1 ***",
     {"installed": "signed-a.msi"}),
], ids=["signed by A", "changed after signing", "signed by B", "self-signed", "unsigned",
        "expired, time-stamped", "expired", "nothing to anchor", "pinned A, unsigned local",
        "pinned A, signed by B", "an older build", "another product",
        "its UpgradeCode in lower case", "a pin one early digit off A's", "the image's product",
        "not the image's product", "below the lowest version", "below the lowest version, unsigned",
        "later than the installed build", "the installed build again"])
def test_only_a_checked_later_build_replaces_the_local_package(run, local, served, pinned,
                                                                taken, line, product):
    offer(run, local, served)
    if pinned:
        set_strings(run.setup_dir / "setup.exe", {2012: pins(*pinned.split("+"))})
    rows = {row: text for row, text in product.items() if row != "installed"}
    if rows:
        set_strings(run.setup_dir / "setup.exe", rows)
    if "installed" in product:
        installed = run.setup_dir.parent / product["installed"]
        installed.write_bytes((MATERIAL / product["installed"]).read_bytes())
        assert run.prefix.run(f'msiexec /i "{windows_path(installed)}" /qn',
                              cwd=run.setup_dir) == 0
    with http_server(run.served) as base:
        run.publish(base, kind="/len")
        if pinned:
            # With pins the build information counts only when its maker signed it.
            sign(run.served / "pr_dl" / "verinfo.txt", pinned.split("+")[-1])
        run.start().accept()
        told = [] if taken else run.dialog("click", CAPTION, 1, *QUESTION)
        run.finish()

    assert run.code == 0
    assert run.installed == VERSION_OF.get(served if taken else local, V101)
    assert any(message.startswith(line) for message in run.trace), line
    assert told == ([] if taken else [NOT_VERIFIED_TEXT])
    assert f"*** CheckForNewVersion: end: {int(taken)} ***" in run.trace
    # Where nothing anchors the check, the trace says in a line of its own what is installed.
    assert (UNVERIFIED in run.trace) == (taken and line.endswith("not verified ***"))
    # A refused download leaves nothing where the person saved it, its staging file neither.
    saved = sorted(p.name for p in run.downloads.iterdir())
    assert saved == (sorted([PACKAGE, *COMPANIONS]) if taken else [])
    if taken:
        assert run.target.read_bytes() == (MATERIAL / served).read_bytes()


@pytest.mark.parametrize("taken", [True, False], ids=["the download", "the local package"])
def test_the_package_is_held_while_msiexec_runs(run, taken):
    # A stand-in in front of msiexec tries to write, delete and rename what it was given.
    record = run.prefix.record_msiexec()
    run.prefix.env["MSIEXEC_TRY_PACKAGE"] = "1"
    offer(run, "local-a.msi", "signed-a.msi" if taken else "signed-b.msi")
    with http_server(run.served) as base:
        run.publish(base, kind="/len")
        run.start().accept()
        if not taken:
            run.dialog("click", CAPTION, 1, *QUESTION)
        run.finish()

    assert run.code == 0
    assert run.installed == (V101 if taken else V100)
    (attempts,) = [line for line in recorded_lines(record) if line.startswith("write ")]
    codes = [int(code) for code in attempts.split()[1::2]]
    assert len(codes) == 3 and 0 not in codes, attempts
    held = run.target if taken else run.setup_dir / "vlm.tch.msi"
    expected = MATERIAL / ("signed-a.msi" if taken else "local-a.msi")
    assert held.read_bytes() == expected.read_bytes()


def test_the_download_is_never_saved_over_the_local_package(run):
    # Even unsigned: a download that failed or was refused there would leave nothing to install.
    local = run.setup_dir / "vlm.tch.msi"
    offer(run, "unsigned-1.0.0.msi", "unsigned.msi")
    with http_server(run.served) as base:
        run.publish(base, kind="/len")
        run.start().accept(target=local)
        run.dialog("click", REPLACE_CAPTION, YES, "--with-text", "replace")
        run.finish()

    assert run.code == 0
    assert run.installed == V100
    assert local.read_bytes() == (MATERIAL / "unsigned-1.0.0.msi").read_bytes()
    assert "*** CheckLatestBuild: Save file: the local package is not replaced ***" in run.trace


COMPANION_REFUSED = "*** CheckLatestBuild: Save file: a companion file is not replaced ***"
NOT_PLAIN = "is no plain path ***"


# Wine's dialog resolves "sub\..\" itself and refuses a "/"; the other spellings reach the
# setup as typed.
@pytest.mark.parametrize("spelling, line", [
    ("\\Data1.cab", COMPANION_REFUSED), ("\\Data1.cab.", NOT_PLAIN), ("\\Data1.cab ", NOT_PLAIN),
    ("\\sub\\..\\Data1.cab", COMPANION_REFUSED),
], ids=["as listed", "trailing period", "trailing space", "through a sub-folder"])
def test_a_download_named_like_a_companion_is_never_saved_over_it(run, spelling, line):
    # The mirror names its package Data1.cab; saved beside setup.exe over the local cabinet,
    # from which the local package may install. Windows would write "Data1.cab." and the other
    # spellings as Data1.cab.
    cabinet = run.setup_dir / "Data1.cab"
    cabinet.write_bytes(b"MSCF local cabinet")
    (run.setup_dir / "sub").mkdir()
    offer(run, "unsigned-1.0.0.msi", "unsigned.msi")
    os.rename(run.served / PACKAGE, run.served / "Data1.cab")
    with http_server(run.served) as base:
        run.publish(base, kind="/len", name="Data1.cab")
        run.start().accept(target=windows_path(run.setup_dir) + spelling)
        run.dialog_unless_ended("click", REPLACE_CAPTION, YES, "--with-text", "replace")
        run.finish()

    assert run.code == 0
    assert run.installed == V100
    assert cabinet.read_bytes() == b"MSCF local cabinet"
    assert sorted(p.name for p in run.setup_dir.iterdir() if p.suffix != ".log") == \
        sorted(["Data1.cab", "setup.exe", "sub", "vlm.tch.msi", *COMPANIONS])
    assert any(message.endswith(line) for message in run.trace), line


def test_a_link_planted_at_the_chosen_name_is_replaced_not_written_through(run, tmp_path):
    victim = tmp_path / "victim.msi"
    victim.write_bytes(b"somebody else's file")
    offer(run, "unsigned-1.0.0.msi", "unsigned.msi")
    rest = threading.Event()
    with http_server(run.served, reset=rest) as base:
        run.publish(base, kind="/gate")
        run.start().accept()
        # Planted once the person has chosen (Wine's Save As dialog takes a link's target for
        # the name) and while the download runs.
        wait_until(lambda: traced(run, "*** Stage download: "), "the staged download")
        run.target.symlink_to(victim)
        rest.set()
        run.finish()

    assert run.installed == V101
    assert victim.read_bytes() == b"somebody else's file"
    assert not run.target.is_symlink()
    assert run.target.read_bytes() == (MATERIAL / "unsigned.msi").read_bytes()
