// qmt-cli: the trading core without windows.
//
//   qmt-cli [options] watch SYMBOL...          print every ticker, book and trade as one line until interrupted
//   qmt-cli [options] symbols                  list the exchange's symbols and tick sizes
//   qmt-cli [options] order market SIDE SYMBOL SIZE
//   qmt-cli [options] order limit SIDE SYMBOL SIZE PRICE
//   qmt-cli [options] order stop SIDE SYMBOL SIZE STOP
//   qmt-cli [options] order stoplimit SIDE SYMBOL SIZE PRICE STOP      SIDE buy|sell
//   qmt-cli [options] cancel SYMBOL            cancel the symbol's open orders
//   qmt-cli [options] positions [SYMBOL]       futures positions
//   qmt-cli [options] balances                 account balances
//
// Options: --market spot|usdm|coinm, --testnet, --key KEY, --secret SECRET or --secret-file FILE (or
// QMT_API_KEY and QMT_API_SECRET, or the desktop's keyring entry for the key and market, or
// ApiKey/ApiSecret of [SETTINGS] in the settings file), --settings FILE (default:
// qmt-cli.ini beside the program, or in the user's settings folder when installed), --exchange URL (every address of the market at one server, for
// example the simulated exchange: http://127.0.0.1:PORT, streams on ws://127.0.0.1:PORT),
// --rest URL, --stream URL and --ws-api URL (each alone), --verify-peer on|off.
// The secret is never printed. A failure is one line on standard error and exit code 1; a wrong
// command line prints the usage with what was wrong and exits 2. watch never reads or changes the
// desktop client's stored tables.
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <iostream>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

#include "qmtBase_Helpers.h"
#include "qmtBinance_Addresses.h"
#include "qmtJSON.h"
#include "qmtLocations.h"
#include "qmtTraderClient_Binance.h"
#include "qmtTraderData.h"
#include "qmtTraderData_Ticker.h"
#include "qmtIniFile.h"
#include "qmtTraderHelpers.h"
#include "qmtSecretStore.h"

#include <QCoreApplication>

