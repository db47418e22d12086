#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <atomic>
#include <mutex>

#include <regex>

#include "http_peer.h"
#include "sim_exchange.h"
#include "qmtTraderData.h"
#include "qmtTraderData_Ticker.h"
#include "ws_peer.h"

using namespace qmt_test;

namespace {

struct Result {
  int code;
  std::string out, err;
};

// Runs the command-line client with its data folder in a temporary place.
Result RunCli(const std::string& aArgs) {
  const auto lDir = std::filesystem::temp_directory_path() / ("qmt_cli_" + std::to_string(::getpid()));
  std::filesystem::create_directories(lDir);
  const std::string lOut = (lDir / "out").string(), lErr = (lDir / "err").string();
  // Bounded: a client that hung would otherwise hold the test to its time limit.
  const std::string lCommand = "QMT_API_KEY=test-key QMT_API_SECRET=test-secret timeout 120 " + std::string(QMT_CLI) + " " + aArgs +
                               " >" + lOut + " 2>" + lErr;
  const int lStatus = std::system(lCommand.c_str());
  Result r{WEXITSTATUS(lStatus), ReadFileText(lOut), ReadFileText(lErr)};
  return r;
}

}  // namespace

TEST(CommandLine, SymbolsOrdersAndRefusals) {
  HTTPServer lServer;
  lServer.Respond([](const Recorded& r) -> std::pair<std::string, std::string> {
    if (r.target == "/api/v3/exchangeInfo")
      return {"200 OK", R"({"symbols":[{"symbol":"BTCUSDT","status":"TRADING","filters":[{"filterType":"PRICE_FILTER","tickSize":"0.01"}]}]})"};
    if (r.target.find("quantity=1000.00000000") != std::string::npos)
      return {"400 Bad Request", R"({"code":-2010,"msg":"Account has insufficient balance for requested action."})"};
    return {"200 OK", "{}"};
  });
  const std::string lRest = "--rest " + lServer.Address() + " ";
  auto r = RunCli(lRest + "symbols");
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find("BTCUSDT"), std::string::npos);
  EXPECT_NE(r.out.find("tick 0.01"), std::string::npos);

  r = RunCli(lRest + "order limit buy BTCUSDT 0.001 27000");
  EXPECT_EQ(r.code, 0) << r.err;
  auto lRequests = lServer.Take();
  // The exchange information of the first run, the server's clock, then the order.
  ASSERT_EQ(lRequests.size(), 3u);
  EXPECT_EQ(lRequests[1].target, "/api/v3/time");
  EXPECT_EQ(lRequests[2].method, "POST");
  EXPECT_NE(lRequests[2].target.find("symbol=BTCUSDT&side=BUY&type=LIMIT"), std::string::npos);
  EXPECT_NE(lRequests[2].target.find("&newClientOrderId=qmt"), std::string::npos);
  EXPECT_NE(lRequests[2].head.find("X-MBX-APIKEY: test-key"), std::string::npos);
  EXPECT_EQ(r.out.find("test-secret"), std::string::npos) << "the secret is never printed";

  r = RunCli(lRest + "order market sell BTCUSDT 1000");
  EXPECT_EQ(r.code, 1);
  EXPECT_EQ(r.err, "qmt-cli: HTTP/1.1 400 Bad Request. {\"code\":-2010,\"msg\":\"Account has insufficient balance for requested action.\"}\n");
  r = RunCli("--rest http://127.0.0.1:1 symbols");
  EXPECT_EQ(r.code, 1);
  EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << "one line: " << r.err;
}

