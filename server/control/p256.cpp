#include "server/control/p256.h"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/obj_mac.h>
#include <openssl/param_build.h>
#include <openssl/sha.h>

namespace ferrowin::control::p256 {

namespace {

struct GroupDeleter {
  void operator()(EC_GROUP* group) const { EC_GROUP_free(group); }
};
struct PointDeleter {
  void operator()(EC_POINT* point) const { EC_POINT_free(point); }
};
struct BignumDeleter {
  void operator()(BIGNUM* number) const { BN_free(number); }
};
using Group = std::unique_ptr<EC_GROUP, GroupDeleter>;
using Point = std::unique_ptr<EC_POINT, PointDeleter>;
using Bignum = std::unique_ptr<BIGNUM, BignumDeleter>;

Group curve() { return Group(EC_GROUP_new_by_curve_name(NID_X9_62_prime256v1)); }

Bignum bignum(std::span<const uint8_t> bigEndian) {
  return Bignum(BN_bin2bn(bigEndian.data(), static_cast<int>(bigEndian.size()), nullptr));
}

}  // namespace

std::array<uint8_t, 32> sha256(std::span<const uint8_t> data) {
  std::array<uint8_t, 32> digest{};
  SHA256(data.data(), data.size(), digest.data());
  return digest;
}

Key generateCompactKey() {
  const Group group = curve();
  const Bignum prime(BN_new());
  EC_GROUP_get_curve(group.get(), prime.get(), nullptr, nullptr, nullptr);
  for (;;) {
    Key key(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"));
    if (!key) return nullptr;
    const auto point = publicPoint(key.get());
    if (point.size() != 65) return nullptr;
    const Bignum y = bignum(std::span(point).subspan(33, 32));
    const Bignum otherY(BN_new());
    BN_sub(otherY.get(), prime.get(), y.get());
    if (BN_cmp(y.get(), otherY.get()) <= 0) return key;
  }
}

Key privateKeyFromScalar(std::span<const uint8_t> scalarBytes) {
  if (scalarBytes.size() != 32) return nullptr;
  const Group group = curve();
  const Bignum d = bignum(scalarBytes);
  if (BN_is_zero(d.get()) || BN_cmp(d.get(), EC_GROUP_get0_order(group.get())) >= 0) return nullptr;

  const Point q(EC_POINT_new(group.get()));
  if (!EC_POINT_mul(group.get(), q.get(), d.get(), nullptr, nullptr, nullptr)) return nullptr;
  std::vector<uint8_t> pub(65);
  if (EC_POINT_point2oct(group.get(), q.get(), POINT_CONVERSION_UNCOMPRESSED, pub.data(),
                         pub.size(), nullptr) != pub.size())
    return nullptr;

  OSSL_PARAM_BLD* builder = OSSL_PARAM_BLD_new();
  OSSL_PARAM_BLD_push_utf8_string(builder, OSSL_PKEY_PARAM_GROUP_NAME, "prime256v1", 0);
  OSSL_PARAM_BLD_push_BN(builder, OSSL_PKEY_PARAM_PRIV_KEY, d.get());
  OSSL_PARAM_BLD_push_octet_string(builder, OSSL_PKEY_PARAM_PUB_KEY, pub.data(), pub.size());
  OSSL_PARAM* params = OSSL_PARAM_BLD_to_param(builder);
  EVP_PKEY_CTX* context = EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr);
  EVP_PKEY* key = nullptr;
  if (params && context && EVP_PKEY_fromdata_init(context) == 1)
    EVP_PKEY_fromdata(context, &key, EVP_PKEY_KEYPAIR, params);
  EVP_PKEY_CTX_free(context);
  OSSL_PARAM_free(params);
  OSSL_PARAM_BLD_free(builder);
  return Key(key);
}

std::vector<uint8_t> scalar(EVP_PKEY* key) {
  BIGNUM* d = nullptr;
  if (EVP_PKEY_get_bn_param(key, OSSL_PKEY_PARAM_PRIV_KEY, &d) != 1) return {};
  std::vector<uint8_t> out(32);
  const bool ok = BN_bn2binpad(d, out.data(), static_cast<int>(out.size())) == 32;
  BN_clear_free(d);
  return ok ? out : std::vector<uint8_t>{};
}

std::vector<uint8_t> publicPoint(EVP_PKEY* key) {
  std::vector<uint8_t> out(65);
  size_t length = 0;
  if (EVP_PKEY_get_octet_string_param(key, OSSL_PKEY_PARAM_PUB_KEY, out.data(), out.size(),
                                      &length) != 1 ||
      length != 65 || out[0] != 0x04)
    return {};
  return out;
}

bool isPublicKey(std::span<const uint8_t> x963) {
  if (x963.size() != 65 || x963[0] != 0x04) return false;
  const Group group = curve();
  const Point point(EC_POINT_new(group.get()));
  return EC_POINT_oct2point(group.get(), point.get(), x963.data(), x963.size(), nullptr) == 1;
}

std::vector<uint8_t> sign(EVP_PKEY* key, std::span<const uint8_t> message) {
  EVP_MD_CTX* context = EVP_MD_CTX_new();
  std::vector<uint8_t> signature;
  size_t length = 0;
  if (EVP_DigestSignInit(context, nullptr, EVP_sha256(), nullptr, key) == 1 &&
      EVP_DigestSign(context, nullptr, &length, message.data(), message.size()) == 1) {
    signature.resize(length);
    if (EVP_DigestSign(context, signature.data(), &length, message.data(), message.size()) == 1)
      signature.resize(length);
    else
      signature.clear();
  }
  EVP_MD_CTX_free(context);
  return signature;
}

}  // namespace ferrowin::control::p256
