// Signed packages under machine policy: whether this machine asks for a
// signature, and whether the package's bytes carry one it trusts. The bytes
// judged are the bytes the pass goes on to apply: the package is read once.
#pragma once

#include <string_view>

#include "engine/run_log.h"
#include "platform/platform.h"
#include "platform/text.h"

namespace km {

// Below HKEY_LOCAL_MACHINE, where Group Policy puts machine policy.
inline const Text kSigningPolicyKey = u"SOFTWARE\\Policies\\Keymason";
inline const Text kSigningPolicyValue = u"RequireSignedPackages";
// The signature lies beside the package: its name plus this.
inline const Text kSignatureSuffix = u".p7s";

enum class SignatureVerdict {
    Accepted,
    NoSignature,
    SignatureUnreadable,
    NotASignature,
    DoesNotVerify,
    NoSha256Digest,
    ChangedAfterSigning,
    NotTrustedPublisher,
    UntrustedRoot,
    NotValidNow,
    NotForCodeSigning,
};

// On when the policy value is a REG_DWORD holding anything but 0, or exists
// but cannot be read (a policy nobody can read must not switch itself off).
// Absent, 0 or of another type: off.
bool SignaturesRequired(Platform& sys);

// The signature beside packagePath, judged against the package's bytes.
SignatureVerdict JudgeSignature(Platform& sys, const Text& packagePath, std::string_view packageBytes);

// The reason as the log names it; empty for Accepted.
const char* VerdictText(SignatureVerdict verdict);

// The pass's one call, for a package read whole: under the policy a package
// whose signature is not accepted is refused with one log entry, and this
// returns true (the pass then ends with exit code 4). Anything else is left
// to the pass.
bool RefusedUnderSigningPolicy(Platform& sys, const LogSink& log, const Text& packagePath,
                               const FileContents& package);

}  // namespace km
