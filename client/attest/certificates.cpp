#include "client/attest/certificates.h"

#include <openssl/core_names.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509v3.h>

namespace ferrowin::client::attest {

namespace {

struct BioFree {
  void operator()(BIO* bio) const { BIO_free(bio); }
};
using BioPtr = std::unique_ptr<BIO, BioFree>;

std::string drain(BIO* bio) {
  char* data = nullptr;
  const long length = BIO_get_mem_data(bio, &data);
  return std::string(data, static_cast<size_t>(length));
}

bool addExtension(X509* cert, X509* issuer, int nid, const char* value) {
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
  X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
  if (!ext) return false;
  const bool ok = X509_add_ext(cert, ext, -1) == 1;
  X509_EXTENSION_free(ext);
  return ok;
}

bool addNonceExtension(X509* cert, const std::vector<uint8_t>& nonce) {
  // SEQUENCE { [1] EXPLICIT OCTET STRING nonce }, the layout Apple's credential certificates use.
  std::vector<uint8_t> der = {0x30, static_cast<uint8_t>(nonce.size() + 4),
                              0xa1, static_cast<uint8_t>(nonce.size() + 2),
                              0x04, static_cast<uint8_t>(nonce.size())};
  der.insert(der.end(), nonce.begin(), nonce.end());
  ASN1_OBJECT* oid = OBJ_txt2obj("1.2.840.113635.100.8.2", 1);
  ASN1_OCTET_STRING* data = ASN1_OCTET_STRING_new();
  bool ok = oid && data && ASN1_OCTET_STRING_set(data, der.data(), static_cast<int>(der.size()));
  X509_EXTENSION* ext = ok ? X509_EXTENSION_create_by_OBJ(nullptr, oid, 0, data) : nullptr;
  ok = ext && X509_add_ext(cert, ext, -1) == 1;
  X509_EXTENSION_free(ext);
  ASN1_OCTET_STRING_free(data);
  ASN1_OBJECT_free(oid);
  return ok;
}

}  // namespace

KeyPtr generateKey(const char* curve) { return KeyPtr(EVP_EC_gen(curve)); }

CertPtr makeCertificate(const CertificateRequest& request) {
  CertPtr cert(X509_new());
  if (!cert || !request.subjectKey) return nullptr;
  X509* issuer = request.issuer ? request.issuer : cert.get();
  EVP_PKEY* signer = request.issuer ? request.issuerKey : request.subjectKey;
  if (!signer) return nullptr;

  uint8_t serial[16];
  RAND_bytes(serial, sizeof serial);
  serial[0] &= 0x7f;  // a positive INTEGER
  BIGNUM* serialNumber = BN_bin2bn(serial, sizeof serial, nullptr);
  bool ok = X509_set_version(cert.get(), X509_VERSION_3) && serialNumber &&
            BN_to_ASN1_INTEGER(serialNumber, X509_get_serialNumber(cert.get()));
  BN_free(serialNumber);

  X509_NAME* name = X509_get_subject_name(cert.get());
  ok = ok && X509_NAME_add_entry_by_txt(
                 name, "CN", MBSTRING_UTF8,
                 reinterpret_cast<const unsigned char*>(request.commonName.c_str()), -1, -1, 0);
  ok = ok && X509_set_issuer_name(cert.get(), X509_get_subject_name(issuer));
  std::time_t notBefore = request.notBefore;
  std::time_t notAfter = request.notAfter;
  ok = ok && X509_time_adj_ex(X509_getm_notBefore(cert.get()), 0, 0, &notBefore) &&
       X509_time_adj_ex(X509_getm_notAfter(cert.get()), 0, 0, &notAfter);
  ok = ok && X509_set_pubkey(cert.get(), request.subjectKey);
  if (request.certificateAuthority) {
    ok = ok && addExtension(cert.get(), issuer, NID_basic_constraints, "critical,CA:TRUE") &&
         addExtension(cert.get(), issuer, NID_key_usage, "critical,keyCertSign,cRLSign");
  } else {
    ok = ok && addExtension(cert.get(), issuer, NID_basic_constraints, "critical,CA:FALSE") &&
         addExtension(cert.get(), issuer, NID_key_usage, "critical,digitalSignature");
  }
  if (request.attestationNonce) ok = ok && addNonceExtension(cert.get(), *request.attestationNonce);

  const bool p256Signer = EVP_PKEY_get_bits(signer) <= 256;
  ok = ok && X509_sign(cert.get(), signer, p256Signer ? EVP_sha256() : EVP_sha384()) > 0;
  ERR_clear_error();
  if (!ok) return nullptr;
  return cert;
}

std::vector<uint8_t> certificateDer(X509* cert) {
  unsigned char* der = nullptr;
  const int length = i2d_X509(cert, &der);
  if (length <= 0) return {};
  std::vector<uint8_t> out(der, der + length);
  OPENSSL_free(der);
  return out;
}

std::string certificatePem(X509* cert) {
  BioPtr bio(BIO_new(BIO_s_mem()));
  if (!bio || !PEM_write_bio_X509(bio.get(), cert)) return {};
  return drain(bio.get());
}

CertPtr parseCertificatePem(const std::string& pem) {
  BioPtr bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
  CertPtr cert(bio ? PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr) : nullptr);
  ERR_clear_error();
  return cert;
}

std::string privateKeyPem(EVP_PKEY* key) {
  BioPtr bio(BIO_new(BIO_s_mem()));
  if (!bio || !PEM_write_bio_PrivateKey(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr))
    return {};
  return drain(bio.get());
}

KeyPtr parsePrivateKeyPem(const std::string& pem) {
  BioPtr bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
  KeyPtr key(bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr) : nullptr);
  ERR_clear_error();
  return key;
}

std::vector<uint8_t> publicKeyX963(EVP_PKEY* key) {
  std::vector<uint8_t> point(133);  // large enough for P-521
  size_t length = 0;
  if (!EVP_PKEY_get_octet_string_param(key, OSSL_PKEY_PARAM_PUB_KEY, point.data(), point.size(),
                                       &length))
    return {};
  point.resize(length);
  return point;
}

std::vector<uint8_t> signSha256(EVP_PKEY* key, std::span<const uint8_t> message) {
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  std::vector<uint8_t> signature(EVP_PKEY_get_size(key));
  size_t length = signature.size();
  const bool ok =
      ctx && EVP_DigestSignInit(ctx, nullptr, EVP_sha256(), nullptr, key) == 1 &&
      EVP_DigestSign(ctx, signature.data(), &length, message.data(), message.size()) == 1;
  EVP_MD_CTX_free(ctx);
  if (!ok) return {};
  signature.resize(length);
  return signature;
}

std::vector<uint8_t> sha256(std::span<const uint8_t> first, std::span<const uint8_t> second) {
  std::vector<uint8_t> digest(32);
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  unsigned int length = 0;
  EVP_DigestInit_ex(ctx, EVP_sha256(), nullptr);
  EVP_DigestUpdate(ctx, first.data(), first.size());
  EVP_DigestUpdate(ctx, second.data(), second.size());
  EVP_DigestFinal_ex(ctx, digest.data(), &length);
  EVP_MD_CTX_free(ctx);
  return digest;
}

}  // namespace ferrowin::client::attest
