"""The maker's kit: a product file built in with -DSETUP_PRODUCT, the same file applied to the
shipped setup.exe by retarget.exe, and a release made by scripts/make-release; each setup.exe
then runs the whole update flow against a loopback mirror and installs the later build."""
import os
import re
import shutil
import subprocess
from pathlib import Path

import pytest

from conftest import (ARCH, BUILD_DIR, PRODUCT_DIR, SETUP_EXE, TraceFiles, drive_dialog,
                      exit_code_of, messages, setup_command, start_setup, windows_path, wine)
from servers import http_server
from signing import sign
from test_signature import MATERIAL, pins, trusted_root  # noqa: F401 (the root, trusted once)
from test_update_check import FILE_NAME, QUESTION, SAVE_AS, YES

SOURCE_DIR = Path(__file__).resolve().parents[2]
RETARGET = BUILD_DIR / "kit" / "retarget.exe"
MAKE_RELEASE = SOURCE_DIR / "scripts" / "make-release"
CAPTION = "Kit 測試 安裝程式"
LOCAL = "kit.test.msi"
V100, V101 = "Velmora test product 1.0.0\n", "Velmora test product 1.0.1\n"
PRODUCT = """\
[strings]          ; a product of the kit's tests
502 = {caption}
507 = KIT
511 = TST
2002 = {local}
2010 = {base}/len/pr_dl/verinfo.txt
{pins}
[version]
version = {version}
ProductName = Kit Test
"""


def product_text(base, version="1.0.0.0", pinned=True):
    return PRODUCT.format(caption=CAPTION, local=LOCAL, base=base, version=version,
                          pins=f"2012 = {pins('a')}" if pinned else "")


def retarget(*args, cwd=None):
    return wine(RETARGET, *args, cwd=cwd)


def show(exe):
    result = retarget("--show", windows_path(exe))
    assert result.returncode == 0, result.stderr
    return result.stdout


@pytest.fixture(scope="session")
def mirror(tmp_path_factory):
    """One loopback HTTP mirror for the module: (its base URL, the folder it serves)."""
    served = tmp_path_factory.mktemp("kit-mirror")
    (served / "pr_dl").mkdir()
    with http_server(served) as base:
        yield base, served


@pytest.fixture(scope="session")
def product_build(mirror, tmp_path_factory):
    """setup.exe built with -DSETUP_PRODUCT from a product file that points at the mirror: a
    build tree of its own that builds setup.exe alone."""
    directory = tmp_path_factory.mktemp("kit-build")
    product = directory / "product.ini"
    product.write_text(product_text(mirror[0]), encoding="utf-8")
    tree = directory / "tree"
    subprocess.run(["cmake", "-S", SOURCE_DIR, "-B", tree, "-G", "Ninja",
                    f"-DCMAKE_TOOLCHAIN_FILE={SOURCE_DIR}/cmake/toolchain-{ARCH}-w64-mingw32.cmake",
                    "-DCMAKE_BUILD_TYPE=MinSizeRel", "-DBUILD_TESTING=OFF",
                    f"-DSETUP_PRODUCT={product}"], check=True, capture_output=True)
    built = subprocess.run(["cmake", "--build", tree, "--target", "setup"], capture_output=True,
                           text=True)
    assert built.returncode == 0, built.stdout
    return tree, product


def run_update(prefix, setup_dir, temp, served, local, offered):
    """Runs setup.exe of setup_dir beside the local package while the mirror serves the offered
    one; answers Yes and Save As. Returns the exit code and the trace."""
    (setup_dir / LOCAL).write_bytes(Path(local).read_bytes())
    shutil.copyfile(offered, served / "pr_dl" / Path(offered).name)
    downloads = setup_dir.parent / "downloads"
    downloads.mkdir()
    traces = TraceFiles(prefix.temp_dir(temp))
    process = start_setup(setup_command(setup_dir, "/v/qn"), cwd=setup_dir, env=prefix.env)
    drive_dialog("click", CAPTION, YES, *QUESTION, env=prefix.env)
    target = downloads / Path(offered).name
    drive_dialog("fill", SAVE_AS, 1, f"{FILE_NAME}={windows_path(target)}", env=prefix.env)
    code = exit_code_of(process)
    assert target.read_bytes() == Path(offered).read_bytes()
    return code, messages(traces.new_lines())


