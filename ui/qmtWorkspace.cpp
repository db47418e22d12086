#include "qmtWorkspace.h"

#include <QByteArray>
#include <QSplitter>
#include <QTabBar>
#include <QToolBar>

#include "qmtTraderBroker.h"
#include "qmtTraderChart.h"
#include "qmtTraderClient.h"
#include "qmtTraderData_Log.h"
#include "qmtTraderFrame.h"
#include "qmtTraderMain.h"
#include "qmtTraderSettings.h"

namespace {

constexpr const char* kSection = "Workspace";

std::string Sizes(const QSplitter* aSplitter) {
  std::string lText;
  for (int s : aSplitter->sizes()) {
    if (!lText.empty()) lText.push_back(',');
    lText += std::to_string(s);
  }
  return lText;
}

void SetSizes(QSplitter* aSplitter, const std::string& aText) {
  QList<int> lSizes;
  for (const QString& p : QString::fromStdString(aText).split(',', Qt::SkipEmptyParts)) {
    bool lOk = false;
    const int v = p.toInt(&lOk);
    if (!lOk || v < 0) return;  // a damaged value leaves the default
    lSizes << v;
  }
  if (lSizes.size() == aSplitter->count()) aSplitter->setSizes(lSizes);
}

std::string Bool(bool aValue) { return aValue ? "1" : "0"; }

// The runtime pages in tab order, each with its chart (and its trading frame, when it is one).
struct TPage {
  QWidget* Sheet;
  TFRAMEChartTicker* Chart;
  TFRAMETraderBinance* Trader;
};

std::vector<TPage> Pages(const TFRMTrader& w) {
  std::vector<TPage> lPages;
  for (int i = 0; i < w.PageControl1->count(); ++i) {
    QWidget* lSheet = w.PageControl1->widget(i);
    if (lSheet->metaObject() != &TTabSheetRuntime::staticMetaObject) continue;
    auto* lTrader = FindFrame<TFRAMETraderBinance>(lSheet);
    auto* lChart = FindFrame<TFRAMEChartTicker>(lSheet);
    if (lChart) lPages.push_back({lSheet, lChart, lTrader});
  }
  return lPages;
}

}  // namespace

TqmtWorkspace::TqmtWorkspace(TFRMTrader& aWindow) : FWindow(aWindow) {
  FTimer.setInterval(1000);
  QObject::connect(&FTimer, &QTimer::timeout, &FWindow, [this] { Save(); });
}

TqmtWorkspace::TState TqmtWorkspace::Capture() const {
  TState s;
  auto& w = s[kSection];
  w["Geometry"] = FWindow.saveGeometry().toBase64().toStdString();
  w["State"] = FWindow.saveState().toBase64().toStdString();
  const std::vector<TPage> lPages = Pages(FWindow);
  w["Pages"] = std::to_string(lPages.size());
  w["Active"] = "0";
  for (std::size_t i = 0; i < lPages.size(); ++i) {
    const TPage& p = lPages[i];
    if (FWindow.PageControl1->currentWidget() == p.Sheet) w["Active"] = std::to_string(i + 1);
    auto& e = s[std::string(kSection) + ".Page" + std::to_string(i + 1)];
    e["Kind"] = p.Trader ? "Trader" : "Chart";
    e["Symbol"] = p.Chart->Symbol();
    e["Window"] = std::to_string(p.Chart->ViewSeconds());
    e["View"] = p.Chart->CandlesShown() ? "Candles" : "Line";
    e["Interval"] = p.Chart->Interval();
    e["Book"] = Bool(p.Chart->BookDepth());
    e["Levels"] = std::to_string(p.Chart->BookLevel());
    e["Trades"] = Bool(p.Chart->Trades());
    e["Volume"] = Bool(p.Chart->Volume());
    if (p.Trader) {
      e["Ladder"] = Bool(p.Trader->btnLadder && p.Trader->btnLadder->isChecked());
      e["Tape"] = Bool(p.Trader->btnTape && p.Trader->btnTape->isChecked());
      e["Market"] = Sizes(p.Trader->splitMarket);
      e["Split"] = Sizes(p.Trader->splitMain);
      e["Tab"] = std::to_string(p.Trader->pageBottom->currentIndex());
    }
  }
  return s;
}

