#include "qmtTraderFormBase.h"

#include <QGuiApplication>
#include <QHBoxLayout>
#include <QScreen>
#include <QShowEvent>
#include <QVBoxLayout>

#include "qmtBase_Helpers.h"
#include "qmtUIApplication.h"

const std::string& TFRAMEBase::GetGuid() const {
  if (FGuid.empty()) FGuid = NewGuidText();
  return FGuid;
}

void CentreOnScreen(QWidget* aWindow) {
  QScreen* lScreen = aWindow->screen() ? aWindow->screen() : QGuiApplication::primaryScreen();
  if (!lScreen) return;
  const QRect lFrame = aWindow->frameGeometry();
  aWindow->move(lScreen->availableGeometry().center() - QPoint(lFrame.width() / 2, lFrame.height() / 2));
}

TFRMTraderBase::TFRMTraderBase(QWidget* aParent) : QDialog(aParent) {}

void TFRMTraderBase::showEvent(QShowEvent* aEvent) {
  if (!FCentred) {
    FCentred = true;
    CentreOnScreen(this);
  }
  QDialog::showEvent(aEvent);
}

TqmtDialogPanels MakeDialogPanels(QDialog* aDialog) {
  TqmtDialogPanels p;
  auto* lLayout = new QVBoxLayout(aDialog);
  lLayout->setContentsMargins(0, 0, 0, 0);
  lLayout->setSpacing(0);
  p.Body = new QWidget(aDialog);
  p.Body->setObjectName("pnlBody");
  p.Bottom = new QWidget(aDialog);
  p.Bottom->setObjectName("pnlBottom");
  p.Bottom->setFixedHeight(41);
  lLayout->addWidget(p.Body, 1);
  lLayout->addWidget(p.Bottom);
  p.BottomLayout = new QHBoxLayout(p.Bottom);
  p.BottomLayout->setContentsMargins(8, 6, 8, 6);
  p.BottomLayout->addStretch(1);
  p.Ok = new QPushButton("Ok", p.Bottom);
  p.Ok->setObjectName("btnOk");
  p.Ok->setDefault(true);
  p.Cancel = new QPushButton("Cancel", p.Bottom);
  p.Cancel->setObjectName("btnCancel");
  p.BottomLayout->addWidget(p.Ok);
  p.BottomLayout->addWidget(p.Cancel);
  return p;
}

TFRMTraderBaseModal::TFRMTraderBaseModal(QWidget* aParent) : TFRMTraderBase(aParent) {
  setModal(true);
  const TqmtDialogPanels p = MakeDialogPanels(this);
  pnlBody = p.Body, pnlBottom = p.Bottom, btnOk = p.Ok, btnCancel = p.Cancel;
  // The result is set even when DoOk fails: its failure is reported, the dialog still ends.
  connect(btnOk, &QPushButton::clicked, this, [this] {
    UIAction([this] { DoOk(); });
    accept();
  });
  connect(btnCancel, &QPushButton::clicked, this, [this] { UIAction([this] { DoCancel(); }); });
}
