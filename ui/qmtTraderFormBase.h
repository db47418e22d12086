// The bases every window and panel of the desktop client derives from: TFRAMEBase (an embeddable
// panel with a stable identifier, the key of its cursors on the shared tables), TFRMTraderBase (a
// form that opens centred) and TFRMTraderBaseModal (an Ok/Cancel dialog). UI thread only.
#pragma once

#include <QDialog>
#include <QFrame>
#include <QPushButton>
#include <QString>
#include <QWidget>

#include <string>

class TFRAMEBase : public QFrame {
public:
  explicit TFRAMEBase(QWidget* aParent = nullptr) : QFrame(aParent) {}
  // 32 upper-case hexadecimal digits, made on the first read and the same for the frame's life.
  const std::string& Guid() const { return GetGuid(); }
  // The market data shown here is no longer live (aStale, since aSince, local "hh:mm:ss") or live
  // again: the window tells every frame when the connection goes and comes back. UI thread.
  virtual void SetStale(bool aStale, const QString& aSince) {}

protected:
  const std::string& GetGuid() const;

private:
  mutable std::string FGuid;
};

class TFRMTraderBase : public QDialog {
public:
  explicit TFRMTraderBase(QWidget* aParent = nullptr);

protected:
  void showEvent(QShowEvent* aEvent) override;

private:
  bool FCentred = false;
};

// pnlBody takes the subclass's controls; pnlBottom (41 pixels) holds "Ok" left of "Cancel", both at
// the right. "Ok" runs DoOk and ends the dialog with Accepted; "Cancel" runs DoCancel, which ends it
// with Rejected, as do Escape and the close box (without DoOk).
class TFRMTraderBaseModal : public TFRMTraderBase {
public:
  explicit TFRMTraderBaseModal(QWidget* aParent = nullptr);

  QWidget* pnlBody;
  QWidget* pnlBottom;
  QPushButton* btnOk;
  QPushButton* btnCancel;

protected:
  virtual void DoOk() {}
  virtual void DoCancel() { reject(); }
};

// A dialog's two panels: pnlBody over pnlBottom (41 pixels high, "Ok" then "Cancel" at its right).
struct TqmtDialogPanels {
  QWidget* Body;
  QWidget* Bottom;
  QPushButton* Ok;
  QPushButton* Cancel;
  class QHBoxLayout* BottomLayout;
};
TqmtDialogPanels MakeDialogPanels(QDialog* aDialog);

// The first frame of class T under aRoot (aRoot itself included). The frames carry no meta-object
// of their own, so findChild (qobject_cast) cannot tell them apart: they are told by their class.
template <class T>
T* FindFrame(QWidget* aRoot) {
  if (!aRoot) return nullptr;
  if (auto* t = dynamic_cast<T*>(aRoot)) return t;
  for (QWidget* w : aRoot->findChildren<QWidget*>())
    if (auto* t = dynamic_cast<T*>(w)) return t;
  return nullptr;
}

// Centres a top-level window on the screen it will show on.
void CentreOnScreen(QWidget* aWindow);
