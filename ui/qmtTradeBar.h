// The trade bar of a trading page: the symbol, its last price, an order size, eight order buttons
// whose definitions (type, side, how the prices follow the last price) are stored per symbol in the
// settings file, "Cancel Orders" and "..." (reset the buttons); the confirmation dialog and the
// definition dialog.
//
// Threads. The ticker listener runs on the stream thread: it checks the symbol, leaves the price for
// the UI thread under a short lock and posts one call per burst that takes it. Orders and cancels
// go to the trader client's command queue and never wait for the exchange here: the button shows
// its order in flight until the result comes, as a listener call on the queue's worker that posts
// it to the UI thread (the status bar names every result). Everything else runs on the UI thread.
// The destructor unregisters both listeners first (UnRegister waits for a running notification), so
// no post can be under way afterwards, and Qt drops calls still queued for a destroyed object.
//
// Prices. The last price is kept as the full-precision number the exchange sent ("0.0000" is only how
// it is shown); margins and fixed prices are kept and stored as their shortest exact decimal. Before
// anything is confirmed or sent, an order is refused with a message saying why when its price is not
// positive, its side or type is unset, its size is not a positive number or no ticker has come yet;
// prices are rounded to the symbol's price step and sizes down to its lot step.
#pragma once

#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QDialog>
#include <QPushButton>
#include <QStackedWidget>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QToolBar>
#include <QToolButton>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "qmtSystem.h"
#include "qmtTraderFormBase.h"
#include "qmtTraderClient.h"
#include "qmtTraderMarketData.h"

enum TqmtTradeBarOrderType : std::uint8_t { tbotNone = 0, tbotMarket = 1, tbotLimit = 2, tbotStop = 3, tbotStopLimit = 4 };
enum TqmtTradeBarOrderSide : std::uint8_t { tbosBuy = 0, tbosSell = 1 };
enum TqmtTradeBarOrderPrice : std::uint8_t { tbopValue = 0, tbopLast = 1, tbopBid = 2, tbopAsk = 3 };
enum TqmtTradeBarOrderOperator : std::uint8_t { tbomSum = 0, tbomMinus = 1 };
// What a margin counts: an amount of the quote, ticks of the symbol's price step, or percent of the price.
enum TqmtTradeBarOrderUnit : std::uint8_t { tbouAmount = 0, tbouTicks = 1, tbouPercent = 2 };

// The prices a definition can follow, as the bar last heard them (0: not yet).
struct TqmtTradeBarQuote {
  long double Last = 0, Bid = 0, Ask = 0;
  long double Tick = 0;  // the symbol's price step
};

// One button's definition. A symbol's own definition lives in "<SYMBOL>.OrderN"; without one the
// definition for every symbol, "OrderN", applies. ID() is the section in use.
class TqmtTradeBarOrder {
public:
  // aID the symbol's section ("BTCUSDT.Order1"); the shared one is its part after the last '.'.
  explicit TqmtTradeBarOrder(std::string aID);
  virtual ~TqmtTradeBarOrder() = default;

  const std::string& ID() const { return Own ? FID : FSharedID; }
  const std::string& SymbolID() const { return FID; }
  const std::string& SharedID() const { return FSharedID; }
  bool Own = false;  // the symbol has a definition of its own (else the shared one applies)
  bool Defined() const { return OrderType != 0; }
  bool Confirmation = true;
  const std::string CurrencyMask = "0.00";  // how a margin is shown in the dialog
  std::string Description;
  std::uint8_t OrderType = tbotNone;
  std::uint8_t LimitPrice = tbopValue;
  long double LimitPriceMargin = 0;
  std::uint8_t LimitPriceOperator = tbomSum;
  std::uint8_t Side = tbosBuy;
  std::uint8_t StopPrice = tbopValue;
  long double StopPriceMargin = 0;
  std::uint8_t StopPriceOperator = tbomSum;
  std::uint8_t LimitPriceUnit = tbouAmount;
  std::uint8_t StopPriceUnit = tbouAmount;

