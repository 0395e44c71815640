#include "support/trustca_win.h"

#include <windows.h>
#include <wincrypt.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

bool trustCertificateAuthority(const std::wstring &pemPath)
{
    std::ifstream file(std::filesystem::path(pemPath), std::ios::binary);
    const std::string pem((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    if (!file || pem.empty())
        return false;
    DWORD size = 0;
    if (!CryptStringToBinaryA(pem.data(), DWORD(pem.size()), CRYPT_STRING_BASE64HEADER, nullptr, &size, nullptr, nullptr))
        return false;
    std::vector<BYTE> der(size);
    if (!CryptStringToBinaryA(pem.data(), DWORD(pem.size()), CRYPT_STRING_BASE64HEADER, der.data(), &size, nullptr,
                              nullptr))
        return false;
    HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, L"ROOT");
    if (store == nullptr)
        return false;
    const BOOL added = CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der.data(), size,
                                                        CERT_STORE_ADD_USE_EXISTING, nullptr);
    CertCloseStore(store, 0);
    return added != FALSE;
}
