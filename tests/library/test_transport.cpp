#include <gtest/gtest.h>

#include <algorithm>

#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>

#include "qmtBase_Helpers.h"
#include "qmtTCP_Client.h"
#include "test_certs.h"
#include "test_peers.h"
#include "test_support.h"

using namespace qmt_test;

namespace {

// What a reading thread delivered, for a test to wait on.
struct Delivered {
  std::mutex Lock;
  std::condition_variable Wake;
  std::string Data;
  std::string Error;

  void Attach(TqmtIdTCPClient& aClient) {
    aClient.OnRead = [this, &aClient] {
      std::lock_guard g(Lock);
      Data.append(aClient.InputView());
      aClient.Consume(aClient.InputBufferSize());
      Wake.notify_all();
    };
    aClient.OnReadException = [this](const std::exception& e) {
      std::lock_guard g(Lock);
      Error = e.what();
      Wake.notify_all();
    };
  }
  bool WaitFor(const std::function<bool()>& aDone, int aMs = 5000) {
    std::unique_lock g(Lock);
    return Wake.wait_for(g, std::chrono::milliseconds(aMs), aDone);
  }
};

// A client whose reading thread collects what arrives.
struct TestClient : TqmtIdTCPClient {
  TestClient() { Received.Attach(*this); }
  ~TestClient() override { Disconnect(true); }
  // Sends aText and waits until as many bytes came back.
  std::string RoundTrip(const std::string& aText) {
    {
      std::lock_guard g(Received.Lock);
      Received.Data.clear();
    }
    Write(aText);
    Received.WaitFor([&] { return Received.Data.size() >= aText.size() || !Received.Error.empty(); });
    std::lock_guard g(Received.Lock);
    return Received.Data;
  }
  Delivered Received;
};

// openssl s_server answering each line with the line reversed.
struct TLSServer {
  TLSServer(const std::vector<std::string>& aExtra, const char* aCert = "server.pem", const char* aKey = "server.key")
      : Port(FreePort()),
        Process([&] {
          std::vector<std::string> lArgs = {"openssl", "s_server", "-accept", "127.0.0.1:" + std::to_string(Port), "-cert",
                                            Certs().Path(aCert), "-key", Certs().Path(aKey), "-rev", "-quiet"};
          // The server's chain: the intermediate goes with the leaf.
          if (std::string(aCert) == "server.pem") lArgs.insert(lArgs.end(), {"-cert_chain", Certs().Path("intermediate.pem")});
          lArgs.insert(lArgs.end(), aExtra.begin(), aExtra.end());
          return lArgs;
        }()) {
    EXPECT_TRUE(WaitForPort(Port)) << "openssl s_server did not start";
  }
  int Port;
  ChildProcess Process;
};

TqmtSocketTLS_Options TLS(TwsTLSVersions aVersion, bool aVerify = false, const std::string& aRoot = "") {
  TqmtSocketTLS_Options lOptions;
  lOptions.Version = aVersion;
  lOptions.VerifyCertificate = aVerify;
  lOptions.RootCertFile = aRoot;
  lOptions.VerifyDepth = 4;
  return lOptions;
}

// Connects with TLS and exchanges one line; returns "ok" or the error.
std::string TLSExchange(int aPort, const TqmtSocketTLS_Options& aOptions, const std::string& aHost = "127.0.0.1",
                        int* aVersion = nullptr) {
  TestClient lClient;
  lClient.Host = aHost;
  lClient.Port = aPort;
  lClient.ReadTimeout = 5000;
  lClient.IOHandler = NewOpenSSLHandler(aOptions);
  try {
    lClient.Connect();
    const std::string lLine = lClient.RoundTrip("hello\n");
    if (aVersion) *aVersion = lClient.IOHandler->ProtocolVersion();
    lClient.Disconnect(true);
    if (!lClient.Received.Error.empty()) return lClient.Received.Error;
    return lLine == "olleh\n" ? "ok" : "wrong answer: " + lLine;
  } catch (const std::exception& e) {
    return e.what();
  }
}

}  // namespace