def installed(prefix):
    return (prefix.drive_c / PRODUCT_DIR / "readme.txt").read_text()


def publish(mirror, listed, name):
    base, served = mirror
    (served / "pr_dl" / "verinfo.txt").write_text(
        f"KIT-TST {listed} {base}/len/pr_dl/{name}\r\n")
    # The product pins A, so its build information counts only signed by A.
    sign(served / "pr_dl" / "verinfo.txt", "a")


@pytest.fixture
def setup_dir(tmp_path):
    directory = tmp_path / "disc"
    directory.mkdir()
    return directory


@pytest.mark.parametrize("how", ["built with the product", "retargeted"])
def test_a_product_s_setup_updates_from_its_own_mirror(how, product_build, mirror, setup_dir,
                                                      private_prefix, temp_dir):
    tree, product = product_build
    exe = setup_dir / "setup.exe"
    if how == "retargeted":
        result = retarget(windows_path(SETUP_EXE), windows_path(product), windows_path(exe))
        assert result.returncode == 0, result.stderr
    else:
        shutil.copyfile(tree / "setup" / "setup.exe", exe)
    publish(mirror, "1.0.1.0", "signed-a.msi")
    code, trace = run_update(private_prefix, setup_dir, temp_dir, mirror[1],
                             MATERIAL / "local-a.msi", MATERIAL / "signed-a.msi")

    assert code == 0
    assert installed(private_prefix) == V101
    assert "*** Build info: KIT-TST 1.0.0.0***" in trace
    assert "*** Verify package: anchored by the publisher pins ***" in trace
    assert "*** CheckForNewVersion: end: 1 ***" in trace


def test_the_build_and_a_retarget_give_the_same_resources(product_build, tmp_path):
    tree, product = product_build
    out = tmp_path / "retargeted.exe"
    assert retarget(windows_path(SETUP_EXE), windows_path(product),
                    windows_path(out)).returncode == 0
    assert show(out) == show(tree / "setup" / "setup.exe")
    # Read back as a product file, the description changes nothing.
    described = tmp_path / "described.ini"
    described.write_text(show(SETUP_EXE), encoding="utf-8")
    assert retarget(windows_path(SETUP_EXE), windows_path(described),
                    windows_path(tmp_path / "same.exe")).returncode == 0
    assert show(tmp_path / "same.exe") == show(SETUP_EXE)


def test_every_row_of_the_program_is_one_the_kit_knows():
    header = (SOURCE_DIR / "setup" / "res" / "resource.h").read_text()
    program = sorted(int(n) for n in re.findall(r"#define IDS_\w+\s+(\d+)", header))
    described = re.findall(r"^(\d+) =", show(SETUP_EXE), re.M)
    assert [int(n) for n in described] == program


@pytest.mark.parametrize("text, message", [
    ("[strings]\n502 = a\n[edition]\n",
     "bad.ini:3: unknown section [edition]; a product file has [strings] and [version]"),
    ("[strings]\n\n2020 = x\n", "bad.ini:3: row 2020 is not one this program uses"),
    ("[strings]\n1106 = " + "x" * 31 + "\n",
     "bad.ini:2: row 1106 is 31 characters long, more than the 30 the program loads (the rest "
     "would be cut)"),
    ("[version]\nversion = 9.0.0.65536\n",
     "bad.ini:2: version \"9.0.0.65536\" is not four numbers a.b.c.d, each at most 65535 and not "
     "all 0"),
], ids=["section", "row", "length", "version"])
def test_the_build_and_retarget_refuse_a_malformed_file_alike(product_build, tmp_path, text,
                                                              message):
    tree, _ = product_build
    (tmp_path / "bad.ini").write_text(text, encoding="utf-8")
    built = subprocess.run([tree / "kit" / "product-resources", "bad.ini",
                            tree / "setup" / "res" / "setup.res", "out.res"], cwd=tmp_path,
                           capture_output=True, text=True)
    retargeted = retarget(windows_path(SETUP_EXE), "bad.ini", "out.exe", cwd=tmp_path)
    assert (built.returncode, built.stderr.strip()) == (1, message)
    assert (retargeted.returncode, retargeted.stderr.strip()) == (1, message)
    assert not (tmp_path / "out.exe").exists()


