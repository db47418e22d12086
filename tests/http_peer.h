// A local HTTP server for tests that records each request and answers as told.
#pragma once

#include <functional>
#include <mutex>
#include <tuple>
#include <regex>
#include <string>
#include <vector>

#include "test_peers.h"

namespace qmt_test {

struct Recorded {
  std::string method, target, head, body;
};

class HTTPServer {
public:
  HTTPServer()
      : FServer([this](int s, int) {
          Recorded r;
          r.head = RecvHead(s);
          const auto lSpace = r.head.find(' ');
          r.method = r.head.substr(0, lSpace);
          r.target = r.head.substr(lSpace + 1, r.head.find(' ', lSpace + 1) - lSpace - 1);
          const std::regex lLength("\r\ncontent-length: *([0-9]+)", std::regex::icase);
          std::smatch m;
          if (std::regex_search(r.head, m, lLength)) r.body = RecvExactly(s, std::stoul(m[1]));
          std::string lStatus, lBody, lType;
          {
            std::lock_guard g(FLock);
            FRequests.push_back(r);
            lStatus = FStatus;
            lBody = FBody;
            lType = FContentType;
            if (FResponder) std::tie(lStatus, lBody) = FResponder(r);
          }
          SendAll(s, "HTTP/1.1 " + lStatus + "\r\nContent-Type: " + lType + "\r\nContent-Length: " +
                         std::to_string(lBody.size()) + "\r\nConnection: close\r\n\r\n" + lBody);
        }) {}
  void Answer(const std::string& aStatus, const std::string& aBody,
              const std::string& aContentType = "application/json;charset=UTF-8") {
    std::lock_guard g(FLock);
    FStatus = aStatus;
    FBody = aBody;
    FContentType = aContentType;
  }
  // Answers chosen per request: (status, body).
  void Respond(std::function<std::pair<std::string, std::string>(const Recorded&)> aResponder) {
    std::lock_guard g(FLock);
    FResponder = std::move(aResponder);
  }
  std::vector<Recorded> Take() {
    std::lock_guard g(FLock);
    auto lRequests = std::move(FRequests);
    FRequests.clear();
    return lRequests;
  }
  std::string Address() const { return "http://127.0.0.1:" + std::to_string(FServer.Port()); }

private:
  std::mutex FLock;
  std::vector<Recorded> FRequests;
  std::function<std::pair<std::string, std::string>(const Recorded&)> FResponder;
  std::string FStatus = "200 OK", FBody = "{}", FContentType = "application/json;charset=UTF-8";
  ScriptedServer FServer;
};

}  // namespace qmt_test