namespace {

std::atomic<bool> gInterrupted{false};
void OnSignal(int) { gInterrupted = true; }

struct Settings {
  std::string Market = "spot";
  bool TestNet = false;
  std::string Key, Secret;
  std::string Rest, Stream, WsApi, Exchange;
  bool Verify = true;
};

std::string Env(const char* aName) {
  const char* v = std::getenv(aName);
  return v ? v : "";
}

std::string Decimal(long double aValue) {
  char lText[64];
  std::snprintf(lText, sizeof lText, "%.8Lf", aValue);
  std::string s = lText;
  while (s.size() > 1 && s.back() == '0') s.pop_back();
  if (s.back() == '.') s.pop_back();
  return s;
}

std::string Clock(TDateTime aValue) {
  if (aValue <= 0) return "-";
  const double lSeconds = (aValue - std::floor(aValue)) * 86400.0 + 1e-6;
  const int h = static_cast<int>(lSeconds / 3600), m = static_cast<int>(lSeconds / 60) % 60, s = static_cast<int>(lSeconds) % 60;
  const int ms = static_cast<int>((lSeconds - std::floor(lSeconds)) * 1000);
  char lText[32];
  std::snprintf(lText, sizeof lText, "%02d:%02d:%02d.%03d", h, m, s, ms);
  return lText;
}

// Prints each event as one line; called on the stream's thread.
struct Printer : TObject {
  std::mutex Lock;
  void Line(const std::string& aText) {
    std::lock_guard g(Lock);
    std::printf("%s\n", aText.c_str());
    std::fflush(stdout);
  }
  void OnTicker(TObject*, const TqmtTraderTicker& t) {
    Line("TICKER " + t.Symbol() + " last " + Decimal(t.Price()) + " bid " + Decimal(t.Bid()) + " ask " + Decimal(t.Ask()) +
         " open " + Decimal(t.Open()) + " high " + Decimal(t.High()) + " low " + Decimal(t.Low()) + " size " +
         Decimal(t.Size()) + " at " + Clock(t.Date()));
  }
  void OnBook(TObject*, const TqmtTraderBookDepth& b) {
    Line("BOOK   " + (b.Symbol().empty() ? std::string("(snapshot)") : b.Symbol()) + " bid " +
         Decimal(b.Bids().Value(1).Price()) + " x " + Decimal(b.Bids().Value(1).Size()) + " | ask " +
         Decimal(b.Asks().Value(1).Price()) + " x " + Decimal(b.Asks().Value(1).Size()) + " | depth " +
         Decimal(b.Bids().GetSizeSum()) + " / " + Decimal(b.Asks().GetSizeSum()));
  }
  void OnTrade(TObject*, const TqmtTraderTrade& t) {
    Line("TRADE  " + t.Symbol() + " " + Decimal(t.Size()) + " @ " + Decimal(t.Price()) + " at " + Clock(t.Date()));
  }
  void OnOrder(TObject*, const TqmtTraderOrder& o) {
    Line("ORDER  " + o.Symbol() + " " + o.OrderSide() + " " + o.OrderType() + " " + o.OrderStatus() + " size " +
         Decimal(o.Size()) + " price " + Decimal(o.Price()));
  }
  void OnBalance(TObject*, const TqmtTraderBalance& b) {
    Line("BALANCE " + b.Symbol() + " wallet " + Decimal(b.WalletBalance()) + " cross " + Decimal(b.CrossWalletBalance()) +
         " change " + Decimal(b.BalanceChange()));
  }
  void OnPosition(TObject*, const TqmtTraderPosition& p) {
    Line("POSITION " + p.Symbol() + " position " + Decimal(p.Position()) + " entry " + Decimal(p.EntryPrice()) +
         " market " + Decimal(p.MarketPrice()) + " unrealised " + Decimal(p.UnRealizedProfit()));
  }
  void OnConnect(TObject*) { Line("-- connected"); }
  void OnDisconnect(TObject*) {
    // When we are stopping (Ctrl-C may also have stopped the server) nothing is reconnected.
    if (!gInterrupted) Line("-- disconnected; reconnecting");
  }
};

// The printer's registrations with the trader client, ended with this object whatever way the
// command leaves (a refused sign-in raises past the end of the command).
class PrinterRegistration {
public:
  PrinterRegistration(TqmtTraderClient& aClient, Printer& aPrinter, bool aMarket) {
    if (aMarket) {
      FListening.push_back(aClient.ListenTicker({&aPrinter, &Printer::OnTicker}));
      FListening.push_back(aClient.ListenBookDepth({&aPrinter, &Printer::OnBook}));
      FListening.push_back(aClient.ListenTrade({&aPrinter, &Printer::OnTrade}));
    }
    FListening.push_back(aClient.ListenOrder({&aPrinter, &Printer::OnOrder}));
    FListening.push_back(aClient.ListenBalance({&aPrinter, &Printer::OnBalance}));
    FListening.push_back(aClient.ListenPosition({&aPrinter, &Printer::OnPosition}));
    FListening.push_back(aClient.ListenConnect({&aPrinter, &Printer::OnConnect}));
    FListening.push_back(aClient.ListenDisconnect({&aPrinter, &Printer::OnDisconnect}));
  }

private:
  std::vector<TqmtRegistration> FListening;  // each ends with this object
};

// The session's results of the command queue, by ticket: the command's first result is its answer;
// what settles an order of unknown outcome later is printed as an event line of its own.
class SessionResults : public TObject {
public:
  explicit SessionResults(Printer& aPrinter) : FPrinter(aPrinter) {}
  void OnResult(TObject*, const TqmtTraderCommandResult& r) {
    const bool lEvent = r.Outcome == TqmtTraderOutcome::tocSettled || r.Outcome == TqmtTraderOutcome::tocNotPlaced ||
                        r.Outcome == TqmtTraderOutcome::tocUnknown;
    const std::string lLine = !lEvent ? std::string()
                              : "OUTCOME " + r.ClientOrderId + " " +
                                    (r.Outcome == TqmtTraderOutcome::tocSettled   ? "found " + r.Status
                                     : r.Outcome == TqmtTraderOutcome::tocNotPlaced ? std::string("not-placed")
                                                                                    : "unknown " + r.Message);
    {
      std::lock_guard g(FLock);
      if (FWaiting == r.Ticket && !FHave) {
        FResult = r;
        FHave = true;
        FDone.notify_all();
        return;
      }
      if (!lEvent) return;
      // What settles the command being answered comes after its answer's line.
      if (FWaiting == r.Ticket) {
        FDeferred.push_back(lLine);
        return;
      }
    }
    FPrinter.Line(lLine);
  }
  // The answer of the awaited command is printed: what settled it meanwhile follows.
  void Printed() {
    std::vector<std::string> lLines;
    {
      std::lock_guard g(FLock);
      lLines.swap(FDeferred);
      FWaiting = 0;
    }
    for (const std::string& l : lLines) FPrinter.Line(l);
  }
  // Waits for the first result of aTicket (the worker answers every command within its time-outs).
  TqmtTraderCommandResult Wait(std::uint64_t aTicket) {
    std::unique_lock g(FLock);
    FDone.wait(g, [&] { return FHave && FResult.Ticket == aTicket; });
    return FResult;
  }
  // Submits under the lock, so the command's result cannot pass before its ticket is known.
  template <typename Submit>
  std::uint64_t Run(Submit aSubmit) {
    std::lock_guard g(FLock);
    FHave = false;
    FWaiting = aSubmit();
    return FWaiting;
  }

private:
  Printer& FPrinter;
  std::mutex FLock;
  std::condition_variable FDone;
  std::uint64_t FWaiting = 0;
  bool FHave = false;
  TqmtTraderCommandResult FResult;
  std::vector<std::string> FDeferred;
};

// A command line that does not follow the grammar: usage, exit code 2.
class EUsage : public Exception {
public:
  using Exception::Exception;
};

// The first line of a file (or of standard input for "-"), without its line end: the secret,
// which then appears in no process list. A file others can read is used, with a warning.
std::string ReadSecretFile(const std::string& aPath) {
  std::string lLine;
  if (aPath == "-") {
    std::getline(std::cin, lLine);
  } else {
    std::ifstream lIn(aPath);
    if (!lIn) throw EUsage("cannot read the secret file " + aPath);
    std::getline(lIn, lLine);
    // A private key's PEM file (Ed25519 or RSA): the whole of it is the secret.
    if (lLine.rfind("-----BEGIN", 0) == 0) {
      std::string lRest((std::istreambuf_iterator<char>(lIn)), std::istreambuf_iterator<char>());
      lLine += "\n" + lRest;
    }
    struct stat st {};
    if (::stat(aPath.c_str(), &st) == 0 && (st.st_mode & (S_IRGRP | S_IROTH)) != 0)
      std::fprintf(stderr, "qmt-cli: warning: the secret file %s can be read by other users (chmod 600 it)\n", aPath.c_str());
  }
  while (!lLine.empty() && (lLine.back() == '\r' || lLine.back() == '\n' || lLine.back() == ' ')) lLine.pop_back();
  if (lLine.empty()) throw EUsage("the secret file " + aPath + " holds no secret");
  return lLine;
}


int Fail(const std::string& aMessage) {
  std::string lText = aMessage;
  for (char& c : lText)
    if (c == '\r' || c == '\n') c = ' ';
  std::fprintf(stderr, "qmt-cli: %s\n", lText.c_str());
  return 1;
}

const char* const kUsage =
    "usage: qmt-cli [OPTIONS] COMMAND [ARGUMENTS]\n"
    "\n"
    "Commands:\n"
    "  watch SYMBOL...                          print every ticker, book and trade of exactly these symbols,\n"
    "                                           and with a key the account's orders, balances and positions,\n"
    "                                           one line each, until Ctrl-C (reconnects by itself)\n"
    "  symbols                                  list the market's symbols, status and tick size\n"
    "  session [--watch SYMBOL,...]             sign in once, then read commands from standard input, one a\n"
    "                                           line (order ..., cancel SYMBOL, positions [SYMBOL], balances,\n"
    "                                           symbols; quit or end of input ends it); prints \"ok ready\",\n"
    "                                           then one line per command: \"ok ...\" or \"error ...\" (an\n"
    "                                           order: its client order id and status, or the reason); an\n"
    "                                           order of unknown outcome is settled later by a line\n"
    "                                           \"OUTCOME ID found STATUS|not-placed\"; --watch adds the\n"
    "                                           event lines of watch\n"
    "  order market SIDE SYMBOL SIZE            market order\n"
    "  order limit SIDE SYMBOL SIZE PRICE       limit order at PRICE\n"
    "  order stop SIDE SYMBOL SIZE STOP         stop order triggered at STOP\n"
    "  order stoplimit SIDE SYMBOL SIZE PRICE STOP\n"
    "                                           limit order at PRICE once STOP trades\n"
    "  cancel SYMBOL                            cancel the symbol's open orders\n"
    "  positions [SYMBOL]                       futures positions (usdm, coinm)\n"
    "  balances                                 account balances\n"
    "  SIDE is buy or sell; numbers use '.' as the decimal point whatever the locale.\n"
    "\n"
    "Options:\n"
    "  --market spot|usdm|coinm                 spot (default), USDT- or coin-margined futures\n"
    "  --testnet                                the exchange's test network\n"
    "  --key KEY, --secret SECRET               API key and secret (the secret is never printed; --secret\n"
    "                                           shows it in the process list: prefer the next two)\n"
    "  --secret-file FILE                       the secret from the file's first line (- standard input), or\n"
    "                                           a PEM private key file (Ed25519 or RSA key) whole\n"
    "  --settings FILE                          settings file (default: qmt-cli.ini beside the program, or\n"
    "                                           ~/.config/qmtTrader/qmt-cli.ini when installed; XDG_CONFIG_HOME\n"
    "                                           moves it)\n"
    "  --exchange URL                           every address of the market at one server, e.g. the simulated\n"
    "                                           exchange at http://127.0.0.1:PORT (streams at ws://127.0.0.1:PORT,\n"
    "                                           its WebSocket API at ws://127.0.0.1:PORT/ws-api/v3)\n"
    "  --rest URL, --stream URL, --ws-api URL   the REST, the stream or the WebSocket-API address alone\n"
    "  --verify-peer on|off                     check the servers' certificates (default on)\n"
    "  --help                                   this text\n"
    "\n"
    "Environment:\n"
    "  QMT_API_KEY, QMT_API_SECRET              key and secret when not given as options\n"
    "  QMT_BINANCE_<NAME>                       one exchange address, e.g. QMT_BINANCE_SPOT_REST,\n"
    "                                           QMT_BINANCE_SPOT_STREAM, QMT_BINANCE_FUTURES_USDT_REST\n"
    "\n"
    "The secret, when no option gives it: QMT_API_SECRET, else the system keyring's entry for the key and\n"
    "market (the one the desktop client keeps), else the settings file.\n"
    "\n"
    "Settings file: section [SETTINGS], keys ApiKey and ApiSecret (used when neither option nor\n"
    "environment gives them).\n"
    "\n"
    "Exit codes: 0 success, 1 failure (one line on standard error), 2 wrong command line.\n";

int Usage(const std::string& aProblem) {
  std::fprintf(stderr, "qmt-cli: %s\n%s", aProblem.c_str(), kUsage);
  return 2;
}

// Checks the command's words before anything is sent: a missing or extra word is a usage error.
void CheckCommand(const std::vector<std::string>& aArgs) {
  const std::string& lCommand = aArgs[0];
  const std::size_t n = aArgs.size() - 1;  // words after the command
  auto lExactly = [&](std::size_t aCount, const char* aShape) {
    if (n < aCount) throw EUsage("missing arguments: " + lCommand + " " + aShape);
    if (n > aCount) throw EUsage("unexpected argument '" + aArgs[aCount + 1] + "' after " + lCommand + " " + aShape);
  };
  if (lCommand == "watch") {
    if (n == 0) throw EUsage("watch needs at least one symbol: watch SYMBOL...");
  } else if (lCommand == "symbols" || lCommand == "balances") {
    lExactly(0, "");
  } else if (lCommand == "cancel") {
    lExactly(1, "SYMBOL");
  } else if (lCommand == "positions") {
    if (n > 1) throw EUsage("unexpected argument '" + aArgs[2] + "' after positions [SYMBOL]");
  } else if (lCommand == "session") {
    if (n == 1 || n > 2 || (n == 2 && aArgs[1] != "--watch"))
      throw EUsage("session takes no arguments but --watch SYMBOL,...: session [--watch SYMBOL,...]");
  } else if (lCommand == "order") {
    if (n == 0) throw EUsage("missing order kind: order market|limit|stop|stoplimit ...");
    const std::string& lKind = aArgs[1];
    const char* lShape = lKind == "market"  ? "market SIDE SYMBOL SIZE"
                         : lKind == "limit" ? "limit SIDE SYMBOL SIZE PRICE"
                         : lKind == "stop"  ? "stop SIDE SYMBOL SIZE STOP"
                         : lKind == "stoplimit" ? "stoplimit SIDE SYMBOL SIZE PRICE STOP"
                                                : nullptr;
    if (!lShape) throw EUsage("order kind must be market, limit, stop or stoplimit, not '" + lKind + "'");
    const std::size_t lWords = lKind == "market" ? 4 : lKind == "stoplimit" ? 6 : 5;
    lExactly(lWords, lShape);
    if (aArgs[2] != "buy" && aArgs[2] != "sell") throw EUsage("side must be buy or sell, not '" + aArgs[2] + "'");
  } else {
    throw EUsage("unknown command '" + lCommand + "'");
  }
}

void PointAddresses(const Settings& s) {
  auto lWs = [](std::string aURL) {
    if (aURL.rfind("https://", 0) == 0) return "wss://" + aURL.substr(8);
    if (aURL.rfind("http://", 0) == 0) return "ws://" + aURL.substr(7);
    return aURL;
  };
  if (!s.Rest.empty())
    for (auto a : {TqmtBinanceAddress::SpotRest, TqmtBinanceAddress::SpotTestRest, TqmtBinanceAddress::FuturesUSDTRest,
                   TqmtBinanceAddress::FuturesCOINRest, TqmtBinanceAddress::FuturesTestRest, TqmtBinanceAddress::FuturesUSDTTestRest})
      SetBinanceAddress(a, s.Rest);
  // The WebSocket APIs: --ws-api alone (the chosen market's), or --exchange's server at /ws-api/v3
  // (spot) and /ws-fapi/v1 (USDT-margined).
  const std::string lWsApi = !s.WsApi.empty() ? lWs(s.WsApi) : s.Exchange.empty() ? std::string() : lWs(s.Exchange) + "/ws-api/v3";
  if (!lWsApi.empty())
    for (auto a : {TqmtBinanceAddress::SpotWSAPI, TqmtBinanceAddress::SpotTestWSAPI}) SetBinanceAddress(a, lWsApi);
  const std::string lFuturesWsApi =
      !s.WsApi.empty() ? lWs(s.WsApi) : s.Exchange.empty() ? std::string() : lWs(s.Exchange) + "/ws-fapi/v1";
  if (!lFuturesWsApi.empty())
    for (auto a : {TqmtBinanceAddress::FuturesUSDTWSAPI, TqmtBinanceAddress::FuturesUSDTTestWSAPI})
      SetBinanceAddress(a, lFuturesWsApi);
  if (!s.Stream.empty())
    for (auto a : {TqmtBinanceAddress::SpotStream, TqmtBinanceAddress::SpotTestStream, TqmtBinanceAddress::FuturesUSDTStream,
                   TqmtBinanceAddress::FuturesUSDTTestStream, TqmtBinanceAddress::FuturesCOINStream,
                   TqmtBinanceAddress::FuturesCOINTestStream})
      SetBinanceAddress(a, lWs(s.Stream));
}

long double Number(const std::string& aText, const char* aWhat) {
  try {
    return TraderStrToFloat(aText);  // "." whatever the locale
  } catch (...) {
    throw Exception(std::string("not a number for ") + aWhat + ": " + aText);
  }
}

// The connection that failed, its address and why (a refused key in the exchange's words).
std::string SignInFailure(TqmtTraderClient_Binance& c) { return c.SignInFailure(); }

std::vector<std::string> Words(const std::string& aLine) {
  std::vector<std::string> lWords;
  std::string lWord;
  for (char ch : aLine) {
    if (ch == ' ' || ch == '\t' || ch == '\r') {
      if (!lWord.empty()) lWords.push_back(std::move(lWord)), lWord.clear();
    } else {
      lWord += ch;
    }
  }
  if (!lWord.empty()) lWords.push_back(std::move(lWord));
  return lWords;
}

// One signed-in session: a command per line of standard input, a result line per command ("ok ..."
// or "error ..."), flushed; everything that talks to the exchange runs on the client's command queue.
int RunSession(TqmtTraderClient_Binance& c, const Settings& s, const std::vector<std::string>& aArgs) {
  const bool lFutures = s.Market != "spot";
  Printer lPrinter;
  std::string lWatch;
  if (aArgs.size() == 3) lWatch = aArgs[2];
  std::vector<std::string> lSymbols;
  for (std::size_t lAt = 0; lAt < lWatch.size();) {
    const std::size_t lComma = std::min(lWatch.find(',', lAt), lWatch.size());
    if (lComma > lAt) lSymbols.push_back(lWatch.substr(lAt, lComma - lAt));
    lAt = lComma + 1;
  }
  // The market's own watch list (the sign-in switches to it).
  SetTraderDataMarket(TqmtTraderClient_Binance::DataMarket(lFutures, s.Market == "coinm" ? 1 : 0));
  for (const std::string& lSymbol : lSymbols) {
    TqmtTraderTicker lRow;
    lRow.SetSymbol(lSymbol);
    GetTraderDataTicker().UpdateTicker(lRow);
  }
  std::optional<PrinterRegistration> lRegistration;
  if (!lSymbols.empty()) lRegistration.emplace(c, lPrinter, true);
  SessionResults lResults(lPrinter);
  const TqmtRegistration lResultsRegistration = c.ListenCommandResult({&lResults, &SessionResults::OnResult});
  if (!c.Initialize(s.Key, s.Secret, lFutures, s.Market == "coinm" ? 1 : 0, s.TestNet)) throw Exception(SignInFailure(c));
  lPrinter.Line("ok ready");

  std::string lLine;
  char lBuffer[4096];
  while (!gInterrupted && std::fgets(lBuffer, sizeof lBuffer, stdin)) {
    lLine = lBuffer;
    while (!lLine.empty() && (lLine.back() == '\n' || lLine.back() == '\r')) lLine.pop_back();
    std::vector<std::string> w = Words(lLine);
    if (w.empty()) continue;
    if (w[0] == "quit" || w[0] == "exit") break;
    try {
      CheckCommand(w);
      if (w[0] == "watch" || w[0] == "session") throw EUsage(w[0] + " is not a session command");
    } catch (const std::exception& e) {
      lPrinter.Line("error " + std::string(e.what()));
      continue;
    }
    TqmtTraderCommandResult r;
    std::string lText;
    std::uint64_t lTicket = 0;
    if (w[0] == "order") {
      TqmtTraderOrderRequest o;
      o.Symbol = w[3];
      o.Side = w[2] == "sell" ? TqmtTraderOrderSide::stosSell : TqmtTraderOrderSide::stosBuy;
      try {
        o.Size = Number(w[4], "size");
        if (w[1] == "market") {
          o.Type = TqmtTraderOrderType::totMarket;
        } else if (w[1] == "limit") {
          o.Type = TqmtTraderOrderType::totLimit;
          o.Price = Number(w[5], "price");
        } else if (w[1] == "stop") {
          o.Type = TqmtTraderOrderType::totStop;
          o.StopPrice = Number(w[5], "stop price");
        } else {
          o.Type = TqmtTraderOrderType::totStopLimit;
          o.Price = Number(w[5], "price");
          o.StopPrice = Number(w[6], "stop price");
        }
      } catch (const std::exception& e) {
        lPrinter.Line("error " + std::string(e.what()));
        continue;
      }
      lTicket = lResults.Run([&] { return c.SubmitOrder(o); });
    } else if (w[0] == "cancel") {
      lTicket = lResults.Run([&] { return c.SubmitCancelAll(w[1]); });
    } else {
      const std::string lWhat = w[0];
      const std::string lSymbol = w.size() > 1 ? w[1] : "";
      lTicket = lResults.Run([&] {
        return c.SubmitTask("", lWhat, [&, lWhat, lSymbol] {
          if (lWhat == "positions") {
            if (!lFutures) throw Exception("positions exist on the futures markets only (--market usdm or coinm)");
            lText = c.Client_Futures().REST_API().GetPositionInformation(lSymbol);
          } else if (lWhat == "balances") {
            lText = lFutures ? c.Client_Futures().REST_API().GetAccountBalance() : c.Client().REST_API().GetAccountInformation();
          } else {
            TqmtJSON lDocument;
            lDocument.Read(lFutures ? c.Client_Futures().REST_API().GetExchangeInformation()
                                    : c.Client().REST_API().GetExchangeInformation());
            if (const TqmtObjectJSON* lList = lDocument.Find("symbols"))
              for (int i = 0; i < lList->Count(); ++i)
                if (const TqmtObjectJSON* n = lList->At(i)->Find("symbol")) lText += (lText.empty() ? "" : " ") + std::string(n->ValueView());
          }
        });
      });
    }
    r = lResults.Wait(lTicket);
    const bool lOk = r.Outcome == TqmtTraderOutcome::tocAccepted || r.Outcome == TqmtTraderOutcome::tocSettled;
    std::string lLineOut;
    if (w[0] == "order") {
      if (lOk)
        lLineOut = "ok order " + r.ClientOrderId + " " + (r.Status.empty() ? std::string("ACCEPTED") : r.Status);
      else if (r.Outcome == TqmtTraderOutcome::tocUnknown)
        lLineOut = "error unknown " + r.ClientOrderId + " " + r.Message;
      else
        lLineOut = "error refused " + r.ClientOrderId + " " + r.Message;
    } else if (w[0] == "cancel") {
      lLineOut = lOk ? "ok cancel " + w[1] + (r.Status.empty() ? std::string() : " " + r.Status) : "error " + r.Message;
    } else {
      lLineOut = lOk ? "ok " + w[0] + " " + lText : "error " + r.Message;
    }
    for (char& ch : lLineOut)
      if (ch == '\r' || ch == '\n') ch = ' ';
    lPrinter.Line(lLineOut);
    lResults.Printed();
  }
  c.Disconnect();
  return 0;
}

int Run(const Settings& s, const std::vector<std::string>& aArgs) {
  const std::string lCommand = aArgs[0];
  const bool lFutures = s.Market != "spot";
  TqmtTraderClient_Binance& c = GetTraderClientBinance();
  c.GetWSClient().TLSOptions.VerifyCertificate = s.Verify;
  // The market's wrapper carries the account; REST works without connecting the stream.
  if (lFutures) {
    auto& f = c.Client_Futures();
    f.Binance().ApiKey = s.Key;
    f.Binance().ApiSecret = s.Secret;
    f.Binance().TestNet = s.TestNet;
    f.FuturesContracts = s.Market == "coinm" ? TqmtWSBinanceFuturesContracts::bfcCOIN : TqmtWSBinanceFuturesContracts::bfcUSDT;
    f.SetClient(&c.GetWSClient());
  } else {
    auto& p = c.Client();
    p.Binance().ApiKey = s.Key;
    p.Binance().ApiSecret = s.Secret;
    p.Binance().TestNet = s.TestNet;
    p.SetClient(&c.GetWSClient());
  }
  auto lRestText = [&](auto aCall) { return lFutures ? aCall(c.Client_Futures().REST_API()) : aCall(c.Client().REST_API()); };

  if (lCommand == "symbols") {
    const std::string lAnswer = lFutures ? c.Client_Futures().REST_API().GetExchangeInformation()
                                         : c.Client().REST_API().GetExchangeInformation();
    TqmtJSON lDocument;
    lDocument.Read(lAnswer);
    const TqmtObjectJSON* lSymbols = lDocument.Find("symbols");
    if (!lSymbols) throw Exception("the exchange answered without symbols");
    for (int i = 0; i < lSymbols->Count(); ++i) {
      const TqmtObjectJSON* e = lSymbols->At(i);
      std::string lTick = "-";
      if (const auto* f = e->Find("filters"))
        for (int k = 0; k < f->Count(); ++k)
          if (f->At(k)->Find("filterType") && f->At(k)->Find("filterType")->ValueView() == "PRICE_FILTER" && f->At(k)->Find("tickSize"))
            lTick = std::string(f->At(k)->Find("tickSize")->ValueView());
      std::printf("%-16s %-10s tick %s\n", e->Find("symbol") ? std::string(e->Find("symbol")->ValueView()).c_str() : "?",
                  e->Find("status") ? std::string(e->Find("status")->ValueView()).c_str() : "", lTick.c_str());
    }
    return 0;
  }
  if (lCommand == "order") {
    // The words were checked by CheckCommand: kind, side, symbol, size, then the kind's prices.
    const std::string lKind = aArgs[1], lSideText = aArgs[2], lSymbol = aArgs[3];
    const long double lSize = Number(aArgs[4], "size");
    const TqmtTraderOrderSide lSide = lSideText == "sell" ? TqmtTraderOrderSide::stosSell : TqmtTraderOrderSide::stosBuy;
    if (lKind == "market") {
      c.PlaceMarketOrder(lSide, lSymbol, lSize);
    } else if (lKind == "limit") {
      c.PlaceLimitOrder(lSide, lSymbol, lSize, Number(aArgs[5], "price"));
    } else if (lKind == "stop") {
      c.PlaceStopOrder(lSide, lSymbol, lSize, Number(aArgs[5], "stop price"));
    } else {
      c.PlaceStopOrderLimit(lSide, lSymbol, lSize, Number(aArgs[6], "stop price"), Number(aArgs[5], "price"));
    }
    std::printf("order sent: %s %s %s %s\n", lKind.c_str(), lSideText.c_str(), lSymbol.c_str(), Decimal(lSize).c_str());
    return 0;
  }
  if (lCommand == "cancel") {
    c.CancelAllOpenOrders(aArgs[1]);
    std::printf("open orders of %s cancelled\n", aArgs[1].c_str());
    return 0;
  }
  if (lCommand == "positions") {
    if (!lFutures) throw Exception("positions exist on the futures markets only (--market usdm or coinm)");
    std::printf("%s\n", c.Client_Futures().REST_API().GetPositionInformation(aArgs.size() > 1 ? aArgs[1] : "").c_str());
    return 0;
  }
  if (lCommand == "balances") {
    std::printf("%s\n", lRestText([](auto& r) {
                  if constexpr (std::is_same_v<std::decay_t<decltype(r)>, TqmtHTTP_API_Binance_Futures_Rest>)
                    return r.GetAccountBalance();
                  else
                    return r.GetAccountInformation();
                }).c_str());
    return 0;
  }
  if (lCommand == "session") return RunSession(c, s, aArgs);
  if (lCommand == "watch") {
    // The watch list is the ticker table: exactly these symbols, subscribed again on every
    // (re)connection. Nothing of it is read from or written to the stored tables. The market's own
    // table first: the sign-in would switch to it and leave these rows behind.
    SetTraderDataMarket(TqmtTraderClient_Binance::DataMarket(lFutures, s.Market == "coinm" ? 1 : 0));
    for (std::size_t i = 1; i < aArgs.size(); ++i) {
      TqmtTraderTicker lRow;
      lRow.SetSymbol(aArgs[i]);
      GetTraderDataTicker().UpdateTicker(lRow);
    }
    Printer lPrinter;
    PrinterRegistration lRegistration(c, lPrinter, true);
    if (!c.Initialize(s.Key, s.Secret, lFutures, s.Market == "coinm" ? 1 : 0, s.TestNet)) throw Exception(SignInFailure(c));
    while (!gInterrupted) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    c.Disconnect();
    return 0;
  }
  throw EUsage("unknown command '" + lCommand + "'");
}

// The keyring's secret for the key and market, or "" (with a warning when the keyring failed). The
// application object carries the keyring's D-Bus replies; it is made only for this and lives as
// long as main.
std::string KeyringSecret(const Settings& aSettings, int& argc, char** argv, std::optional<QCoreApplication>& aApp) {
  if (!aApp) aApp.emplace(argc, argv);
  if (!TqmtSecretStore::Available()) return "";
  const TqmtSecretResult r =
      TqmtSecretStore::Read(aSettings.Key, TqmtSecretStore::MarketName(aSettings.Market != "spot", aSettings.Market == "coinm" ? 1 : 0, aSettings.TestNet),
                            20000);
  if (r.Outcome == TqmtSecretOutcome::soFailed)
    std::fprintf(stderr, "qmt-cli: warning: the system keyring did not give the secret: %s\n", r.Why.c_str());
  return r.Ok() ? r.Secret : "";
}

}  // namespace