def test_retarget_refuses_what_is_not_this_program(tmp_path):
    (tmp_path / "p.ini").write_text("[strings]\n502 = x\n")
    (tmp_path / "text.exe").write_text("MZ, but nothing more")
    shutil.copyfile(BUILD_DIR / "tests" / "tools" / "planted.exe", tmp_path / "other.exe")
    for image, reason in (("other.exe", "not this setup program: its version block does not "
                                        "name it setup (SETUP.EXE)"),
                          ("text.exe", "not a Windows executable")):
        result = retarget(image, "p.ini", "out.exe", cwd=tmp_path)
        assert result.returncode == 1
        assert result.stderr.startswith(f"{image}: {reason}"), result.stderr
    result = retarget(windows_path(SETUP_EXE), "p.ini", "more.ini", cwd=tmp_path)
    assert (result.returncode, result.stderr.strip()) == \
        (1, "more.ini: the image to write must be named *.exe")
    assert sorted(p.name for p in tmp_path.iterdir()) == ["other.exe", "p.ini", "text.exe"]


def test_retarget_drops_the_signature_of_the_image_it_starts_from(tmp_path):
    signed = tmp_path / "signed.exe"
    subprocess.run(["osslsigncode", "sign", "-certs", MATERIAL / "a-chain.pem", "-key",
                    MATERIAL / "a.key", "-h", "sha256", "-in", SETUP_EXE, "-out", signed],
                   check=True, capture_output=True)
    (tmp_path / "p.ini").write_text("[strings]\n502 = x\n")
    result = retarget("signed.exe", "p.ini", "out.exe", cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    assert "signature" in result.stdout
    verify = subprocess.run(["osslsigncode", "verify", "-in", tmp_path / "out.exe"],
                            capture_output=True, text=True)
    assert "No signature found" in verify.stdout + verify.stderr
    assert (tmp_path / "out.exe").stat().st_size < signed.stat().st_size


def make_release(out, product, package, *extra):
    env = dict(os.environ, SETUP_TEST_ROOT=str(BUILD_DIR / "testroot"))
    return subprocess.run([MAKE_RELEASE, "--product", product, "--package", package, "--key",
                           MATERIAL / "a.key", "--cert", MATERIAL / "a-chain.pem", "--build",
                           BUILD_DIR, "--setup", SETUP_EXE, "--out", out, *extra],
                          capture_output=True, text=True, env=env)


def test_a_release_installs_from_the_mirrors_it_was_made_for(mirror, tmp_path, private_prefix,
                                                            temp_dir):
    releases = {}
    for version, package in (("1.0.0", "unsigned-1.0.0.msi"), ("1.0.1", "unsigned.msi")):
        product = tmp_path / f"product-{version}.ini"
        product.write_text(product_text(mirror[0], f"{version}.0", pinned=False),
                           encoding="utf-8")
        shutil.copyfile(MATERIAL / package, tmp_path / f"kit-{version}.msi")
        out = tmp_path / f"release-{version}"
        result = make_release(out, product, tmp_path / f"kit-{version}.msi")
        assert result.returncode == 0, result.stderr
        releases[version] = out
    old, new = releases["1.0.0"], releases["1.0.1"]
    assert sorted(p.name for p in (new / "setup").iterdir()) == [LOCAL, "setup.exe"]
    assert sorted(p.name for p in (new / "mirror" / "pr_dl").iterdir()) == \
        ["kit-1.0.1.msi", "verinfo.txt", "verinfo.txt.p7s"]
    verinfo = new / "mirror" / "pr_dl" / "verinfo.txt"
    assert verinfo.read_bytes() == \
        f"KIT-TST 1.0.1.0 {mirror[0]}/len/pr_dl/kit-1.0.1.msi\r\n".encode()
    subprocess.run(["openssl", "cms", "-verify", "-binary", "-inform", "DER", "-in",
                    f"{verinfo}.p7s", "-content", verinfo, "-CAfile", MATERIAL / "root.crt",
                    "-purpose", "any", "-out", os.devnull], check=True, capture_output=True)
    printed = subprocess.run(["openssl", "cms", "-cmsout", "-print", "-inform", "DER", "-in",
                              f"{verinfo}.p7s"], capture_output=True, text=True).stdout
    assert "signingTime" in printed
    assert f"2012 = {pins('a')}" in show(new / "setup" / "setup.exe")

    # The old disc finds the new release on the mirror.
    for name in ("kit-1.0.1.msi", "verinfo.txt", "verinfo.txt.p7s"):
        shutil.copyfile(new / "mirror" / "pr_dl" / name, mirror[1] / "pr_dl" / name)
    disc = tmp_path / "disc"
    disc.mkdir()
    shutil.copyfile(old / "setup" / "setup.exe", disc / "setup.exe")
    code, trace = run_update(private_prefix, disc, temp_dir, mirror[1], old / "setup" / LOCAL,
                             new / "mirror" / "pr_dl" / "kit-1.0.1.msi")
    assert code == 0
    assert installed(private_prefix) == V101
    assert "*** Verify package: anchored by the publisher pins ***" in trace


@pytest.mark.parametrize("change, extra, message", [
    ("", ["--build-version", "1.0.1"],
     "the release's setup.exe would call itself 1.0.0.0 while its package is build 1.0.1.0"),
    ("2012 = " + "b" * 64, [], "but the key of "),
    ("2012 = x", [], "p.ini:7: row 2012 holds \"x\", which is no key pin"),
    ("", ["--backup-cert", "missing.pem"], "--backup-cert missing.pem: no such file"),
], ids=["version", "another key's pin", "malformed product", "missing file"])
def test_make_release_refuses_a_release_that_would_not_work(mirror, tmp_path, change, extra,
                                                            message):
    (tmp_path / "p.ini").write_text(product_text(mirror[0], pinned=False).replace(
        "\n\n[version]", f"\n{change}\n[version]"), encoding="utf-8")
    shutil.copyfile(MATERIAL / "unsigned-1.0.0.msi", tmp_path / "kit.msi")
    result = subprocess.run([MAKE_RELEASE, "--product", "p.ini", "--package", "kit.msi", "--key",
                             MATERIAL / "a.key", "--cert", MATERIAL / "a-chain.pem", "--build",
                             BUILD_DIR, "--setup", SETUP_EXE, "--out", "out", *extra],
                            cwd=tmp_path, capture_output=True, text=True,
                            env=dict(os.environ, SETUP_TEST_ROOT=str(BUILD_DIR / "testroot")))
    assert result.returncode == 1
    assert message in result.stderr
    assert not (tmp_path / "out").exists()


def test_an_unpinned_release_says_what_that_means(mirror, tmp_path):
    (tmp_path / "p.ini").write_text(product_text(mirror[0], pinned=False), encoding="utf-8")
    result = make_release(tmp_path / "out", tmp_path / "p.ini", MATERIAL / "unsigned-1.0.0.msi",
                          "--unpinned")
    assert result.returncode == 0, result.stderr
    assert "This release is NOT pinned" in result.stdout
    assert re.search(r"^2012 = $", show(tmp_path / "out" / "setup" / "setup.exe"), re.M)
