#include "qmtTraderMain.h"

#include <QCloseEvent>
#include <QTime>
#include <QShowEvent>
#include <QVBoxLayout>

#include "qmtTraderChart.h"
#include "qmtDataTable.h"
#include "qmtTraderClient.h"
#include "qmtTraderData_Log.h"
#include "qmtTraderFrame.h"
#include "qmtTraderGrid.h"
#include "qmtTraderLogin.h"
#include "qmtTraderData_Orders.h"
#include "qmtTraderData_Position.h"
#include "qmtTraderSettings.h"

#include <QCheckBox>
#include <QMessageBox>
#include "qmtUIApplication.h"

TTabSheetRuntime::TTabSheetRuntime(QWidget* aParent) : QWidget(aParent) {
  auto* lLayout = new QVBoxLayout(this);
  lLayout->setContentsMargins(0, 0, 0, 0);
}

namespace {
QWidget* FilledPage(QWidget* aFrame, QWidget* aPage) {
  auto* lLayout = new QVBoxLayout(aPage);
  lLayout->setContentsMargins(0, 0, 0, 0);
  lLayout->addWidget(aFrame);
  return aPage;
}
}  // namespace

TFRMTrader::TFRMTrader(QWidget* aParent) : QMainWindow(aParent) {
  setWindowTitle("qmtTrader");
  resize(931, 579);

  mainBar = addToolBar("mainBar");
  mainBar->setObjectName("mainBar");
  mainBar->setMovable(false);
  mainBar->setToolButtonStyle(Qt::ToolButtonTextOnly);
  btnBrokerConnect = mainBar->addAction("Connect");
  btnBrokerDisconnect = mainBar->addAction("Disconnect");
  btnCloseTab = mainBar->addAction("Close Tab");
  // The log page is hidden until asked for: this shows it.
  btnShowLog = mainBar->addAction("Log");
  btnShowLog->setObjectName("btnShowLog");
  btnBrokerConnect->setEnabled(false);
  btnBrokerDisconnect->setEnabled(true);
  btnCloseTab->setEnabled(false);

  PageControl1 = new QTabWidget(this);
  PageControl1->setObjectName("PageControl1");
  PageControl1->setDocumentMode(true);
  setCentralWidget(PageControl1);

  statusBar = QMainWindow::statusBar();
  StatusPanel0 = new QLabel("Connected", statusBar);
  StatusPanel0->setObjectName("StatusPanel0");
  StatusPanel0->setMinimumWidth(80);
  StatusPanel1 = new QLabel(statusBar);
  StatusPanel1->setObjectName("StatusPanel1");
  StatusPanel1->setFixedWidth(500);
  StatusPanel2 = new QLabel(statusBar);
  StatusPanel2->setObjectName("StatusPanel2");
  statusBar->addWidget(StatusPanel0);
  statusBar->addWidget(StatusPanel1);
  statusBar->addPermanentWidget(StatusPanel2);

  // The two fixed pages and their frames (the pages own the frames).
  FFRAMEGridTicker = new TFRAMEGridTicker();
  FFRAMEGridTicker->OnNewChartTicker = [this](TFRAMEBase* s, const std::string& aSymbol) { OnNewChartTickerEvent(s, aSymbol); };
  FFRAMEGridTicker->OnNewChartTrader = [this](TFRAMEBase* s, const std::string& aSymbol) { OnNewChartTraderEvent(s, aSymbol); };
  tabTicker = FilledPage(FFRAMEGridTicker, new QWidget());
  PageControl1->addTab(tabTicker, "Ticker");
  PageControl1->setCurrentWidget(tabTicker);
  FFRAMEGridLog = new TFRAMEGridLog();
  tabLog = FilledPage(FFRAMEGridLog, new QWidget());
  PageControl1->addTab(tabLog, "Log");

  // Connecting and disconnecting wait for the network: they go to the trader client's command queue,
  // and the connect and disconnect listeners tell the window how it ended.
  connect(btnBrokerConnect, &QAction::triggered, this, [this] {
    UIAction([this] {
      TqmtTraderClient* c = GetTraderClient();
      if (!c) return;
      btnBrokerConnect->setEnabled(false);
      StatusPanel0->setText("Connecting");
      c->SubmitTask("", "connect", [c] {
        c->Connect();
        if (!c->Connected()) throw Exception("not connected: " + c->LastConnectionError());
      });
    });
  });
  connect(btnBrokerDisconnect, &QAction::triggered, this, [this] {
    UIAction([this] {
      TqmtTraderClient* c = GetTraderClient();
      if (!c) return;
      btnBrokerDisconnect->setEnabled(false);
      c->SubmitTask("", "disconnect", [c] { c->Disconnect(); });
    });
  });
  connect(btnCloseTab, &QAction::triggered, this, [this] { UIAction([this] { btnCloseTabClick(); }); });
  connect(btnShowLog, &QAction::triggered, this, [this] {
    PageControl1->setTabVisible(PageControl1->indexOf(tabLog), true);
    PageControl1->setCurrentWidget(tabLog);
  });
  FStateTimer.setInterval(1000);
  connect(&FStateTimer, &QTimer::timeout, this, [this] { RefreshAccountState(); });
  connect(PageControl1, &QTabWidget::currentChanged, this, [this] { UpdateCloseTab(); });

  // A message longer than the panel is cut: the whole of it is its tooltip (and the log page's).
  SetUIExceptionHandler([this](const std::string& aMessage) {
    StatusPanel1->setText(QString::fromStdString(aMessage));
    StatusPanel1->setToolTip(QString::fromStdString(aMessage));
    GetTraderDataLog().Notice(aMessage);
  });
}

