// Detached signatures and publisher trust over crypt32, with the content's
// digest from bcrypt. Only facts are gathered here; the engine judges them.
#include <windows.h>

#include <bcrypt.h>
#include <wincrypt.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "platform/win32/win32_handle.h"
#include "platform/win32/win32_platform.h"

namespace km {
namespace {

constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

void CloseStore(HCERTSTORE store) { ::CertCloseStore(store, 0); }
void CloseAlgorithm(BCRYPT_ALG_HANDLE algorithm) { ::BCryptCloseAlgorithmProvider(algorithm, 0); }
using UniqueCryptMsg = UniqueHandle<ClosedBy<HCRYPTMSG, &::CryptMsgClose>>;
using UniqueCertStore = UniqueHandle<ClosedBy<HCERTSTORE, &CloseStore>>;
using UniqueCertContext = UniqueHandle<ClosedBy<PCCERT_CONTEXT, &::CertFreeCertificateContext>>;
using UniqueCertChain = UniqueHandle<ClosedBy<PCCERT_CHAIN_CONTEXT, &::CertFreeCertificateChain>>;
using UniqueAlgorithm = UniqueHandle<ClosedBy<BCRYPT_ALG_HANDLE, &CloseAlgorithm>>;
using UniqueHash = UniqueHandle<ClosedBy<BCRYPT_HASH_HANDLE, &::BCryptDestroyHash>>;

const BYTE* AsBytes(std::string_view bytes) { return reinterpret_cast<const BYTE*>(bytes.data()); }

// Empty when the digest could not be computed.
Bytes Sha256(std::string_view content) {
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    if (!BCRYPT_SUCCESS(::BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0)))
        return Bytes();
    UniqueAlgorithm heldAlgorithm(algorithm);
    BCRYPT_HASH_HANDLE hash = nullptr;
    if (!BCRYPT_SUCCESS(::BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0))) return Bytes();
    UniqueHash heldHash(hash);
    while (!content.empty()) {  // ULONG counts: large content goes in parts
        const ULONG part = static_cast<ULONG>(std::min<std::size_t>(content.size(), 1u << 30));
        if (!BCRYPT_SUCCESS(::BCryptHashData(hash, const_cast<PUCHAR>(AsBytes(content)), part, 0)))
            return Bytes();
        content.remove_prefix(part);
    }
    Bytes digest(32);
    if (!BCRYPT_SUCCESS(::BCryptFinishHash(hash, digest.data(), static_cast<ULONG>(digest.size()), 0)))
        return Bytes();
    return digest;
}

// A message parameter whatever its size; false when the message has none.
bool MessageParam(HCRYPTMSG message, DWORD type, DWORD index, std::vector<BYTE>* out) {
    DWORD size = 0;
    if (!::CryptMsgGetParam(message, type, index, nullptr, &size)) return false;
    out->resize(size);
    if (!::CryptMsgGetParam(message, type, index, out->data(), &size)) return false;
    out->resize(size);
    return true;
}

// The value of the one messageDigest attribute; none when absent or repeated.
std::optional<Bytes> MessageDigest(const CMSG_SIGNER_INFO& signer) {
    std::optional<Bytes> found;
    for (DWORD i = 0; i < signer.AuthAttrs.cAttr; ++i) {
        const CRYPT_ATTRIBUTE& attribute = signer.AuthAttrs.rgAttr[i];
        if (!attribute.pszObjId || std::strcmp(attribute.pszObjId, szOID_RSA_messageDigest) != 0) continue;
        if (found || attribute.cValue != 1) return std::nullopt;
        DWORD size = 0;
        const CRYPT_ATTR_BLOB& value = attribute.rgValue[0];
        if (!::CryptDecodeObject(kEncoding, X509_OCTET_STRING, value.pbData, value.cbData, 0, nullptr, &size))
            return std::nullopt;
        std::vector<BYTE> decoded(size);
        if (!::CryptDecodeObject(kEncoding, X509_OCTET_STRING, value.pbData, value.cbData, 0, decoded.data(),
                                 &size))
            return std::nullopt;
        const auto* blob = reinterpret_cast<const CRYPT_DATA_BLOB*>(decoded.data());
        found = Bytes(blob->pbData, blob->pbData + blob->cbData);
    }
    return found;
}

bool NamesCodeSigning(PCCERT_CONTEXT certificate) {
    DWORD size = 0;
    if (!::CertGetEnhancedKeyUsage(certificate, CERT_FIND_EXT_ONLY_ENHKEY_USAGE_FLAG, nullptr, &size))
        return false;
    std::vector<BYTE> buffer(size);
    auto* usage = reinterpret_cast<CERT_ENHKEY_USAGE*>(buffer.data());
    if (!::CertGetEnhancedKeyUsage(certificate, CERT_FIND_EXT_ONLY_ENHKEY_USAGE_FLAG, usage, &size)) return false;
    for (DWORD i = 0; i < usage->cUsageIdentifier; ++i)
        if (std::strcmp(usage->rgpszUsageIdentifier[i], szOID_PKIX_KP_CODE_SIGNING) == 0) return true;
    return false;
}

}  // namespace