TEST(TCPClient, ReadingThreadDeliversDataAndReportsPeerClose) {
  ScriptedServer lServer([](int s, int) {
    SendAll(s, "welcome");
    Echo(s);
  });
  TqmtIdTCPClient lClient;
  Delivered lDelivered;
  lDelivered.Attach(lClient);
  lClient.Host = "127.0.0.1";
  lClient.Port = lServer.Port();
  lClient.UseNagle = false;
  lClient.Connect();
  EXPECT_TRUE(lClient.Connected());
  EXPECT_EQ(lClient.LocalIP(), "127.0.0.1");
  ASSERT_TRUE(lDelivered.WaitFor([&] { return lDelivered.Data == "welcome"; }));
  lClient.Write("ping");
  ASSERT_TRUE(lDelivered.WaitFor([&] { return lDelivered.Data == "welcomeping"; }));
  EXPECT_EQ(lClient.SendBytes(), 4u);
  EXPECT_EQ(lClient.RecBytes(), 11u);
  lClient.Disconnect(true);
  EXPECT_FALSE(lClient.Connected());
}

TEST(TCPClient, PeerCloseEndsTheReadingThreadWithTheQuietError) {
  ScriptedServer lServer([](int s, int) { SendAll(s, "bye"); });
  TqmtIdTCPClient lClient;
  Delivered lDelivered;
  lDelivered.Attach(lClient);
  lClient.Host = "127.0.0.1";
  lClient.Port = lServer.Port();
  lClient.Connect();
  ASSERT_TRUE(lDelivered.WaitFor([&] { return !lDelivered.Error.empty(); }));
  EXPECT_EQ(lDelivered.Data, "bye");
  EXPECT_EQ(lDelivered.Error, "Connection Closed Gracefully.");
  lClient.Disconnect(false);
}

TEST(TCPClient, IPv6AndWriteBuffer) {
  ScriptedServer lServer([](int s, int) { Echo(s); }, true);
  TestClient lClient;
  lClient.Host = "::1";
  lClient.Port = lServer.Port();
  lClient.IPVersion = TwsIPVersion::ipV6;
  lClient.KeepAlive = {true, 1000, 7200000};
  lClient.Connect();
  lClient.WriteBufferOpen();
  lClient.Write("ab");
  lClient.Write("cd");
  EXPECT_EQ(lClient.SendBytes(), 0u) << "held until the flush";
  lClient.WriteBufferClose();
  ASSERT_TRUE(lClient.Received.WaitFor([&] { return lClient.Received.Data == "abcd"; }));
  lClient.Disconnect(true);
}

TEST(TCPClient, ConnectFailures) {
  struct Case {
    std::string host;
    int port;
    int timeout;
    std::string prefix;
  };
  const int lClosed = FreePort();
  const Case lCases[] = {
      {"127.0.0.1", lClosed, 0, "Socket Error # 111\r\n"},
      {"no-such-host.invalid", 80, 0, "Host not found."},
  };
  for (const auto& c : lCases) {
    SCOPED_TRACE(c.host);
    TqmtIdTCPClient lClient;
    lClient.Host = c.host;
    lClient.Port = c.port;
    lClient.ConnectTimeout = c.timeout;
    try {
      lClient.Connect();
      ADD_FAILURE() << "connected";
    } catch (const EIdException& e) {
      EXPECT_EQ(std::string(e.what()).rfind(c.prefix, 0), 0u) << e.what();
    }
  }
  TqmtIdTCPClient lIdle;
  EXPECT_THROW(lIdle.Write("x"), EIdNotConnected);
}

TEST(TCPClient, LocalPortRange) {
  ScriptedServer lServer([](int s, int) { Echo(s); });
  const int lLocal = FreePort();
  TqmtIdTCPClient lClient;
  lClient.Host = "127.0.0.1";
  lClient.Port = lServer.Port();
  lClient.BoundPortMin = lLocal;
  lClient.BoundPortMax = lLocal;
  lClient.Connect();
  EXPECT_EQ(lClient.LocalPort(), lLocal);
  lClient.Disconnect(true);
}

