// The sign-in dialog: key, secret and (Binance) market choices, loaded from the settings file when
// made and written back whenever it closes, by any path. "Ok" initialises the process-wide Binance
// trader client and connects; only a successful connection ends the dialog with Accepted. UI thread.
#pragma once

#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

class TFRMTraderLogin : public QDialog {
public:
  explicit TFRMTraderLogin(QWidget* aParent = nullptr);

  QWidget* pnlBody;
  QLabel* Label4;
  QLabel* Label1;
  QLineEdit* txtApiKey;
  QLabel* Label2;
  QLineEdit* txtApiSecret;
  QWidget* pnlBottom;
  QPushButton* btnOk;
  QPushButton* btnCancel;
  QLabel* LinkLabel1;

  // Every way the dialog ends (Ok, Cancel, Escape, the close box) saves the settings first.
  void done(int aResult) override;

protected:
  virtual void DoLoadSettings();
  virtual void DoSaveSettings();
  virtual void btnOkClick() {}
  void btnCancelClick() { reject(); }
  void showEvent(QShowEvent* aEvent) override;

private:
  bool FCentred = false;
};

class TFRMTraderLogin_Binance : public TFRMTraderLogin {
public:
  // Loads the settings (C++ runs only the base's part of a virtual call in the base constructor,
  // so the most derived constructor loads them).
  explicit TFRMTraderLogin_Binance(QWidget* aParent = nullptr);

  QCheckBox* chkFutures;
  QComboBox* cboFuturesContracts;
  QCheckBox* chkTestNet;

  // Signs in with the stored settings without showing the dialog: true when connected (the dialog
  // then ends accepted and saves as usual); false when no key is stored or the connection failed.
  bool SignInWithStoredSettings();

protected:
  void DoLoadSettings() override;
  void DoSaveSettings() override;
  void btnOkClick() override;

private:
  // Initialize with the fields as they are; the reason when it fails.
  bool Connect(std::string& aWhy);
};
