// Signed packages under machine policy: whether this machine asks for a
// signature, and whether the package's bytes carry one it trusts. The bytes
// judged are the bytes the pass goes on to apply: the package is read once.
#pragma once

#include <string_view>

#include "engine/machine_policy.h"
#include "engine/run_log.h"
#include "platform/platform.h"
#include "platform/text.h"

namespace km {

inline const Text kSigningPolicyValue = u"RequireSignedPackages";
// The signature lies beside the package: its name plus this.
inline const Text kSignatureSuffix = u".p7s";
// What a signature may hold. signtool's carry two to four certificates and
// weigh a few KB; anything far beyond is refused before any chain is built,
// so that no signature file can stall a run.
inline constexpr std::uint64_t kMaxSignatureBytes = 1024 * 1024;
inline constexpr std::uint32_t kMaxCarriedCertificates = 16;

enum class SignatureVerdict {
    Accepted,
    NoSignature,
    SignatureUnreadable,
    SignatureTooLarge,
    NotASignature,
    TooManyCertificates,
    SignerNotCarried,
    DoesNotVerify,
    NoSha256Digest,
    ChangedAfterSigning,
    NotTrustedPublisher,
    UntrustedRoot,
    IssuerMayNotIssue,
    NotValidNow,
    NotForCodeSigning,
};

// By the machine policy's one rule (PolicyIsOn).
bool SignaturesRequired(Platform& sys);

struct SignatureJudgement {
    SignatureVerdict verdict = SignatureVerdict::NoSignature;
    Text signaturePath;  // where the signature was looked for
};

// The signature beside the package as it was opened (its final path where
// the system gave one, else the path as typed), judged against its bytes.
SignatureJudgement JudgeSignature(Platform& sys, const Text& packagePath, const FileContents& package);

// The reason as the log names it; empty for Accepted.
const char* VerdictText(SignatureVerdict verdict);

// The reason with the path looked for, where naming it helps (no signature).
std::string RefusalText(const SignatureJudgement& judgement);

// A final path as a person reads it: "\\?\C:\x" is "C:\x", "\\?\UNC\s\x" is "\\s\x".
Text DisplayPath(const Text& path);

// The pass's one call, for a package read whole: under the policy a package
// whose signature is not accepted is refused with one log entry, and this
// returns true (the pass then ends with exit code 4). Anything else is left
// to the pass.
bool RefusedUnderSigningPolicy(Platform& sys, const LogSink& log, const Text& packagePath,
                               const FileContents& package);

}  // namespace km