TEST(TLS, VersionPinning) {
  TLSServer lOnly12({"-tls1_2"});
  TLSServer lOnly13({"-tls1_3"});
  struct Case {
    int port;
    TwsTLSVersions version;
    bool ok;
    int negotiated;
  };
  const Case lCases[] = {
      {lOnly12.Port, TwsTLSVersions::tlsUndefined, true, TLS1_2_VERSION},
      {lOnly12.Port, TwsTLSVersions::tls1_2, true, TLS1_2_VERSION},
      {lOnly12.Port, TwsTLSVersions::tls1_3, false, 0},
      {lOnly13.Port, TwsTLSVersions::tlsUndefined, true, TLS1_3_VERSION},
      {lOnly13.Port, TwsTLSVersions::tls1_3, true, TLS1_3_VERSION},
      {lOnly13.Port, TwsTLSVersions::tls1_2, false, 0},
  };
  for (const auto& c : lCases) {
    SCOPED_TRACE(std::to_string(c.port) + " version " + std::to_string(static_cast<int>(c.version)));
    int lVersion = 0;
    const std::string lResult = TLSExchange(c.port, TLS(c.version), "127.0.0.1", &lVersion);
    if (c.ok) {
      EXPECT_EQ(lResult, "ok");
      EXPECT_EQ(lVersion, c.negotiated);
    } else {
      EXPECT_EQ(lResult.rfind("Error connecting with SSL.", 0), 0u) << lResult;
    }
  }
}

TEST(TLS, CertificateVerification) {
  TLSServer lSigned({});
  TLSServer lWrongName({}, "wrong.pem", "wrong.key");
  const std::string lCA = Certs().Path("ca.pem");
  EXPECT_EQ(TLSExchange(lWrongName.Port, TLS(TwsTLSVersions::tlsUndefined, false)), "ok") << "verification off";
  const std::string lUntrusted = TLSExchange(lSigned.Port, TLS(TwsTLSVersions::tlsUndefined, true));
  EXPECT_NE(lUntrusted.find("Error connecting with SSL."), std::string::npos) << lUntrusted;
  EXPECT_EQ(TLSExchange(lSigned.Port, TLS(TwsTLSVersions::tlsUndefined, true, lCA)), "ok");
  EXPECT_EQ(TLSExchange(lSigned.Port, TLS(TwsTLSVersions::tlsUndefined, true, lCA), "localhost"), "ok");
  // The chain has an intermediate, as every public one does: a depth of 0 (the default) and
  // below mean OpenSSL's own depth; an explicit 1 allows the leaf and one issuer, which is enough.
  for (const int lDepth : {0, -1, 1}) {
    TqmtSocketTLS_Options lOptions = TLS(TwsTLSVersions::tlsUndefined, true, lCA);
    lOptions.VerifyDepth = lDepth;
    EXPECT_EQ(TLSExchange(lSigned.Port, lOptions), "ok") << "depth " << lDepth;
  }
  // Trusted as a root, but it names another host.
  const std::string lWrong = TLSExchange(lWrongName.Port, TLS(TwsTLSVersions::tlsUndefined, true, Certs().Path("wrong.pem")));
  EXPECT_NE(lWrong.find("Error connecting with SSL."), std::string::npos) << lWrong;
  EXPECT_NE(lWrong.find("mismatch"), std::string::npos) << lWrong;
  EXPECT_EQ(TLSExchange(lSigned.Port, TLS(TwsTLSVersions::tlsUndefined, true, "/no/such/file.pem")),
            "Could not load root certificate.");

  // The verify-peer hook sees the chain and its answer decides.
  TqmtIdTCPClient lClient;
  lClient.Host = "127.0.0.1";
  lClient.Port = lSigned.Port;
  lClient.IOHandler = NewOpenSSLHandler(TLS(TwsTLSVersions::tlsUndefined, true));
  std::vector<int> lDepths;
  lClient.IOHandler->OnVerifyPeer = [&](X509*, bool, int aDepth, int) {
    lDepths.push_back(aDepth);
    return true;
  };
  EXPECT_NO_THROW(lClient.Connect());
  EXPECT_GE(*std::max_element(lDepths.begin(), lDepths.end()), 1) << "the server sent its intermediate with the leaf";
  lClient.Disconnect(true);
}

