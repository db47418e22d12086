#include "qmtBinance_Signing.h"

#include <openssl/evp.h>
#include <openssl/pem.h>

#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "qmtBase_Helpers.h"
#include "qmtSystem.h"

namespace {

struct TKeyFree {
  void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};
using TKey = std::shared_ptr<EVP_PKEY>;

// Parsed keys by their text: parsing an RSA key costs more than signing with it.
TKey KeyOf(const std::string& aPem) {
  static std::mutex sLock;
  static std::map<std::string, TKey> sKeys;
  std::lock_guard g(sLock);
  if (auto it = sKeys.find(aPem); it != sKeys.end()) return it->second;
  std::unique_ptr<BIO, decltype(&BIO_free)> lBio(BIO_new_mem_buf(aPem.data(), static_cast<int>(aPem.size())), &BIO_free);
  EVP_PKEY* lRaw = lBio ? PEM_read_bio_PrivateKey(lBio.get(), nullptr, nullptr, nullptr) : nullptr;
  if (!lRaw) throw Exception("the API key's private key cannot be read (a PEM PKCS#8 private key, Ed25519 or RSA, is expected)");
  TKey lKey(lRaw, TKeyFree());
  const int lType = EVP_PKEY_base_id(lRaw);
  if (lType != EVP_PKEY_ED25519 && lType != EVP_PKEY_RSA)
    throw Exception("the API key's private key is neither Ed25519 nor RSA");
  sKeys.emplace(aPem, lKey);
  return lKey;
}

}  // namespace

bool BinanceSecretIsKey(std::string_view aSecret) { return aSecret.find("-----BEGIN") != std::string_view::npos; }

TqmtBinanceKeyScheme BinanceKeyScheme(const std::string& aSecret) {
  if (!BinanceSecretIsKey(aSecret)) return TqmtBinanceKeyScheme::bksHMAC;
  return EVP_PKEY_base_id(KeyOf(aSecret).get()) == EVP_PKEY_ED25519 ? TqmtBinanceKeyScheme::bksEd25519
                                                                     : TqmtBinanceKeyScheme::bksRSA;
}

std::string BinanceSignature(std::string_view aPayload, const std::string& aSecret) {
  if (!BinanceSecretIsKey(aSecret)) return HMACSHA256Text(aPayload, aSecret);
  const TKey lKey = KeyOf(aSecret);
  const bool lEd25519 = EVP_PKEY_base_id(lKey.get()) == EVP_PKEY_ED25519;
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> lContext(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
  // Ed25519 hashes inside the scheme (no digest is named); RSA signs the SHA-256 digest.
  if (!lContext || EVP_DigestSignInit(lContext.get(), nullptr, lEd25519 ? nullptr : EVP_sha256(), nullptr, lKey.get()) != 1)
    throw Exception("cannot sign with the API key's private key");
  const auto* lData = reinterpret_cast<const unsigned char*>(aPayload.data());
  std::size_t lLength = 0;
  if (EVP_DigestSign(lContext.get(), nullptr, &lLength, lData, aPayload.size()) != 1)
    throw Exception("cannot sign with the API key's private key");
  std::vector<unsigned char> lSignature(lLength);
  if (EVP_DigestSign(lContext.get(), lSignature.data(), &lLength, lData, aPayload.size()) != 1)
    throw Exception("cannot sign with the API key's private key");
  return Base64EncodeBytes(lSignature.data(), lLength);
}

std::string BinanceURLSignature(std::string_view aPayload, const std::string& aSecret) {
  const std::string lSignature = BinanceSignature(aPayload, aSecret);
  if (!BinanceSecretIsKey(aSecret)) return lSignature;
  std::string lEscaped;
  for (char c : lSignature) {
    if (c == '+')
      lEscaped += "%2B";
    else if (c == '/')
      lEscaped += "%2F";
    else if (c == '=')
      lEscaped += "%3D";
    else
      lEscaped += c;
  }
  return lEscaped;
}
