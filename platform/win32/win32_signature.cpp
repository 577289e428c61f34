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
#include "platform/win32/win32_trust.h"

namespace km {
namespace {

constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

void CloseAlgorithm(BCRYPT_ALG_HANDLE algorithm) { ::BCryptCloseAlgorithmProvider(algorithm, 0); }
using UniqueCryptMsg = UniqueHandle<ClosedBy<HCRYPTMSG, &::CryptMsgClose>>;
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

bool SameBytes(PCCERT_CONTEXT certificate, const Bytes& encoded) {
    return certificate->cbCertEncoded == encoded.size() &&
           std::equal(encoded.begin(), encoded.end(), certificate->pbCertEncoded);
}

// Byte for byte one of the store's certificates. Issuer and serial number
// alone (what CERT_FIND_EXISTING compares) are not the certificate: a CA can
// issue two under one serial.
bool HoldsCertificate(HCERTSTORE store, const Bytes& encoded) {
    for (PCCERT_CONTEXT each = ::CertEnumCertificatesInStore(store, nullptr); each;
         each = ::CertEnumCertificatesInStore(store, each)) {
        if (SameBytes(each, encoded)) {
            ::CertFreeCertificateContext(each);
            return true;
        }
    }
    return false;
}

// A CA above the signer may sign certificates: basic constraints hold, and
// a key usage, where the CA names one, includes certificate signing.
bool IssuersMayIssue(const CERT_SIMPLE_CHAIN& chain) {
    for (DWORD i = 0; i < chain.cElement; ++i) {
        const CERT_CHAIN_ELEMENT& element = *chain.rgpElement[i];
        if (element.TrustStatus.dwErrorStatus & CERT_TRUST_INVALID_BASIC_CONSTRAINTS) return false;
        BYTE usage = 0;
        if (i > 0 && ::CertGetIntendedKeyUsage(kEncoding, element.pCertContext->pCertInfo, &usage, 1) &&
            (usage & CERT_KEY_CERT_SIGN_KEY_USAGE) == 0)
            return false;
    }
    return true;
}

// The carried certificate that matches the first signer's identifier and
// whose key verifies its signature; null when none does. Every match is
// tried: an identifier (issuer and serial) can name two certificates.
PCCERT_CONTEXT VerifiedSigner(HCRYPTMSG message, HCERTSTORE carried, bool* carriedAny) {
    std::vector<BYTE> id;
    CERT_ID issuerSerial{};
    const CERT_ID* signerId = nullptr;
    if (MessageParam(message, CMSG_SIGNER_CERT_ID_PARAM, 0, &id)) {
        signerId = reinterpret_cast<const CERT_ID*>(id.data());
    } else if (MessageParam(message, CMSG_SIGNER_CERT_INFO_PARAM, 0, &id)) {
        // crypt32s without the identifier parameter (Wine's) give issuer and serial.
        const auto* info = reinterpret_cast<const CERT_INFO*>(id.data());
        issuerSerial.dwIdChoice = CERT_ID_ISSUER_SERIAL_NUMBER;
        issuerSerial.IssuerSerialNumber.Issuer = info->Issuer;
        issuerSerial.IssuerSerialNumber.SerialNumber = info->SerialNumber;
        signerId = &issuerSerial;
    } else {
        return nullptr;
    }
    for (PCCERT_CONTEXT candidate =
             ::CertFindCertificateInStore(carried, kEncoding, 0, CERT_FIND_CERT_ID, signerId, nullptr);
         candidate;
         candidate = ::CertFindCertificateInStore(carried, kEncoding, 0, CERT_FIND_CERT_ID, signerId, candidate)) {
        *carriedAny = true;
        CMSG_CTRL_VERIFY_SIGNATURE_EX_PARA para{};
        para.cbSize = sizeof para;
        para.dwSignerIndex = 0;
        para.dwSignerType = CMSG_VERIFY_SIGNER_CERT;
        para.pvSigner = const_cast<CERT_CONTEXT*>(candidate);
        if (::CryptMsgControl(message, 0, CMSG_CTRL_VERIFY_SIGNATURE_EX, &para)) return candidate;
    }
    return nullptr;
}

}  // namespace

SignatureFacts Win32Platform::InspectDetachedSignature(std::string_view content, std::string_view signature,
                                                       std::uint32_t certificateLimit) {
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
    size = sizeof facts.certificateCount;
    if (!::CryptMsgGetParam(message.Get(), CMSG_CERT_COUNT_PARAM, 0, &facts.certificateCount, &size))
        facts.certificateCount = 0;
    // Beyond the limit nothing more is worked out: the engine refuses it.
    if (facts.certificateCount > certificateLimit) return facts;
    facts.digestIsSha256 =
        signer.HashAlgorithm.pszObjId && std::strcmp(signer.HashAlgorithm.pszObjId, szOID_NIST_sha256) == 0;
    facts.messageDigest = MessageDigest(signer);
    facts.contentDigest = Sha256(content);

    UniqueCertStore carried(::CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr));
    if (!carried) return facts;
    std::vector<BYTE> certificate;
    for (DWORD i = 0; i < facts.certificateCount; ++i) {
        if (!MessageParam(message.Get(), CMSG_CERT_PARAM, i, &certificate)) continue;
        facts.certificates.emplace_back(certificate.begin(), certificate.end());
        // Kept even when another has the same issuer and serial.
        ::CertAddEncodedCertificateToStore(carried.Get(), kEncoding, certificate.data(),
                                           static_cast<DWORD>(certificate.size()), CERT_STORE_ADD_ALWAYS, nullptr);
    }

