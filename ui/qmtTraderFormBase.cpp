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

TFRMTraderBaseModal::TFRMTraderBaseModal(QWidget* aParent) : TFRMTraderBase(aParent) {
  setModal(true);
  auto* lLayout = new QVBoxLayout(this);
  lLayout->setContentsMargins(0, 0, 0, 0);
  lLayout->setSpacing(0);
  pnlBody = new QWidget(this);
  pnlBody->setObjectName("pnlBody");
  pnlBottom = new QWidget(this);
  pnlBottom->setObjectName("pnlBottom");
  pnlBottom->setFixedHeight(41);
  lLayout->addWidget(pnlBody, 1);
  lLayout->addWidget(pnlBottom);
  auto* lBottom = new QHBoxLayout(pnlBottom);
  lBottom->setContentsMargins(8, 6, 8, 6);
  lBottom->addStretch(1);
  btnOk = new QPushButton("Ok", pnlBottom);
  btnOk->setObjectName("btnOk");
  btnOk->setDefault(true);
  btnCancel = new QPushButton("Cancel", pnlBottom);
  btnCancel->setObjectName("btnCancel");
  lBottom->addWidget(btnOk);
  lBottom->addWidget(btnCancel);
  // The result is set even when DoOk fails: its failure is reported, the dialog still ends.
  connect(btnOk, &QPushButton::clicked, this, [this] {
    UIAction([this] { DoOk(); });
    accept();
  });
  connect(btnCancel, &QPushButton::clicked, this, [this] { UIAction([this] { DoCancel(); }); });
}
