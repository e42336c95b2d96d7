"""A downloaded package takes the local one's place only when its signature holds against the
local package's signer. The packages, the test root (trusted in the prefix) and the publishers
come from tests/tools/make_signed_packages.py, run by the build."""
import pytest

from conftest import BUILD_DIR, wine
from test_update_check import CAPTION, PACKAGE, QUESTION, YES, run  # noqa: F401 (fixture)
from servers import http_server

MATERIAL = BUILD_DIR / "tests" / "unit" / "signature"
LOCAL, NEWER = "Velmora test product 1.0.0\n", "Velmora test product 1.0.1\n"
# The Save As dialog's question before it replaces a file, as Wine captions it.
REPLACE_CAPTION = "Error"
NOT_VERIFIED_TEXT = ("下載的新版安裝套件未能通過數位簽章驗證，可能已遭竄改或並非由原發行者發行。 "
                     "安裝精靈將安裝現有版本。")


@pytest.mark.parametrize("local, served, installed, line", [
    ("local-a.msi", "signed-a.msi", NEWER, "*** Verify package: end: verified ***"),
    ("local-a.msi", "tampered.msi", LOCAL,
     "*** Verify package: content does not match its signature ***"),
    ("local-a.msi", "signed-b.msi", LOCAL, "*** Verify package: signed by "),
    ("local-a.msi", "self-signed.msi", LOCAL,
     "*** Verify package: certificate chain is not trusted for code signing (0x800B0109) ***"),
    ("local-a.msi", "unsigned.msi", LOCAL, "*** Verify package: not signed (0x80092009) ***"),
    ("unsigned-1.0.0.msi", "unsigned.msi", NEWER,
     "*** Verify package: local package is not signed, not verified ***"),
], ids=["signed by A", "changed after signing", "signed by B", "self-signed", "unsigned",
        "nothing to anchor"])
def test_only_a_package_of_the_local_signer_replaces_it(run, local, served, installed, line):
    wine("regedit", "/S", MATERIAL / "root.reg", env=run.prefix.env, check=True)
    (run.setup_dir / "vlm.tch.msi").write_bytes((MATERIAL / local).read_bytes())
    (run.served / PACKAGE).write_bytes((MATERIAL / served).read_bytes())
    refused = installed == LOCAL
    with http_server(run.served) as base:
        run.publish(base, kind="/len")
        run.start().accept()
        told = run.dialog("click", CAPTION, 1, *QUESTION) if refused else []
        run.finish()

    assert run.code == 0
    assert run.installed == installed
    assert any(message.startswith(line) for message in run.trace), line
    # A refused download stays where the person saved it; only that case tells the person.
    assert run.target.read_bytes() == (MATERIAL / served).read_bytes()
    assert told == ([NOT_VERIFIED_TEXT] if refused else [])
    assert f"*** CheckForNewVersion: end: {0 if refused else 1} ***" in run.trace


def test_the_download_is_never_saved_over_the_local_package(run):
    # Even unsigned: a download that failed or was refused there would leave nothing to install.
    local = run.setup_dir / "vlm.tch.msi"
    local.write_bytes((MATERIAL / "unsigned-1.0.0.msi").read_bytes())
    (run.served / PACKAGE).write_bytes((MATERIAL / "unsigned.msi").read_bytes())
    with http_server(run.served) as base:
        run.publish(base, kind="/len")
        run.start().accept(target=local)
        run.dialog("click", REPLACE_CAPTION, YES, "--with-text", "replace")
        run.finish()

    assert run.code == 0
    assert run.installed == LOCAL
    assert local.read_bytes() == (MATERIAL / "unsigned-1.0.0.msi").read_bytes()
    assert "*** CheckLatestBuild: Save file: the local package is not replaced ***" in run.trace
