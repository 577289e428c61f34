// Test fixture: adds a DER certificate to one of the machine's certificate
// stores (Wine has no certutil).  keymason_trust_store STORE FILE.cer
#include <windows.h>

#include <wincrypt.h>

#include <fstream>
#include <iterator>
#include <string>

int wmain(int argc, wchar_t** argv) {
    if (argc != 3) return 2;
    std::ifstream file(argv[2], std::ios::binary);
    const std::string der((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, argv[1]);
    const BOOL added = store && CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING,
                                                                 reinterpret_cast<const BYTE*>(der.data()),
                                                                 der.size(), CERT_STORE_ADD_REPLACE_EXISTING, nullptr);
    if (store) CertCloseStore(store, 0);
    return added ? 0 : 1;
}
