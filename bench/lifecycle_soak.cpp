// Measures the connection lifecycle where it matters to a user, in real time:
//  1. threads and resident memory across 1,000 failed reconnection attempts;
//  2. how long Disconnect takes while the server stalls in the middle of the handshake answer;
//  3. how long a silent (frozen) connection takes to be replaced, with the trader client's own
//     heart-beat and watchdog settings (a ping every 5 s, 8 s without a pong, reconnection 10 s later);
//  4. with the simulated exchange's spot port as second argument: how long a watch list of 10, 40
//     and 200 symbols takes to be subscribed (and ticking) after a connection opens.
// Everything runs against servers on 127.0.0.1 started here. Run by scripts/lifecycle.sh.
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "qmtBase_Helpers.h"
#include "qmtBinance_Addresses.h"
#include "qmtTraderClient.h"
#include "qmtTraderClient_Binance.h"
#include "qmtTraderData.h"
#include "qmtTraderData_Symbols.h"
#include "qmtTraderData_Ticker.h"
#include "qmtWebSocket_Client.h"

namespace {

using Clock = std::chrono::steady_clock;

long StatusValue(const char* aKey) {
  std::ifstream lStatus("/proc/self/status");
  std::string lLine;
  while (std::getline(lStatus, lLine))
    if (lLine.rfind(aKey, 0) == 0) return std::stol(lLine.substr(std::string(aKey).size()));
  return -1;
}

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

// A listening socket on a free port of 127.0.0.1.
int Listen(int& aPort) {
  const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const int lOne = 1;
  setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &lOne, sizeof lOne);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
  ::listen(s, 16);
  socklen_t n = sizeof a;
  getsockname(s, reinterpret_cast<sockaddr*>(&a), &n);
  aPort = ntohs(a.sin_port);
  return s;
}

std::string ReadHead(int s) {
  std::string lHead;
  char c;
  while (lHead.find("\r\n\r\n") == std::string::npos && ::recv(s, &c, 1, 0) == 1) lHead += c;
  return lHead;
}

void SendAll(int s, const std::string& aData) {
  std::size_t lSent = 0;
  while (lSent < aData.size()) {
    const ssize_t r = ::send(s, aData.data() + lSent, aData.size() - lSent, MSG_NOSIGNAL);
    if (r <= 0) return;
    lSent += static_cast<std::size_t>(r);
  }
}

// Accepts the handshake, then answers pings until the connection ends or aFrozen is set (from then
// on nothing is read or written: a frozen server).
void Serve(int s, const std::atomic<bool>& aStop, const std::atomic<bool>* aFrozen) {
  const std::string lHead = ReadHead(s);
  const auto lAt = lHead.find("Sec-WebSocket-Key: ");
  if (lAt == std::string::npos) return;
  const std::string lKey = lHead.substr(lAt + 19, lHead.find("\r\n", lAt) - lAt - 19);
  SendAll(s, "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Accept: " +
                 TqmtWSConnectionClient::AcceptKey(lKey) + "\r\n\r\n");
  std::string lIn;
  char lBuffer[4096];
  while (!aStop) {
    if (aFrozen && *aFrozen) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      continue;
    }
    pollfd p{s, POLLIN, 0};
    if (::poll(&p, 1, 20) <= 0) continue;
    const ssize_t r = ::recv(s, lBuffer, sizeof lBuffer, 0);
    if (r <= 0) return;
    lIn.append(lBuffer, static_cast<std::size_t>(r));
    // Client frames: masked, short (pings and control texts).
    while (lIn.size() >= 6) {
      const std::size_t n = static_cast<std::uint8_t>(lIn[1]) & 0x7F;
      if (n > 125 || lIn.size() < 6 + n) break;
      std::string lPayload = lIn.substr(6, n);
      for (std::size_t i = 0; i < n; ++i) lPayload[i] = static_cast<char>(lPayload[i] ^ lIn[2 + i % 4]);
      const int lOp = lIn[0] & 0x0F;
      lIn.erase(0, 6 + n);
      if (lOp == 0x9) SendAll(s, std::string(1, '\x8A') + static_cast<char>(n) + lPayload);
      if (lOp == 0x8) return;
    }
  }
}

