#include "qmtBase_Helpers.h"

#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <exception>
#include <memory>
#include <random>

#include "qmtSystem.h"

namespace {

const char kHexUpper[] = "0123456789ABCDEF";
const char kHexLower[] = "0123456789abcdef";

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

char AsciiLower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }

std::atomic<TqmtMainThreadDispatcher*> gDispatcher{nullptr};

}  // namespace

std::string NewGuidText() {
  unsigned char lBytes[16];
  if (RAND_bytes(lBytes, sizeof lBytes) != 1) {
    std::random_device lRandom;
    for (auto& b : lBytes) b = static_cast<unsigned char>(lRandom());
  }
  lBytes[6] = static_cast<unsigned char>((lBytes[6] & 0x0F) | 0x40);  // version 4
  lBytes[8] = static_cast<unsigned char>((lBytes[8] & 0x3F) | 0x80);  // RFC 4122 variant
  std::string lText(32, '0');
  for (int i = 0; i < 16; ++i) {
    lText[2 * i] = kHexUpper[lBytes[i] >> 4];
    lText[2 * i + 1] = kHexUpper[lBytes[i] & 0x0F];
  }
  return lText;
}

std::string HMACSHA256Text(std::string_view aText, std::string_view aKey, bool aBase64) {
  unsigned char lDigest[EVP_MAX_MD_SIZE];
  unsigned int lLength = 0;
  // An empty key is legal for HMAC; hand OpenSSL a valid pointer for it.
  static const unsigned char kEmpty = 0;
  const void* lKey = aKey.empty() ? static_cast<const void*>(&kEmpty) : aKey.data();
  if (!HMAC(EVP_sha256(), lKey, static_cast<int>(aKey.size()),
            reinterpret_cast<const unsigned char*>(aText.data()), aText.size(), lDigest, &lLength))
    throw Exception("HMAC-SHA256 failed");
  if (aBase64) return Base64EncodeBytes(lDigest, lLength);
  std::string lText(lLength * 2, '0');
  for (unsigned i = 0; i < lLength; ++i) {
    lText[2 * i] = kHexLower[lDigest[i] >> 4];
    lText[2 * i + 1] = kHexLower[lDigest[i] & 0x0F];
  }
  return lText;
}

std::string Base64EncodeBytes(const void* aData, std::size_t aLength) {
  std::string lText(4 * ((aLength + 2) / 3), '\0');
  const int lWritten = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(lText.data()),
                                       static_cast<const unsigned char*>(aData), static_cast<int>(aLength));
  lText.resize(static_cast<std::size_t>(lWritten));
  return lText;
}

std::string Base64EncodeText(std::string_view aText, bool) { return Base64EncodeBytes(aText.data(), aText.size()); }

std::string HexToBase64(std::string_view aHexText) {
  std::string lBytes;
  lBytes.reserve(aHexText.size() / 2);
  for (std::size_t i = 0; i + 1 < aHexText.size(); i += 2) {
    const int lHigh = HexDigit(aHexText[i]), lLow = HexDigit(aHexText[i + 1]);
    if (lHigh < 0 || lLow < 0) throw Exception("'" + std::string(aHexText.substr(i, 2)) + "' is not a valid hexadecimal byte");
    lBytes.push_back(static_cast<char>(lHigh * 16 + lLow));
  }
  return Base64EncodeBytes(lBytes.data(), lBytes.size());
}

std::uint64_t GetTicks() {
  return static_cast<std::uint64_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch()).count());
}

bool ContainsText(std::string_view aText, std::string_view aSubText) {
  if (aSubText.empty()) return true;
  if (aSubText.size() > aText.size()) return false;
  for (std::size_t i = 0; i + aSubText.size() <= aText.size(); ++i) {
    std::size_t j = 0;
    while (j < aSubText.size() && AsciiLower(aText[i + j]) == AsciiLower(aSubText[j])) ++j;
    if (j == aSubText.size()) return true;
  }
  return false;
}

std::string ProgramPath() {
  char lBuffer[4096];
  const ssize_t lLength = readlink("/proc/self/exe", lBuffer, sizeof lBuffer - 1);
  if (lLength <= 0) return "./";
  std::string lPath(lBuffer, static_cast<std::size_t>(lLength));
  const auto lSlash = lPath.rfind('/');
  return lSlash == std::string::npos ? std::string("./") : lPath.substr(0, lSlash + 1);
}

TqmtURLParts ParseURL(std::string_view aURL) {
  TqmtURLParts lParts;
  std::string_view lRest = aURL;
  if (const auto lScheme = lRest.find("://"); lScheme != std::string_view::npos) {
    lParts.Protocol = lRest.substr(0, lScheme);
    lRest.remove_prefix(lScheme + 3);
  }
  // Authority runs up to the first "/", "?" or "#".
  const auto lAuthEnd = lRest.find_first_of("/?#");
  std::string_view lAuthority = lRest.substr(0, lAuthEnd);
  lRest = lAuthEnd == std::string_view::npos ? std::string_view() : lRest.substr(lAuthEnd);
  if (const auto lAt = lAuthority.rfind('@'); lAt != std::string_view::npos) {
    const std::string_view lUser = lAuthority.substr(0, lAt);
    const auto lColon = lUser.find(':');
    lParts.Username = lUser.substr(0, lColon);
    if (lColon != std::string_view::npos) lParts.Password = lUser.substr(lColon + 1);
    lAuthority.remove_prefix(lAt + 1);
  }
  if (!lAuthority.empty() && lAuthority.front() == '[') {
    const auto lClose = lAuthority.find(']');
    lParts.Host = lAuthority.substr(1, lClose == std::string_view::npos ? std::string_view::npos : lClose - 1);
    if (lClose != std::string_view::npos && lClose + 1 < lAuthority.size() && lAuthority[lClose + 1] == ':')
      lParts.Port = lAuthority.substr(lClose + 2);
  } else {
    const auto lColon = lAuthority.rfind(':');
    lParts.Host = lAuthority.substr(0, lColon);
    if (lColon != std::string_view::npos) lParts.Port = lAuthority.substr(lColon + 1);
  }
  if (const auto lHash = lRest.find('#'); lHash != std::string_view::npos) lRest = lRest.substr(0, lHash);
  const auto lQuery = lRest.find('?');
  lParts.Path = lRest.substr(0, lQuery);
  if (lQuery != std::string_view::npos) lParts.Params = lRest.substr(lQuery + 1);
  if (lParts.Path.empty()) lParts.Path.assign(1, '/');  // assign(): avoids a false -Wrestrict of g++ 12
  return lParts;
}