TEST(CommandLine, GrammarErrorsPrintTheUsageAndExitTwo) {
  // Nothing may be sent for a command line that is wrong: the REST address goes nowhere.
  const std::string lRest = "--rest http://127.0.0.1:1 ";
  const struct {
    const char* args;
    const char* problem;
  } lCases[] = {
      {"", "missing command"},
      {"frobnicate", "unknown command 'frobnicate'"},
      {"--colour red symbols", "unknown option '--colour'"},
      {"--market options symbols", "--market must be spot, usdm or coinm"},
      {"--verify-peer maybe symbols", "--verify-peer must be on or off"},
      {"--key", "missing value for --key"},
      {"watch", "watch needs at least one symbol"},
      {"symbols BTCUSDT", "unexpected argument 'BTCUSDT' after symbols"},
      {"balances now", "unexpected argument 'now'"},
      {"cancel", "missing arguments: cancel SYMBOL"},
      {"cancel BTCUSDT ETHUSDT", "unexpected argument 'ETHUSDT'"},
      {"positions BTCUSDT ETHUSDT", "unexpected argument 'ETHUSDT'"},
      {"order", "missing order kind"},
      {"order sideways buy BTCUSDT 1", "order kind must be market, limit, stop or stoplimit, not 'sideways'"},
      {"order market buy BTCUSDT", "missing arguments: order market SIDE SYMBOL SIZE"},
      {"order market buy BTCUSDT 1 30000", "unexpected argument '30000' after order market SIDE SYMBOL SIZE"},
      {"order limit buy BTCUSDT 1", "missing arguments: order limit SIDE SYMBOL SIZE PRICE"},
      {"order stop sell BTCUSDT 1 24000 25000", "unexpected argument '25000' after order stop SIDE SYMBOL SIZE STOP"},
      {"order stoplimit sell BTCUSDT 1 24000", "missing arguments: order stoplimit SIDE SYMBOL SIZE PRICE STOP"},
      {"order limit hold BTCUSDT 1 27000", "side must be buy or sell, not 'hold'"},
  };
  for (const auto& c : lCases) {
    SCOPED_TRACE(c.args);
    const Result r = RunCli(lRest + c.args);
    EXPECT_EQ(r.code, 2);
    EXPECT_EQ(r.err.rfind(std::string("qmt-cli: ") + c.problem, 0), 0u) << r.err;
    EXPECT_NE(r.err.find("usage: qmt-cli"), std::string::npos);
    EXPECT_EQ(r.out, "");
  }
  const Result lHelp = RunCli("--help");
  EXPECT_EQ(lHelp.code, 0);
  EXPECT_EQ(lHelp.err, "");
  for (const char* lPart : {"order stoplimit SIDE SYMBOL SIZE PRICE STOP", "--market spot|usdm|coinm", "QMT_API_KEY",
                            "[SETTINGS]", "Exit codes: 0 success, 1 failure", "2 wrong command line"})
    EXPECT_NE(lHelp.out.find(lPart), std::string::npos) << lPart;
}

TEST(CommandLine, FailedConnectionSaysWhy) {
  HTTPServer lRest;
  lRest.Answer("200 OK", R"({"symbols":[]})");
  Result r = RunCli("--rest " + lRest.Address() + " --stream ws://127.0.0.1:1 watch BTCUSDT");
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("cannot connect to the exchange's stream at 127.0.0.1:1: Socket Error # 111"), std::string::npos) << r.err;
  // The market data connects, but the exchange refuses the account's user-data subscription.
  ScriptedServer lStream([](int s, int) { WsServe(s, true, nullptr, 3000); });
  ScriptedServer lApi([](int s, int) {
    WsAccept(s);
    const auto [lOp, lRequest] = WsReadClientFrame(s, 3000);
    const auto lAt = lRequest.find("\"id\":\"") + 6;
    const std::string lId = lRequest.substr(lAt, lRequest.find('"', lAt) - lAt);
    SendAll(s, WsServerFrame(0x81, R"({"id":")" + lId +
                                       R"(","status":401,"error":{"code":-2015,"msg":"Invalid API-key, IP, or permissions for action."}})"));
    WsReadClientFrame(s, 3000);
  });
  r = RunCli("--rest " + lRest.Address() + " --stream ws://127.0.0.1:" + std::to_string(lStream.Port()) +
             " --ws-api ws://127.0.0.1:" + std::to_string(lApi.Port()) + "/ws-api/v3 watch BTCUSDT");
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("refused the user-data subscription"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("-2015"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("cannot connect to the account's WebSocket API at 127.0.0.1:" + std::to_string(lApi.Port())), std::string::npos)
      << r.err;
  // The market data connects, the account's WebSocket-API host does not exist: that one is named.
  r = RunCli("--rest " + lRest.Address() + " --stream ws://127.0.0.1:" + std::to_string(lStream.Port()) +
             " --ws-api ws://no-such-host.invalid:9443/ws-api/v3 watch BTCUSDT");
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("cannot connect to the account's WebSocket API at no-such-host.invalid:9443"), std::string::npos) << r.err;
}

