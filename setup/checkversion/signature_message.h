// A signature as the package and build-information checks read it: the signed message, its
// signer and the certificates that came with it; whether it holds, what it signed, whether its
// signer's chain is trusted, when a time stamp on it says it was made, and whether its signer's
// key is among the publisher's pins. Each failure is traced where it is found, naming what
// BindApi was told is checked. The signature libraries must be bound (signature_api.h).
#pragma once

#include "signature_api.h"

const int cchSignerName = 256;

struct Signature
{
    HCERTSTORE hStore;              // the certificates that came with the signature
    HCRYPTMSG hMsg;
    CMSG_SIGNER_INFO* pInfo;        // heap block
    PCCERT_CONTEXT pSigner;
    BYTE* pbContent;                // heap block: the signed content
    const BYTE* pbSigned;           // what the message digest covers, inside pbContent
    DWORD cbSigned;
    const BYTE* pbSignedDigest;     // a package signature's package digest, inside pbContent
};

// Releases what is open; safe on a zero-filled record.
void CloseSignature(Signature& sig);

// The first signer's info and the certificate it names, from the message and store of sig;
// false, with pszFailure traced, when there is none.
bool FindSigner(Signature& sig, LPCSTR pszFailure);

// The signature embedded in a file (CERT_QUERY_OBJECT_FILE, its path) or the one that a blob is
// (CERT_QUERY_OBJECT_BLOB, a CRYPT_DATA_BLOB), and its signer (FindSigner).
bool OpenSignature(DWORD dwObjectType, const void* pvObject, Signature& sig, LPCSTR pszFailure);

// The one value of the attribute pszObjId; none when it is missing or has several.
const CRYPT_ATTR_BLOB* FindAttribute(const CRYPT_ATTRIBUTES& attrs, LPCSTR pszObjId);

// The signed attributes hold under the signer's key, hashed with SHA-256.
bool HoldsUnderSignerKey(const Signature& sig);
// The signed message digest is pbDigest (cbPackageDigest bytes). Not every system's
// verification compares the two, and a forger who swaps in the digest of changed content
// passes every other step.
bool HasSignedDigest(const Signature& sig, const BYTE* pbDigest);

// The signed attributes hold under the signer's key, by SHA-256, over content of type
// pszContentType whose digest they carry (Authenticode's indirect data, bIndirect, is digested
// without its own tag and length). The content is read into sig.
bool IsSignedContent(Signature& sig, LPCSTR pszContentType, bool bIndirect);

// The signer's chain is trusted for pszUsage at the time given (none: now). Revocation is
// checked from what the system has cached only: no network is asked, and a status that can't
// be had counts as none; a revoked certificate fails.
bool IsTrustedFor(const Signature& sig, LPCSTR pszUsage, const FILETIME* pTime);

// The error of a chain: the policy's own, else that of the chain's status, an unknown
// revocation status aside; 0 when it is trusted.
DWORD JudgeChain(DWORD dwPolicyError, DWORD dwChainStatus);

// The time that a valid RFC 3161 time stamp on sig vouches for: signed by a time-stamping
// authority trusted at that time, over this very signature. False when there is none, and
// (traced) when the one there does not hold: the signature is then judged at the present time.
bool GetStampTime(const Signature& sig, FILETIME* pTime);

void GetSignerName(const Signature& sig, LPWSTR pszName);
// The signer's key is among the ';'-separated pins.
bool IsPinned(const Signature& sig, LPCWSTR pszPins);
