// qmtTrader: the desktop client. Signs in (the sign-in dialog, before the main window is shown),
// then runs the main window until it closes. A cancelled sign-in ends the program at once.
//
//   qmtTrader [--watch SYMBOL,SYMBOL...] [--sign-in] [--fresh] [--settings FILE] [--data DIR]
// --watch: symbols to follow when the watch list is empty after signing in (a first start).
// --sign-in: sign in with the stored key without the dialog (shown only when that fails).
// --settings, --data: the settings file and the folder of the stored tables, in place of the
// defaults (beside the program for a build or portable copy, the user's XDG folders when installed).
//
// Exit order: the window (and every page and frame on it) goes first and disconnects the trader
// client, then the trading core is freed (its tables saved), then the dispatcher and the
// application object, so no frame reaches a destroyed client or table. SIGINT and SIGTERM close
// the window the same way (the watch list is saved).
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <QApplication>
#include <QSocketNotifier>

#include "qmtLocations.h"
#include "qmtTraderClient.h"
#include "qmtTraderData.h"
#include "qmtTraderData_Ticker.h"
#include "qmtTraderMain.h"
#include "qmtWorkspace.h"
#include "qmtTraderSettings.h"
#include "qmtUIApplication.h"

namespace {

int gSignalPipe[2] = {-1, -1};

void OnSignal(int) {
  const char c = 1;
  [[maybe_unused]] auto n = ::write(gSignalPipe[1], &c, 1);
}

std::vector<std::string> SplitSymbols(const std::string& aText) {
  std::vector<std::string> lSymbols;
  std::stringstream lStream(aText);
  for (std::string s; std::getline(lStream, s, ',');)
    if (!s.empty()) lSymbols.push_back(s);
  return lSymbols;
}

void WatchIfEmpty(const std::vector<std::string>& aSymbols) {
  TqmtTraderClient* c = GetTraderClient();
  if (!c || aSymbols.empty() || !GetTraderDataTicker().CDSTicker().IsEmpty()) return;
  for (const auto& s : aSymbols) {
    c->SubscribeTicker(s);
    c->SubscribeBookDepth(s);
    c->SubscribeTrades(s);
  }
}

}  // namespace

int main(int argc, char** argv) {
  MakeProcessNonDumpable();
  std::vector<std::string> lWatch;
  bool lSignIn = false, lFresh = false;
  for (int i = 1; i < argc; ++i) {
    const bool lHasValue = i + 1 < argc;
    if (std::strcmp(argv[i], "--watch") == 0 && lHasValue) {
      lWatch = SplitSymbols(argv[++i]);
    } else if (std::strcmp(argv[i], "--sign-in") == 0) {
      lSignIn = true;
    } else if (std::strcmp(argv[i], "--fresh") == 0) {
      lFresh = true;
    } else if (std::strcmp(argv[i], "--settings") == 0 && lHasValue) {
      SetTraderSettingsFileName(argv[++i]);
    } else if (std::strcmp(argv[i], "--data") == 0 && lHasValue) {
      SetTraderDataFolder(argv[++i]);
    } else if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      std::printf("usage: qmtTrader [--watch SYMBOL,SYMBOL...] [--sign-in] [--fresh] [--settings FILE] [--data DIR]\n"
                  "  --watch     symbols to follow when the watch list is empty after signing in\n"
                  "  --fresh     start without the pages of the last session (the window's place stays)\n"
                  "  --sign-in   sign in with the stored key without the dialog (shown when that fails)\n"
                  "  --settings  the settings file (key, secret, market)\n"
                  "  --data      the folder of the stored tables (the watch list)\n"
                  "Settings file: %s\n"
                  "Stored tables: %s\n",
                  DefaultTraderSettingsFileName().c_str(), DefaultDataFolder().c_str());
      return 0;
    } else if (argv[i][0] == '-' && std::strncmp(argv[i], "-platform", 9) != 0) {
      std::fprintf(stderr, "qmtTrader: unknown option '%s' (see --help)\n", argv[i]);
      return 2;
    }
  }
  const bool lNoDisplay = !std::getenv("DISPLAY") && !std::getenv("WAYLAND_DISPLAY") && !std::getenv("QT_QPA_PLATFORM");
  if (lNoDisplay) {
    std::fprintf(stderr,
                 "qmtTrader: no display (DISPLAY is not set). Run it on a desktop, or without one under a virtual\n"
                 "display: xvfb-run -a %s\n",
                 argv[0]);
    return 1;
  }
  int lResult = 0;
  {
    TqmtApplication lApp(argc, argv);
    TqmtQtDispatcher lDispatcher;  // before the sign-in: the core's main-thread calls reach Qt's loop
    {
      auto lWindow = std::make_unique<TFRMTrader_Binance>();
      // Signals are taken from the start: during the sign-in they close the dialog (which saves the
      // settings), afterwards the window.
      std::unique_ptr<QSocketNotifier> lSignals;
      if (::pipe2(gSignalPipe, O_CLOEXEC | O_NONBLOCK) == 0) {
        lSignals = std::make_unique<QSocketNotifier>(gSignalPipe[0], QSocketNotifier::Read);
        QObject::connect(lSignals.get(), &QSocketNotifier::activated, lWindow.get(), [&] {
          // Open dialogs first (the sign-in, "Select Symbol"): each ends its own loop as it closes.
          for (int i = 0; i < 10 && QApplication::activeModalWidget(); ++i) QApplication::activeModalWidget()->close();
          lWindow->close();
          QCoreApplication::exit(0);
        });
        struct sigaction lAction {};
        lAction.sa_handler = OnSignal;
        sigaction(SIGINT, &lAction, nullptr);
        sigaction(SIGTERM, &lAction, nullptr);
      }
      if (!lWindow->SignIn(lSignIn)) {
        signal(SIGINT, SIG_DFL);
        signal(SIGTERM, SIG_DFL);
        lSignals.reset();
        lWindow.reset();
        FreeTraderData();
        return 0;
      }
      UIAction([&] { WatchIfEmpty(lWatch); });
      // The pages and the window as the last session left them, saved whenever they change.
      TqmtWorkspace lWorkspace(*lWindow);
      UIAction([&] { lWorkspace.Restore(!lFresh); });
      lWindow->show();
      lWorkspace.Start();
      lResult = lApp.exec();
      lWorkspace.Save();
      signal(SIGINT, SIG_DFL);
      signal(SIGTERM, SIG_DFL);
    }
    FreeTraderData();
  }
  return lResult;
}