TEST(TLS, HandlerHooks) {
  TqmtSocketTLS_Options lOptions = TLS(TwsTLSVersions::tls1_3);
  lOptions.ALPNProtocols = {"http/1.1"};
  int lAfter = 0;
  auto lMade = CreateTLSHandler(lOptions, nullptr, [&](TqmtIdSSLIOHandlerSocketOpenSSL& h) {
    ++lAfter;
    EXPECT_EQ(h.Options().ALPNProtocols.size(), 1u);
  });
  EXPECT_EQ(lMade->Options().Version, TwsTLSVersions::tls1_3);
  auto lSupplied = CreateTLSHandler(
      lOptions, [] { return NewOpenSSLHandler(TLS(TwsTLSVersions::tls1_2)); },
      [&](TqmtIdSSLIOHandlerSocketOpenSSL&) { ++lAfter; });
  EXPECT_EQ(lSupplied->Options().Version, TwsTLSVersions::tls1_2) << "the get-handler hook's layer is used";
  EXPECT_EQ(lAfter, 2);
}

TEST(TLS, ClientCertificateRequiredByTheServer) {
  TLSServer lServer({"-tls1_2", "-Verify", "1", "-CAfile", Certs().Path("ca.pem")});
  const std::string lWithout = TLSExchange(lServer.Port, TLS(TwsTLSVersions::tls1_2));
  EXPECT_NE(lWithout, "ok");
  auto lOptions = TLS(TwsTLSVersions::tls1_2);
  lOptions.CertFile = Certs().Path("client.pem");
  lOptions.KeyFile = Certs().Path("client.key");
  lOptions.Password = "wrong";
  EXPECT_EQ(TLSExchange(lServer.Port, lOptions), "Could not load key, check password.");
  lOptions.Password = "secret";
  EXPECT_EQ(TLSExchange(lServer.Port, lOptions), "ok");
  lOptions.CertFile = "/no/such/cert.pem";
  EXPECT_EQ(TLSExchange(lServer.Port, lOptions), "Could not load certificate.");
}

TEST(Proxy, HTTPConnectAuthorisesAfter407AndReconnectsWhenClosed) {
  ScriptedServer lTarget([](int s, int) { Echo(s); });
  std::vector<std::string> lHeads;
  std::mutex lLock;
  // First connection: 407 and close. Second: authorised, then a tunnel to the target.
  ScriptedServer lProxy([&](int s, int aIndex) {
    const std::string lHead = RecvHead(s);
    {
      std::lock_guard g(lLock);
      lHeads.push_back(lHead);
    }
    if (aIndex == 0) {
      SendAll(s, "HTTP/1.0 407 Proxy Authentication Required\r\nProxy-Connection: Close\r\nContent-Length: 5\r\n\r\ndeny!");
      return;
    }
    SendAll(s, "HTTP/1.0 200 Connection established\r\n\r\n");
    int lPort = 0;
    const int t = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<std::uint16_t>(std::stoi(lHead.substr(lHead.find(':') + 1))));
    (void)lPort;
    ::connect(t, reinterpret_cast<sockaddr*>(&a), sizeof a);
    const std::string lData = RecvExactly(s, 5);
    SendAll(t, lData);
    SendAll(s, RecvExactly(t, 5));
    ::close(t);
  });
  TestClient lClient;
  lClient.Host = "127.0.0.1";
  lClient.Port = lTarget.Port();
  lClient.Proxy = {true, "127.0.0.1", lProxy.Port(), "user", "pass", TwsProxy::pxyHTTP};
  lClient.Connect();
  EXPECT_EQ(lClient.RoundTrip("12345"), "12345");
  lClient.Disconnect(true);
  ASSERT_EQ(lHeads.size(), 2u);
  const std::string lTargetLine = "CONNECT 127.0.0.1:" + std::to_string(lTarget.Port()) + " HTTP/1.0\r\n";
  EXPECT_EQ(lHeads[0], lTargetLine + "\r\n");
  EXPECT_EQ(lHeads[1], lTargetLine + "Proxy-Authorization: Basic dXNlcjpwYXNz\r\n\r\n");
}

