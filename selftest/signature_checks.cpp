// Every signature form a package may come with, judged by the engine's own
// JudgeSignature, with trust stores of the self-test's own: the publishers in
// a memory store, and a chain engine whose only root is the test root. The
// certificates and signatures are resources of this program, made at build
// time; nothing is added to any of the machine's stores.
#include <windows.h>

#include <wincrypt.h>

#include <initializer_list>

#include "engine/package_signature.h"
#include "platform/win32/win32_trust.h"
#include "selftest/checks.h"

namespace km {
namespace {

constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

// The platform as Keymason has it, but trusting only the stores given.
class OwnTrustPlatform : public Win32Platform {
public:
    explicit OwnTrustPlatform(const TrustStores& stores) : stores_(stores) {}
    PublisherTrust QueryPublisherTrust(const Bytes& signer, const std::vector<Bytes>& certificates) override {
        return JudgePublisherTrust(stores_, signer, certificates);
    }

private:
    TrustStores stores_;
};

// An RCDATA resource of this program; empty when there is none.
std::string Resource(const wchar_t* name) {
    HRSRC found = ::FindResourceW(nullptr, name, RT_RCDATA);
    HGLOBAL loaded = found ? ::LoadResource(nullptr, found) : nullptr;
    const void* data = loaded ? ::LockResource(loaded) : nullptr;
    return data ? std::string(static_cast<const char*>(data), ::SizeofResource(nullptr, found)) : std::string();
}

// A memory store holding these certificates; empty when any is missing.
UniqueCertStore StoreOf(std::initializer_list<const wchar_t*> certificates) {
    UniqueCertStore store(::CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr));
    for (const wchar_t* name : certificates) {
        const std::string der = Resource(name);
        if (!store || der.empty() ||
            !::CertAddEncodedCertificateToStore(store.Get(), kEncoding, reinterpret_cast<const BYTE*>(der.data()),
                                                static_cast<DWORD>(der.size()), CERT_STORE_ADD_ALWAYS, nullptr))
            return UniqueCertStore();
    }
    return store;
}

// Chains end only in the roots of that store; empty where the system cannot make one.
UniqueChainEngine EngineTrustingOnly(HCERTSTORE roots) {
    CERT_CHAIN_ENGINE_CONFIG config{};
    config.cbSize = sizeof config;
    config.hExclusiveRoot = roots;
    HCERTCHAINENGINE engine = nullptr;
    if (!roots || !::CertCreateCertificateChainEngine(&config, &engine)) return UniqueChainEngine();
    return UniqueChainEngine(engine);
}

// What Wine 8's crypt32 is known to make of a form that Windows accepts.
struct WineDifference {
    SignatureVerdict verdict;
    const char* why;  // null: none known
};
constexpr WineDifference kNoDifference = {SignatureVerdict::Accepted, nullptr};

struct Form {
    const char* label;
    const wchar_t* signature;  // its resource
    bool tampered;             // judged against the content with one byte changed
    SignatureVerdict expected, alsoExpected;
    WineDifference underWine8;
};
const Form kForms[] = {
    {"RSA PKCS#1 v1.5", L"SIG_RSA", false, SignatureVerdict::Accepted, SignatureVerdict::Accepted, kNoDifference},
    {"RSA-PSS", L"SIG_PSS", false, SignatureVerdict::Accepted, SignatureVerdict::Accepted,
     {SignatureVerdict::DoesNotVerify, "Wine 8's crypt32 cannot verify an RSA-PSS signature"}},
    {"ECDSA P-256", L"SIG_EC", false, SignatureVerdict::Accepted, SignatureVerdict::Accepted,
     {SignatureVerdict::DoesNotVerify, "Wine 8's crypt32 cannot verify an ECDSA signature"}},
    {"signer named by its subject key identifier", L"SIG_KEYID", false, SignatureVerdict::Accepted,
     SignatureVerdict::Accepted,
     {SignatureVerdict::SignerNotCarried,
      "Wine 8's crypt32 gives no signer identifier (CMSG_SIGNER_CERT_ID_PARAM), only issuer and serial"}},
    {"two signers, the trusted publisher first", L"SIG_TWO", false, SignatureVerdict::Accepted,
     SignatureVerdict::Accepted,
     {SignatureVerdict::SignerNotCarried, "Wine 8's crypt32 does not match the first of two signers"}},
    {"impostor under the publisher's issuer and serial, another key", L"SIG_IMPOSTOR", false,
     SignatureVerdict::NotTrustedPublisher, SignatureVerdict::NotTrustedPublisher, kNoDifference},
    {"content changed after signing", L"SIG_RSA", true, SignatureVerdict::ChangedAfterSigning,
     SignatureVerdict::DoesNotVerify, kNoDifference},
};

std::string Outcome(SignatureVerdict verdict) {
    return verdict == SignatureVerdict::Accepted ? "accepted" : std::string("refused, ") + VerdictText(verdict);
}

SignatureVerdict Judge(Win32Platform& sys, const Text& package, const std::string& content,
                       const std::string& signature) {
    ::DeleteFileW(Wide(package + kSignatureSuffix));
    sys.AppendToFile(package + kSignatureSuffix, signature);
    FileContents contents;
    contents.status = FileReadStatus::Read;
    contents.bytes = content;
    return JudgeSignature(sys, package, contents).verdict;
}

}  // namespace

void CheckSignatureForms(Checks& checks, const Text& work) {
    const UniqueCertStore publishers = StoreOf({L"CERT_PUBLISHER", L"CERT_EC_PUBLISHER"});
    const UniqueCertStore roots = StoreOf({L"CERT_ROOT"});
    const UniqueChainEngine engine = EngineTrustingOnly(roots.Get());
    const DWORD engineError = engine ? 0 : ::GetLastError();
    const std::string content = Resource(L"SIGNED_CONTENT");
    checks.Expect(publishers && engine && !content.empty(),
                  "signatures: trust of its own, the test publishers in memory and a chain engine whose only root "
                  "is the test root" + (engine ? std::string() : " (error " + std::to_string(engineError) + ")"));
    if (!publishers || !engine || content.empty()) return;

    const Text package = work + u"\\signed.dat";
    // Judged with the machine's roots the publisher is refused: the test root
    // is in none of its stores, and what is accepted below is its own engine's doing.
    OwnTrustPlatform machineRoots(TrustStores{publishers.Get(), HCCE_LOCAL_MACHINE});
    const SignatureVerdict control = Judge(machineRoots, package, content, Resource(L"SIG_RSA"));
    checks.Expect(control == SignatureVerdict::UntrustedRoot,
                  "signatures: with the machine's own roots the test publisher is " + Outcome(control));

    OwnTrustPlatform sys(TrustStores{publishers.Get(), engine.Get()});
    for (const Form& form : kForms) {
        std::string judged = content;
        if (form.tampered) judged[0] ^= 1;
        const SignatureVerdict verdict = Judge(sys, package, judged, Resource(form.signature));
        const WineDifference& wine = form.underWine8;
        checks.ExpectOrWineKnown(verdict == form.expected || verdict == form.alsoExpected,
                                 wine.why && verdict == wine.verdict,
                                 std::string("signature: ") + form.label + ": " + Outcome(verdict),
                                 wine.why ? wine.why : "");
    }
}

}  // namespace km