TFRMTrader::~TFRMTrader() {
  SetUIExceptionHandler(nullptr);
  UnRegisterListeners();
  if (TqmtTraderClient* c = GetTraderClient()) {
    try {
      c->Disconnect();
    } catch (const std::exception& e) {
      ReportUIException(e.what());
    }
  }
}

void TFRMTrader::RegisterListeners() {
  TqmtTraderClient* c = GetTraderClient();
  if (!c) return;
  FListening.clear();
  FListening.push_back(c->ListenConnect({this, &TFRMTrader::OnConnectEvent}));
  FListening.push_back(c->ListenDisconnect({this, &TFRMTrader::OnDisconnectEvent}));
  FListening.push_back(c->ListenCommandResult({this, &TFRMTrader::OnCommandResult}));
  // A change before the listeners were in place is not missed.
  ShowConnectionState(c->Connected());
}

void TFRMTrader::UnRegisterListeners() { FListening.clear(); }

void TFRMTrader::OnCommandResult(TObject*, const TqmtTraderCommandResult& aResult) {
  if (aResult.Kind != TqmtTraderCommandKind::tckTask || (aResult.Description != "connect" && aResult.Description != "disconnect"))
    return;
  const std::string lFailure = aResult.Outcome == TqmtTraderOutcome::tocRefused ? aResult.Text() : std::string();
  QMetaObject::invokeMethod(this, [this, lFailure] { ShowCommandEnded(lFailure); }, Qt::QueuedConnection);
}

void TFRMTrader::ShowCommandEnded(const std::string& aFailure) {
  if (TqmtTraderClient* c = GetTraderClient()) ShowConnectionState(c->Connected());
  if (!aFailure.empty()) ReportUIException(aFailure);
}

void TFRMTrader::showEvent(QShowEvent* aEvent) {
  if (!FCentred) {
    FCentred = true;
    CentreOnScreen(this);
  }
  RegisterListeners();
  RefreshAccountState();
  FStateTimer.start();
  QMainWindow::showEvent(aEvent);
}