TEST(Proxy, HTTPConnectSecond407FailsWithTheStatusLine) {
  ScriptedServer lProxy([](int s, int) {
    for (int i = 0; i < 2; ++i) {
      RecvHead(s);
      SendAll(s, "HTTP/1.1 407 Proxy Authentication Required\r\nContent-Length: 0\r\n\r\n");
    }
  });
  TqmtIdTCPClient lClient;
  lClient.Host = "example.com";
  lClient.Port = 443;
  lClient.Proxy = {true, "127.0.0.1", lProxy.Port(), "user", "bad", TwsProxy::pxyHTTP};
  try {
    lClient.Connect();
    FAIL() << "connected";
  } catch (const EIdProxyError& e) {
    EXPECT_STREQ(e.what(), "HTTP/1.1 407 Proxy Authentication Required");
  }
}

TEST(Proxy, TinyproxyWithBasicAuthorisation) {
  if (std::system("command -v tinyproxy >/dev/null 2>&1") != 0) {
    if (UnderCI()) FAIL() << "tinyproxy missing (scripts/setup.sh installs it)";
    GTEST_SKIP() << "tinyproxy missing";
  }
  ScriptedServer lTarget([](int s, int) { Echo(s); });
  const auto lDir = std::filesystem::temp_directory_path() / ("qmt_tinyproxy_" + std::to_string(::getpid()));
  std::filesystem::create_directories(lDir);
  const int lPort = FreePort();
  std::ofstream(lDir / "tinyproxy.conf") << "Port " << lPort << "\nListen 127.0.0.1\nTimeout 30\nAllow 127.0.0.1\n"
                                         << "BasicAuth qmt s3cret\nLogLevel Critical\nMaxClients 10\n"
                                         << "ConnectPort " << lTarget.Port() << "\n";
  ChildProcess lProxy({"tinyproxy", "-d", "-c", (lDir / "tinyproxy.conf").string()});
  ASSERT_TRUE(WaitForPort(lPort));
  TestClient lClient;
  lClient.Host = "127.0.0.1";
  lClient.Port = lTarget.Port();
  lClient.Proxy = {true, "127.0.0.1", lPort, "qmt", "s3cret", TwsProxy::pxyHTTP};
  lClient.Connect();
  EXPECT_EQ(lClient.RoundTrip("through tinyproxy"), "through tinyproxy");
  lClient.Disconnect(true);

  lClient.Proxy.Password = "wrong";
  try {
    lClient.Connect();
    ADD_FAILURE() << "connected with a wrong password";
  } catch (const EIdException& e) {
    EXPECT_EQ(std::string(e.what()), "HTTP/1.0 401 Unauthorized") << "tinyproxy refuses wrong credentials with 401";
  }
  std::filesystem::remove_all(lDir);
}

TEST(Proxy, Socks5WithAndWithoutAuthorisation) {
  if (std::system("command -v microsocks >/dev/null 2>&1") != 0) {
    if (UnderCI()) FAIL() << "microsocks missing (scripts/setup.sh installs it)";
    GTEST_SKIP() << "microsocks missing";
  }
  ScriptedServer lTarget([](int s, int) { Echo(s); });
  const int lOpen = FreePort(), lAuth = FreePort();
  ChildProcess lNoAuth({"microsocks", "-i", "127.0.0.1", "-p", std::to_string(lOpen)});
  ChildProcess lWithAuth({"microsocks", "-i", "127.0.0.1", "-p", std::to_string(lAuth), "-u", "qmt", "-P", "s3cret"});
  ASSERT_TRUE(WaitForPort(lOpen));
  ASSERT_TRUE(WaitForPort(lAuth));
  struct Case {
    int port;
    const char* user;
    const char* password;
    bool ok;
  };
  const Case lCases[] = {{lOpen, "", "", true}, {lAuth, "qmt", "s3cret", true}, {lAuth, "qmt", "wrong", false}, {lAuth, "", "", false}};
  for (const auto& c : lCases) {
    SCOPED_TRACE(std::to_string(c.port) + c.user + c.password);
    TestClient lClient;
    lClient.Host = "localhost";
    lClient.Port = lTarget.Port();
    lClient.Proxy = {true, "127.0.0.1", c.port, c.user, c.password, TwsProxy::pxySocks5};
    try {
      lClient.Connect();
      EXPECT_TRUE(c.ok);
      EXPECT_EQ(lClient.RoundTrip("socks"), "socks");
    } catch (const EIdException& e) {
      EXPECT_FALSE(c.ok) << e.what();
    }
  }
}