  // A fixed price is the margin itself; a price that follows the last price, the bid or the ask
  // adds or subtracts the margin in its unit (another operator leaves the price followed); another
  // price kind gives -1, and so does a followed price not heard yet (0).
  long double GetLimitPrice(const TqmtTradeBarQuote& aQuote) const;
  long double GetStopPrice(const TqmtTradeBarQuote& aQuote) const;
  long double GetLimitPrice(long double aLastPrice) const { return GetLimitPrice(TqmtTradeBarQuote{aLastPrice, aLastPrice, aLastPrice, 0}); }
  long double GetStopPrice(long double aLastPrice) const { return GetStopPrice(TqmtTradeBarQuote{aLastPrice, aLastPrice, aLastPrice, 0}); }
  // Reads the symbol's own definition if it has one, else the shared one.
  virtual void LoadSettings();
  // Writes to the section in use; a definition made shared drops the symbol's own.
  virtual void SaveSettings();

private:
  std::string FID, FSharedID;
};

class TqmtTradeBarOrders {
public:
  // Makes aSize definitions "<symbol>.Order1" ... unless there are aSize already.
  void DoInitialize(int aSize, const std::string& aSymbol);
  TqmtTradeBarOrder* GetOrder(int aIndex) const;  // from 0; nullptr past the end
  int Count() const { return static_cast<int>(FOrders.size()); }
  void LoadSettings();

private:
  std::vector<std::unique_ptr<TqmtTradeBarOrder>> FOrders;
};

// A margin or fixed price as stored: the shortest decimal that reads back exactly, "." whatever the locale.
std::string TradeBarNumberText(long double aValue);
// "." decimal text to a number; raises EConvertError for anything else.
long double TradeBarTextToNumber(const std::string& aText);
// aValue rounded to the nearest multiple of aStep (aStep 0: unchanged), or down to one.
long double RoundToStep(long double aValue, long double aStep);
long double RoundDownToStep(long double aValue, long double aStep);

class TFRMTradeBarConfirmation : public QDialog {
public:
  explicit TFRMTradeBarConfirmation(QWidget* aParent = nullptr);
  QLineEdit *txtSymbol, *txtOrderType, *txtOrderSide, *txtSize, *txtLimitPrice, *txtStopPrice;
  QLabel *lblLimitPrice, *lblStopPrice;
  QLineEdit* txtValue;  // size × price, in the quote
  QPushButton *btnOk, *btnCancel;
};

// True when the user pressed "Ok". "Ok" is not the default button: Enter places nothing. aValue
// (size × the price it would fill near, in aQuote) is shown when positive.
bool ShowTradeBarConfirmation(const std::string& aSymbol, const std::string& aOrderType, std::uint8_t aSide,
                              long double aSize, long double aLimitPrice, long double aStopPrice, long double aValue = 0,
                              const std::string& aQuote = std::string());

class TFRAMETradeBar : public TFRAMEBase {
public:
  explicit TFRAMETradeBar(QWidget* aParent = nullptr);
  ~TFRAMETradeBar() override;

  QToolBar* toolTradeBar;
  QLineEdit *txtSymbol, *txtLast, *txtSize;
  QLabel* lblValue;  // the size in the base asset and its value, as the size field reads now
  QWidget* pnlOrderButtons;                // the order buttons, two by two
  std::vector<QToolButton*> OrderButtons;  // Order1 ... Order8, tags 1 ... 8
  QToolButton* btnCancelOpenOrders;        // tag 99
  QToolButton* btnReset;
  QMenu* popupMenuForm;
  QAction* mnuFormResetButtons;

  const std::string& Symbol() const { return FSymbol; }
  void SetSymbol(const std::string& aSymbol);
  TqmtTradeBarOrders& GetTradeBarOrders() { return FTradeBarOrders; }
  // The last price as received (0 before the first ticker).
  long double LastPrice() const { return FLastPrice; }
  bool HasLastPrice() const { return FHasLast; }
  // Disconnected: the last price is shown grey with the time it stopped being live, and no order
  // whose price follows it is sent until the connection is back.
  void SetStale(bool aStale, const QString& aSince) override;
  bool Stale() const { return FStale; }

