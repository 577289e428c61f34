#include "engine/package_signature.h"

#include <string>

#include "engine/machine_policy.h"
#include "engine/run_log.h"

namespace km {

namespace {

struct VerdictName {
    SignatureVerdict verdict;
    const char* text;
};
const VerdictName kVerdictNames[] = {
    {SignatureVerdict::Accepted, ""},
    {SignatureVerdict::NoSignature, "no signature file beside it"},
    {SignatureVerdict::SignatureUnreadable, "its signature file could not be read"},
    {SignatureVerdict::SignatureTooLarge, "its signature file is larger than 1 MiB"},
    {SignatureVerdict::NotASignature, "its signature file is not a detached signature"},
    {SignatureVerdict::TooManyCertificates, "its signature carries more than 16 certificates"},
    {SignatureVerdict::SignerNotCarried, "its signature does not carry its signer's certificate"},
    {SignatureVerdict::DoesNotVerify, "its signature does not verify"},
    {SignatureVerdict::NoSha256Digest, "its signature holds no SHA-256 digest of the content"},
    {SignatureVerdict::ChangedAfterSigning, "it was changed after signing"},
    {SignatureVerdict::NotTrustedPublisher, "its signer is not in the machine's TrustedPublisher store"},
    {SignatureVerdict::UntrustedRoot, "its signer's certificate does not chain to a root the machine trusts"},
    {SignatureVerdict::IssuerMayNotIssue, "a CA in its signer's chain may not issue certificates"},
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
    {&PublisherTrust::issuersMayIssue, SignatureVerdict::IssuerMayNotIssue},
    {&PublisherTrust::validNow, SignatureVerdict::NotValidNow},
    {&PublisherTrust::codeSigning, SignatureVerdict::NotForCodeSigning},
};

SignatureVerdict JudgeFacts(Platform& sys, const FileContents& package, const FileContents& signature) {
    if (signature.status == FileReadStatus::TooLarge) return SignatureVerdict::SignatureTooLarge;
    if (signature.status == FileReadStatus::ReadError) return SignatureVerdict::SignatureUnreadable;
    // Cheap facts first, and no chain for a signer who is not a trusted
    // publisher: what a signature carries costs nothing before it is trusted.
    const SignatureFacts facts = sys.InspectDetachedSignature(package.bytes, signature.bytes, kMaxCarriedCertificates);
    if (!facts.decoded) return SignatureVerdict::NotASignature;
    if (facts.certificateCount > kMaxCarriedCertificates) return SignatureVerdict::TooManyCertificates;
    if (!facts.signerCarried) return SignatureVerdict::SignerNotCarried;
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

}  // namespace

bool SignaturesRequired(Platform& sys) { return PolicyIsOn(sys, kSigningPolicyValue); }

SignatureJudgement JudgeSignature(Platform& sys, const Text& packagePath, const FileContents& package) {
    SignatureJudgement judgement;
    judgement.signaturePath = (package.finalPath.empty() ? packagePath : package.finalPath) + kSignatureSuffix;
    const FileContents signature = sys.ReadWholeFile(judgement.signaturePath, kMaxSignatureBytes);
    if (signature.status == FileReadStatus::NotOpened)
        judgement.verdict = sys.PathExists(judgement.signaturePath) ? SignatureVerdict::SignatureUnreadable
                                                                    : SignatureVerdict::NoSignature;
    else
        judgement.verdict = JudgeFacts(sys, package, signature);
    return judgement;
}

const char* VerdictText(SignatureVerdict verdict) {
    for (const VerdictName& name : kVerdictNames)
        if (name.verdict == verdict) return name.text;
    return "";
}

Text DisplayPath(const Text& path) {
    const Text unc = u"\\\\?\\UNC\\";
    const Text local = u"\\\\?\\";
    if (path.compare(0, unc.size(), unc) == 0) return u"\\\\" + path.substr(unc.size());
    if (path.compare(0, local.size(), local) == 0) return path.substr(local.size());
    return path;
}

std::string RefusalText(const SignatureJudgement& judgement) {
    // The path as looked for, where the log's narrow text can hold it.
    std::string text = VerdictText(judgement.verdict);
    if (judgement.verdict != SignatureVerdict::NoSignature) return text;
    const std::string path = NarrowCLocale(DisplayPath(judgement.signaturePath));
    return text + (path.empty() ? " (its name plus .p7s)" : " (looked for " + path + ")");
}

bool RefusedUnderSigningPolicy(Platform& sys, const LogSink& log, const Text& packagePath,
                               const FileContents& package) {
    if (package.status != FileReadStatus::Read || !SignaturesRequired(sys)) return false;
    const SignatureJudgement judgement = JudgeSignature(sys, packagePath, package);
    if (judgement.verdict == SignatureVerdict::Accepted) return false;
    WriteLogEntry(sys, log, "keymason", LogTag::kPackageRefused, "Signature",
                  "Package refused: " + RefusalText(judgement) + "; nothing was applied.");
    return true;
}

}  // namespace km
