// The sign-in dialog: key, secret and (Binance) market choices, loaded from the settings file when
// made and written back whenever it closes, by any path. "Ok" initialises the process-wide Binance
// trader client and connects; only a successful connection ends the dialog with Accepted.
//
// Threads. The dialog lives on the UI thread; the sign-in itself (symbols, the server's clock, the
// connections) runs on a thread of the dialog's, so the window keeps painting while the exchange
// is slow. It shows "Signing in..." meanwhile, with the fields and "Ok" disabled, so no second
// sign-in can start on the same client; "Cancel" (or Escape, or the close box) abandons it: the
// connections are dropped, the dialog stays open, and "Ok" is back once the abandoned attempt has
// ended. The thread posts its result to the dialog and is joined before the dialog goes.
#pragma once

#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include <string>
#include <thread>

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
  ~TFRMTraderLogin_Binance() override;

  QCheckBox* chkFutures;
  QComboBox* cboFuturesContracts;
  QCheckBox* chkTestNet;
  QLabel* lblState;  // "Signing in...", "Cancelling...", "Sign-in cancelled"
  QLabel* lblKeyFile;
  QLineEdit* txtKeyFile;  // an Ed25519 or RSA private key's PEM file, used instead of the secret
  QPushButton* btnKeyFile;
  // The PEM text of a private key file that is the user's alone (no group or other bits); raises
  // with the reason, never the key's text.
  static std::string ReadKeyFile(const std::string& aPath);

  // A sign-in is running (started by "Ok", not yet ended).
  bool Working() const { return FWorking; }
  // Cancel, Escape and the close box abandon a running sign-in instead of ending the dialog.
  void reject() override;

  // Signs in with the stored settings without showing the dialog: true when connected (the dialog
  // then ends accepted and saves as usual); false when no key is stored or the connection failed.
  bool SignInWithStoredSettings();

protected:
  void DoLoadSettings() override;
  void DoSaveSettings() override;
  void btnOkClick() override;

private:
  // Initialize with the fields as they are; the reason when it fails. Any thread.
  static bool Connect(const std::string& aKey, const std::string& aSecret, bool aFutures, int aContracts, bool aTestNet,
                      std::string& aWhy);
  void SignInDone(bool aConnected, const std::string& aWhy);
  void SetWorking(bool aWorking, const QString& aState);
  bool FWorking = false;
  bool FAbandoned = false;
  std::thread FSignIn, FCancel;
};
