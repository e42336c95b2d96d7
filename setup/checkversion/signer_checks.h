// The signer of a PKCS #7 signature and the checks that a package's signature and the build
// information's share: the signature held under the signer's key, the signed digest, the chain
// trusted for code signing and the signer's key among the publisher's pins. Each failure is
// traced where it is found. The signature libraries must be bound (signature_api.h).
#pragma once

#include "signature_api.h"
#include "setup_base/setup_base.h"

const int cchSignerName = 256;

struct Signature
{
    HCERTSTORE hStore;              // the certificates that came with the signature
    HCRYPTMSG hMsg;
    CMSG_SIGNER_INFO* pInfo;        // heap block
    PCCERT_CONTEXT pSigner;
    BYTE* pbContent;                // heap block: the signed indirect data
    const BYTE* pbSignedDigest;     // the package digest inside it
};

// Safe on a zero-filled record.
void CloseSignature(Signature& sig);

// A parameter of the message in a heap block of its own; NULL when it can't be had.
template <typename T>
T* GetMessageParam(HCRYPTMSG hMsg, DWORD dwType, DWORD* pcb)
{
    *pcb = 0;
    void* pBlock = NULL;
    if (Api.CryptMsgGetParam(hMsg, dwType, 0, NULL, pcb))
        pBlock = AllocBlock(*pcb);
    if (pBlock != NULL && !Api.CryptMsgGetParam(hMsg, dwType, 0, pBlock, pcb))
    {
        FreeBlock(pBlock);
        pBlock = NULL;
    }
    return static_cast<T*>(pBlock);
}

// The first signer's info and the certificate it names, from the message and store of sig;
// pszFailure is the step's failure line.
bool FindSigner(Signature& sig, LPCSTR pszFailure);

// The single value of a signed attribute; none when it is missing or has several.
const CRYPT_ATTR_BLOB* FindSignedAttribute(const Signature& sig, LPCSTR pszOid);

// The signed attributes hold under the signer's key, hashed with SHA-256.
bool HoldsUnderSignerKey(const Signature& sig);
// The signed message digest is pbDigest (cbPackageDigest bytes). Not every system's
// verification compares the two, and a forger who swaps in the digest of changed content
// passes every other step.
bool HasSignedDigest(const Signature& sig, const BYTE* pbDigest);

bool IsTrustedForCodeSigning(const Signature& sig);
void GetSignerName(const Signature& sig, LPWSTR pszName);
// The signer's key is among the ';'-separated pins.
bool IsPinned(const Signature& sig, LPCWSTR pszPins);