SignatureFacts Win32Platform::InspectDetachedSignature(std::string_view content, std::string_view signature) {
    SignatureFacts facts;
    if (signature.size() > MAXDWORD || content.size() > MAXDWORD) return facts;
    UniqueCryptMsg message(::CryptMsgOpenToDecode(kEncoding, CMSG_DETACHED_FLAG, 0, 0, nullptr, nullptr));
    if (!message || !::CryptMsgUpdate(message.Get(), AsBytes(signature), static_cast<DWORD>(signature.size()), TRUE))
        return facts;
    DWORD type = 0;
    DWORD size = sizeof type;
    if (!::CryptMsgGetParam(message.Get(), CMSG_TYPE_PARAM, 0, &type, &size) || type != CMSG_SIGNED) return facts;
    std::vector<BYTE> signerInfo;
    if (!MessageParam(message.Get(), CMSG_SIGNER_INFO_PARAM, 0, &signerInfo)) return facts;
    const auto& signer = *reinterpret_cast<const CMSG_SIGNER_INFO*>(signerInfo.data());
    facts.decoded = true;
    facts.digestIsSha256 =
        signer.HashAlgorithm.pszObjId && std::strcmp(signer.HashAlgorithm.pszObjId, szOID_NIST_sha256) == 0;
    facts.messageDigest = MessageDigest(signer);
    facts.contentDigest = Sha256(content);

    DWORD count = 0;
    size = sizeof count;
    if (::CryptMsgGetParam(message.Get(), CMSG_CERT_COUNT_PARAM, 0, &count, &size)) {
        std::vector<BYTE> certificate;
        for (DWORD i = 0; i < count; ++i)
            if (MessageParam(message.Get(), CMSG_CERT_PARAM, i, &certificate))
                facts.certificates.emplace_back(certificate.begin(), certificate.end());
    }

    // Checks the signature over the signed attributes, or over the content
    // when there are none; the content's own digest is the engine's to hold
    // against the attribute, as some crypt32s do not.
    CRYPT_VERIFY_MESSAGE_PARA para{};
    para.cbSize = sizeof para;
    para.dwMsgAndCertEncodingType = kEncoding;
    const BYTE* parts[] = {AsBytes(content)};
    DWORD partSizes[] = {static_cast<DWORD>(content.size())};
    PCCERT_CONTEXT signerCertificate = nullptr;
    facts.signatureVerifies = ::CryptVerifyDetachedMessageSignature(
                                  &para, 0, AsBytes(signature), static_cast<DWORD>(signature.size()), 1, parts,
                                  partSizes, &signerCertificate) != FALSE;
    UniqueCertContext heldSigner(signerCertificate);
    if (signerCertificate)
        facts.signerCertificate.assign(signerCertificate->pbCertEncoded,
                                       signerCertificate->pbCertEncoded + signerCertificate->cbCertEncoded);
    return facts;
}

PublisherTrust Win32Platform::QueryPublisherTrust(const Bytes& signer, const std::vector<Bytes>& certificates) {
    PublisherTrust trust;
    UniqueCertContext certificate(
        ::CertCreateCertificateContext(kEncoding, signer.data(), static_cast<DWORD>(signer.size())));
    if (!certificate) return trust;

    UniqueCertStore publishers(::CertOpenStore(
        CERT_STORE_PROV_SYSTEM_W, 0, 0,
        CERT_SYSTEM_STORE_LOCAL_MACHINE | CERT_STORE_READONLY_FLAG | CERT_STORE_OPEN_EXISTING_FLAG,
        L"TrustedPublisher"));
    if (publishers) {
        UniqueCertContext found(::CertFindCertificateInStore(publishers.Get(), kEncoding, 0, CERT_FIND_EXISTING,
                                                             certificate.Get(), nullptr));
        trust.trustedPublisher = found.Valid();
    }

    // The signature's own certificates may supply intermediates, never a root.
    UniqueCertStore carried(::CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr));
    if (!carried) return trust;
    for (const Bytes& encoded : certificates)
        ::CertAddEncodedCertificateToStore(carried.Get(), kEncoding, encoded.data(),
                                           static_cast<DWORD>(encoded.size()), CERT_STORE_ADD_ALWAYS, nullptr);
    LPSTR codeSigning[] = {const_cast<LPSTR>(szOID_PKIX_KP_CODE_SIGNING)};
    CERT_CHAIN_PARA para{};
    para.cbSize = sizeof para;
    para.RequestedUsage.dwType = USAGE_MATCH_TYPE_AND;
    para.RequestedUsage.Usage.cUsageIdentifier = 1;
    para.RequestedUsage.Usage.rgpszUsageIdentifier = codeSigning;
    PCCERT_CHAIN_CONTEXT chain = nullptr;
    // No revocation flag: clients may be offline.
    if (!::CertGetCertificateChain(HCCE_LOCAL_MACHINE, certificate.Get(), nullptr, carried.Get(), &para, 0,
                                   nullptr, &chain))
        return trust;
    UniqueCertChain heldChain(chain);
    const DWORD status = chain->TrustStatus.dwErrorStatus;
    constexpr DWORD kTime = CERT_TRUST_IS_NOT_TIME_VALID | CERT_TRUST_IS_NOT_TIME_NESTED;
    constexpr DWORD kUsage = CERT_TRUST_IS_NOT_VALID_FOR_USAGE;
    constexpr DWORD kRevocation = CERT_TRUST_REVOCATION_STATUS_UNKNOWN | CERT_TRUST_IS_OFFLINE_REVOCATION;
    trust.chainTrusted = (status & ~(kTime | kUsage | kRevocation)) == 0;
    trust.validNow = (status & CERT_TRUST_IS_NOT_TIME_VALID) == 0 &&
                     ::CertVerifyTimeValidity(nullptr, certificate.Get()->pCertInfo) == 0;
    trust.codeSigning = (status & kUsage) == 0 && NamesCodeSigning(certificate.Get());
    return trust;
}

}  // namespace km
