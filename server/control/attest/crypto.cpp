#include "server/control/attest/crypto.h"

#include <openssl/bio.h>
#include <openssl/core_names.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>

#include <memory>

namespace ferrowin::control::attest {

namespace {

template <auto Free>
struct Deleter {
  template <class T>
  void operator()(T* p) const {
    Free(p);
  }
};
using X509Ptr = std::unique_ptr<X509, Deleter<X509_free>>;
using StorePtr = std::unique_ptr<X509_STORE, Deleter<X509_STORE_free>>;
using StoreCtxPtr = std::unique_ptr<X509_STORE_CTX, Deleter<X509_STORE_CTX_free>>;
using BioPtr = std::unique_ptr<BIO, Deleter<BIO_free>>;
using PkeyPtr = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY_free>>;
using PkeyCtxPtr = std::unique_ptr<EVP_PKEY_CTX, Deleter<EVP_PKEY_CTX_free>>;
using MdCtxPtr = std::unique_ptr<EVP_MD_CTX, Deleter<EVP_MD_CTX_free>>;
using ParamBldPtr = std::unique_ptr<OSSL_PARAM_BLD, Deleter<OSSL_PARAM_BLD_free>>;
using ParamPtr = std::unique_ptr<OSSL_PARAM, Deleter<OSSL_PARAM_free>>;

struct CertStackFree {
  void operator()(STACK_OF(X509) * stack) const { sk_X509_pop_free(stack, X509_free); }
};
using CertStackPtr = std::unique_ptr<STACK_OF(X509), CertStackFree>;

X509Ptr parseDer(std::span<const uint8_t> der) {
  const unsigned char* p = der.data();
  X509Ptr cert(d2i_X509(nullptr, &p, static_cast<long>(der.size())));
  // Trailing bytes after the certificate mean the input is not one certificate.
  if (cert && p != der.data() + der.size()) cert.reset();
  return cert;
}

// Every certificate in `pem`; empty when any block fails to parse or there is none.
std::vector<X509Ptr> parsePem(const std::string& pem) {
  std::vector<X509Ptr> out;
  BioPtr bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
  if (!bio) return out;
  while (X509* cert = PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr))
    out.emplace_back(cert);
  // The loop ends with "no start line" after the last block; anything else is a broken block.
  const unsigned long error = ERR_peek_last_error();
  if (ERR_GET_REASON(error) != PEM_R_NO_START_LINE) out.clear();
  ERR_clear_error();
  return out;
}

PkeyPtr p256PublicKey(std::span<const uint8_t> x963) {
  if (x963.size() != 65 || x963[0] != 0x04) return nullptr;
  ParamBldPtr builder(OSSL_PARAM_BLD_new());
  if (!builder) return nullptr;
  char group[] = "prime256v1";
  if (!OSSL_PARAM_BLD_push_utf8_string(builder.get(), OSSL_PKEY_PARAM_GROUP_NAME, group, 0) ||
      !OSSL_PARAM_BLD_push_octet_string(builder.get(), OSSL_PKEY_PARAM_PUB_KEY, x963.data(),
                                        x963.size()))
    return nullptr;
  ParamPtr params(OSSL_PARAM_BLD_to_param(builder.get()));
  PkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr));
  EVP_PKEY* key = nullptr;
  // fromdata decodes the point, which refuses points off the curve.
  if (!params || !ctx || EVP_PKEY_fromdata_init(ctx.get()) <= 0 ||
      EVP_PKEY_fromdata(ctx.get(), &key, EVP_PKEY_PUBLIC_KEY, params.get()) <= 0) {
    ERR_clear_error();
    return nullptr;
  }
  return PkeyPtr(key);
}

}  // namespace

Sha256Digest sha256(std::span<const uint8_t> data) { return sha256(data, {}); }

