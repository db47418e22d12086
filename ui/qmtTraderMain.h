// The main window: tool bar ("Connect", "Disconnect", "Close Tab"), the pages ("Ticker", "Log", and
// the chart and trading pages opened at run time) and the status bar (panel 0 the connection state,
// panel 1 the last failure that reached the event loop).
//
// Threads: the window lives on the UI thread. The trader client calls the connect and disconnect
// listeners on a stream thread; they only post the change to the window (a call still queued when
// the window goes is dropped with it). Unregistering waits for a running notification, so after
// closeEvent no listener call is under way.
#pragma once

#include <QLabel>
#include <QTimer>
#include <QMainWindow>
#include <QStatusBar>
#include <QTabWidget>
#include <QToolBar>

#include <string>

#include "qmtTraderCommands.h"
#include "qmtTraderListeners.h"
#include "qmtSystem.h"
#include "qmtTraderFormBase.h"

class TFRAMEGridTicker;
class TFRAMEGridLog;

// A page made at run time (chart and trading pages), told apart from the fixed ones by its class.
class TTabSheetRuntime : public QWidget {
  Q_OBJECT
public:
  explicit TTabSheetRuntime(QWidget* aParent = nullptr);
};

class TFRMTrader : public QMainWindow {
public:
  explicit TFRMTrader(QWidget* aParent = nullptr);
  ~TFRMTrader() override;

  QToolBar* mainBar;
  QAction* btnBrokerConnect;
  QAction* btnBrokerDisconnect;
  QAction* btnCloseTab;
  QTabWidget* PageControl1;
  QWidget* tabTicker;
  QWidget* tabLog;
  QStatusBar* statusBar;
  QLabel* StatusPanel0;
  QLabel* StatusPanel1;
  QLabel* StatusPanel2;  // the account's totals
  QAction* btnShowLog;

  TFRAMEGridTicker* FFRAMEGridTicker;
  TFRAMEGridLog* FFRAMEGridLog;

  virtual void OnConnectEvent(TObject* Sender);
  virtual void OnDisconnectEvent(TObject* Sender);
  // The command queue's results (its worker thread): how "Connect" and "Disconnect" ended.
  void OnCommandResult(TObject* Sender, const TqmtTraderCommandResult& aResult);
  virtual void UpdateCloseTab();
  virtual void OnNewChartTickerEvent(TFRAMEBase* Sender, const std::string& aSymbol);
  virtual void OnNewChartTraderEvent(TFRAMEBase* Sender, const std::string& aSymbol) {}

  // "Close Tab": the active runtime page goes, then the next page with a visible tab, wrapping.
  void btnCloseTabClick();

  // "2 open orders and 1 position" as the tables show them now; "" when nothing is left open.
  static std::string LeftOnTheExchange();
  // Closing with open orders or a position asks first (unless "Don't ask again" was chosen): true
  // to close.
  bool ConfirmClose();

protected:
  void showEvent(QShowEvent* aEvent) override;
  // Refused (the window stays) when the user does not confirm leaving orders or positions open.
  void closeEvent(QCloseEvent* aEvent) override;
  // A runtime page with aFrame on it, captioned aSymbol, made the active last page.
  void AddRuntimePage(const std::string& aSymbol, QWidget* aFrame);
  void ShowConnectionState(bool aConnected);
  void ShowConnected() { ShowConnectionState(true); }
  void ShowDisconnected() { ShowConnectionState(false); }
  // After "Connect" or "Disconnect" ran: the state as it is, and a failure's reason.
  void ShowCommandEnded(const std::string& aFailure);
  // Once a second: the connection state in words, the account's refusal if any, its totals, and
  // the market in the title (what the trader client knows; nothing here waits for it).
  void RefreshAccountState();
  // Tells every frame (and a page made later) whether its market data is live.
  void ShowStale(QWidget* aRoot);

private:
  std::vector<TqmtRegistration> FListening;  // while shown
  QTimer FStateTimer;
  QString FBaseTitle;
  std::string FShownProblem;
  int FShownConnected = -1;  // -1 not shown yet
  QString FStaleSince;
  void RegisterListeners();
  void UnRegisterListeners();
  bool FCentred = false;
};

class TFRMTrader_Binance : public TFRMTrader {
public:
  explicit TFRMTrader_Binance(QWidget* aParent = nullptr);

  // The sign-in dialog, shown modally before the window: true when the user signed in (the trader
  // client is connected), false when the dialog was cancelled or closed. aWithStoredSettings: first
  // try the stored key without showing the dialog; the dialog appears only when that fails.
  bool SignIn(bool aWithStoredSettings = false);
  void OnNewChartTraderEvent(TFRAMEBase* Sender, const std::string& aSymbol) override;
};
