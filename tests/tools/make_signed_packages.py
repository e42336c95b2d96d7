"""Makes the package-signature tests' material in OUT, anew on each run: a test root with two
publishers and a self-signed look-alike of the first, the product package signed by each and
altered after signing, a build of another product and one whose UpgradeCode is written in lower
case, both signed by the first, the package signed with an expired certificate of the first
(key and name alike) with and without a time stamp of a time-stamping authority from while it
was valid, three bare storages, root.reg, which makes a Wine prefix trust the test root,
pins.txt (each publisher's key pin) and last digests.txt: osslsigncode's digest of some of the
files.
Usage: make_signed_packages.py PRODUCT_WXS OUT"""
import datetime
import hashlib
import re
import shutil
import struct
import subprocess
import sys
from pathlib import Path

EXTENSIONS = """[req]
distinguished_name = dn
[dn]
[root]
basicConstraints = critical,CA:TRUE
keyUsage = critical,keyCertSign
[leaf]
basicConstraints = critical,CA:FALSE
keyUsage = critical,digitalSignature
extendedKeyUsage = codeSigning
[tsa]
basicConstraints = critical,CA:FALSE
keyUsage = critical,digitalSignature
extendedKeyUsage = critical,timeStamping
"""
# openssl ca, for certificates valid from and until given times.
CA_CONFIG = """[ca]
default_ca = dated
[dated]
database = index.txt
new_certs_dir = .
rand_serial = yes
default_md = sha256
policy = any
unique_subject = no
preserve = yes
[any]
commonName = supplied
organizationName = optional
"""
PUBLISHER_A = "/CN=Velmora Test Publisher A/O=Velmora Tests"
# The SHA-256 algorithm identifier and the digest after it, in the signed indirect data.
SIGNED_DIGEST = re.compile(b"\x06\x09\x60\x86\x48\x01\x65\x03\x04\x02\x01(?:\x05\x00)?\x04\x20"
                           b"(.{32})", re.S)
FREE, END, FATSECT = 0xFFFFFFFF, 0xFFFFFFFE, 0xFFFFFFFD
UPGRADE_CODE = "{6A3F1C2E-4B7D-4E11-9C55-2D8E0A7B1F02}"
OTHER_UPGRADE_CODE = "{6A3F1C2E-4B7D-4E11-9C55-2D8E0A7B1F0F}"


def run(*args):
    return subprocess.run(args, cwd=OUT, check=True, capture_output=True).stdout


def make_certificate(name, subject, *issuer):
    run("openssl", "req", "-x509", "-config", "ext.cnf", "-extensions",
        "root" if name == "root" else "leaf", "-newkey", "rsa:2048", "-nodes", "-days", "3650",
        "-subj", subject, "-keyout", f"{name}.key", "-out", f"{name}.crt", *issuer)


def years_from_now(years):
    return datetime.datetime.now(datetime.timezone.utc) + datetime.timedelta(days=365 * years)


def make_dated_certificate(name, subject, extensions, start, end, issuer=None, key=None):
    """A certificate valid from start until end (years from now), issued by issuer (None: by
    itself), for a new key or the key of another certificate."""
    made = ["-key", f"{key}.key"] if key else ["-newkey", "rsa:2048", "-nodes", "-keyout",
                                                f"{name}.key"]
    run("openssl", "req", "-new", "-config", "ext.cnf", *made, "-subj", subject, "-out",
        f"{name}.csr")
    signer = ["-cert", f"{issuer}.crt", "-keyfile", f"{issuer}.key"] if issuer else \
        ["-selfsign", "-keyfile", f"{key or name}.key"]
    run("openssl", "ca", "-batch", "-config", "ca.cnf", "-notext", "-extfile", "ext.cnf",
        "-extensions", extensions, *signer, "-in", f"{name}.csr", "-out", f"{name}.crt",
        "-startdate", years_from_now(start).strftime("%Y%m%d%H%M%SZ"),
        "-enddate", years_from_now(end).strftime("%Y%m%d%H%M%SZ"))


def sign(signer, source, target, *extra, key=None):
    chain = [signer] if signer.startswith("self") else [signer, "root"]
    (OUT / f"{signer}-chain.pem").write_bytes(b"".join((OUT / f"{name}.crt").read_bytes()
                                                       for name in chain))
    run("osslsigncode", "sign", "-certs", f"{signer}-chain.pem", "-key", f"{key or signer}.key",
        "-h", "sha256", *extra, "-in", source, "-out", target)


def digest(command, path, *extra):
    """The package digest in the signature of PATH (extract-signature), or in the data that
    osslsigncode would sign for it (extract-data)."""
    (OUT / "sig.der").unlink(missing_ok=True)       # osslsigncode never overwrites
    run("osslsigncode", command, *extra, "-in", path, "-out", "sig.der")
    found = SIGNED_DIGEST.findall((OUT / "sig.der").read_bytes())
    assert len(found) == 1, path
    return found[0]


