#include "qmtTraderMain.h"

#include <QCloseEvent>
#include <QShowEvent>
#include <QVBoxLayout>

#include "qmtTraderChart.h"
#include "qmtTraderClient.h"
#include "qmtTraderFrame.h"
#include "qmtTraderGrid.h"
#include "qmtTraderLogin.h"
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
  StatusPanel0->setFixedWidth(80);
  StatusPanel1 = new QLabel(statusBar);
  StatusPanel1->setObjectName("StatusPanel1");
  StatusPanel1->setFixedWidth(500);
  statusBar->addWidget(StatusPanel0);
  statusBar->addWidget(StatusPanel1);

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
  connect(PageControl1, &QTabWidget::currentChanged, this, [this] { UpdateCloseTab(); });

  // The panel has a fixed width: the whole message is its tooltip.
  SetUIExceptionHandler([this](const std::string& aMessage) {
    StatusPanel1->setText(QString::fromStdString(aMessage));
    StatusPanel1->setToolTip(QString::fromStdString(aMessage));
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
  c->RegisterOnConnect({this, &TFRMTrader::OnConnectEvent});
  c->RegisterOnDisconnect({this, &TFRMTrader::OnDisconnectEvent});
  c->RegisterOnCommandResult({this, &TFRMTrader::OnCommandResult});
  // A change before the listeners were in place is not missed.
  ShowConnectionState(c->Connected());
}

void TFRMTrader::UnRegisterListeners() {
  TqmtTraderClient* c = GetTraderClient();
  if (!c) return;
  c->UnRegisterOnConnect({this, &TFRMTrader::OnConnectEvent});
  c->UnRegisterOnDisconnect({this, &TFRMTrader::OnDisconnectEvent});
  c->UnRegisterOnCommandResult({this, &TFRMTrader::OnCommandResult});
}

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
  QMainWindow::showEvent(aEvent);
}

void TFRMTrader::closeEvent(QCloseEvent* aEvent) {
  UnRegisterListeners();
  QMainWindow::closeEvent(aEvent);
}

void TFRMTrader::ShowConnectionState(bool aConnected) {
  StatusPanel0->setText(aConnected ? "Connected" : "Disconnected");
  btnBrokerConnect->setEnabled(!aConnected);
  btnBrokerDisconnect->setEnabled(aConnected);
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
