"""Signing a file as the maker does, a detached DER signature beside it by openssl cms, with a
publisher of the test material (tests/tools/make_signed_packages.py) and, when the test asks,
another signing time."""
import subprocess

from conftest import BUILD_DIR

MATERIAL = BUILD_DIR / "tests" / "unit" / "signature"
# openssl puts the content type first among the signed attributes; the signing time is a SET
# of one UTCTime.
CONTENT_TYPE = bytes.fromhex("301806092a864886f70d010903")
SIGNING_TIME = bytes.fromhex("06092a864886f70d010905310f170d")


def sign(path, signer, at=None):
    out = path.with_name(path.name + ".p7s")
    key = MATERIAL / f"{signer}.key"
    subprocess.run(["openssl", "cms", "-sign", "-binary", "-outform", "DER", "-signer",
                    MATERIAL / f"{signer}.crt", "-inkey", key, "-in", path, "-out", out],
                   check=True, capture_output=True)
    if at is None:
        return
    der = bytearray(out.read_bytes())
    first = der.index(CONTENT_TYPE)
    start = first - (3 if der[first - 3] == 0xA0 else 4)    # [0] with a long length
    end = first + int.from_bytes(der[start + 2:first], "big")
    time_at = der.index(SIGNING_TIME, start) + len(SIGNING_TIME)
    der[time_at:time_at + 13] = at.strftime("%y%m%d%H%M%SZ").encode()
    # The attributes are signed as a SET, and the signature value ends the message.
    signature = subprocess.run(["openssl", "dgst", "-sha256", "-sign", key],
                               input=b"\x31" + bytes(der[start + 1:end]), check=True,
                               capture_output=True).stdout
    der[-len(signature):] = signature
    out.write_bytes(bytes(der))
