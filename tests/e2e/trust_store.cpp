// Test fixture: adds a DER certificate to one of the machine's certificate
// stores, as the suite needs and Wine has no certutil for.
//   keymason_trust_store STORE FILE.cer     e.g. Root, TrustedPublisher
#include <windows.h>

#include <wincrypt.h>

#include <cstdio>
#include <vector>

int wmain(int argc, wchar_t** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: keymason_trust_store STORE FILE.cer\n");
        return 2;
    }
    std::vector<BYTE> certificate;
    if (FILE* file = _wfopen(argv[2], L"rb")) {
        for (int c; (c = std::fgetc(file)) != EOF;) certificate.push_back(static_cast<BYTE>(c));
        std::fclose(file);
    }
    HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, argv[1]);
    if (!store) return 1;
    const BOOL added = CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, certificate.data(),
                                                        static_cast<DWORD>(certificate.size()),
                                                        CERT_STORE_ADD_REPLACE_EXISTING, nullptr);
    CertCloseStore(store, 0);
    return added ? 0 : 1;
}