void FailedAttempts() {
  std::printf("== 1,000 failed reconnection attempts (closed port, watchdog every 1 ms) ==\n");
  int lPort;
  const int lClosed = Listen(lPort);
  ::close(lClosed);  // nobody listens there now
  TqmtWSClient c;
  c.SetNotifyEvents(TwsNotifyEvent::neNoSync);
  c.WatchDog.Enabled = true;
  c.WatchDog.Interval = 1;
  c.WatchDog.TimeUnitMs = 1;
  std::atomic<int> lFailures{0};
  c.OnException = [&](TqmtWSConnection*, const std::exception&) { ++lFailures; };
  c.SetURL("ws://127.0.0.1:" + std::to_string(lPort) + "/ws");
  const auto lStart = Clock::now();
  c.Connect(10);
  std::printf("%10s %10s %12s %16s\n", "attempts", "threads", "RSS (kB)", "pending workers");
  for (int lMark = 100; lMark <= 1000; lMark += 100) {
    while (lFailures < lMark) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    std::printf("%10d %10ld %12ld %16zu\n", lFailures.load(), StatusValue("Threads:"), StatusValue("VmRSS:"),
                c.PendingThreads());
  }
  std::printf("1,000 attempts in %.0f ms\n", Ms(Clock::now() - lStart));
  c.Disconnect(1000);
}

void StalledHandshake() {
  std::printf("\n== Disconnect while the server stalls in the handshake answer (time-out 2000 ms) ==\n");
  int lPort;
  const int lListen = Listen(lPort);
  std::atomic<bool> lStop{false};
  std::thread lServer([&] {
    std::vector<int> lOpen;
    while (!lStop) {
      pollfd p{lListen, POLLIN, 0};
      if (::poll(&p, 1, 20) <= 0) continue;
      const int s = ::accept(lListen, nullptr, nullptr);
      ReadHead(s);
      SendAll(s, "HTTP/1.1 101 Switching Protocols\r\nUpgrade: web");  // and nothing more
      lOpen.push_back(s);
    }
    for (int s : lOpen) ::close(s);
  });
  double lWorst = 0, lSum = 0;
  const int lRuns = 20;
  int lDone = 0;
  for (int i = 0; i < lRuns; ++i) {
    TqmtWSClient c;
    c.SetNotifyEvents(TwsNotifyEvent::neNoSync);
    c.SetURL("ws://127.0.0.1:" + std::to_string(lPort) + "/ws");
    c.Connect(0);  // the request is out; the answer stalls
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const auto t0 = Clock::now();
    lDone += c.Disconnect(2000) ? 1 : 0;
    const double lTook = Ms(Clock::now() - t0);
    lWorst = std::max(lWorst, lTook);
    lSum += lTook;
  }
  lStop = true;
  lServer.join();
  ::close(lListen);
  std::printf("%d of %d disconnected; mean %.1f ms, worst %.1f ms\n", lDone, lRuns, lSum / lRuns, lWorst);
}