TEST(CommandLine, WatchPrintsEventsAndStopsOnInterrupt) {
  std::mutex lLock;
  std::vector<std::string> lSubscribed;
  ScriptedServer lStream([&](int s, int) {
    WsServe(s, true, [&, s](int aOp, const std::string& aPayload) {
      if (aOp != 0x1) return true;
      {
        std::lock_guard g(lLock);
        lSubscribed.push_back(aPayload);
      }
      if (aPayload.find("@ticker") != std::string::npos)
        SendAll(s, WsServerFrame(0x81, R"({"e":"24hrTicker","E":1672515782123,"s":"BTCUSDT","c":"27123.45","Q":"0.5",)"
                                       R"("o":"26000","h":"27500","l":"25900","b":"27123.44","a":"27123.46"})"));
      if (aPayload.find("@depth20") != std::string::npos)
        SendAll(s, WsServerFrame(0x81, R"({"lastUpdateId":1,"bids":[["27123.44","1.5"]],"asks":[["27123.46","0.7"]]})"));
      if (aPayload.find("@aggTrade") != std::string::npos)
        SendAll(s, WsServerFrame(0x81, R"({"e":"aggTrade","s":"BTCUSDT","p":"27123.45","q":"0.125","T":1672515782136})"));
      return true;
    }, 20000);
  });
  HTTPServer lRest;
  lRest.Answer("200 OK", R"({"symbols":[]})");
  // A copy of the program beside a stored watch list of the desktop client's (ETHUSDT): watch must
  // neither subscribe it nor change the file.
  const auto lDir = std::filesystem::temp_directory_path() / ("qmt_cli_watch_" + std::to_string(::getpid()));
  std::filesystem::remove_all(lDir);
  std::filesystem::create_directories(lDir / "db");
  const std::string lOut = (lDir / "out").string();
  const std::string lProgram = (lDir / "qmt-cli").string();
  std::filesystem::copy_file(QMT_CLI, lProgram);
  SetTraderDataFolder((lDir / "db").string());
  TqmtTraderTicker lStored;
  lStored.SetSymbol("ETHUSDT");
  GetTraderDataTicker().UpdateTicker(lStored);
  FreeTraderData();
  const std::string lStoredFile = (lDir / "db" / "qmtTicker.db").string();
  const std::string lStoredBefore = ReadFileText(lStoredFile);
  ASSERT_FALSE(lStoredBefore.empty());
  const pid_t lPid = fork();
  if (lPid == 0) {
    const int fd = ::open(lOut.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(fd, 1);
    setenv("QMT_API_KEY", "", 1);
    const std::string lStreamURL = "ws://127.0.0.1:" + std::to_string(lStream.Port());
    execl(lProgram.c_str(), "qmt-cli", "--rest", lRest.Address().c_str(), "--stream", lStreamURL.c_str(), "watch", "BTCUSDT",
          static_cast<char*>(nullptr));
    _exit(127);
  }
  std::string lText;
  for (int i = 0; i < 500; ++i) {
    lText = ReadFileText(lOut);
    if (lText.find("TRADE") != std::string::npos && lText.find("BOOK") != std::string::npos &&
        lText.find("TICKER") != std::string::npos)
      break;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  ::kill(lPid, SIGINT);
  int lStatus = 0;
  waitpid(lPid, &lStatus, 0);
  EXPECT_TRUE(WIFEXITED(lStatus) && WEXITSTATUS(lStatus) == 0) << "an interrupt disconnects and ends cleanly";
  lText = ReadFileText(lOut);
  EXPECT_NE(lText.find("-- connected"), std::string::npos) << lText;
  EXPECT_NE(lText.find("TICKER BTCUSDT last 27123.45 bid 27123.44 ask 27123.46"), std::string::npos) << lText;
  EXPECT_NE(lText.find("BOOK   (snapshot) bid 27123.44 x 1.5 | ask 27123.46 x 0.7"), std::string::npos) << lText;
  EXPECT_NE(lText.find("TRADE  BTCUSDT 0.125 @ 27123.45"), std::string::npos) << lText;
  EXPECT_EQ(lText.find("reconnecting"), std::string::npos) << lText;
  {
    std::lock_guard g(lLock);
    for (const auto& p : lSubscribed) EXPECT_EQ(p.find("ethusdt"), std::string::npos) << p;
    ASSERT_EQ(lSubscribed.size(), 1u) << "one SUBSCRIBE";
    EXPECT_EQ(lSubscribed[0], R"({"method": "SUBSCRIBE", "params":["btcusdt@ticker","btcusdt@depth20@1000ms","btcusdt@aggTrade"], "id": 1})");
  }
  EXPECT_EQ(ReadFileText(lStoredFile), lStoredBefore) << "the stored watch list is untouched";
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(lDir / "db"), std::filesystem::directory_iterator()), 1);
  std::filesystem::remove_all(lDir);
}

