// ws-echo: connects to a WebSocket URL and sends every text or binary message straight back until
// the server closes, the shape in which conformance suites drive a client.
//
//   ws-echo URL [--clean-disconnect] [--validate-utf8] [--timeout MS]
//
// Exits 0 when a connection was made and ended by the server, 1 on a failure (printed on stderr),
// 2 on a usage error.
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "qmtWebSocket_Client.h"

namespace {

std::atomic<bool> gInterrupted{false};

void OnSignal(int) { gInterrupted = true; }

int Usage() {
  std::fprintf(stderr, "usage: ws-echo URL [--clean-disconnect] [--validate-utf8] [--timeout MS]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::string lURL;
  bool lClean = false, lValidate = false;
  int lTimeout = 10000;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--clean-disconnect") {
      lClean = true;
    } else if (a == "--validate-utf8") {
      lValidate = true;
    } else if (a == "--timeout" && i + 1 < argc) {
      lTimeout = std::atoi(argv[++i]);
    } else if (a.rfind("--", 0) == 0 || !lURL.empty()) {
      return Usage();
    } else {
      lURL = a;
    }
  }
  if (lURL.empty()) return Usage();
  std::signal(SIGINT, OnSignal);
  std::signal(SIGTERM, OnSignal);

  TqmtWebSocketClient lClient;
  std::atomic<bool> lEnded{false};
  std::string lFailure;
  lClient.SetNotifyEvents(TwsNotifyEvent::neNoSync);
  lClient.Options.CleanDisconnect = lClean;
  lClient.Options.ValidateUTF8 = lValidate;
  lClient.OnMessage = [&](TqmtWSConnection* c, std::string_view aText) { c->WriteData(std::string(aText)); };
  lClient.OnBinary = [&](TqmtWSConnection* c, std::string_view aData) { c->WriteBinary(std::string(aData)); };
  lClient.OnDisconnect = [&](TqmtWSConnection*, int) { lEnded = true; };
  lClient.OnException = [&](TqmtWSConnection*, const std::exception& e) {
    if (lFailure.empty()) lFailure = e.what();
  };
  lClient.OnError = [&](TqmtWSConnection*, const std::string& e) {
    if (lFailure.empty()) lFailure = e;
  };
  try {
    lClient.SetURL(lURL);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "ws-echo: invalid URL %s: %s\n", lURL.c_str(), e.what());
    return 2;
  }
  if (!lClient.Connect(lTimeout)) {
    std::fprintf(stderr, "ws-echo: cannot connect to %s%s%s\n", lURL.c_str(), lFailure.empty() ? "" : ": ",
                 lFailure.c_str());
    return 1;
  }
  while (!lEnded && !gInterrupted) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  if (gInterrupted) lClient.Disconnect(lTimeout);
  return 0;
}
