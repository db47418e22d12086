// Peers for network tests on 127.0.0.1: a scripted server running a handler per accepted
// connection, and child processes (openssl s_server, tinyproxy, microsocks) that are stopped with
// their test, also when it fails.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace qmt_test {

// A listening socket on a free port of the loopback address.
// aPort 0 picks a free port; otherwise that port is bound (a server restarting on its old port).
inline int Listen(bool aIPv6, int& aPort) {
  const int s = ::socket(aIPv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const int lOne = 1;
  setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &lOne, sizeof lOne);
  if (aIPv6) {
    sockaddr_in6 a{};
    a.sin6_family = AF_INET6;
    a.sin6_addr = in6addr_loopback;
    a.sin6_port = htons(static_cast<std::uint16_t>(aPort));
    ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t n = sizeof a;
    ::listen(s, 16);
    getsockname(s, reinterpret_cast<sockaddr*>(&a), &n);
    aPort = ntohs(a.sin6_port);
  } else {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<std::uint16_t>(aPort));
    ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t n = sizeof a;
    ::listen(s, 16);
    getsockname(s, reinterpret_cast<sockaddr*>(&a), &n);
    aPort = ntohs(a.sin_port);
  }
  return s;
}

inline int FreePort() {
  int lPort = 0;
  ::close(Listen(false, lPort));
  return lPort;
}

// Reads exactly n bytes (or fewer when the peer closes).
inline std::string RecvExactly(int aSocket, std::size_t n) {
  std::string lData;
  char lBuffer[4096];
  while (lData.size() < n) {
    const ssize_t r = ::recv(aSocket, lBuffer, std::min(sizeof lBuffer, n - lData.size()), 0);
    if (r <= 0) break;
    lData.append(lBuffer, static_cast<std::size_t>(r));
  }
  return lData;
}

// Reads up to and including the blank line that ends an HTTP head.
inline std::string RecvHead(int aSocket) {
  std::string lData;
  char c;
  while (lData.size() < 65536 && ::recv(aSocket, &c, 1, 0) == 1) {
    lData += c;
    if (lData.size() >= 4 && lData.compare(lData.size() - 4, 4, "\r\n\r\n") == 0) break;
  }
  return lData;
}

inline void SendAll(int aSocket, const std::string& aData) {
  std::size_t lSent = 0;
  while (lSent < aData.size()) {
    const ssize_t r = ::send(aSocket, aData.data() + lSent, aData.size() - lSent, MSG_NOSIGNAL);
    if (r <= 0) return;
    lSent += static_cast<std::size_t>(r);
  }
}

// Echoes until the peer closes.
inline void Echo(int aSocket) {
  char lBuffer[65536];
  for (;;) {
    const ssize_t r = ::recv(aSocket, lBuffer, sizeof lBuffer, 0);
    if (r <= 0) return;
    SendAll(aSocket, std::string(lBuffer, static_cast<std::size_t>(r)));
  }
}

// Accepts connections one after another and runs aHandler(socket, index) on each.
class ScriptedServer {
public:
  explicit ScriptedServer(std::function<void(int aSocket, int aIndex)> aHandler, bool aIPv6 = false, int aPort = 0)
      : FHandler(std::move(aHandler)), FPort(aPort) {
    FListen = Listen(aIPv6, FPort);
    FThread = std::thread([this] {
      for (int lIndex = 0; !FStop; ++lIndex) {
        pollfd p{FListen, POLLIN, 0};
        if (::poll(&p, 1, 50) <= 0) {
          --lIndex;
          continue;
        }
        const int c = ::accept(FListen, nullptr, nullptr);
        if (c < 0) continue;
        FHandler(c, lIndex);
        ::close(c);
      }
    });
  }
  ~ScriptedServer() {
    FStop = true;
    FThread.join();
    ::close(FListen);
  }
  int Port() const { return FPort; }

private:
  std::function<void(int, int)> FHandler;
  int FPort = 0;
  int FListen = -1;
  std::atomic<bool> FStop{false};
  std::thread FThread;
};

// A child process in its own process group, stopped (SIGTERM, then SIGKILL) with this object.
// It also dies with the test process, so a test killed by a timeout or a crash leaves no peer.
class ChildProcess {
public:
  // aStdout, when given, becomes the child's standard output (a pipe to read its first line from).
  explicit ChildProcess(const std::vector<std::string>& aArgs, bool aQuiet = true, int aStdout = -1) {
    const pid_t lParent = getpid();
    FPid = fork();
    if (FPid == 0) {
      setpgid(0, 0);
      prctl(PR_SET_PDEATHSIG, SIGKILL);
      if (getppid() != lParent) _exit(127);
      if (aStdout >= 0) dup2(aStdout, 1);
      if (aQuiet) {
        if (aStdout < 0) freopen("/dev/null", "w", stdout);
        freopen("/dev/null", "w", stderr);
      }
      freopen("/dev/null", "r", stdin);
      std::vector<char*> lArgv;
      for (const auto& a : aArgs) lArgv.push_back(const_cast<char*>(a.c_str()));
      lArgv.push_back(nullptr);
      execvp(lArgv[0], lArgv.data());
      _exit(127);
    }
  }
  ~ChildProcess() { Stop(); }
  void Stop() {
    if (FPid <= 0) return;
    ::kill(-FPid, SIGTERM);
    ::kill(FPid, SIGTERM);
    for (int i = 0; i < 200; ++i) {
      if (waitpid(FPid, nullptr, WNOHANG) == FPid) {
        FPid = -1;
        return;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ::kill(-FPid, SIGKILL);
    ::kill(FPid, SIGKILL);
    waitpid(FPid, nullptr, 0);
    FPid = -1;
  }
  bool Running() const { return FPid > 0 && waitpid(FPid, nullptr, WNOHANG) == 0; }
  // Sends a signal to the child (SIGSTOP freezes it, SIGCONT thaws it).
  void Signal(int aSignal) const {
    if (FPid > 0) ::kill(FPid, aSignal);
  }

private:
  pid_t FPid = -1;
};

inline std::string ReadFileText(const std::string& aPath) {
  std::string lText;
  if (FILE* f = std::fopen(aPath.c_str(), "rb")) {
    char lBuffer[4096];
    std::size_t n;
    while ((n = std::fread(lBuffer, 1, sizeof lBuffer, f)) > 0) lText.append(lBuffer, n);
    std::fclose(f);
  }
  return lText;
}

// Waits until something accepts connections on 127.0.0.1:aPort.
inline bool WaitForPort(int aPort, int aTimeoutMs = 10000) {
  const auto lEnd = std::chrono::steady_clock::now() + std::chrono::milliseconds(aTimeoutMs);
  while (std::chrono::steady_clock::now() < lEnd) {
    const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<std::uint16_t>(aPort));
    const bool lOk = ::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    ::close(s);
    if (lOk) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

}  // namespace qmt_test
