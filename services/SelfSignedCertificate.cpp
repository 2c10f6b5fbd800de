#include "services/SelfSignedCertificate.h"

#include <openssl/rsa.h>
#include <openssl/x509v3.h>

namespace morvane::services {

Certificate MakeSelfSignedCertificate() {
  Certificate c;
  c.key.reset(EVP_RSA_gen(2048));
  c.cert.reset(X509_new());
  if (!c.key || !c.cert) return {};
  X509* x = c.cert.get();
  X509_set_version(x, 2);
  ASN1_INTEGER_set(X509_get_serialNumber(x), 1);
  X509_gmtime_adj(X509_getm_notBefore(x), -3600);
  X509_gmtime_adj(X509_getm_notAfter(x), 60L * 60 * 24 * 365);
  X509_set_pubkey(x, c.key.get());
  X509_NAME* name = X509_get_subject_name(x);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>("127.0.0.1"), -1, -1, 0);
  X509_set_issuer_name(x, name);
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, x, x, nullptr, nullptr, 0);
  if (X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, NID_subject_alt_name,
                                                "IP:127.0.0.1,DNS:localhost")) {
    X509_add_ext(x, ext, -1);
    X509_EXTENSION_free(ext);
  }
  if (X509_sign(x, c.key.get(), EVP_sha256()) == 0) return {};
  return c;
}

}  // namespace morvane::services
