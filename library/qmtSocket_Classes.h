// Option groups of the transport (TLS, OpenSSL, proxy, keep-alive, throttle, log file, watchdog) and
// the bases of components and connections with their locks, connection id and counters.
// Option groups are plain values owned by their component and copied field by field with Assign.
#pragma once

#include <array>
#include <atomic>
#include <exception>
#include <mutex>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "qmtSystem.h"
#include "qmtWebSocket_Classes_SyncObjs.h"

enum class TwsTLSVersions : std::uint8_t { tlsUndefined, tls1_0, tls1_1, tls1_2, tls1_3 };
enum class TwsTLSIOHandler : std::uint8_t { iohOpenSSL, iohSChannel };
enum class TwsOpenSSLAPI : std::uint8_t { oslAPI_1_0, oslAPI_1_1, oslAPI_3_0 };
enum class TwsOpenSSLLibPath : std::uint8_t { oslpNone, oslpDefaultFolder, oslpCustomPath };
enum class TwsOpenSSLSymLinks : std::uint8_t { oslsSymLinksDefault, oslsSymLinksLoadFirst, oslsSymLinksLoad, oslsSymLinksDontLoad };
enum class TqmtSChannelCertStoreName : std::uint8_t { scsnMY, scsnRoot, scsnTrust, scsnCA };
enum class TqmtSChannelCertStorePath : std::uint8_t { scspStoreCurrentUser, scspStoreLocalMachine };
enum class TwsProxy : std::uint8_t { pxyHTTP, pxySocks4, pxySocks4A, pxySocks5 };
enum class TwsNotifyEvent : std::uint8_t { neNoSync, neAsynchronous, neSynchronous };
enum class TwsIPVersion : std::uint8_t { ipV4, ipV6 };
enum class TwsTransport : std::uint8_t {
  trpUndefined, trpRFC6455, trpHixie76, trpFlash, trpSSE, trpTCP, trpHTTP, trpRFC8441, trpHTTP2, trpUDP, trpQUIC
};
enum class TtcpEOFScanBuffer : std::uint8_t { eofScanNone, eofScanLatestBytes, eofScanAllBytes };

// Kept as options; on this platform the system's OpenSSL 3 is linked, so they select nothing.
struct TqmtSocketOpenSSL_Options {
  TwsOpenSSLAPI APIVersion = TwsOpenSSLAPI::oslAPI_1_0;
  TwsOpenSSLLibPath LibPath = TwsOpenSSLLibPath::oslpNone;
  std::string LibPathCustom;
  TwsOpenSSLSymLinks UnixSymLinks = TwsOpenSSLSymLinks::oslsSymLinksDefault;
  void Assign(const TqmtSocketOpenSSL_Options& aSource) { *this = aSource; }
};

// Windows native TLS; kept for completeness, never selected here.
struct TqmtSocketSChannel_Options {
  std::string CertHash;
  TqmtSChannelCertStoreName CertStoreName = TqmtSChannelCertStoreName::scsnMY;
  TqmtSChannelCertStorePath CertStorePath = TqmtSChannelCertStorePath::scspStoreCurrentUser;
  std::string CipherList;
  void Assign(const TqmtSocketSChannel_Options& aSource) { *this = aSource; }
};

struct TqmtSocketTLS_Options_Base {
  std::string CertFile;
  std::string KeyFile;
  std::string Password;
  std::string RootCertFile;  // empty: the system's certificate store is trusted
  bool VerifyCertificate = false;
  int VerifyDepth = 0;  // applied when >= 0
  TwsTLSVersions Version = TwsTLSVersions::tlsUndefined;
};

struct TqmtSocketTLS_Options : TqmtSocketTLS_Options_Base {
  std::vector<std::string> ALPNProtocols;
  TwsTLSIOHandler IOHandler = TwsTLSIOHandler::iohOpenSSL;
  TqmtSocketOpenSSL_Options OpenSSL_Options;
  TqmtSocketSChannel_Options SChannel_Options;
  void Assign(const TqmtSocketTLS_Options& aSource) { *this = aSource; }
};

struct TqmtSocketProxy_Options {
  bool Enabled = false;
  std::string Host;
  int Port = 0;
  std::string Username;
  std::string Password;
  TwsProxy ProxyType = TwsProxy::pxyHTTP;
  void Assign(const TqmtSocketProxy_Options& aSource) { *this = aSource; }
};

struct TqmtSocketKeepAlive {
  bool Enabled = false;
  int Interval = 0;  // ms between probes
  int Time = 0;      // ms of idleness before the first probe
  void Assign(const TqmtSocketKeepAlive& aSource) { *this = aSource; }
};

struct TqmtSocketThrottle {
  int BitsPerSec = 0;
  bool Enabled = false;
  void Assign(const TqmtSocketThrottle& aSource) { *this = aSource; }
};