std::string TFRMTrader::LeftOnTheExchange() {
  const std::size_t lOrders = GetTraderDataOrders().OpenOrders().size();
  std::size_t lPositions = 0;
  auto p = GetTraderDataPosition().GetTable().CloneCursor();
  p->SetFiltered(false);
  for (p->First(); !p->Eof(); p->Next()) lPositions += p->FieldByName("POSITION").AsExtended() != 0 ? 1 : 0;
  if (lOrders == 0 && lPositions == 0) return std::string();
  auto lCount = [](std::size_t n, const char* aOne, const char* aMany) { return std::to_string(n) + " " + (n == 1 ? aOne : aMany); };
  std::string lText;
  if (lOrders) lText = lCount(lOrders, "open order", "open orders");
  if (lPositions) lText += (lText.empty() ? "" : " and ") + lCount(lPositions, "position", "positions");
  return lText;
}

bool TFRMTrader::ConfirmClose() {
  // Asked once per close; "Don't ask again" is kept in the settings file.
  TqmtIniFile& s = GetTraderSettings();
  if (!s.ReadBool("SETTINGS", "AskBeforeClosing", true)) return true;
  const std::string lLeft = LeftOnTheExchange();
  if (lLeft.empty()) return true;
  QMessageBox lBox(QMessageBox::Warning, windowTitle(),
                   QString::fromStdString("Left open on the exchange when qmtTrader closes: " + lLeft +
                                          ". Orders can still fill, and nothing here will show it."),
                   QMessageBox::Close | QMessageBox::Cancel, this);
  lBox.setObjectName("CloseQuestion");
  lBox.setInformativeText("Close anyway?");
  lBox.setDefaultButton(QMessageBox::Cancel);
  auto* lDontAsk = new QCheckBox("Don't ask again", &lBox);
  lBox.setCheckBox(lDontAsk);
  const bool lClose = lBox.exec() == QMessageBox::Close;
  if (lClose && lDontAsk->isChecked()) s.WriteBool("SETTINGS", "AskBeforeClosing", false);
  return lClose;
}

void TFRMTrader::closeEvent(QCloseEvent* aEvent) {
  if (!ConfirmClose()) {
    aEvent->ignore();
    return;
  }
  FStateTimer.stop();
  UnRegisterListeners();
  QMainWindow::closeEvent(aEvent);
}

void TFRMTrader::ShowConnectionState(bool aConnected) {
  TqmtTraderClient* c = GetTraderClient();
  StatusPanel0->setText(!aConnected ? "Disconnected" : (c && !c->HasAccount()) ? "Connected (market data only)" : "Connected");
  btnBrokerConnect->setEnabled(!aConnected);
  btnBrokerDisconnect->setEnabled(aConnected);
  if (FShownConnected == static_cast<int>(aConnected)) return;
  FShownConnected = aConnected;
  FStaleSince = aConnected ? QString() : QTime::currentTime().toString("hh:mm:ss");
  ShowStale(this);
}

void TFRMTrader::ShowStale(QWidget* aRoot) {
  const bool lStale = FShownConnected == 0;
  // The frames carry no meta-object of their own: found as widgets, told apart by their class.
  QList<QWidget*> lWidgets = aRoot->findChildren<QWidget*>();
  lWidgets.prepend(aRoot);
  for (QWidget* w : lWidgets)
    if (auto* f = dynamic_cast<TFRAMEBase*>(w)) f->SetStale(lStale, FStaleSince);
}

