// Small helpers of the library: identifiers, hashes and encoders, the monotonic tick, URL splitting,
// and the bridge to whatever main loop the program runs (the desktop client installs its toolkit's,
// the command-line client and the tests run TqmtMainLoop).
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

// 32 upper-case hexadecimal digits of a random (version 4) GUID, without braces or hyphens.
std::string NewGuidText();
// HMAC-SHA256 of aText's bytes under aKey's bytes: lower-case hex, or Base64 when aBase64 is set.
std::string HMACSHA256Text(std::string_view aText, std::string_view aKey, bool aBase64 = false);
// Base64 of the text's bytes. Text is UTF-8 throughout, which is also this platform's code page, so
// aUTF8 makes no difference here.
std::string Base64EncodeText(std::string_view aText, bool aUTF8 = true);
std::string Base64EncodeBytes(const void* aData, std::size_t aLength);
// Pairs of hexadecimal digits read as bytes, then Base64 with "=" padding. A trailing odd digit is
// ignored; a pair that is not hexadecimal raises Exception.
std::string HexToBase64(std::string_view aHexText);
// Monotonic milliseconds.
std::uint64_t GetTicks();
// Case-insensitive (ASCII) substring test.
bool ContainsText(std::string_view aText, std::string_view aSubText);
// Folder of the running program, with a trailing "/".
std::string ProgramPath();

struct TqmtURLParts {
  std::string Protocol;  // scheme as written, without "://"
  std::string Host;      // without the brackets of an IPv6 literal
  std::string Port;      // empty when the URL gives none
  std::string Path;      // path including the document part; "/" when the URL has none
  std::string Params;    // query without the "?"
  std::string Username;
  std::string Password;
};
TqmtURLParts ParseURL(std::string_view aURL);

// ---- main-loop bridge -------------------------------------------------------------------------

using TqmtThreadMethod = std::function<void()>;

// What a main loop offers the library: post a call to it, and tell whether the caller is on it.
class TqmtMainThreadDispatcher {
public:
  virtual ~TqmtMainThreadDispatcher() = default;
  virtual void Post(TqmtThreadMethod aMethod) = 0;
  virtual bool IsMainThread() const = 0;
};

// Installs the process-wide dispatcher (nullptr removes it). The caller keeps ownership and must
// remove it before destroying it.
void SetMainThreadDispatcher(TqmtMainThreadDispatcher* aDispatcher);
TqmtMainThreadDispatcher* GetMainThreadDispatcher();

// Posts the call to the main loop and returns at once. Without an installed dispatcher the call runs
// at once on the calling thread, so nothing is lost in a program that has no loop.
void QueueToMainThread(TqmtThreadMethod aMethod);
// Runs the call on the main loop and waits for it; runs it directly when already on the main thread
// or when no dispatcher is installed. An exception of the call is raised again in the caller.
void SynchronizeWithMainThread(const TqmtThreadMethod& aMethod);
// The same, but the wait ends once aStopWaiting is set: the call then stays queued and runs later
// (false is returned). For a thread that a main thread may be waiting for in turn.
bool SynchronizeWithMainThread(const TqmtThreadMethod& aMethod, const std::atomic<bool>& aStopWaiting);

// A plain main loop for programs without a toolkit: the thread that constructs it is the main thread.
class TqmtMainLoop : public TqmtMainThreadDispatcher {
public:
  TqmtMainLoop();
  ~TqmtMainLoop() override;

  void Post(TqmtThreadMethod aMethod) override;
  bool IsMainThread() const override { return std::this_thread::get_id() == FThreadId; }

  // Runs posted calls until Quit. An exception of a call is handed to OnException (or dropped).
  void Run();
  // Runs what is queued now, waiting up to aWaitMs for the first call; returns how many ran.
  int ProcessPending(int aWaitMs = 0);
  void Quit();

  std::function<void(const std::exception&)> OnException;

private:
  bool RunOne(std::unique_lock<std::mutex>& aLock);

  std::thread::id FThreadId;
  std::mutex FMutex;
  std::condition_variable FWake;
  std::deque<TqmtThreadMethod> FQueue;
  bool FQuit = false;
};