namespace {

// A session fed aInput on its standard input, against the simulated exchange.
Result RunSession(const SimExchange& aExchange, int aMarket, const std::string& aOptions, const std::string& aInput) {
  const auto lDir = std::filesystem::temp_directory_path() / ("qmt_cli_" + std::to_string(::getpid()));
  std::filesystem::create_directories(lDir);
  const std::string lIn = (lDir / "in").string();
  {
    std::FILE* f = std::fopen(lIn.c_str(), "w");
    std::fputs(aInput.c_str(), f);
    std::fclose(f);
  }
  const char* lMarkets[] = {"spot", "usdm", "coinm"};
  return RunCli(std::string("--key qmt-sim-key --market ") + lMarkets[aMarket] + " --exchange http://127.0.0.1:" +
                std::to_string(aExchange.Port(aMarket)) + " " + aOptions + " session <" + lIn);
}

std::vector<std::string> Lines(const std::string& aText) {
  std::vector<std::string> l;
  std::size_t a = 0;
  for (std::size_t b; (b = aText.find('\n', a)) != std::string::npos; a = b + 1) l.push_back(aText.substr(a, b - a));
  return l;
}

bool Matches(const std::string& aLine, const char* aPattern) { return std::regex_match(aLine, std::regex(aPattern)); }

}  // namespace

TEST(CommandLine, SessionPlacesCancelsAndRefusesLineByLine) {
  SimExchange lExchange;
  const std::string lInput =
      "order limit buy BTCUSDT 0.01 100\n"
      "cancel BTCUSDT\n"
      "order limit buy NOSUCHSYMBOL 1 1\n"
      "order market sell BTCUSDT 1000000\n"
      "\n"
      "order limit buy BTCUSDT x 1\n"
      "fly away\n"
      "balances\n"
      "quit\n"
      "order market buy BTCUSDT 0.01\n";  // after quit: never read
  for (int lMarket : {0, 1}) {
    SCOPED_TRACE(lMarket);
    const Result r = RunSession(lExchange, lMarket, "--secret qmt-sim-secret", lInput);
    EXPECT_EQ(r.code, 0) << r.err;
    const auto l = Lines(r.out);
    ASSERT_EQ(l.size(), 8u) << "one line per command, none after quit: " << r.out;
    EXPECT_EQ(l[0], "ok ready");
    EXPECT_TRUE(Matches(l[1], "ok order qmt[0-9A-F]{29} NEW")) << l[1];
    EXPECT_TRUE(Matches(l[2], "ok cancel BTCUSDT.*")) << l[2];
    EXPECT_TRUE(Matches(l[3], "error refused qmt[0-9A-F]{29} -1121 Invalid symbol\\.")) << l[3];
    EXPECT_TRUE(Matches(l[4], lMarket == 0 ? "error refused qmt.* -2010 Account has insufficient balance.*" : "ok order qmt.* FILLED"))
        << l[4];
    EXPECT_EQ(l[5], "error not a number for size: x");
    EXPECT_EQ(l[6], "error unknown command 'fly'");
    EXPECT_TRUE(Matches(l[7], "ok balances .*USDT.*")) << l[7];
  }
}

