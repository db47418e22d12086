// The sign-in dialog: key, secret and (Binance) market choices, loaded from the settings file when
// made and written back whenever it closes, by any path. Where the desktop has a keyring (a
// Secret Service), the Binance dialog keeps the secret (or the private key's PEM text) there,
// keyed by API key and market, and the file's "ApiSecret" stays empty; a secret found in the file
// moves to the keyring when the dialog closes. Without a keyring the owner-only file keeps it, and
// the dialog says so in one line. "Ok" initialises the process-wide Binance
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

class TqmtIniFile;

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
  // The secret's part of saving: the file's "ApiSecret" here.
  virtual void DoSaveSecret(TqmtIniFile& aSettings);
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
  QLabel* lblKeyring;  // one line where the secret is not kept in a keyring, and why
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
  void DoSaveSecret(TqmtIniFile& aSettings) override;
  void btnOkClick() override;

private:
  // What signs the requests: the key file's PEM text when a file is named (or, once the file is
  // gone, the key the keyring kept from it), else the secret's field. False with the reason.
  bool SigningSecret(std::string& aSecret, std::string& aWhy);
  std::string Market() const;
  // Initialize with the fields as they are; the reason when it fails. Any thread.
  static bool Connect(const std::string& aKey, const std::string& aSecret, bool aFutures, int aContracts, bool aTestNet,
                      std::string& aWhy);
  void SignInDone(bool aConnected, const std::string& aWhy);
  void SetWorking(bool aWorking, const QString& aState);
  bool FWorking = false;
  bool FAbandoned = false;
  bool FKeyring = false;        // a keyring answers: the secret goes there, not into the file
  std::string FKeyringSecret;   // what the keyring gave at loading, for FKeyringEntry
  std::string FKeyringEntry;    // the entry it came from
  std::string FKeyText;         // a key file's PEM text, once read for a sign-in
  std::thread FSignIn, FCancel;
};
