// ws-echo: connects to a WebSocket URL and sends every text or binary message straight back until
// the server closes, the shape in which conformance suites drive a client.
//
//   ws-echo URL [--clean-disconnect] [--validate-utf8] [--timeout MS]
//           [--deflate [--client-max-window-bits N] [--server-max-window-bits N]
//                      [--client-no-context-takeover] [--server-no-context-takeover]]
//           [--deflate-frame]
//
// --deflate offers permessage-deflate, --deflate-frame the older x-webkit-deflate-frame (both may be
// offered; a server choosing both gets permessage-deflate).
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
  std::fprintf(stderr,
               "usage: ws-echo URL [--clean-disconnect] [--validate-utf8] [--timeout MS]\n"
               "               [--deflate [--client-max-window-bits N] [--server-max-window-bits N]\n"
               "                          [--client-no-context-takeover] [--server-no-context-takeover]]\n"
               "               [--deflate-frame]\n");
  return 2;
}

// A window size in bits, 8 to 15.
bool WindowBits(const char* aText, int& aValue) {
  char* lEnd = nullptr;
  const long v = std::strtol(aText, &lEnd, 10);
  if (lEnd == aText || *lEnd != '\0' || v < 8 || v > 15) return false;
  aValue = static_cast<int>(v);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  std::string lURL;
  bool lClean = false, lValidate = false;
  bool lDeflate = false, lDeflateFrame = false, lClientNoTakeover = false, lServerNoTakeover = false;
  int lClientBits = 15, lServerBits = 15;
  int lTimeout = 10000;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--deflate") {
      lDeflate = true;
    } else if (a == "--deflate-frame") {
      lDeflateFrame = true;
    } else if (a == "--client-no-context-takeover") {
      lClientNoTakeover = true;
    } else if (a == "--server-no-context-takeover") {
      lServerNoTakeover = true;
    } else if (a == "--client-max-window-bits" || a == "--server-max-window-bits") {
      if (i + 1 >= argc || !WindowBits(argv[i + 1], a[2] == 'c' ? lClientBits : lServerBits)) {
        std::fprintf(stderr, "ws-echo: %s needs a number from 8 to 15\n", a.c_str());
        return 2;
      }
      ++i;
    } else if (a == "--clean-disconnect") {
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
  if (!lDeflate && (lClientNoTakeover || lServerNoTakeover || lClientBits != 15 || lServerBits != 15)) {
    std::fprintf(stderr, "ws-echo: the window and context-takeover options go with --deflate\n");
    return 2;
  }
  std::signal(SIGINT, OnSignal);
  std::signal(SIGTERM, OnSignal);

  TqmtWebSocketClient lClient;
  std::atomic<bool> lEnded{false};
  std::string lFailure;
  lClient.SetNotifyEvents(TwsNotifyEvent::neNoSync);
  lClient.Options.CleanDisconnect = lClean;
  lClient.Options.ValidateUTF8 = lValidate;
  auto& lPerMessage = lClient.Extensions->PerMessage_Deflate();
  lPerMessage.SetEnabled(lDeflate);
  lPerMessage.SetClientMaxWindowBits(lClientBits);
  lPerMessage.SetServerMaxWindowBits(lServerBits);
  lPerMessage.SetClientNoContextTakeOver(lClientNoTakeover);
  lPerMessage.SetServerNoContextTakeOver(lServerNoTakeover);
  lClient.Extensions->DeflateFrame().SetEnabled(lDeflateFrame);
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
