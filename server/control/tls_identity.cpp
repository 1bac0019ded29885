#include "server/control/tls_identity.h"

#include <openssl/ssl.h>
#include <openssl/x509.h>

#include "common/util/files.h"
#include "common/util/random.h"
#include "server/control/der_writer.h"
#include "server/control/p256.h"

namespace ferrowin::control {

namespace {

struct CertificateDeleter {
  void operator()(X509* certificate) const { X509_free(certificate); }
};
using Certificate = std::unique_ptr<X509, CertificateDeleter>;

TLSIdentityError identityError(std::string text) { return TLSIdentityError{std::move(text)}; }

Certificate parseCertificate(const std::vector<uint8_t>& der) {
  const unsigned char* cursor = der.data();
  Certificate certificate(d2i_X509(nullptr, &cursor, static_cast<long>(der.size())));
  if (certificate && cursor != der.data() + der.size()) return nullptr;  // trailing bytes
  return certificate;
}

// The stored pair is usable only when the certificate parses and carries the key's public half;
// a pair that does not belong together could never complete a handshake.
bool belongTogether(const std::vector<uint8_t>& keyBytes, const std::vector<uint8_t>& der) {
  const p256::Key key = p256::privateKeyFromScalar(keyBytes);
  const Certificate certificate = parseCertificate(der);
  if (!key || !certificate) return false;
  EVP_PKEY* certificateKey = X509_get0_pubkey(certificate.get());
  return certificateKey && EVP_PKEY_eq(certificateKey, key.get()) == 1;
}

der::Bytes name() {
  return der::sequence({der::constructed(
      der::tag::set,
      {der::sequence({der::objectIdentifier({2, 5, 4, 3}), der::utf8String("Ferrowin")})})});
}

}  // namespace

std::string TLSIdentityError::description() const {
  return errorDescription.value_or(kIdentityFailed);
}

Expected<std::vector<uint8_t>, TLSIdentityError> makeSelfSignedCertificate(
    const std::vector<uint8_t>& privateKey) {
  const p256::Key key = p256::privateKeyFromScalar(privateKey);
  if (!key) return make_unexpected(identityError(TLSIdentityError::kKeyImportFailed));
  const auto ecdsaWithSha256 = der::sequence({der::objectIdentifier({1, 2, 840, 10045, 4, 3, 2})});
  const auto serial = common::secureRandomBytes(8);
  const auto tbs = der::sequence({
      der::constructed(der::tag::context0, {der::smallInteger(2)}),
      der::positiveInteger(serial),
      ecdsaWithSha256,
      name(),
      der::sequence(
          {der::generalizedTime("20250101000000Z"), der::generalizedTime("20400101000000Z")}),
      name(),
      der::sequence({der::sequence({der::objectIdentifier({1, 2, 840, 10045, 2, 1}),
                                    der::objectIdentifier({1, 2, 840, 10045, 3, 1, 7})}),
                     der::bitString(p256::publicPoint(key.get()))}),
  });
  const auto signature = p256::sign(key.get(), tbs);
  if (signature.empty()) return make_unexpected(identityError(TLSIdentityError::kIdentityFailed));
  return der::sequence({tbs, ecdsaWithSha256, der::bitString(signature)});
}

Expected<TLSIdentity, TLSIdentityError> loadOrCreateIdentity(
    const std::filesystem::path& directory) {
  std::error_code ec;
  std::filesystem::create_directories(directory, ec);
  if (ec)
    return make_unexpected(
        identityError("cannot create " + directory.string() + ": " + ec.message()));

  const auto keyPath = directory / "key";
  const auto certificatePath = directory / "cert.der";
  auto keyText = common::readFile(keyPath);
  auto certificateText = common::readFile(certificatePath);
  if (keyText && certificateText) {
    TLSIdentity stored{{keyText->begin(), keyText->end()},
                       {certificateText->begin(), certificateText->end()}};
    if (belongTogether(stored.privateKey, stored.certificate)) return stored;
  }

  const p256::Key key = p256::generateCompactKey();
  if (!key) return make_unexpected(identityError(TLSIdentityError::kIdentityFailed));
  TLSIdentity created{p256::scalar(key.get()), {}};
  auto certificate = makeSelfSignedCertificate(created.privateKey);
  if (!certificate) return make_unexpected(certificate.error());
  created.certificate = std::move(*certificate);

  const auto asText = [](const std::vector<uint8_t>& bytes) {
    return std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  };
  if (auto written = common::writeFileAtomically(keyPath, asText(created.privateKey), 0600);
      !written)
    return make_unexpected(identityError(written.error().description()));
  if (auto written = common::writeFileAtomically(certificatePath, asText(created.certificate));
      !written)
    return make_unexpected(identityError(written.error().description()));
  return created;
}

Expected<std::shared_ptr<asio::ssl::context>, TLSIdentityError> makeServerContext(
    const TLSIdentity& identity) {
  const Certificate certificate = parseCertificate(identity.certificate);
  if (!certificate) return make_unexpected(identityError(TLSIdentityError::kCertificateInvalid));
  const p256::Key key = p256::privateKeyFromScalar(identity.privateKey);
  if (!key) return make_unexpected(identityError(TLSIdentityError::kKeyImportFailed));

  auto context = std::make_shared<asio::ssl::context>(asio::ssl::context::tls_server);
  SSL_CTX* native = context->native_handle();
  if (SSL_CTX_use_certificate(native, certificate.get()) != 1 ||
      SSL_CTX_use_PrivateKey(native, key.get()) != 1 || SSL_CTX_check_private_key(native) != 1)
    return make_unexpected(identityError(TLSIdentityError::kIdentityFailed));
  SSL_CTX_set_verify(native, SSL_VERIFY_NONE, nullptr);
  return context;
}

}  // namespace ferrowin::control