struct TqmtSocketLogFile {
  bool Enabled = false;
  std::string FileName;
  void Assign(const TqmtSocketLogFile& aSource) { *this = aSource; }
};

struct TqmtTCPWatchDog_Options {
  bool Enabled = false;
  int Interval = 60;  // seconds
  int Attempts = 0;   // 0: unlimited
  void Assign(const TqmtTCPWatchDog_Options& aSource) { *this = aSource; }
};

// The TCP-named groups are the same groups.
using TqmtTCPKeepAlive = TqmtSocketKeepAlive;
using TqmtTCPThrottle = TqmtSocketThrottle;
using TqmtTCPLogFile = TqmtSocketLogFile;
using TqmtTCPOpenSSL_Options = TqmtSocketOpenSSL_Options;
using TqmtTCPTLS_Options_Base = TqmtSocketTLS_Options_Base;
using TqmtTCPTLS_Options = TqmtSocketTLS_Options;
using TqmtTCPProxy_Options = TqmtSocketProxy_Options;
using TqmtOpenSSLClient_Options = TqmtSocketOpenSSL_Options;
using TqmtSChannelClient_Options = TqmtSocketSChannel_Options;

// ---- component and connection bases --------------------------------------------------------------

class TqmtComponent_Base : public TObject {
public:
  static const char* Version() { return "2022.2.0"; }
  bool IsDesigning() const { return false; }
  bool IsDestroying() const { return FDestroying.load(); }
  bool IsLoading() const { return false; }

protected:
  // Set by a subclass's destructor first, so callbacks arriving meanwhile can tell.
  std::atomic<bool> FDestroying{false};
};

// A main lock and six numbered locks, created and freed with the owner.
class TqmtLockSet {
public:
  void Enter() { FCS.Acquire(); }
  void Leave() { FCS.Release(); }
  void Enter(int aIndex) { FCSArray.at(static_cast<std::size_t>(aIndex)).Acquire(); }
  void Leave(int aIndex) { FCSArray.at(static_cast<std::size_t>(aIndex)).Release(); }
  bool Exists(int aIndex) const { return aIndex >= 0 && aIndex < 6; }
  TqmtCriticalSection& Main() { return FCS; }

private:
  TqmtCriticalSection FCS;
  std::array<TqmtCriticalSection, 6> FCSArray;
};

class TqmtSocketComponent_Base : public TqmtComponent_Base {
public:
  TqmtLockSet& Locks() { return FLocks; }
  TwsNotifyEvent NotifyEvents() const { return FNotifyEvents; }
  void SetNotifyEvents(TwsNotifyEvent aValue) { FNotifyEvents = aValue; }

protected:
  TqmtLockSet FLocks;
  TwsNotifyEvent FNotifyEvents = TwsNotifyEvent::neAsynchronous;
};
using TqmtTCPComponent_Base = TqmtSocketComponent_Base;

class TqmtSocketConnection_Base : public TObject {
public:
  TqmtLockSet& Locks() { return FLocks; }
  // The connection id: 32 upper-case hexadecimal digits, made on first read.
  const std::string& Guid();
  std::uint64_t RecBytes() const { return FRecBytes.load(); }
  std::uint64_t SendBytes() const { return FSendBytes.load(); }
  void AddRecBytes(std::uint64_t n) { FRecBytes += n; }
  void AddSendBytes(std::uint64_t n) { FSendBytes += n; }

  bool FIsInternal = false;
  std::string FIP, FLocalIP;
  int FLocalPort = 0, FPort = 0;
  TwsIPVersion FIPVersion = TwsIPVersion::ipV4;
  TwsTransport FTransport = TwsTransport::trpUndefined;
  std::atomic<bool> FDisconnected{false};
  std::exception_ptr FRawException;
  TObject* FData = nullptr;  // the user's, not owned
  std::atomic<bool> FFreed{false};

protected:
  TqmtLockSet FLocks;

private:
  std::once_flag FGuidOnce;
  std::string FGuid;
  std::atomic<std::uint64_t> FRecBytes{0}, FSendBytes{0};
};
using TqmtSocketConnection = TqmtSocketConnection_Base;

class TqmtTCPConnection_Base : public TqmtSocketConnection {
public:
  void AddTCPEndOfFrame(std::uint8_t aByte) { FTCPEndOfFrame.push_back(aByte); }
  void ClearTCPEndOfFrame() { FTCPEndOfFrame.clear(); }

  std::string FMsgReceived;
  std::string FMsgBinaryReceived;
  std::string FMsgException;
  std::atomic<bool> FMustDisconnect{false};
  TtcpEOFScanBuffer FTCPEndOfFrameScanBuffer = TtcpEOFScanBuffer::eofScanNone;
  std::vector<std::uint8_t> FTCPEndOfFrame;
};
using TqmtTCPConnection = TqmtTCPConnection_Base;
