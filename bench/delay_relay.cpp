// delay_relay: a TCP relay on 127.0.0.1 that holds every byte back by a fixed time in each
// direction, so that the measurements see a link with a real round-trip time (25 ms each way is a
// 50 ms round trip). Bytes keep their order and the relay adds no other delay (TCP_NODELAY on both
// sides). Each accepted connection gets a connection of its own to its target.
//
//   delay_relay --delay-ms N TARGET_PORT...   listens on a free port per target; prints
//                                              "RELAY p1 p2 ..." (in the targets' order) and runs
//                                              until it is stopped (SIGTERM, SIGINT)
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
std::atomic<bool> gStop{false};
std::chrono::milliseconds gDelay{25};

void NoDelay(int s) {
  const int lOne = 1;
  setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &lOne, sizeof lOne);
}

int ListenFree(int& aPort) {
  const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const int lOne = 1;
  setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &lOne, sizeof lOne);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
  ::listen(s, 64);
  socklen_t n = sizeof a;
  getsockname(s, reinterpret_cast<sockaddr*>(&a), &n);
  aPort = ntohs(a.sin_port);
  return s;
}

int ConnectTo(int aPort) {
  const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<std::uint16_t>(aPort));
  if (::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    ::close(s);
    return -1;
  }
  NoDelay(s);
  return s;
}

// One direction: what is read from aFrom is written to aTo gDelay after it was read.
void Pump(int aFrom, int aTo) {
  std::mutex lLock;
  std::condition_variable lWake;
  std::deque<std::pair<Clock::time_point, std::string>> lQueue;
  bool lEnded = false;
  std::thread lWriter([&] {
    std::unique_lock g(lLock);
    for (;;) {
      lWake.wait(g, [&] { return lEnded || !lQueue.empty(); });
      if (lQueue.empty()) break;
      const auto lDue = lQueue.front().first;
      if (Clock::now() < lDue) {
        lWake.wait_until(g, lDue);
        continue;
      }
      std::string lData = std::move(lQueue.front().second);
      lQueue.pop_front();
      g.unlock();
      for (std::size_t lSent = 0; lSent < lData.size();) {
        const ssize_t r = ::send(aTo, lData.data() + lSent, lData.size() - lSent, MSG_NOSIGNAL);
        if (r <= 0) break;
        lSent += static_cast<std::size_t>(r);
      }
      g.lock();
    }
    ::shutdown(aTo, SHUT_WR);
  });
  char lBuffer[65536];
  while (!gStop) {
    pollfd p{aFrom, POLLIN, 0};
    if (::poll(&p, 1, 200) <= 0) continue;
    const ssize_t r = ::recv(aFrom, lBuffer, sizeof lBuffer, 0);
    if (r <= 0) break;
    std::lock_guard g(lLock);
    lQueue.emplace_back(Clock::now() + gDelay, std::string(lBuffer, static_cast<std::size_t>(r)));
    lWake.notify_all();
  }
  {
    std::lock_guard g(lLock);
    lEnded = true;
  }
  lWake.notify_all();
  lWriter.join();
}

void Serve(int aClient, int aTarget) {
  NoDelay(aClient);
  const int lUp = ConnectTo(aTarget);
  if (lUp < 0) {
    ::close(aClient);
    return;
  }
  std::thread lBack([=] { Pump(lUp, aClient); });
  Pump(aClient, lUp);
  lBack.join();
  ::close(lUp);
  ::close(aClient);
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<int> lTargets;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--delay-ms" && i + 1 < argc)
      gDelay = std::chrono::milliseconds(std::atoi(argv[++i]));
    else
      lTargets.push_back(std::atoi(a.c_str()));
  }
  if (lTargets.empty()) {
    std::fprintf(stderr, "usage: delay_relay --delay-ms N TARGET_PORT...\n");
    return 2;
  }
  std::signal(SIGTERM, [](int) { gStop = true; });
  std::signal(SIGINT, [](int) { gStop = true; });
  std::vector<int> lListen;
  std::string lLine = "RELAY";
  for (std::size_t k = 0; k < lTargets.size(); ++k) {
    int lPort = 0;
    lListen.push_back(ListenFree(lPort));
    lLine += ' ';
    lLine += std::to_string(lPort);
  }
  std::printf("%s\n", lLine.c_str());
  std::fflush(stdout);
  std::vector<std::thread> lThreads;
  while (!gStop) {
    std::vector<pollfd> p;
    for (int s : lListen) p.push_back({s, POLLIN, 0});
    if (::poll(p.data(), p.size(), 200) <= 0) continue;
    for (std::size_t k = 0; k < p.size(); ++k) {
      if (!(p[k].revents & POLLIN)) continue;
      const int c = ::accept(lListen[k], nullptr, nullptr);
      if (c >= 0) lThreads.emplace_back(Serve, c, lTargets[k]);
    }
  }
  for (auto& t : lThreads) t.join();
  return 0;
}