def key_pin(name):
    """The SHA-256 of the certificate's DER SubjectPublicKeyInfo, in hex."""
    key = subprocess.run(["openssl", "x509", "-in", f"{name}.crt", "-noout", "-pubkey"], cwd=OUT,
                         check=True, capture_output=True).stdout
    der = subprocess.run(["openssl", "pkey", "-pubin", "-outform", "DER"], input=key, cwd=OUT,
                         check=True, capture_output=True).stdout
    return hashlib.sha256(der).hexdigest()


def write_altered(target, source, old, new):
    data = (OUT / source).read_bytes()
    assert data.count(old) == 1, target
    (OUT / target).write_bytes(data.replace(old, new))


def write_storage(name, clsid, items):
    """A compound file whose items are (name, bytes) streams, each empty or of 4,096 bytes or
    more so that none goes into the mini stream, or (name, clsid, [items]) storages."""
    entries = [["Root Entry", 5, clsid, b"", FREE, FREE]]   # name, type, clsid, data, right, child

    def add(parent, children):
        # Siblings as a chain of right links, in the order that the format's search expects.
        link = (parent, 5)
        for item in sorted(children, key=lambda i: (len(i[0]), i[0].upper())):
            entries[link[0]][link[1]] = len(entries)
            link = (len(entries), 4)
            storage = len(item) == 3
            entries.append([item[0], 1 if storage else 2, item[1] if storage else bytes(16),
                            b"" if storage else item[1], FREE, FREE])
            if storage:
                add(len(entries) - 1, item[2])
    add(0, items)
    write_entries(name, entries)


def write_shared_storage(name, levels):
    """A compound file whose storages, two a level, share their one child: a walk that follows
    every link visits 2 ** levels storages in a file of a few KB."""
    entries = [["Root Entry", 5, bytes(16), b"", FREE, 1]]
    for level in range(levels):
        child = len(entries) + 2 if level + 1 < levels else FREE
        entries += [["A", 1, bytes(16), b"", len(entries) + 1, child],
                    ["B", 1, bytes(16), b"", FREE, child]]
    write_entries(name, entries)