TEST(CommandLine, SessionFollowsAnUnknownOrderAndRefusesAWrongSecret) {
  SimExchange lExchange({"--orders-503", "1"});
  Result r = RunSession(lExchange, 1, "--secret qmt-sim-secret", "order limit buy BTCUSDT 0.01 100\nsymbols\nbalances\n");
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_TRUE(Matches(Lines(r.out).at(1), "error unknown qmt[0-9A-F]{29} status 503: -1007 .*")) << r.out;
  const std::string lId = Lines(r.out).at(1).substr(14, 32);
  EXPECT_NE(r.out.find("OUTCOME " + lId + " found NEW\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("ok symbols BTCUSDT ETHUSDT"), std::string::npos) << r.out;

  r = RunSession(lExchange, 0, "--secret wrong", "balances\n");
  EXPECT_EQ(r.code, 1);
  EXPECT_EQ(r.out, "") << "no ok ready";
  EXPECT_NE(r.err.find("-1022"), std::string::npos) << r.err;
}

TEST(CommandLine, AFuturesSessionWatchesTheSymbolsItIsGiven) {
  // The symbols go to the market's own watch list: the sign-in to USDT-margined futures must not
  // leave them behind on spot's.
  SimExchange lExchange;
  const auto lDir = std::filesystem::temp_directory_path() / ("qmt_cli_watch_usdm_" + std::to_string(::getpid()));
  std::filesystem::create_directories(lDir);
  const std::string lOut = (lDir / "out").string();
  const std::string lCommand = "(sleep 4; echo quit) | QMT_API_KEY=qmt-sim-key QMT_API_SECRET=qmt-sim-secret timeout 60 " +
                               std::string(QMT_CLI) + " --market usdm --exchange http://127.0.0.1:" +
                               std::to_string(lExchange.Port(1)) + " session --watch BTCUSDT >" + lOut + " 2>&1";
  EXPECT_EQ(WEXITSTATUS(std::system(lCommand.c_str())), 0);
  const std::string lText = ReadFileText(lOut);
  EXPECT_NE(lText.find("TICKER BTCUSDT"), std::string::npos) << lText;
  std::filesystem::remove_all(lDir);
}

TEST(CommandLine, TheSecretComesFromAFileOrStandardInputAndTheOptionWarns) {
  SimExchange lExchange;
  const auto lDir = std::filesystem::temp_directory_path() / ("qmt_cli_secret_" + std::to_string(::getpid()));
  std::filesystem::create_directories(lDir);
  const std::string lFile = (lDir / "secret").string();
  std::ofstream(lFile) << "qmt-sim-secret\n";
  ::chmod(lFile.c_str(), 0600);
  const std::string lExchangeOption = "--key qmt-sim-key --exchange http://127.0.0.1:" + std::to_string(lExchange.Port(0));
  Result r = RunCli(lExchangeOption + " --secret-file " + lFile + " balances");
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.err, "") << "no warning for a private file";
  // Standard input: the first line is the secret, the session's commands follow.
  const std::string lIn = (lDir / "in").string();
  std::ofstream(lIn) << "qmt-sim-secret\nbalances\nquit\n";
  r = RunCli(lExchangeOption + " --secret-file - session <" + lIn);
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find("ok balances"), std::string::npos) << r.out;
  r = RunCli(lExchangeOption + " --secret qmt-sim-secret balances");
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.err.find("warning: --secret shows the secret to every local user"), std::string::npos) << r.err;
  EXPECT_EQ(r.err.find("qmt-sim-secret"), std::string::npos) << "the warning never repeats the secret";
  std::filesystem::remove_all(lDir);
}
