// The WebSocket client's lifecycle when the network misbehaves: a fault at every blocking step, a
// peer that stalls in the handshake, a protocol failure, a clean close, activations from several
// threads at once, and the threads of many failed attempts.
#include <gtest/gtest.h>

#include <condition_variable>
#include <fstream>
#include <functional>
#include <mutex>

#include "qmtBase_Helpers.h"
#include "qmtTCP_Client.h"
#include "qmtWebSocket_Client.h"
#include "ws_peer.h"

using namespace qmt_test;

namespace {

struct Events {
  std::mutex Lock;
  std::condition_variable Wake;
  std::vector<std::string> Log;

  void Add(const std::string& aEntry) {
    std::lock_guard g(Lock);
    Log.push_back(aEntry);
    Wake.notify_all();
  }
  bool WaitFor(const std::string& aPrefix, int aMs = 5000) {
    std::unique_lock g(Lock);
    return Wake.wait_for(g, std::chrono::milliseconds(aMs), [&] {
      for (const auto& e : Log)
        if (e.rfind(aPrefix, 0) == 0) return true;
      return false;
    });
  }
  std::vector<std::string> Snapshot() {
    std::lock_guard g(Lock);
    return Log;
  }
  void Attach(TqmtWSClient& c) {
    c.OnConnect = [this](TqmtWSConnection*) { Add("connect"); };
    c.OnDisconnect = [this](TqmtWSConnection*, int aCode) { Add("disconnect " + std::to_string(aCode)); };
    c.OnMessage = [this](TqmtWSConnection*, std::string_view t) { Add("message " + std::string(t)); };
    c.OnException = [this](TqmtWSConnection*, const std::exception& e) { Add(std::string("exception ") + e.what()); };
  }
};

// Waits until aDone holds, up to aMs.
template <typename F>
bool WaitUntil(F aDone, int aMs = 5000) {
  const auto lEnd = std::chrono::steady_clock::now() + std::chrono::milliseconds(aMs);
  while (std::chrono::steady_clock::now() < lEnd) {
    if (aDone()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return aDone();
}

int ProcessThreads() {
  std::ifstream lStatus("/proc/self/status");
  std::string lLine;
  while (std::getline(lStatus, lLine))
    if (lLine.rfind("Threads:", 0) == 0) return std::stoi(lLine.substr(8));
  return -1;
}

const char* const kOperationNames[] = {"connect", "TLS handshake", "write", "read"};

}  // namespace

TEST(WSLifecycle, AFaultAtEachStepEndsDisconnectedWithTheWatchdogArmed) {
  // The peer answers the handshake, then echoes: the client's steps are connect, handshake write,
  // handshake read, frame write, frame read. Failing the Nth of them, for every N, must leave the
  // component idle with its watchdog armed, whatever the step.
  ScriptedServer lServer([](int s, int) { WsServe(s, true, nullptr, 3000); });
  for (int n = 0;; ++n) {
    SCOPED_TRACE("fault at operation " + std::to_string(n));
    Events lEvents;
    std::atomic<int> lCount{0};
    std::atomic<int> lFailed{-1};
    {
      TqmtWSClient c;
      c.SetNotifyEvents(TwsNotifyEvent::neNoSync);
      c.WatchDog.Enabled = true;
      c.WatchDog.Interval = 1000;  // armed, but it does not fire during the test
      lEvents.Attach(c);
      c.SetURL("ws://127.0.0.1:" + std::to_string(lServer.Port()) + "/x");
      c.TCPClient().OnOperation = [&](TqmtTCPOperation aOperation) {
        if (lCount++ == n) {
          lFailed = static_cast<int>(aOperation);
          throw EIdSocketError(ECONNRESET);
        }
      };
      const bool lConnected = c.Connect(3000);
      if (lConnected) c.WriteData("hello");
      if (lFailed < 0 && lConnected && lEvents.WaitFor("message hello", 3000)) {
        // Every step ran without a fault: the loop has covered them all.
        EXPECT_GE(n, 5);
        EXPECT_TRUE(c.Disconnect(2000));
        break;
      }
      ASSERT_GE(lFailed.load(), 0) << "the connection neither worked nor failed";
      SCOPED_TRACE(std::string("the failing step: ") + kOperationNames[lFailed]);
      EXPECT_TRUE(WaitUntil([&] { return !c.Active() && c.WatchDogArmed(); })) << "idle, with the watchdog armed";
      EXPECT_FALSE(c.Connected());
      const auto lLog = lEvents.Snapshot();
      EXPECT_TRUE(std::any_of(lLog.begin(), lLog.end(), [](const std::string& e) { return e.rfind("exception", 0) == 0; }) ||
                  lFailed == static_cast<int>(TqmtTCPOperation::opWrite))
          << "a failure is reported";
      // Destruction ends every thread of the attempt (AddressSanitizer checks for leaks).
    }
    ASSERT_LT(n, 20) << "the loop should have reached a fault-free run";
  }
}

TEST(WSLifecycle, DisconnectDuringAStalledHandshakeReturnsWithinItsTimeout) {
  // Part of the answer, then nothing: the reading thread waits inside the handshake.
  std::atomic<bool> lStop{false};
  ScriptedServer lServer([&](int s, int) {
    RecvHead(s);
    SendAll(s, "HTTP/1.1 101 Switching Protocols\r\nUpgrade: web");
    while (!lStop) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  });
  for (const TwsNotifyEvent lMode : {TwsNotifyEvent::neNoSync, TwsNotifyEvent::neSynchronous}) {
    SCOPED_TRACE(static_cast<int>(lMode));
    // In the synchronous mode the test thread is the main thread, and it does not run its loop
    // while it disconnects: a reader waiting for it must let go.
    TqmtMainLoop lLoop;
    SetMainThreadDispatcher(&lLoop);
    {
      TqmtWSClient c;
      c.SetNotifyEvents(lMode);
      Events lEvents;
      lEvents.Attach(c);
      c.SetURL("ws://127.0.0.1:" + std::to_string(lServer.Port()) + "/x");
      EXPECT_FALSE(c.Connect(300));
      EXPECT_TRUE(c.Active()) << "still handshaking";
      EXPECT_TRUE(c.Disconnect(2000));
      EXPECT_FALSE(c.Active());
    }
    lLoop.ProcessPending(0);
    SetMainThreadDispatcher(nullptr);
  }
  lStop = true;
}

TEST(WSLifecycle, TheHandshakeAnswerIsBoundedInTimeAndSize) {
  const struct {
    std::function<void(int)> answer;
    const char* reported;
  } lCases[] = {
      {[](int s) { SendAll(s, "HTTP/1.1 101 Switching Protocols\r\n"); },  // and then nothing
       "exception Handshake Error: no complete answer within 300 ms"},
      {[](int s) { SendAll(s, "HTTP/1.1 101 Switching Protocols\r\nX-Filler: " + std::string(20000, 'x')); },
       "exception Handshake Error: answer header larger than 16384 bytes"},
      {[](int s) {
         SendAll(s, "HTTP/1.1 101 Switching Protocols\r\n");
         for (int i = 0; i < 2000; ++i) SendAll(s, "X-Filler: 0123456789\r\n");
       },
       "exception Handshake Error: answer header larger than 16384 bytes"},
  };
  for (const auto& c : lCases) {
    SCOPED_TRACE(c.reported);
    std::atomic<bool> lStop{false};
    ScriptedServer lServer([&](int s, int) {
      RecvHead(s);
      c.answer(s);
      while (!lStop) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    });
    {
      TqmtWSClient w;
      w.SetNotifyEvents(TwsNotifyEvent::neNoSync);
      w.HandshakeTimeout = 300;
      w.WatchDog.Enabled = true;
      w.WatchDog.Interval = 1000;
      Events lEvents;
      lEvents.Attach(w);
      w.SetURL("ws://127.0.0.1:" + std::to_string(lServer.Port()) + "/x");
      EXPECT_FALSE(w.Connect(3000));
      ASSERT_TRUE(lEvents.WaitFor("disconnect"));
      const auto lLog = lEvents.Snapshot();
      ASSERT_EQ(lLog.size(), 2u);
      EXPECT_EQ(lLog[0], c.reported);
      EXPECT_EQ(lLog[1], "disconnect 0");
      EXPECT_TRUE(WaitUntil([&] { return w.WatchDogArmed(); })) << "armed right after the disconnect event";
    }
    lStop = true;
  }
}

TEST(WSLifecycle, AProtocolFailureIsReportedBeforeTheDisconnectWithItsOwnType) {
  ScriptedServer lServer([](int s, int) {
    WsAccept(s);
    SendAll(s, WsServerFrame(0x83, "?"));  // a reserved opcode
    WsReadClientFrame(s, 2000);
  });
  for (const TwsNotifyEvent lMode : {TwsNotifyEvent::neNoSync, TwsNotifyEvent::neAsynchronous}) {
    SCOPED_TRACE(static_cast<int>(lMode));
    TqmtMainLoop lLoop;
    SetMainThreadDispatcher(&lLoop);
    Events lEvents;
    bool lTyped = false;
    {
      TqmtWSClient c;
      c.SetNotifyEvents(lMode);
      lEvents.Attach(c);
      c.OnException = [&](TqmtWSConnection* aConnection, const std::exception& e) {
        lTyped = dynamic_cast<const TqmtWSException*>(&e) != nullptr;
        lEvents.Add(std::string("exception ") + (aConnection ? "" : "(none) ") + e.what());
      };
      c.SetURL("ws://127.0.0.1:" + std::to_string(lServer.Port()) + "/x");
      c.Connect(3000);
      for (int i = 0; i < 300 && lEvents.Snapshot().size() < 3; ++i) lLoop.ProcessPending(10);
    }
    lLoop.ProcessPending(0);
    SetMainThreadDispatcher(nullptr);
    const std::vector<std::string> lWanted = {"connect", "exception Invalid Control OptCode", "disconnect 0"};
    EXPECT_EQ(lEvents.Snapshot(), lWanted);
    EXPECT_TRUE(lTyped) << "the handler receives the codec's own exception";
  }
}

TEST(WSLifecycle, ACleanDisconnectSendsTheCloseFrameThenAnOrderlyClose) {
  std::mutex lLock;
  std::string lSeen;
  ScriptedServer lServer([&](int s, int) {
    WsAccept(s);
    const auto [lOp, lPayload] = WsReadClientFrame(s, 3000);
    // Then the end of the stream: an orderly close reads as 0, a reset as an error.
    char c;
    pollfd p{s, POLLIN, 0};
    ::poll(&p, 1, 3000);
    const ssize_t r = ::recv(s, &c, 1, 0);
    std::lock_guard g(lLock);
    lSeen = std::to_string(lOp) + " " + (lPayload.size() == 2 ? std::to_string((static_cast<std::uint8_t>(lPayload[0]) << 8) |
                                                                               static_cast<std::uint8_t>(lPayload[1]))
                                                              : std::string("-")) +
            (r == 0 ? " FIN" : " reset");
  });
  {
    TqmtWSClient c;
    c.SetNotifyEvents(TwsNotifyEvent::neNoSync);
    c.Options.CleanDisconnect = true;
    c.SetURL("ws://127.0.0.1:" + std::to_string(lServer.Port()) + "/x");
    ASSERT_TRUE(c.Connect(3000));
    EXPECT_TRUE(c.Disconnect(2000));
  }
  ASSERT_TRUE(WaitUntil([&] {
    std::lock_guard g(lLock);
    return !lSeen.empty();
  }));
  std::lock_guard g(lLock);
  EXPECT_EQ(lSeen, "8 1000 FIN");
}

// When the server drops the connection, the reading thread runs the disconnect handling, which
// calls the API object. A Disconnect that returns meanwhile must not let the program destroy the API
// object under that call: it waits for the handling to end.
TEST(WSLifecycle, DisconnectWaitsForTheDisconnectHandlingOfTheAPI) {
  struct SlowAPI : TqmtWSAPI_client {
    std::atomic<bool> Entered{false}, Left{false};
    void DoDisconnect(TqmtWSConnection*, int) override {
      Entered = true;
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
      Left = true;
    }
  };
  ScriptedServer lServer([](int s, int) {
    WsAccept(s);
    ::shutdown(s, SHUT_RDWR);  // drop at once
  });
  auto lAPI = std::make_unique<SlowAPI>();
  TqmtWSClient c;
  c.SetNotifyEvents(TwsNotifyEvent::neNoSync);
  c.SetURL("ws://127.0.0.1:" + std::to_string(lServer.Port()) + "/x");
  lAPI->SetClient(&c);
  c.Connect(3000);
  ASSERT_TRUE(WaitUntil([&] { return lAPI->Entered.load(); }));
  EXPECT_TRUE(c.Disconnect(5000));
  EXPECT_TRUE(lAPI->Left) << "Disconnect returned while the API's hook was still running";
  lAPI.reset();  // safe now
}

TEST(WSLifecycle, ConnectAndDisconnectWhileWatchdogAttemptsRun) {
  // Attempts against a closed port run on worker threads every few milliseconds while the test
  // thread connects and disconnects: one TCP client, never driven by two of them at once.
  const int lPort = FreePort();
  TqmtWSClient c;
  c.SetNotifyEvents(TwsNotifyEvent::neNoSync);
  c.WatchDog.Enabled = true;
  c.WatchDog.Interval = 1;
  c.WatchDog.TimeUnitMs = 5;
  std::atomic<int> lFailures{0};
  c.OnException = [&](TqmtWSConnection*, const std::exception&) { ++lFailures; };
  c.SetURL("ws://127.0.0.1:" + std::to_string(lPort) + "/x");
  for (int i = 0; i < 40; ++i) {
    c.Connect(20);
    if (i % 3 == 0) c.Disconnect(20);
  }
  EXPECT_GT(lFailures.load(), 0);
  // Now the server comes: a watchdog attempt (or the next Connect) gets through.
  ScriptedServer lServer([](int s, int) { WsServe(s, true, nullptr, 3000); }, false, lPort);
  EXPECT_TRUE(WaitUntil([&] { return c.Connect(100); }, 5000));
  EXPECT_TRUE(c.Disconnect(2000));
  EXPECT_FALSE(c.WatchDogArmed()) << "a disconnect stops the watchdog";
  const int lAfter = lFailures.load();
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(lFailures.load(), lAfter) << "no attempt after Disconnect";
  EXPECT_FALSE(c.Active());
}

TEST(WSLifecycle, FailedAttemptsLeaveNoThreadsBehind) {
  const int lPort = FreePort();
  TqmtWSClient c;
  c.SetNotifyEvents(TwsNotifyEvent::neNoSync);
  c.WatchDog.Enabled = true;
  c.WatchDog.Interval = 1;
  c.WatchDog.TimeUnitMs = 2;
  std::atomic<int> lFailures{0};
  c.OnException = [&](TqmtWSConnection*, const std::exception&) { ++lFailures; };
  c.SetURL("ws://127.0.0.1:" + std::to_string(lPort) + "/x");
  c.Connect(10);
  ASSERT_TRUE(WaitUntil([&] { return lFailures >= 20; }));
  const int lEarly = ProcessThreads();
  ASSERT_TRUE(WaitUntil([&] { return lFailures >= 300; }, 60000));
  // (scripts/lifecycle_soak.sh runs 1,000 and records memory as well)
  EXPECT_LE(ProcessThreads(), lEarly + 3) << "threads do not grow with attempts";
  EXPECT_LE(c.PendingThreads(), 3u) << "finished workers are joined";
}

TEST(WSLifecycle, ADisconnectRacingTheUsersDisconnectNeverArmsTheWatchdogAgain) {
  // The peer closes each connection a moment after it opens, as near as it can to the user's own
  // Disconnect: whichever comes first, once Disconnect returns the watchdog stays off.
  ScriptedServer lServer([](int s, int aIndex) {
    WsAccept(s);
    std::this_thread::sleep_for(std::chrono::microseconds(200 * (aIndex % 10)));
  });
  TqmtWSClient c;
  c.SetNotifyEvents(TwsNotifyEvent::neNoSync);
  c.WatchDog.Enabled = true;
  c.WatchDog.Interval = 1;
  c.WatchDog.TimeUnitMs = 1000;
  c.SetURL("ws://127.0.0.1:" + std::to_string(lServer.Port()) + "/x");
  for (int i = 0; i < 30; ++i) {
    c.Connect(2000);
    std::this_thread::sleep_for(std::chrono::microseconds(200 * (i % 10)));
    c.Disconnect(2000);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_FALSE(c.WatchDogArmed()) << "round " << i;
  }
}
