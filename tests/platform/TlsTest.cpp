// The TLS server's certificate: made once beside the settings, the key the owner's alone, the
// same pair (and fingerprint) on every later start, and unusable files named in the error.
#include <sys/stat.h>

#include "platform/Tls.h"
#include "support/Files.h"

namespace drovn::platform {
namespace {

using test::TempDir;

TEST(TlsServer, MakesItsCertificateOnceAndNamesFilesItCannotUse) {
  if (tlsLibraryVersion().starts_with("none")) GTEST_SKIP() << "no TLS: " << tlsLibraryVersion();
  TempDir dir;
  const std::string folder = (dir.path / "conf").string();  // not there yet: made too
  std::string error;
  const auto first = TlsServer::create({"", "", folder}, error);
  ASSERT_TRUE(first) << error;
  EXPECT_EQ(first->madeCertificate(), folder + "/tls-cert.pem");
  struct stat key {};
  ASSERT_EQ(::stat((folder + "/tls-key.pem").c_str(), &key), 0);
  EXPECT_EQ(key.st_mode & 0777, 0600u);
  EXPECT_EQ(first->fingerprint().size(), 32u * 3 - 1);

  const auto again = TlsServer::create({"", "", folder}, error);
  ASSERT_TRUE(again) << error;
  EXPECT_EQ(again->madeCertificate(), "");
  EXPECT_EQ(again->fingerprint(), first->fingerprint());

  // A second made pair is a key that does not belong to the first certificate.
  const std::string other = (dir.path / "other").string();
  ASSERT_TRUE(TlsServer::create({"", "", other}, error)) << error;
  const struct {
    TlsFiles files;
    std::string error;
  } refusals[] = {
      {{folder + "/tls-cert.pem", "", ""}, "a certificate needs both tls_certFile and tls_keyFile"},
      {{folder + "/none.pem", folder + "/tls-key.pem", ""},
       folder + "/none.pem: No such file or directory"},
      {{folder + "/tls-key.pem", folder + "/tls-key.pem", ""},
       "cannot load the certificate " + folder + "/tls-key.pem: "},
      {{folder + "/tls-cert.pem", other + "/tls-key.pem", ""},
       "cannot load the key " + other + "/tls-key.pem: "},
  };
  for (const auto& r : refusals) {
    EXPECT_FALSE(TlsServer::create(r.files, error));
    EXPECT_EQ(error.substr(0, r.error.size()), r.error);
  }
}

}  // namespace
}  // namespace drovn::platform