int main(int argc, char** argv) {
  MakeProcessNonDumpable();
  std::optional<QCoreApplication> lApp;  // goes last
  Settings s;
  std::string lSettingsFile = DefaultSettingsFile("qmt-cli");
  std::vector<std::string> lArgs;
  try {
    for (int i = 1; i < argc; ++i) {
      const std::string a = argv[i];
      auto lNext = [&]() -> std::string {
        if (i + 1 >= argc) throw EUsage("missing value for " + a);
        return argv[++i];
      };
      if (!lArgs.empty()) {
        lArgs.push_back(a);  // options come before the command
      } else if (a == "--help" || a == "-h") {
        std::fputs(kUsage, stdout);
        return 0;
      } else if (a == "--market") {
        s.Market = lNext();
        if (s.Market != "spot" && s.Market != "usdm" && s.Market != "coinm")
          throw EUsage("--market must be spot, usdm or coinm, not '" + s.Market + "'");
      } else if (a == "--testnet") {
        s.TestNet = true;
      } else if (a == "--key") {
        s.Key = lNext();
      } else if (a == "--secret") {
        s.Secret = lNext();
        std::fprintf(stderr, "qmt-cli: warning: --secret shows the secret to every local user (the process list); "
                             "use QMT_API_SECRET or --secret-file\n");
      } else if (a == "--secret-file") {
        s.Secret = ReadSecretFile(lNext());
      } else if (a == "--settings") {
        lSettingsFile = lNext();
      } else if (a == "--exchange") {
        s.Rest = s.Stream = s.Exchange = lNext();
      } else if (a == "--ws-api") {
        s.WsApi = lNext();
      } else if (a == "--rest") {
        s.Rest = lNext();
      } else if (a == "--stream") {
        s.Stream = lNext();
      } else if (a == "--verify-peer") {
        const std::string v = lNext();
        if (v != "on" && v != "off") throw EUsage("--verify-peer must be on or off, not '" + v + "'");
        s.Verify = v == "on";
      } else if (a.rfind("-", 0) == 0) {
        throw EUsage("unknown option '" + a + "'");
      } else {
        lArgs.push_back(a);
      }
    }
    if (lArgs.empty()) throw EUsage("missing command");
    CheckCommand(lArgs);
  } catch (const std::exception& e) {
    return Usage(e.what());
  }
  // The desktop client's stored tables (its watch list) are none of this program's business.
  SetTraderDataStorage(false);
  if (s.Key.empty()) s.Key = Env("QMT_API_KEY");
  if (s.Secret.empty()) s.Secret = Env("QMT_API_SECRET");
  if (s.Key.empty()) s.Key = TqmtIniFile(lSettingsFile).ReadString("SETTINGS", "ApiKey", "");
  if (s.Secret.empty() && !s.Key.empty()) s.Secret = KeyringSecret(s, argc, argv, lApp);
  if (s.Secret.empty()) s.Secret = TqmtIniFile(lSettingsFile).ReadString("SETTINGS", "ApiSecret", "");
  PointAddresses(s);
  std::signal(SIGINT, OnSignal);
  std::signal(SIGTERM, OnSignal);
  int lResult;
  try {
    lResult = Run(s, lArgs);
  } catch (const std::exception& e) {
    lResult = Fail(e.what());
  }
  FreeTraderData();  // the trader client goes first
  return lResult;
}
