// The simulated exchange as a child process for tests (QMT_SIM_EXCHANGE names the program).
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "qmtBinance_Addresses.h"
#include "qmtHTTP_Client.h"
#include "test_peers.h"

namespace qmt_test {

// The simulated exchange as a child process, stopped with this object or with the test process.
class SimExchange {
public:
  explicit SimExchange(const std::vector<std::string>& aArgs = {}) {
    int lPipe[2];
    if (pipe2(lPipe, O_CLOEXEC) != 0) return;
    std::vector<std::string> lArgs = {QMT_SIM_EXCHANGE, "--quiet"};
    lArgs.insert(lArgs.end(), aArgs.begin(), aArgs.end());
    FProcess = std::make_unique<ChildProcess>(lArgs, false, lPipe[1]);
    ::close(lPipe[1]);
    // The first line names the ports: "... spot=N usdm=N coinm=N".
    std::string lLine;
    char c;
    while (::read(lPipe[0], &c, 1) == 1 && c != '\n') lLine += c;
    ::close(lPipe[0]);
    for (const char* lName : {" spot=", " usdm=", " coinm=", " spot-tls=", " usdm-tls=", " coinm-tls="}) {
      const auto lAt = lLine.find(lName);
      FPorts.push_back(lAt == std::string::npos ? 0 : std::stoi(lLine.substr(lAt + std::strlen(lName))));
    }
  }
  void Stop() { FProcess.reset(); }
  void Signal(int aSignal) const { FProcess->Signal(aSignal); }
  int Port(int aMarket) const { return FPorts.at(static_cast<std::size_t>(aMarket)); }
  // Every address of the exchange at this one: plain, or its TLS ports under the name "localhost"
  // (the certificate's), when it was started with a certificate.
  void PointAt(bool aTLS = false) const {
    const std::string h = aTLS ? "https://localhost:" : "http://127.0.0.1:", w = aTLS ? "wss://localhost:" : "ws://127.0.0.1:";
    const int o = aTLS ? 3 : 0;
    SetBinanceAddress(TqmtBinanceAddress::SpotRest, h + std::to_string(Port(o)));
    SetBinanceAddress(TqmtBinanceAddress::SpotStream, w + std::to_string(Port(o)));
    SetBinanceAddress(TqmtBinanceAddress::SpotWSAPI, w + std::to_string(Port(o)) + "/ws-api/v3");
    SetBinanceAddress(TqmtBinanceAddress::FuturesUSDTRest, h + std::to_string(Port(o + 1)));
    SetBinanceAddress(TqmtBinanceAddress::FuturesUSDTStream, w + std::to_string(Port(o + 1)));
    SetBinanceAddress(TqmtBinanceAddress::FuturesUSDTWSAPI, w + std::to_string(Port(o + 1)) + "/ws-fapi/v1");
    SetBinanceAddress(TqmtBinanceAddress::FuturesCOINRest, h + std::to_string(Port(o + 2)));
    SetBinanceAddress(TqmtBinanceAddress::FuturesCOINStream, w + std::to_string(Port(o + 2)));
  }

  // The test's hand on the exchange: /sim/<aWhat> on a market's port (0 spot, 1 USDT-margined,
  // 2 coin-margined), e.g. "fill?clientOrderId=X", "drop-user?ms=3000", "state"; the answer's body.
  std::string Control(int aMarket, const std::string& aWhat) const {
    TqmtIdHTTP lHTTP;
    lHTTP.KeepAlive = false;
    return lHTTP.Request("POST", "http://127.0.0.1:" + std::to_string(Port(aMarket)) + "/sim/" + aWhat, "", false);
  }

private:
  std::unique_ptr<ChildProcess> FProcess;
  std::vector<int> FPorts;
};

}  // namespace qmt_test