    // The detached content goes in after the message, so that the signature
    // over the signed attributes (or the content) can be checked; the
    // content's own digest is the engine's to hold against the attribute, as
    // some crypt32s do not.
    if (!::CryptMsgUpdate(message.Get(), AsBytes(content), static_cast<DWORD>(content.size()), TRUE))
        return facts;
    UniqueCertContext verified(VerifiedSigner(message.Get(), carried.Get(), &facts.signerCarried));
    facts.signatureVerifies = verified.Valid();
    if (verified)
        facts.signerCertificate.assign(verified.Get()->pbCertEncoded,
                                       verified.Get()->pbCertEncoded + verified.Get()->cbCertEncoded);
    return facts;
}

PublisherTrust JudgePublisherTrust(const TrustStores& stores, const Bytes& signer,
                                   const std::vector<Bytes>& certificates) {
    PublisherTrust trust;
    UniqueCertContext certificate(
        ::CertCreateCertificateContext(kEncoding, signer.data(), static_cast<DWORD>(signer.size())));
    if (!certificate || !stores.publishers) return trust;
    trust.trustedPublisher = HoldsCertificate(stores.publishers, signer);
    // No chain for anyone else: what a signature carries costs nothing until
    // its signer is a publisher the machine trusts.
    if (!trust.trustedPublisher) return trust;

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
    // No revocation check and nothing fetched from the network (a missing
    // issuer named by URL stays missing): clients may be offline, and a
    // signature's URLs must not make the run wait.
    if (!::CertGetCertificateChain(stores.chainEngine, certificate.Get(), nullptr, carried.Get(), &para,
                                   CERT_CHAIN_CACHE_ONLY_URL_RETRIEVAL, nullptr, &chain))
        return trust;
    UniqueCertChain heldChain(chain);
    const DWORD status = chain->TrustStatus.dwErrorStatus;
    constexpr DWORD kTime = CERT_TRUST_IS_NOT_TIME_VALID | CERT_TRUST_IS_NOT_TIME_NESTED;
    constexpr DWORD kUsage = CERT_TRUST_IS_NOT_VALID_FOR_USAGE;
    constexpr DWORD kRevocation = CERT_TRUST_REVOCATION_STATUS_UNKNOWN | CERT_TRUST_IS_OFFLINE_REVOCATION;
    constexpr DWORD kIssuing = CERT_TRUST_INVALID_BASIC_CONSTRAINTS;
    trust.chainTrusted = chain->cChain > 0 && (status & ~(kTime | kUsage | kRevocation | kIssuing)) == 0;
    trust.issuersMayIssue = chain->cChain > 0 && IssuersMayIssue(*chain->rgpChain[0]);
    trust.validNow = (status & CERT_TRUST_IS_NOT_TIME_VALID) == 0 &&
                     ::CertVerifyTimeValidity(nullptr, certificate.Get()->pCertInfo) == 0;
    trust.codeSigning = (status & kUsage) == 0 && NamesCodeSigning(certificate.Get());
    return trust;
}

PublisherTrust Win32Platform::QueryPublisherTrust(const Bytes& signer, const std::vector<Bytes>& certificates) {
    UniqueCertStore publishers(::CertOpenStore(
        CERT_STORE_PROV_SYSTEM_W, 0, 0,
        CERT_SYSTEM_STORE_LOCAL_MACHINE | CERT_STORE_READONLY_FLAG | CERT_STORE_OPEN_EXISTING_FLAG,
        L"TrustedPublisher"));
    return JudgePublisherTrust(TrustStores{publishers.Get(), HCCE_LOCAL_MACHINE}, signer, certificates);
}

}  // namespace km
