// Private keys made for a test (never stored in the tree): Ed25519 from a given seed (the RFC 8032
// vectors) or fresh, RSA fresh; each as PEM (PKCS#8), with the public half's PEM for the exchange.
#pragma once

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>

#include <memory>
#include <string>
#include <vector>

namespace qmt_test {

inline std::string PemOf(EVP_PKEY* aKey, bool aPublic) {
  std::unique_ptr<BIO, decltype(&BIO_free)> b(BIO_new(BIO_s_mem()), &BIO_free);
  if (aPublic)
    PEM_write_bio_PUBKEY(b.get(), aKey);
  else
    PEM_write_bio_PrivateKey(b.get(), aKey, nullptr, nullptr, 0, nullptr, nullptr);
  char* lData = nullptr;
  const long n = BIO_get_mem_data(b.get(), &lData);
  return std::string(lData, static_cast<std::size_t>(n));
}

inline std::vector<unsigned char> FromHex(const std::string& aHex) {
  std::vector<unsigned char> lBytes;
  for (std::size_t i = 0; i + 1 < aHex.size(); i += 2) lBytes.push_back(static_cast<unsigned char>(std::stoi(aHex.substr(i, 2), nullptr, 16)));
  return lBytes;
}

struct TestKey {
  std::string Private, Public;  // PEM texts
};

// Ed25519 from a 32-byte seed in hex.
inline TestKey Ed25519Key(const std::string& aSeedHex) {
  const auto lSeed = FromHex(aSeedHex);
  EVP_PKEY* k = EVP_PKEY_new_raw_private_key(EVP_PKEY_ED25519, nullptr, lSeed.data(), lSeed.size());
  TestKey t{PemOf(k, false), PemOf(k, true)};
  EVP_PKEY_free(k);
  return t;
}

// A fresh key: EVP_PKEY_ED25519 or EVP_PKEY_RSA (2048 bits).
inline TestKey FreshKey(int aType) {
  EVP_PKEY_CTX* c = EVP_PKEY_CTX_new_id(aType, nullptr);
  EVP_PKEY* k = nullptr;
  EVP_PKEY_keygen_init(c);
  if (aType == EVP_PKEY_RSA) EVP_PKEY_CTX_set_rsa_keygen_bits(c, 2048);
  EVP_PKEY_keygen(c, &k);
  EVP_PKEY_CTX_free(c);
  TestKey t{PemOf(k, false), PemOf(k, true)};
  EVP_PKEY_free(k);
  return t;
}

}  // namespace qmt_test
