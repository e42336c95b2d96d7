"""Signing a file as the maker does: a detached DER signature beside it, by openssl cms with
a publisher of the test material (tests/tools/make_signed_packages.py), at a signing time of
the test's choice."""
import subprocess

from conftest import BUILD_DIR

MATERIAL = BUILD_DIR / "tests" / "unit" / "signature"
SIGNING_TIME_OID = bytes.fromhex("06092a864886f70d010905")


def tlv(data, at):
    """The tag of the DER element at `at`, where its value begins and where it ends."""
    length, head = data[at + 1], 2
    if length & 0x80:
        count = length & 0x7F
        length, head = int.from_bytes(data[at + 2:at + 2 + count], "big"), 2 + count
    return data[at], at + head, at + head + length


def children(data, start, end):
    while start < end:
        yield tlv(data, start) + (start,)
        start = tlv(data, start)[2]


def signer_info(der):
    """Where the signed attributes and the signature value of the first signer lie."""
    _, content, _ = tlv(der, 0)
    _, explicit, explicit_end = list(children(der, content, tlv(der, 0)[2]))[1][:3]
    _, signed_data, signed_end = tlv(der, explicit)
    *_, (_, infos, infos_end, _) = children(der, signed_data, signed_end)
    _, info, info_end = tlv(der, infos)
    fields = list(children(der, info, info_end))
    attrs = next(f for f in fields if f[0] == 0xA0)
    value = fields[-1]
    return (attrs[3], attrs[2]), (value[1], value[2])


def sign(path, signer, at=None):
    """path.p7s as the maker's openssl writes it. With at, its signing time is that moment: the
    attribute is rewritten and the attributes signed again with the signer's key."""
    out = path.with_name(path.name + ".p7s")
    subprocess.run(["openssl", "cms", "-sign", "-binary", "-outform", "DER", "-signer",
                    MATERIAL / f"{signer}.crt", "-inkey", MATERIAL / f"{signer}.key",
                    "-in", path, "-out", out], check=True, capture_output=True)
    if at is None:
        return
    der = bytearray(out.read_bytes())
    (attrs, attrs_end), (value, value_end) = signer_info(bytes(der))
    time_at = der.index(SIGNING_TIME_OID, attrs) + len(SIGNING_TIME_OID) + 4   # SET, UTCTime
    der[time_at:time_at + 13] = at.strftime("%y%m%d%H%M%SZ").encode()
    # What is signed is the attributes' DER as a SET, not as the [0] they are stored as.
    signed = b"\x31" + bytes(der[attrs + 1:attrs_end])
    signature = subprocess.run(["openssl", "dgst", "-sha256", "-sign", MATERIAL / f"{signer}.key"],
                               input=signed, check=True, capture_output=True).stdout
    assert len(signature) == value_end - value
    der[value:value_end] = signature
    out.write_bytes(bytes(der))
