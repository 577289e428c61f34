#include "engine/package_signature.h"

#include <string>

#include "engine/run_log.h"

namespace km {

namespace {

struct VerdictName {
    SignatureVerdict verdict;
    const char* text;
};
const VerdictName kVerdictNames[] = {
    {SignatureVerdict::Accepted, ""},
    {SignatureVerdict::NoSignature, "no signature file beside it (its name plus .p7s)"},
    {SignatureVerdict::SignatureUnreadable, "its signature file could not be read"},
    {SignatureVerdict::NotASignature, "its signature file is not a detached signature"},
    {SignatureVerdict::DoesNotVerify, "its signature does not verify"},
    {SignatureVerdict::NoSha256Digest, "its signature holds no SHA-256 digest of the content"},
    {SignatureVerdict::ChangedAfterSigning, "it was changed after signing"},
    {SignatureVerdict::NotTrustedPublisher, "its signer is not in the machine's TrustedPublisher store"},
    {SignatureVerdict::UntrustedRoot, "its signer's certificate does not chain to a root the machine trusts"},
    {SignatureVerdict::NotValidNow, "its signer's certificate is not valid now"},
    {SignatureVerdict::NotForCodeSigning, "its signer's certificate does not allow code signing"},
};

// What the signer must be, in the order the reasons are given.
struct TrustRequirement {
    bool PublisherTrust::*holds;
    SignatureVerdict otherwise;
};
const TrustRequirement kTrustRequirements[] = {
    {&PublisherTrust::trustedPublisher, SignatureVerdict::NotTrustedPublisher},
    {&PublisherTrust::chainTrusted, SignatureVerdict::UntrustedRoot},
    {&PublisherTrust::validNow, SignatureVerdict::NotValidNow},
    {&PublisherTrust::codeSigning, SignatureVerdict::NotForCodeSigning},
};

}  // namespace

bool SignaturesRequired(Platform& sys) {
    const PolicyValue policy = sys.QueryPolicyValue(kSigningPolicyKey, kSigningPolicyValue);
    switch (policy.status) {
        case PolicyValueStatus::Absent:
            return false;
        case PolicyValueStatus::Unreadable:
            return true;
        case PolicyValueStatus::Present:
            break;
    }
    if (policy.type != kRegDword) return false;
    // A REG_DWORD of another size is no 0 either.
    return policy.data != Bytes(4, 0);
}

SignatureVerdict JudgeSignature(Platform& sys, const Text& packagePath, std::string_view packageBytes) {
    const Text signaturePath = packagePath + kSignatureSuffix;
    const FileContents signature = sys.ReadWholeFile(signaturePath);
    if (signature.status == FileReadStatus::NotOpened)
        return sys.PathExists(signaturePath) ? SignatureVerdict::SignatureUnreadable : SignatureVerdict::NoSignature;
    if (signature.status == FileReadStatus::ReadError) return SignatureVerdict::SignatureUnreadable;

    const SignatureFacts facts = sys.InspectDetachedSignature(packageBytes, signature.bytes);
    if (!facts.decoded) return SignatureVerdict::NotASignature;
    if (!facts.signatureVerifies || facts.contentDigest.empty()) return SignatureVerdict::DoesNotVerify;
    // The signature covers the signed attributes; only their digest ties it
    // to these bytes, and not every crypt32 compares it.
    if (!facts.digestIsSha256 || !facts.messageDigest) return SignatureVerdict::NoSha256Digest;
    if (*facts.messageDigest != facts.contentDigest) return SignatureVerdict::ChangedAfterSigning;

    const PublisherTrust trust = sys.QueryPublisherTrust(facts.signerCertificate, facts.certificates);
    for (const TrustRequirement& requirement : kTrustRequirements)
        if (!(trust.*requirement.holds)) return requirement.otherwise;
    return SignatureVerdict::Accepted;
}

const char* VerdictText(SignatureVerdict verdict) {
    for (const VerdictName& name : kVerdictNames)
        if (name.verdict == verdict) return name.text;
    return "";
}

bool RefusedUnderSigningPolicy(Platform& sys, const LogSink& log, const Text& packagePath,
                               const FileContents& package) {
    if (package.status != FileReadStatus::Read || !SignaturesRequired(sys)) return false;
    const SignatureVerdict verdict = JudgeSignature(sys, packagePath, package.bytes);
    if (verdict == SignatureVerdict::Accepted) return false;
    WriteLogEntry(sys, log, "keymason", LogTag::kPackageRefused, "Signature",
                  std::string("Package refused: ") + VerdictText(verdict) + "; nothing was applied.");
    return true;
}

}  // namespace km