  // The ticker listener (stream thread).
  void OnTickerEvent(TObject* Sender, const TqmtTraderTicker& aTicker);
  // The command queue's results (its worker thread): this bar's orders and cancels.
  void OnCommandResult(TObject* Sender, const TqmtTraderCommandResult& aResult);
  // Orders of this bar whose result has not come yet, per button (tag 1 ... 8; 99 "Cancel Orders").
  int InFlight(int aTag) const;
  // A press of order button aButton (tag 1 ... 8): its definition is carried out.
  void OrderClick(QToolButton* aButton);
  void ResetButtons();
  // An order at a price picked elsewhere (the price ladder): a limit of aSide at aPrice, or with
  // aStop a stop market triggered there, of the size field's size, asked first when aConfirm. The
  // same refusals, rounding and path as a button's.
  void PlaceAtPrice(std::uint8_t aSide, bool aStop, long double aPrice, bool aConfirm);
  // The size field's text in the base asset: a number, a value in the quote ("500 USDT", at the
  // last price) or a percentage of the available balance ("10%": of the quote on a buy or on
  // futures, of the base asset on a spot sell). Raises with the reason.
  long double SizeOf(const std::string& aText, std::uint8_t aSide) const;
  std::string QuoteAsset() const;  // from the symbol's name ("" when none of the usual quotes)
  void ShowValue();
  void ShowSizePresets(const QPoint& aAt);
  // The button's caption and tooltip from its definition (aIndex from 0).
  void ShowCaption(int aIndex);
  // The prices the definitions follow, as last heard, with the symbol's price step.
  TqmtTradeBarQuote Quote();
  long double LotStepNow() {
    long double lPrice, lLot;
    GetSteps(lPrice, lLot);
    return lLot;
  }
  // Button state by name ("Order3", "ToolButton5", "btnCancelOpenOrders" ...).
  QAction* ToolAction(const std::string& aName) const;

protected:
  virtual void DoEditOrder(QToolButton* aButton) = 0;
  virtual void DoPlaceMarketOrder(std::uint8_t aSide, const std::string& aSymbol, long double aSize) = 0;
  virtual void DoPlaceLimitOrder(std::uint8_t aSide, const std::string& aSymbol, long double aSize, long double aLimitPrice) = 0;
  virtual void DoPlaceStopOrder(std::uint8_t aSide, const std::string& aSymbol, long double aSize, long double aStopPrice) = 0;
  virtual void DoPlaceStopLimitOrder(std::uint8_t aSide, const std::string& aSymbol, long double aSize, long double aStopPrice,
                                     long double aLimitPrice) = 0;
  virtual void DoTradeBarOrder(TqmtTradeBarOrder* aOrder);
  virtual void DoLoadOrders(const std::string& aSymbol);
  virtual void DoLoadButtons();
  // The symbol's price and lot steps, for rounding (0: not known).
  virtual void GetSteps(long double& aPriceStep, long double& aLotStep);

  std::string Section(const std::string& aName) const { return FSymbol + "." + aName; }
  bool FStale = false;
  QString FStaleSince;
  // Called by DoPlace... with what submits to the queue (and returns its ticket): the pressed
  // button shows it in flight until its result comes. The tickets' lock is held across the
  // submission, so the worker cannot look for a result before its ticket is listed.
  void SubmitFor(const std::function<std::uint64_t()>& aSubmit);
  int FPressedTag = 0;  // the button being carried out now
  // Sections of the tool items, in tool-bar order (separators included).
  std::vector<std::pair<std::string, QAction*>> FItems;

private:
  // A button in the tool bar, or in aGrid at aRow, aColumn.
  QToolButton* AddButton(const QString& aCaption, const std::string& aName, int aTag, QGridLayout* aGrid = nullptr, int aRow = 0,
                         int aColumn = 0);
  QAction* AddStateItem(const std::string& aName, QWidget* aWidget);
  QWidget* ItemWidget(const std::string& aName, QAction* aAction) const;
  std::map<std::string, QWidget*> FItemWidgets;  // the button grid's items, by name
  void AddSeparator(const std::string& aName);
  void SetButtonState(QToolButton* aButton, bool aEnabled, bool aVisible);
  std::string FSymbol;
  long double FLastPrice = 0;
  bool FHasLast = false;
  TqmtTradeBarOrders FTradeBarOrders;
  TqmtRegistration FTickerRegistration;  // the symbol's tickers, ended with the bar
  bool FAskedSymbols = false;  // the exchange information was asked for once, for the steps
  void ApplyResult(const TqmtTraderCommandResult& aResult);
  void ShowInFlight(int aTag);
  // This bar's tickets: ticket -> the button's tag while in flight, 0 once answered but still
  // followed (an unknown outcome is settled later). Read by the worker's listener call too.
  mutable std::mutex FTicketLock;
  std::map<std::uint64_t, int> FTickets;
  TqmtRegistration FCommandsRegistration;  // this bar's command results
  // The newest price from the stream thread, taken by ApplyTicker on the UI thread; one post per burst.
  void ApplyTicker();
  std::mutex FTickLock;
  long double FPendingPrice = 0, FPendingBid = 0, FPendingAsk = 0;
  long double FBid = 0, FAsk = 0;  // UI thread
  long double Available(const std::string& aAsset) const;  // the balance table's wallet balance
  bool FPosted = false;
};