Sha256Digest sha256(std::span<const uint8_t> first, std::span<const uint8_t> second) {
  Sha256Digest digest{};
  MdCtxPtr ctx(EVP_MD_CTX_new());
  unsigned int length = 0;
  if (!ctx || !EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr) ||
      !EVP_DigestUpdate(ctx.get(), first.data(), first.size()) ||
      !EVP_DigestUpdate(ctx.get(), second.data(), second.size()) ||
      !EVP_DigestFinal_ex(ctx.get(), digest.data(), &length))
    std::abort();  // only allocation failure gets here; nothing sensible can continue
  return digest;
}

bool evaluateChain(std::span<const uint8_t> leafDer, std::span<const uint8_t> intermediateDer,
                   const std::vector<std::string>& anchorsPem, std::time_t time) {
  X509Ptr leaf = parseDer(leafDer);
  X509Ptr intermediate = parseDer(intermediateDer);
  if (!leaf || !intermediate) return false;

  StorePtr store(X509_STORE_new());
  if (!store) return false;
  size_t anchors = 0;
  for (const auto& pem : anchorsPem) {
    for (auto& cert : parsePem(pem)) {
      if (X509_STORE_add_cert(store.get(), cert.get()) == 1) ++anchors;
    }
  }
  ERR_clear_error();  // adding the same anchor twice is harmless
  if (anchors == 0) return false;

  CertStackPtr untrusted(sk_X509_new_null());
  if (!untrusted || !sk_X509_push(untrusted.get(), intermediate.get())) return false;
  intermediate.release();  // the stack owns it now

  StoreCtxPtr ctx(X509_STORE_CTX_new());
  if (!ctx || !X509_STORE_CTX_init(ctx.get(), store.get(), leaf.get(), untrusted.get()))
    return false;
  // Basic path validation at the given time; no purpose (App Attest leaves carry Apple's own
  // extended key usage), no partial chains (only a listed anchor may end the chain).
  X509_STORE_CTX_set_time(ctx.get(), 0, time);
  const bool trusted = X509_verify_cert(ctx.get()) == 1;
  ERR_clear_error();
  return trusted;
}

bool isCertificatePem(const std::string& pem) { return !parsePem(pem).empty(); }

std::optional<std::vector<uint8_t>> p256PublicKeyOfCertificate(std::span<const uint8_t> der) {
  X509Ptr cert = parseDer(der);
  if (!cert) return std::nullopt;
  EVP_PKEY* key = X509_get0_pubkey(cert.get());
  char group[32] = {};
  size_t groupLength = 0;
  if (!key || !EVP_PKEY_is_a(key, "EC") ||
      !EVP_PKEY_get_utf8_string_param(key, OSSL_PKEY_PARAM_GROUP_NAME, group, sizeof group,
                                      &groupLength) ||
      std::string(group, groupLength) != "prime256v1") {
    ERR_clear_error();
    return std::nullopt;
  }
  std::vector<uint8_t> point(65);
  size_t pointLength = 0;
  if (!EVP_PKEY_get_octet_string_param(key, OSSL_PKEY_PARAM_PUB_KEY, point.data(), point.size(),
                                       &pointLength) ||
      pointLength != 65 || point[0] != 0x04) {
    ERR_clear_error();
    return std::nullopt;
  }
  return point;
}

bool isP256PublicKey(std::span<const uint8_t> x963) { return p256PublicKey(x963) != nullptr; }

bool verifyP256Signature(std::span<const uint8_t> x963PublicKey, std::span<const uint8_t> message,
                         std::span<const uint8_t> derSignature) {
  PkeyPtr key = p256PublicKey(x963PublicKey);
  if (!key) return false;
  MdCtxPtr ctx(EVP_MD_CTX_new());
  // OpenSSL's ECDSA verification refuses signatures that are not strict DER (it re-encodes the
  // parsed value and compares), so a malleated encoding fails like a wrong signature.
  const bool ok = ctx &&
                  EVP_DigestVerifyInit(ctx.get(), nullptr, EVP_sha256(), nullptr, key.get()) == 1 &&
                  EVP_DigestVerify(ctx.get(), derSignature.data(), derSignature.size(),
                                   message.data(), message.size()) == 1;
  ERR_clear_error();
  return ok;
}

}  // namespace ferrowin::control::attest