void TFRMTrader::RefreshAccountState() {
  TqmtTraderClient* c = GetTraderClient();
  if (!c) return;
  if (FBaseTitle.isEmpty()) FBaseTitle = windowTitle();
  const std::string lMarket = c->MarketName();
  setWindowTitle(lMarket.empty() ? FBaseTitle : FBaseTitle + QString::fromUtf8(" \u2014 ") + QString::fromStdString(lMarket));
  // A refusal of the account's data is told once, when it comes, and stays in the tooltip.
  const std::string lProblem = c->AccountProblem();
  if (lProblem != FShownProblem) {
    FShownProblem = lProblem;
    if (!lProblem.empty()) ReportUIException(lProblem);
  }
  QStringList lTotals;
  for (const TqmtTraderAccountTotal& t : c->AccountTotals()) {
    const QString lAsset = QString::fromStdString(t.Asset);
    QString lText = "Available " + QString::fromStdString(FormatFloat("#,##0.00######", t.Available)) + " " + lAsset;
    if (t.Value != 0) lText = "Value " + QString::fromStdString(FormatFloat("#,##0.00", t.Value)) + " " + lAsset + ", " + lText;
    if (t.UnrealizedProfit != 0)
      lText = "Unrealised profit " + QString::fromStdString(FormatFloat("#,##0.00######", t.UnrealizedProfit)) + " " + lAsset + ", " + lText;
    lTotals << lText;
  }
  QString lText = lTotals.join("  |  ");
  if (!lText.isEmpty() && FShownConnected == 0) lText += " (not live, since " + FStaleSince + ")";
  StatusPanel2->setText(lText);
}

// The posted calls carry no data: each names what the window shows.
void TFRMTrader::OnConnectEvent(TObject*) {
  QMetaObject::invokeMethod(this, &TFRMTrader::ShowConnected, Qt::QueuedConnection);
}

void TFRMTrader::OnDisconnectEvent(TObject*) {
  QMetaObject::invokeMethod(this, &TFRMTrader::ShowDisconnected, Qt::QueuedConnection);
}

void TFRMTrader::UpdateCloseTab() {
  QWidget* lPage = PageControl1->currentWidget();
  btnCloseTab->setEnabled(lPage && lPage->metaObject() == &TTabSheetRuntime::staticMetaObject);
}

void TFRMTrader::AddRuntimePage(const std::string& aSymbol, QWidget* aFrame) {
  auto* lPage = new TTabSheetRuntime();
  lPage->layout()->addWidget(aFrame);
  PageControl1->addTab(lPage, QString::fromStdString(aSymbol));
  PageControl1->setCurrentWidget(lPage);
  if (FShownConnected == 0) ShowStale(lPage);
  UpdateCloseTab();
}

void TFRMTrader::OnNewChartTickerEvent(TFRAMEBase*, const std::string& aSymbol) {
  AddRuntimePage(aSymbol, new TFRAMEChartTicker(aSymbol));
}

void TFRMTrader::btnCloseTabClick() {
  const int lIndex = PageControl1->currentIndex();
  QWidget* lPage = PageControl1->currentWidget();
  if (!lPage || lPage->metaObject() != &TTabSheetRuntime::staticMetaObject) return;
  {
    // No intermediate page changes while the page goes; the next page is chosen below.
    const QSignalBlocker lBlock(PageControl1);
    PageControl1->removeTab(lIndex);
  }
  delete lPage;  // with its frame, which unregisters its listeners and deletes its cursors
  int lNext = -1;
  const int lCount = PageControl1->count();
  for (int k = 0; k < lCount && lNext < 0; ++k) {
    const int i = (lIndex + k) % lCount;
    if (PageControl1->isTabVisible(i)) lNext = i;
  }
  if (lNext >= 0) PageControl1->setCurrentIndex(lNext);
  UpdateCloseTab();
}

TFRMTrader_Binance::TFRMTrader_Binance(QWidget* aParent) : TFRMTrader(aParent) {
  setWindowTitle("qmtTrader Binance");
  PageControl1->setTabVisible(PageControl1->indexOf(tabLog), false);
}

bool TFRMTrader_Binance::SignIn(bool aWithStoredSettings) {
  TFRMTraderLogin_Binance lLogin;
  if (aWithStoredSettings && lLogin.SignInWithStoredSettings()) return true;
  return lLogin.exec() == QDialog::Accepted;
}

void TFRMTrader_Binance::OnNewChartTraderEvent(TFRAMEBase* Sender, const std::string& aSymbol) {
  TFRMTrader::OnNewChartTraderEvent(Sender, aSymbol);
  auto* lFrame = new TFRAMETraderBinance();
  lFrame->SetSymbol(aSymbol);
  AddRuntimePage(aSymbol, lFrame);
}
