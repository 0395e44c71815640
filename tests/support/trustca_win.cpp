#include "support/trustca_win.h"

#include <windows.h>
#include <wincrypt.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <vector>

namespace {

struct StoreCloser {
    void operator()(void *store) const { CertCloseStore(store, 0); }
};
using Store = std::unique_ptr<void, StoreCloser>;

// The registry part of the machine's root store itself: a system store is a collection around
// it, and closing that drops a failed write to the registry without a word.
Store machineRoot(DWORD flags)
{
    return Store(CertOpenStore(CERT_STORE_PROV_SYSTEM_REGISTRY_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE | flags, L"ROOT"));
}

// One try at adding the certificate `der`, whose SHA-1 is `hash`, to the machine's root store
// and finding it there as another process will: in the registry as it now stands.
bool addOnce(const std::vector<BYTE> &der, const CRYPT_HASH_BLOB &hash)
{
    {
        const Store store = machineRoot(0);
        if (!store
            || !CertAddEncodedCertificateToStore(store.get(), X509_ASN_ENCODING, der.data(), DWORD(der.size()),
                                                 CERT_STORE_ADD_USE_EXISTING, nullptr)) {
            (void)std::fprintf(stderr, "root store: cannot add the CA (error %lu)\n", GetLastError());
            return false;
        }
        if (!CertControlStore(store.get(), 0, CERT_STORE_CTRL_COMMIT, nullptr)) {
            (void)std::fprintf(stderr, "root store: cannot write it to the registry (error %lu)\n", GetLastError());
            return false;
        }
    }
    const Store readBack = machineRoot(CERT_STORE_READONLY_FLAG);
    PCCERT_CONTEXT found = readBack ? CertFindCertificateInStore(readBack.get(), X509_ASN_ENCODING, 0, CERT_FIND_SHA1_HASH, &hash, nullptr)
                                    : nullptr;
    if (found == nullptr) {
        (void)std::fprintf(stderr, "root store: the CA is not in it as read back from the registry\n");
        return false;
    }
    CertFreeCertificateContext(found);
    return true;
}

}  // namespace

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
    der.resize(size);
    BYTE sha1[20];
    CRYPT_HASH_BLOB hash{sizeof sha1, sha1};
    if (!CryptHashCertificate(0, CALG_SHA1, 0, der.data(), size, sha1, &hash.cbData))
        return false;
    // Setting up the machine, not the code under test: a write that did not take is tried again,
    // each failure said above. Every other suite of the lane writes the same store meanwhile.
    for (int attempt = 0; attempt < 3; ++attempt) {
        if (attempt > 0)
            Sleep(200);
        if (addOnce(der, hash))
            return true;
    }
    return false;
}
