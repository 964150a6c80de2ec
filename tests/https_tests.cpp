// Run by https-test.sh, which serves QD_HTTPS_DIR/body.bin over TLS on
// 127.0.0.1:QD_HTTPS_PORT with a certificate from the authority in
// QD_HTTPS_DIR/ca.der, and runs this program once per QD_HTTPS_STEP. Wine
// reads the trusted roots once per process (opening the root store already
// does), so the authority that the first step adds is seen by the second.
#include <gtest/gtest.h>

#include <windows.h>
#include <wincrypt.h>

#include <cstdlib>

#include "engine/handles.h"
#include "engine/http_client.h"
#include "test_files.h"

namespace {

class Https : public ::testing::Test {
protected:
    // False when this step is not the one running.
    bool fetchIn(const char *step)
    {
        const char *port = std::getenv("QD_HTTPS_PORT"), *dir = std::getenv("QD_HTTPS_DIR");
        const char *current = std::getenv("QD_HTTPS_STEP");
        if (!port || !dir || !current || std::string(current) != step) return false;
        folder = dir;
        InternetHandle session(openSession());
        ok = httpGet(session.get(), L"https://127.0.0.1:" + std::wstring(port, port + strlen(port)) + L"/body.bin",
                     [&](const char *data, uint64_t size) { return body.append(data, size), true; }, err, false);
        return true;
    }

    std::filesystem::path folder;
    bool ok = false;
    std::string body, err;
};

} // namespace

TEST_F(Https, RefusesAServerWhoseAuthorityIsNotTrusted)
{
    if (!fetchIn("untrusted")) GTEST_SKIP() << "runs through https-test.sh";
    EXPECT_FALSE(ok);
    EXPECT_EQ(err.rfind("could not reach 127.0.0.1 (error ", 0), 0u) << err;
    EXPECT_TRUE(body.empty());

    // Trust the authority for the next step.
    const std::string ca = readWholeFile(folder / "ca.der");
    HCERTSTORE root = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, L"Root");
    ASSERT_NE(root, nullptr);
    EXPECT_TRUE(CertAddEncodedCertificateToStore(root, X509_ASN_ENCODING, reinterpret_cast<const BYTE *>(ca.data()),
                                                 static_cast<DWORD>(ca.size()), CERT_STORE_ADD_REPLACE_EXISTING,
                                                 nullptr));
    CertCloseStore(root, 0);
}

TEST_F(Https, FetchesFromAServerWhoseAuthorityIsTrusted)
{
    if (!fetchIn("trusted")) GTEST_SKIP() << "runs through https-test.sh";
    const std::string expected = readWholeFile(folder / "body.bin");
    EXPECT_TRUE(ok) << err;
    EXPECT_TRUE(!expected.empty() && body == expected) << body.size() << " bytes of " << expected.size();

    // Leave the prefix's trust as it was.
    const std::string ca = readWholeFile(folder / "ca.der");
    HCERTSTORE root = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, L"Root");
    PCCERT_CONTEXT authority = CertCreateCertificateContext(
        X509_ASN_ENCODING, reinterpret_cast<const BYTE *>(ca.data()), static_cast<DWORD>(ca.size()));
    ASSERT_TRUE(root && authority);
    PCCERT_CONTEXT stored = CertFindCertificateInStore(root, X509_ASN_ENCODING, 0, CERT_FIND_EXISTING, authority, nullptr);
    EXPECT_TRUE(stored && CertDeleteCertificateFromStore(stored)); // which frees stored
    CertFreeCertificateContext(authority);
    CertCloseStore(root, 0);
}
