#include "tls_files.h"

#include <gnutls/gnutls.h>

#include <fstream>
#include <memory>
#include <sstream>

namespace lampd {
namespace {

bool ReadWhole(const std::string& path, std::string& text, std::string& why) {
  std::ifstream file(path, std::ios::binary);
  std::stringstream bytes;
  if (!file || !(bytes << file.rdbuf())) {
    why = "cannot read " + path;
    return false;
  }
  text = bytes.str();
  return true;
}

struct CredentialsFree {
  void operator()(gnutls_certificate_credentials_st* credentials) const {
    gnutls_certificate_free_credentials(credentials);
  }
};

gnutls_datum_t Datum(const std::string& text) {
  return {reinterpret_cast<unsigned char*>(const_cast<char*>(text.data())),
          static_cast<unsigned int>(text.size())};
}

}  // namespace

bool ReadTlsFiles(const std::string& certificatePath, const std::string& keyPath, TlsFiles& files,
                  std::string& why) {
  TlsFiles read;
  if (!ReadWhole(certificatePath, read.certificate, why) || !ReadWhole(keyPath, read.key, why)) {
    return false;
  }
  gnutls_certificate_credentials_t made = nullptr;
  if (const int failed = gnutls_certificate_allocate_credentials(&made); failed < 0) {
    why = std::string("TLS: ") + gnutls_strerror(failed);
    return false;
  }
  const std::unique_ptr<gnutls_certificate_credentials_st, CredentialsFree> credentials(made);
  const gnutls_datum_t certificate = Datum(read.certificate), key = Datum(read.key);
  if (const int failed = gnutls_certificate_set_x509_key_mem2(credentials.get(), &certificate, &key,
                                                              GNUTLS_X509_FMT_PEM, nullptr, 0);
      failed < 0) {
    why = certificatePath + " and " + keyPath + ": " + gnutls_strerror(failed);
    return false;
  }
  files = std::move(read);
  return true;
}

}  // namespace lampd