void SilentConnection() {
  std::printf("\n== A frozen server replaced (the trader client's settings: ping 5 s, time-out 8 s, watchdog 10 s) ==\n");
  int lPort;
  const int lListen = Listen(lPort);
  std::atomic<bool> lStop{false}, lFrozen{false};
  std::vector<std::thread> lSessions;
  std::thread lServer([&] {
    for (int lIndex = 0; !lStop;) {
      pollfd p{lListen, POLLIN, 0};
      if (::poll(&p, 1, 20) <= 0) continue;
      const int s = ::accept(lListen, nullptr, nullptr);
      // The first connection is the one that freezes; later ones are served normally.
      lSessions.emplace_back([&, s, lIndex] {
        Serve(s, lStop, lIndex == 0 ? &lFrozen : nullptr);
        ::close(s);
      });
      ++lIndex;
    }
  });
  TqmtTraderClient lTrader;
  std::atomic<int> lConnects{0};
  std::atomic<long long> lSecondAt{0};
  auto& w = lTrader.GetWSClient();
  w.OnConnect = [&](TqmtWSConnection*) {
    if (++lConnects == 2) lSecondAt = Clock::now().time_since_epoch().count();
  };
  w.SetURL("ws://127.0.0.1:" + std::to_string(lPort) + "/ws");
  if (!w.Connect(5000)) {
    std::printf("no connection\n");
  } else {
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));  // somewhere between two pings
    const auto lFrozenAt = Clock::now();
    lFrozen = true;
    while (lConnects < 2 && Clock::now() - lFrozenAt < std::chrono::seconds(60))
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (lConnects >= 2)
      std::printf("replaced after %.1f s (frozen at %.1f s after the last ping)\n",
                  Ms(Clock::duration(lSecondAt.load()) - lFrozenAt.time_since_epoch()) / 1000.0, 2.5);
    else
      std::printf("not replaced within 60 s\n");
  }
  lTrader.Disconnect();
  lStop = true;
  lServer.join();
  for (auto& t : lSessions) t.join();
  ::close(lListen);
}

// Connects the trader client to the simulated exchange (started by the script) with N symbols in the
// watch list and measures until every one of them has ticked: what a user waits after a
// (re)connection. The exchange sends each symbol's ticker every second, so up to one second of it
// is the exchange's own cadence.
void Resubscribe(const std::string& aSpotPort) {
  std::printf("\n== Watch list subscribed again after a connection (spot, 4 frames/s) ==\n");
  SetBinanceAddress(TqmtBinanceAddress::SpotRest, "http://127.0.0.1:" + aSpotPort);
  SetBinanceAddress(TqmtBinanceAddress::SpotStream, "ws://127.0.0.1:" + aSpotPort);
  SetTraderDataStorage(false);
  for (const int lCount : {10, 40, 200}) {
    FreeTraderData();
    struct Seen : TObject {
      std::mutex Lock;
      std::set<std::string> Symbols;
      void OnTicker(TObject*, const TqmtTraderTicker& t) {
        std::lock_guard g(Lock);
        Symbols.insert(t.Symbol());
      }
      std::size_t Count() {
        std::lock_guard g(Lock);
        return Symbols.size();
      }
    } lSeen;
    TqmtTraderClient_Binance c;
    c.Client().SetClient(&c.GetWSClient());
    c.GetSymbols();
    auto lCursor = GetTraderDataSymbols().CDSSymbols().CloneCursor();
    int n = 0;
    for (lCursor->First(); !lCursor->Eof() && n < lCount; lCursor->Next(), ++n) {
      TqmtTraderTicker lRow;
      lRow.SetSymbol(lCursor->FieldByName("SYMBOL").AsString());
      GetTraderDataTicker().UpdateTicker(lRow);
    }
    c.RegisterOnTicker({&lSeen, &Seen::OnTicker});
    c.GetWSClient().TLSOptions.VerifyCertificate = false;
    const auto t0 = Clock::now();
    if (!c.Initialize("", "", false, 0, false)) {
      std::printf("%4d symbols: no connection\n", lCount);
      continue;
    }
    const auto tConnected = Clock::now();
    while (lSeen.Count() < static_cast<std::size_t>(lCount) && Clock::now() - t0 < std::chrono::seconds(60))
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    std::printf("%4d symbols (%3d streams): all ticking %.2f s after the connection opened\n", lCount, 3 * lCount,
                Ms(Clock::now() - tConnected) / 1000.0);
    c.UnRegisterOnTicker({&lSeen, &Seen::OnTicker});
  }
}

}  // namespace

int main(int argc, char** argv) {
  const std::string lOnly = argc > 1 ? argv[1] : "";
  if (lOnly.empty() || lOnly == "attempts") FailedAttempts();
  if (lOnly.empty() || lOnly == "stall") StalledHandshake();
  if (lOnly.empty() || lOnly == "silent") SilentConnection();
  if ((lOnly.empty() || lOnly == "resubscribe") && argc > 2) Resubscribe(argv[2]);
  return 0;
}