// ---- main-loop bridge -------------------------------------------------------------------------

void SetMainThreadDispatcher(TqmtMainThreadDispatcher* aDispatcher) { gDispatcher.store(aDispatcher); }
TqmtMainThreadDispatcher* GetMainThreadDispatcher() { return gDispatcher.load(); }

void QueueToMainThread(TqmtThreadMethod aMethod) {
  if (auto* lDispatcher = gDispatcher.load()) {
    lDispatcher->Post(std::move(aMethod));
  } else {
    aMethod();
  }
}

void SynchronizeWithMainThread(const TqmtThreadMethod& aMethod) {
  auto* lDispatcher = gDispatcher.load();
  if (!lDispatcher || lDispatcher->IsMainThread()) {
    aMethod();
    return;
  }
  // The main loop stores the exception in this thread's slot and lets go of it before it signals,
  // so the exception is released on this thread alone.
  std::mutex lLock;
  std::condition_variable lWake;
  bool lDone = false;
  std::exception_ptr lError;
  lDispatcher->Post([&] {
    try {
      aMethod();
    } catch (...) {
      lError = std::current_exception();
    }
    std::lock_guard g(lLock);
    lDone = true;
    lWake.notify_all();
  });
  std::unique_lock g(lLock);
  lWake.wait(g, [&] { return lDone; });
  if (lError) std::rethrow_exception(lError);
}

bool SynchronizeWithMainThread(const TqmtThreadMethod& aMethod, const std::atomic<bool>& aStopWaiting) {
  auto* lDispatcher = gDispatcher.load();
  if (!lDispatcher || lDispatcher->IsMainThread()) {
    aMethod();
    return true;
  }
  // The call may outlive this wait, so everything it touches is its own.
  struct State {
    std::mutex FLock;
    std::condition_variable FWake;
    bool FDone = false;
    std::exception_ptr FError;
  };
  auto lState = std::make_shared<State>();
  lDispatcher->Post([lState, lMethod = aMethod] {
    std::exception_ptr lError;
    try {
      lMethod();
    } catch (...) {
      lError = std::current_exception();
    }
    std::lock_guard g(lState->FLock);
    lState->FError = lError;
    lState->FDone = true;
    lState->FWake.notify_all();
  });
  std::unique_lock g(lState->FLock);
  while (!lState->FDone) {
    if (aStopWaiting.load()) return false;
    lState->FWake.wait_for(g, std::chrono::milliseconds(5));
  }
  std::exception_ptr lError;
  lError.swap(lState->FError);
  g.unlock();
  if (lError) std::rethrow_exception(lError);
  return true;
}

TqmtMainLoop::TqmtMainLoop() : FThreadId(std::this_thread::get_id()) {}

TqmtMainLoop::~TqmtMainLoop() {
  if (gDispatcher.load() == this) gDispatcher.store(nullptr);
}

void TqmtMainLoop::Post(TqmtThreadMethod aMethod) {
  {
    std::lock_guard lLock(FMutex);
    FQueue.push_back(std::move(aMethod));
  }
  FWake.notify_one();
}

bool TqmtMainLoop::RunOne(std::unique_lock<std::mutex>& aLock) {
  if (FQueue.empty()) return false;
  TqmtThreadMethod lMethod = std::move(FQueue.front());
  FQueue.pop_front();
  aLock.unlock();
  try {
    lMethod();
  } catch (const std::exception& e) {
    if (OnException)
      OnException(e);
    else
      std::fprintf(stderr, "qmtWebSocket: a queued call failed: %s\n", e.what());
  } catch (...) {
    std::fprintf(stderr, "qmtWebSocket: a queued call failed with an unknown exception\n");
  }
  aLock.lock();
  return true;
}

void TqmtMainLoop::Run() {
  std::unique_lock lLock(FMutex);
  while (!FQuit) {
    if (!RunOne(lLock)) FWake.wait(lLock, [this] { return FQuit || !FQueue.empty(); });
  }
  FQuit = false;  // the loop can be run again
}

int TqmtMainLoop::ProcessPending(int aWaitMs) {
  std::unique_lock lLock(FMutex);
  if (FQueue.empty() && aWaitMs > 0)
    FWake.wait_for(lLock, std::chrono::milliseconds(aWaitMs), [this] { return !FQueue.empty(); });
  // Only what is queued now: calls posted by these calls wait for the next round.
  std::size_t lPending = FQueue.size();
  int lRan = 0;
  while (lPending-- > 0 && RunOne(lLock)) ++lRan;
  return lRan;
}

void TqmtMainLoop::Quit() {
  {
    std::lock_guard lLock(FMutex);
    FQuit = true;
  }
  FWake.notify_all();
}