bool TqmtWorkspace::Save() {
  TState s = Capture();
  if (s == FSaved) return false;
  TqmtIniFile& f = GetTraderSettings();
  // Pages no longer open lose their sections.
  int lOld = 0;
  const auto lWas = FSaved.find(kSection);
  if (lWas != FSaved.end()) lOld = std::atoi(lWas->second.count("Pages") ? lWas->second.at("Pages").c_str() : "0");
  else lOld = f.ReadInteger(kSection, "Pages", 0);
  const int lNew = std::atoi(s[kSection]["Pages"].c_str());
  for (int i = lNew + 1; i <= lOld; ++i) f.EraseSection(std::string(kSection) + ".Page" + std::to_string(i));
  for (const auto& [lSection, lKeys] : s) {
    const auto lPrevious = FSaved.find(lSection);
    for (const auto& [k, v] : lKeys)
      if (lPrevious == FSaved.end() || !lPrevious->second.count(k) || lPrevious->second.at(k) != v) f.WriteString(lSection, k, v);
  }
  FSaved = std::move(s);
  return true;
}

void TqmtWorkspace::Restore(bool aPages) {
  TqmtIniFile& f = GetTraderSettings();
  const QByteArray lGeometry = QByteArray::fromBase64(QByteArray::fromStdString(f.ReadString(kSection, "Geometry", "")));
  if (!lGeometry.isEmpty()) FWindow.restoreGeometry(lGeometry);
  const QByteArray lState = QByteArray::fromBase64(QByteArray::fromStdString(f.ReadString(kSection, "State", "")));
  if (!lState.isEmpty()) FWindow.restoreState(lState);
  if (!aPages) return;
  TqmtTraderClient* c = GetTraderClient();
  const int lCount = std::clamp(f.ReadInteger(kSection, "Pages", 0), 0, 200);
  const int lActive = f.ReadInteger(kSection, "Active", 0);
  QWidget* lActiveSheet = nullptr;
  for (int i = 1; i <= lCount; ++i) {
    const std::string lSection = std::string(kSection) + ".Page" + std::to_string(i);
    const std::string lKind = f.ReadString(lSection, "Kind", ""), lSymbol = f.ReadString(lSection, "Symbol", "");
    if (lSymbol.empty() || (lKind != "Chart" && lKind != "Trader")) continue;
    if (!c || !c->Broker().Symbols().GetSymbol(lSymbol)) {
      GetTraderDataLog().Notice("workspace: " + lSymbol + " is not listed on this market: its " + (lKind == "Trader" ? "trading" : "chart") +
                                " page is not opened again");
      continue;
    }
    // The page's own choices first, so the chart opens with them (its history for its window).
    const std::string lChart = lSymbol + ".Chart";
    f.WriteInteger(lChart, "Window", f.ReadInteger(lSection, "Window", 300));
    f.WriteString(lChart, "View", f.ReadString(lSection, "View", "Line"));
    f.WriteString(lChart, "Interval", f.ReadString(lSection, "Interval", "1m"));
    if (lKind == "Trader") {
      f.WriteBool("TradingPage", "Ladder", f.ReadBool(lSection, "Ladder", true));
      f.WriteBool("TradingPage", "Tape", f.ReadBool(lSection, "Tape", true));
      FWindow.OnNewChartTraderEvent(nullptr, lSymbol);
    } else {
      FWindow.OnNewChartTickerEvent(nullptr, lSymbol);
    }
    QWidget* lSheet = FWindow.PageControl1->currentWidget();
    auto* lFrame = FindFrame<TFRAMEChartTicker>(lSheet);
    if (!lFrame) continue;
    if (f.ReadBool(lSection, "Book", false) != lFrame->BookDepth()) lFrame->btnBookDepthClick();
    lFrame->SetBookDepthLevel(f.ReadInteger(lSection, "Levels", 5));
    if (f.ReadBool(lSection, "Trades", false) != lFrame->Trades()) lFrame->btnTradesClick();
    if (f.ReadBool(lSection, "Volume", false) != lFrame->Volume()) lFrame->btnVolumeClick();
    if (auto* t = FindFrame<TFRAMETraderBinance>(lSheet)) {
      SetSizes(t->splitMarket, f.ReadString(lSection, "Market", ""));
      SetSizes(t->splitMain, f.ReadString(lSection, "Split", ""));
      const int lTab = f.ReadInteger(lSection, "Tab", 0);
      if (lTab >= 0 && lTab < t->pageBottom->count()) t->pageBottom->setCurrentIndex(lTab);
    }
    if (i == lActive) lActiveSheet = lSheet;
  }
  if (lActiveSheet) FWindow.PageControl1->setCurrentWidget(lActiveSheet);
  else if (lCount > 0) FWindow.PageControl1->setCurrentIndex(0);
}

void TqmtWorkspace::Start() {
  FSaved = TState();  // the first look writes what is shown
  Save();
  FTimer.start();
  // Pages opened, closed or moved: written at once.
  QObject::connect(FWindow.PageControl1, &QTabWidget::currentChanged, &FWindow, [this](int) { Save(); });
  QObject::connect(FWindow.PageControl1->tabBar(), &QTabBar::tabMoved, &FWindow, [this](int, int) { Save(); });
}
