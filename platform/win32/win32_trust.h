// How a signer's certificate is judged against a set of trust stores: the
// machine's for Keymason, stores of its own for a check that must never
// change the machine's.
#pragma once

#include <windows.h>

#include <wincrypt.h>

#include <vector>

#include "platform/platform.h"
#include "platform/win32/win32_handle.h"

namespace km {

inline void CloseCertStore(HCERTSTORE store) { ::CertCloseStore(store, 0); }
using UniqueCertStore = UniqueHandle<ClosedBy<HCERTSTORE, &CloseCertStore>>;
using UniqueChainEngine = UniqueHandle<ClosedBy<HCERTCHAINENGINE, &::CertFreeCertificateChainEngine>>;

struct TrustStores {
    HCERTSTORE publishers = nullptr;        // the publishers trusted by their very certificate
    HCERTCHAINENGINE chainEngine = nullptr;  // the roots chains must end in (HCCE_LOCAL_MACHINE: the machine's)
};

// The signer's standing under these stores. The chain is built only for a
// trusted publisher; certificates are those the signature carried, usable
// as intermediates only.
PublisherTrust JudgePublisherTrust(const TrustStores& stores, const Bytes& signer,
                                   const std::vector<Bytes>& certificates);

}  // namespace km
