// The signing secrets of the trading programs in the desktop's keyring: the freedesktop Secret
// Service (GNOME Keyring, KWallet and others), reached through QtKeychain. One entry per API key
// and market (service "qmtTrader", entry "<market>:<API key>"); its text is what signs the key's
// requests: an HMAC secret, or the PEM text of an Ed25519 or RSA private key. The desktop client
// and the command-line client share the entries.
//
// Threads. Every call runs on the thread of the process's QCoreApplication, whose event loop
// carries QtKeychain's D-Bus replies. A call waits for its reply processing that thread's events
// but no user input (the window still paints), at most aTimeoutMs, also while the application
// quits; a job that outlives its wait
// finishes and deletes itself later, unseen. Nothing is cached: the keyring is the store.
//
// No call ever puts the secret into a message; Why holds the keyring's own reason.
#pragma once

#include <string>

enum class TqmtSecretOutcome {
  soDone,         // read, written or removed
  soNotFound,     // the keyring has no entry of that name
  soUnavailable,  // no Secret Service on the session bus
  soFailed        // refused, locked, or no answer in time: Why says which
};

struct TqmtSecretResult {
  TqmtSecretOutcome Outcome = TqmtSecretOutcome::soFailed;
  std::string Secret;  // Read only
  std::string Why;
  bool Ok() const { return Outcome == TqmtSecretOutcome::soDone; }
};

class TqmtSecretStore {
public:
  static constexpr int kDefaultTimeoutMs = 30000;  // an unlock prompt waits for its user

  // A Secret Service (or KWallet) answers on the session bus, or the bus starts one on demand.
  static bool Available();
  // "spot", "usdm" or "coinm", with "-testnet" for the test network: keys of one market are not
  // keys of another.
  static std::string MarketName(bool aFutures, int aFuturesContracts, bool aTestNet);
  static std::string EntryName(const std::string& aApiKey, const std::string& aMarket);

  static TqmtSecretResult Read(const std::string& aApiKey, const std::string& aMarket, int aTimeoutMs = kDefaultTimeoutMs);
  static TqmtSecretResult Write(const std::string& aApiKey, const std::string& aMarket, const std::string& aSecret,
                                int aTimeoutMs = kDefaultTimeoutMs);
  static TqmtSecretResult Remove(const std::string& aApiKey, const std::string& aMarket, int aTimeoutMs = kDefaultTimeoutMs);

  static const char* const kService;  // "qmtTrader"
};