class TFRMTradeBarOrder : public QDialog {
public:
  explicit TFRMTradeBarOrder(QWidget* aParent = nullptr);
  QLineEdit* txtDescription;
  QComboBox *cboOrderType, *cboOrderSide;
  QCheckBox* chkConfirmation;
  QStackedWidget* pageOrderType;
  QWidget *tabOrderNone, *tabOrderLimit, *tabOrderStop, *tabOrderStopLimit;
  QComboBox *cboLimitPrice, *cboLimitMarginOperator;
  QLineEdit* txtLimitMarginValue;
  QComboBox *cboStopPrice, *cboStopMarginOperator;
  QLineEdit* txtStopMarginValue;
  QComboBox *cboStopLimitStopPrice, *cboStopLimitStopPriceMarginOperator;
  QLineEdit* txtStopLimitStopPriceMarginValue;
  QComboBox *cboStopLimitLimitPrice, *cboStopLimitLimitPriceMarginOperator;
  QLineEdit* txtStopLimitLimitPriceMarginValue;
  // The margins' units (amount, ticks, percent), one per margin above.
  QComboBox *cboLimitUnit, *cboStopUnit, *cboStopLimitStopUnit, *cboStopLimitLimitUnit;
  QCheckBox* chkOwn;  // "Only for <SYMBOL>": unchecked, the definition applies to every symbol
  QPushButton *btnOk, *btnCancel;

  TqmtTradeBarOrder* Order() const { return FOrder; }
  void SetOrder(TqmtTradeBarOrder* aOrder, const std::string& aSymbol = std::string());
  // "Ok" takes the fields into the definition (a margin that is no number keeps the dialog open,
  // reported); "Cancel", Escape and the close box leave the definition as it was.
  void done(int aResult) override;

protected:
  virtual void DoLoadOrder();
  virtual void DoSaveOrder();
  void ShowOrderTypePage();

private:
  TqmtTradeBarOrder* FOrder = nullptr;
};

class TFRAMETradeBarBinance : public TFRAMETradeBar {
public:
  explicit TFRAMETradeBarBinance(QWidget* aParent = nullptr);
  void btnCancelOpenOrdersClick();

protected:
  void DoEditOrder(QToolButton* aButton) override;
  void DoPlaceMarketOrder(std::uint8_t aSide, const std::string& aSymbol, long double aSize) override;
  void DoPlaceLimitOrder(std::uint8_t aSide, const std::string& aSymbol, long double aSize, long double aLimitPrice) override;
  void DoPlaceStopOrder(std::uint8_t aSide, const std::string& aSymbol, long double aSize, long double aStopPrice) override;
  void DoPlaceStopLimitOrder(std::uint8_t aSide, const std::string& aSymbol, long double aSize, long double aStopPrice,
                             long double aLimitPrice) override;

private:
  void Submit(std::uint8_t aSide, TqmtTraderOrderType aType, const std::string& aSymbol, long double aSize, long double aPrice,
              long double aStopPrice);
};