def write_entries(name, entries):
    """The compound file of the directory entries: [name, type, clsid, data, right, child]."""
    fat, sectors = [], []

    def put(blob):
        count = -(-len(blob) // 512)
        fat.extend(list(range(len(fat) + 1, len(fat) + count)) + [END] * (count > 0))
        sectors.append(blob.ljust(count * 512, b"\0"))
        return len(fat) - count if count else END
    directory = b"".join(
        struct.pack("<64sHBBIII16sIQQIQ", entry_name.encode("utf-16-le"), 2 * len(entry_name) + 2,
                    kind, 1, FREE, right, child, entry_clsid, 0, 0, 0, put(data), len(data))
        for entry_name, kind, entry_clsid, data, right, child in entries)
    first_directory = put(directory)
    fat_count = -(-len(fat) // 127)
    difat = list(range(len(fat), len(fat) + fat_count)) + [FREE] * (109 - fat_count)
    fat += [FATSECT] * fat_count + [FREE] * (-(len(fat) + fat_count) % 128)
    header = struct.pack("<8s16sHHHHH6sIIIIIIIII109I", bytes.fromhex("D0CF11E0A1B11AE1"),
                         bytes(16), 0x3E, 3, 0xFFFE, 9, 6, bytes(6), 0, fat_count,
                         first_directory, 0, 4096, END, 0, END, 0, *difat)
    (OUT / name).write_bytes(header + b"".join(sectors) + struct.pack(f"<{len(fat)}I", *fat))


def write_trust():
    der = run("openssl", "x509", "-in", "root.crt", "-outform", "DER")
    blob = struct.pack("<III", 0x20, 1, len(der)) + der
    rows = [",".join(f"{b:02x}" for b in blob[i:i + 25]) for i in range(0, len(blob), 25)]
    (OUT / "root.reg").write_bytes(
        ("Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\Microsoft\\"
         "SystemCertificates\\Root\\Certificates\\" + hashlib.sha1(der).hexdigest().upper()
         + ']\r\n"Blob"=hex:' + ",\\\r\n  ".join(rows) + "\r\n").encode())


def main(wxs):
    shutil.rmtree(OUT, ignore_errors=True)
    OUT.mkdir(parents=True)
    (OUT / "ext.cnf").write_text(EXTENSIONS)
    (OUT / "ca.cnf").write_text(CA_CONFIG)
    (OUT / "index.txt").write_text("")
    # Valid for years already, so that a chain can be judged at a time stamp's time.
    make_dated_certificate("root", "/CN=Velmora Test Root/O=Velmora Tests", "root", -5, 10)
    make_certificate("a", PUBLISHER_A, "-CA", "root.crt", "-CAkey", "root.key")
    make_certificate("b", "/CN=Velmora Test Publisher B/O=Velmora Tests", "-CA", "root.crt",
                     "-CAkey", "root.key")
    # Claims A's name: only the chain tells it apart.
    make_certificate("self", PUBLISHER_A)
    # A's key and name in a certificate that expired a year ago, and time-stamping authorities.
    make_dated_certificate("expired-a", PUBLISHER_A, "leaf", -4, -1, "root", key="a")
    make_dated_certificate("tsa", "/CN=Velmora Test Time Stamps/O=Velmora Tests", "tsa", -5, 10,
                           "root")
    make_dated_certificate("self-tsa", "/CN=Velmora Test Time Stamps/O=Velmora Tests", "tsa", -5,
                           10)
    # Another product of the same maker: its own UpgradeCode, a higher version.
    other = OUT / "other-product.wxs"
    other.write_text(Path(wxs).read_text().replace(UPGRADE_CODE, OTHER_UPGRADE_CODE))
    # The same product: letter case does not make a GUID another one.
    lower = OUT / "lower-case.wxs"
    lower.write_text(Path(wxs).read_text().replace(UPGRADE_CODE, UPGRADE_CODE.lower()))
    for version, name, source in (("1.0.0", "unsigned-1.0.0.msi", wxs),
                                  ("1.0.1", "unsigned.msi", wxs),
                                  ("1.0.1", "other-product.msi", str(other)),
                                  ("1.0.1", "lower-case.msi", str(lower))):
        (OUT / "readme.txt").write_text(f"Velmora test product {version}\n")
        run("wixl", "-D", f"Version={version}", "-D", "ReadMe=readme.txt", "-o", name, source)
    sign("a", "unsigned-1.0.0.msi", "local-a.msi")
    sign("b", "unsigned-1.0.0.msi", "local-b.msi")
    sign("a", "other-product.msi", "other-product-a.msi")
    sign("a", "lower-case.msi", "lower-case-a.msi")
    stamped_at = str(int(years_from_now(-2).timestamp()))
    for target, authority in (("expired.msi", None), ("expired-stamped.msi", "tsa"),
                              ("expired-self-stamped.msi", "self-tsa")):
        stamp = ["-TSA-certs", f"{authority}-chain.pem", "-TSA-key", f"{authority}.key",
                 "-TSA-time", stamped_at] if authority else []
        if authority:
            chain = [authority] if authority.startswith("self") else [authority, "root"]
            (OUT / f"{authority}-chain.pem").write_bytes(b"".join(
                (OUT / f"{name}.crt").read_bytes() for name in chain))
        sign("expired-a", "unsigned.msi", target, *stamp, key="a")
    for signer, target, *extra in (("a", "signed-a.msi"), ("b", "signed-b.msi"),
                                   ("self", "self-signed.msi"),
                                   ("a", "extended.msi", "-add-msi-dse")):
        sign(signer, "unsigned.msi", target, *extra)
    # As the README tells a maker to compute them.
    (OUT / "pins.txt").write_text("".join(f"{signer} {key_pin(signer)}\n" for signer in "ab"))

    genuine = (OUT / "signed-a.msi").read_bytes()
    at = genuine.rindex(b"Velmora Test Product")    # in the string pool
    (OUT / "tampered.msi").write_bytes(genuine[:at] + b"W" + genuine[at + 1:])
    # The changed content's own digest in place of the signed one.
    write_altered("forged.msi", "tampered.msi", digest("extract-signature", "signed-a.msi"),
                  digest("extract-data", "tampered.msi", "-h", "sha256"))
    digest("extract-signature", "signed-a.msi")
    tail = (OUT / "sig.der").read_bytes()[-8:]      # of the signature value, which ends it
    write_altered("broken.msi", "signed-a.msi", tail, tail[:-1] + bytes([tail[-1] ^ 1]))
    for name in ("signed-a.msi", "tampered.msi", "forged.msi", "broken.msi"):
        verified = subprocess.run(["osslsigncode", "verify", "-CAfile", "root.crt", "-in", name],
                                  cwd=OUT, capture_output=True).returncode == 0
        assert verified == (name == "signed-a.msi"), name

    # Wrong digests come from ordering names by code unit, by case or without the tie rule,
    # from leaving out a sub-storage or a class id, or from reading a long stream in part.
    ids = [bytes(range(i, i + 16)) for i in (1, 17, 33)]
    write_storage("storage-order.stg", ids[0], [
        (name, (name.encode("utf-8") * 4096)[:4096 + len(name)])
        for name in ("\u4138", "\u3841", "ab", "a", "B", "\u4840\u3b3f")] + [("b", b"")])
    write_storage("storage-nested.stg", ids[0], [
        ("top", b"t" * 5000), ("long", bytes((i * 7) & 0xFF for i in range(70000))),
        ("sub", ids[1], [("x", b"x" * 4096), ("\x05DigitalSignature", b"s" * 4096),
                         ("deeper", ids[2], [("y", b"y" * 4096)]), ("empty", bytes(16), [])])])
    write_shared_storage("storage-shared.stg", 15)
    write_trust()
    (OUT / "digests.txt").write_text("".join(
        f"{name} {digest('extract-data', name, '-h', 'sha256').hex()}\n"
        for name in ("storage-order.stg", "storage-nested.stg", "unsigned.msi", "signed-a.msi")))
    return 0


if __name__ == "__main__":
    OUT = Path(sys.argv[2]).resolve()
    sys.exit(main(str(Path(sys.argv[1]).resolve())))