TEST(Proxy, Socks4And4ASendTheExactBytes) {
  ScriptedServer lTarget([](int s, int) { Echo(s); });
  std::string lRequest;
  ScriptedServer lPeer([&](int s, int) {
    lRequest = RecvExactly(s, 8);
    // The user id (and for 4A the host) follow, each ended by a zero byte.
    for (int lZeros = lRequest[4] == 0 && lRequest[7] != 0 ? 2 : 1; lZeros > 0;) {
      const std::string c = RecvExactly(s, 1);
      if (c.empty()) return;
      lRequest += c;
      if (c[0] == 0) --lZeros;
    }
    SendAll(s, std::string("\x00\x5a\x00\x00\x00\x00\x00\x00", 8));
    Echo(s);
  });
  for (TwsProxy lType : {TwsProxy::pxySocks4, TwsProxy::pxySocks4A}) {
    TestClient lClient;
    lClient.Host = lType == TwsProxy::pxySocks4 ? "127.0.0.1" : "localhost";
    lClient.Port = 0x1F90;
    lClient.Proxy = {true, "127.0.0.1", lPeer.Port(), "me", "", lType};
    lClient.Connect();
    EXPECT_EQ(lClient.RoundTrip("four"), "four");
    lClient.Disconnect(true);
    if (lType == TwsProxy::pxySocks4)
      EXPECT_EQ(lRequest, std::string("\x04\x01\x1f\x90\x7f\x00\x00\x01me\x00", 11));
    else
      EXPECT_EQ(lRequest, std::string("\x04\x01\x1f\x90\x00\x00\x00\x01me\x00localhost\x00", 21));
  }
}

TEST(Interceptors, ThrottleAndLogFile) {
  EXPECT_EQ(TqmtIdInterceptThrottler::PauseMs(1000, 8000), 1000);
  EXPECT_EQ(TqmtIdInterceptThrottler::PauseMs(1000, 0), 0);
  EXPECT_EQ(TqmtIdInterceptThrottler::PauseMs(1, 3000), 2);  // integer division

  ScriptedServer lServer([](int s, int) { Echo(s); });
  const auto lLog = std::filesystem::temp_directory_path() / ("qmt_traffic_" + std::to_string(::getpid()) + ".log");
  std::filesystem::remove(lLog);
  TestClient lClient;
  lClient.Host = "127.0.0.1";
  lClient.Port = lServer.Port();
  lClient.Throttle = {80000, true};  // 1000 bytes: 100 ms each way
  lClient.LogFile = {true, lLog.string()};
  lClient.Connect();
  const auto lStart = std::chrono::steady_clock::now();
  EXPECT_EQ(lClient.RoundTrip(std::string(1000, 'x')).size(), 1000u);
  EXPECT_GE(std::chrono::steady_clock::now() - lStart, std::chrono::milliseconds(100));
  lClient.Write("hello");
  lClient.Disconnect(true);
  const std::string lText = ReadFile(lLog);
  EXPECT_EQ(lText.rfind("Stat Connected.\r\n", 0), 0u) << lText.substr(0, 200);
  EXPECT_NE(lText.find("Sent "), std::string::npos);
  EXPECT_NE(lText.find(": hello\r\n"), std::string::npos);
  EXPECT_NE(lText.find("Recv "), std::string::npos);
  EXPECT_NE(lText.find("Stat Disconnected.\r\n"), std::string::npos);
  TqmtIdLogFileClient lOpenLog(lLog.string());
  lOpenLog.Open();
  EXPECT_THROW(lOpenLog.SetFileName("other.log"), EIdException);
  lOpenLog.Close();
  std::filesystem::remove(lLog);
}
