#include "qmtTraderLogin.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <fstream>

#include <QApplication>
#include <QDesktopServices>
#include <QGridLayout>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QMessageBox>
#include <QUrl>
#include <QVBoxLayout>

#include <cstdio>
#include <filesystem>

#include "qmtBinance_Signing.h"
#include "qmtSecretStore.h"
#include "qmtTraderData_Log.h"
#include "qmtTraderClient_Binance.h"
#include "qmtTraderFormBase.h"
#include "qmtTraderSettings.h"
#include "qmtUIApplication.h"

namespace {
const char* kSection = "SETTINGS";
const char* kCreditsURL = "https://developers.binance.com/docs/";
}  // namespace

TFRMTraderLogin::TFRMTraderLogin(QWidget* aParent) : QDialog(aParent) {
  setWindowTitle("Login");
  setModal(true);
  setFixedSize(555, 326);

  const TqmtDialogPanels p = MakeDialogPanels(this);
  pnlBody = p.Body, pnlBottom = p.Bottom, btnOk = p.Ok, btnCancel = p.Cancel;

  Label4 = new QLabel("Broker", pnlBody);
  QFont lTitle("Arial Black");
  lTitle.setPointSize(25);
  lTitle.setBold(true);
  Label4->setFont(lTitle);
  Label1 = new QLabel("API Key", pnlBody);
  txtApiKey = new QLineEdit(pnlBody);
  txtApiKey->setObjectName("txtApiKey");
  txtApiKey->setFixedWidth(305);
  Label2 = new QLabel("API Secret", pnlBody);
  txtApiSecret = new QLineEdit(pnlBody);
  txtApiSecret->setObjectName("txtApiSecret");
  txtApiSecret->setFixedWidth(473);
  txtApiSecret->setEchoMode(QLineEdit::Password);
  // "*" for every character, whatever the style would use.
  txtApiSecret->setStyleSheet("lineedit-password-character: 42");
  Label1->setBuddy(txtApiKey);
  Label2->setBuddy(txtApiSecret);

  auto* lBody = new QGridLayout(pnlBody);
  lBody->setContentsMargins(24, 12, 24, 8);
  lBody->addWidget(Label4, 0, 0, 1, 3);
  lBody->addWidget(Label1, 1, 0, 1, 3);
  lBody->addWidget(txtApiKey, 2, 0, 1, 3, Qt::AlignLeft);
  lBody->addWidget(Label2, 3, 0, 1, 3);
  lBody->addWidget(txtApiSecret, 4, 0, 1, 3, Qt::AlignLeft);
  lBody->setColumnStretch(2, 1);
  lBody->setRowStretch(7, 1);

  LinkLabel1 = new QLabel(QString("<a href=\"%1\">Binance API documentation</a>").arg(kCreditsURL), pnlBottom);
  LinkLabel1->setTextInteractionFlags(Qt::TextBrowserInteraction);
  LinkLabel1->setOpenExternalLinks(false);
  connect(LinkLabel1, &QLabel::linkActivated, this, [](const QString& aURL) { QDesktopServices::openUrl(QUrl(aURL)); });
  p.BottomLayout->insertWidget(0, LinkLabel1);
  connect(btnOk, &QPushButton::clicked, this, [this] { UIAction([this] { btnOkClick(); }); });
  connect(btnCancel, &QPushButton::clicked, this, [this] { btnCancelClick(); });

  setTabOrder(txtApiKey, txtApiSecret);
}

void TFRMTraderLogin::showEvent(QShowEvent* aEvent) {
  if (!FCentred) {
    FCentred = true;
    CentreOnScreen(this);
  }
  QDialog::showEvent(aEvent);
}

void TFRMTraderLogin::done(int aResult) {
  UIAction([this] { DoSaveSettings(); });
  QDialog::done(aResult);
}

void TFRMTraderLogin::DoLoadSettings() {
  TqmtIniFile& s = GetTraderSettings();
  txtApiKey->setText(QString::fromStdString(s.ReadString(kSection, "ApiKey", "")));
  txtApiSecret->setText(QString::fromStdString(s.ReadString(kSection, "ApiSecret", "")));
}

void TFRMTraderLogin::DoSaveSettings() {
  TqmtIniFile& s = GetTraderSettings();
  s.WriteString(kSection, "ApiKey", txtApiKey->text().toStdString());
  DoSaveSecret(s);
}

void TFRMTraderLogin::DoSaveSecret(TqmtIniFile& aSettings) {
  aSettings.WriteString(kSection, "ApiSecret", txtApiSecret->text().toStdString());
}

TFRMTraderLogin_Binance::TFRMTraderLogin_Binance(QWidget* aParent) : TFRMTraderLogin(aParent) {
  setWindowTitle("Binance");
  Label4->setText("Binance");
  chkFutures = new QCheckBox("Futures", pnlBody);
  chkFutures->setObjectName("chkFutures");
  cboFuturesContracts = new QComboBox(pnlBody);
  cboFuturesContracts->setObjectName("cboFuturesContracts");
  cboFuturesContracts->addItems({"USDT", "COIN"});
  cboFuturesContracts->setEditable(false);
  chkTestNet = new QCheckBox("TestNet", pnlBody);
  chkTestNet->setObjectName("chkTestNet");
  auto* lBody = static_cast<QGridLayout*>(pnlBody->layout());
  lBody->addWidget(chkFutures, 5, 0);
  lBody->addWidget(cboFuturesContracts, 5, 1, Qt::AlignLeft);
  lBody->addWidget(chkTestNet, 6, 0);
  // The design state, overwritten from the settings file below.
  chkFutures->setChecked(true);
  cboFuturesContracts->setCurrentIndex(0);
  setTabOrder(txtApiSecret, chkFutures);
  setTabOrder(chkFutures, chkTestNet);
  setTabOrder(chkTestNet, cboFuturesContracts);
  setTabOrder(cboFuturesContracts, btnOk);
  setTabOrder(btnOk, btnCancel);
  lblState = new QLabel(pnlBody);
  lblState->setObjectName("lblState");
  lBody->addWidget(lblState, 6, 1, 1, 2, Qt::AlignLeft);
  // An Ed25519 or RSA key instead of the secret: its private key's file (PEM, PKCS#8, owner-only).
  lblKeyFile = new QLabel("Private Key File (Ed25519 or RSA, instead of the secret)", pnlBody);
  txtKeyFile = new QLineEdit(pnlBody);
  txtKeyFile->setObjectName("txtKeyFile");
  txtKeyFile->setFixedWidth(430);
  btnKeyFile = new QPushButton("...", pnlBody);
  btnKeyFile->setObjectName("btnKeyFile");
  btnKeyFile->setFixedWidth(36);
  lblKeyFile->setBuddy(txtKeyFile);
  lBody->addWidget(lblKeyFile, 7, 0, 1, 3);
  auto* lKeyRow = new QHBoxLayout();
  lKeyRow->addWidget(txtKeyFile);
  lKeyRow->addWidget(btnKeyFile);
  lKeyRow->addStretch(1);
  lBody->addLayout(lKeyRow, 8, 0, 1, 3);
  lblKeyring = new QLabel(pnlBody);
  lblKeyring->setObjectName("lblKeyring");
  lBody->addWidget(lblKeyring, 9, 0, 1, 3, Qt::AlignLeft);
  lBody->setRowStretch(7, 0);
  lBody->setRowStretch(10, 1);
  setFixedSize(555, 404);
  connect(btnKeyFile, &QPushButton::clicked, this, [this] {
    const QString lFile = QFileDialog::getOpenFileName(this, "Private Key File", txtKeyFile->text(), "PEM files (*.pem);;All files (*)");
    if (!lFile.isEmpty()) txtKeyFile->setText(lFile);
  });
  setTabOrder(txtApiSecret, txtKeyFile);
  setTabOrder(txtKeyFile, btnKeyFile);
  setTabOrder(btnKeyFile, chkFutures);
  DoLoadSettings();
}

std::string TFRMTraderLogin_Binance::ReadKeyFile(const std::string& aPath) {
  // The file is the secret: it must be the user's alone, as the settings file is.
  struct stat st {};
  if (::stat(aPath.c_str(), &st) != 0) throw Exception("The key file " + aPath + " cannot be read: " + std::strerror(errno));
  if ((st.st_mode & (S_IRWXG | S_IRWXO)) != 0)
    throw Exception("The key file " + aPath + " can be read by other users: make it yours alone (chmod 600)");
  std::ifstream lIn(aPath);
  std::string lText((std::istreambuf_iterator<char>(lIn)), std::istreambuf_iterator<char>());
  if (!BinanceSecretIsKey(lText)) throw Exception("The key file " + aPath + " holds no PEM private key");
  BinanceKeyScheme(lText);  // raises, naming the problem, for a key of another kind
  return lText;
}

TFRMTraderLogin_Binance::~TFRMTraderLogin_Binance() {
  // A sign-in still running is waited for: its thread posts to this dialog and drives the client.
  if (FSignIn.joinable()) {
    GetTraderClientBinance().Disconnect();
    FSignIn.join();
  }
  if (FCancel.joinable()) FCancel.join();
}

void TFRMTraderLogin_Binance::SetWorking(bool aWorking, const QString& aState) {
  FWorking = aWorking;
  for (QWidget* w : std::initializer_list<QWidget*>{txtApiKey, txtApiSecret, txtKeyFile, btnKeyFile, chkFutures,
                                                    cboFuturesContracts, chkTestNet, btnOk})
    w->setEnabled(!aWorking);
  lblState->setText(aState);
  if (aWorking)
    QApplication::setOverrideCursor(Qt::BusyCursor);
  else
    QApplication::restoreOverrideCursor();
}

void TFRMTraderLogin_Binance::reject() {
  if (!FWorking) {
    TFRMTraderLogin::reject();
    return;
  }
  if (FAbandoned) return;
  // Abandoned: the connections it opened go, off this thread (a handshake may take its time-out).
  FAbandoned = true;
  lblState->setText("Cancelling...");
  if (FCancel.joinable()) FCancel.join();
  FCancel = std::thread([] { GetTraderClientBinance().Disconnect(); });
}

void TFRMTraderLogin_Binance::DoLoadSettings() {
  TFRMTraderLogin::DoLoadSettings();
  TqmtIniFile& s = GetTraderSettings();
  chkFutures->setChecked(s.ReadBool(kSection, "Futures", false));
  const int lIndex = s.ReadInteger(kSection, "FuturesContracts", 0);
  cboFuturesContracts->setCurrentIndex(lIndex >= 0 && lIndex < cboFuturesContracts->count() ? lIndex : -1);
  chkTestNet->setChecked(s.ReadBool(kSection, "TestNet", false));
  txtKeyFile->setText(QString::fromStdString(s.ReadString(kSection, "KeyFile", "")));

  FKeyringSecret.clear();
  FKeyringEntry.clear();
  FKeyring = TqmtSecretStore::Available();
  const QString lNoKeyring = "No system keyring: the secret is kept in the settings file, readable by you alone";
  lblKeyring->setText(FKeyring ? QString() : lNoKeyring);
  const std::string lKey = txtApiKey->text().toStdString();
  // A secret still in the file is shown as it is, and moves to the keyring when the dialog closes.
  if (!FKeyring || lKey.empty() || !txtApiSecret->text().isEmpty()) return;
  const TqmtSecretResult r = TqmtSecretStore::Read(lKey, Market());
  if (r.Outcome == TqmtSecretOutcome::soUnavailable) {
    FKeyring = false;
    lblKeyring->setText(lNoKeyring);
    return;
  }
  if (r.Outcome == TqmtSecretOutcome::soFailed) lblKeyring->setText(QString::fromStdString("The system keyring did not answer: " + r.Why));
  if (!r.Ok()) return;
  FKeyringSecret = r.Secret;
  FKeyringEntry = TqmtSecretStore::EntryName(lKey, Market());
  if (!BinanceSecretIsKey(r.Secret))
    txtApiSecret->setText(QString::fromStdString(r.Secret));
  else
    txtKeyFile->setPlaceholderText("(the private key is kept in the system keyring)");
}

std::string TFRMTraderLogin_Binance::Market() const {
  return TqmtSecretStore::MarketName(chkFutures->isChecked(), cboFuturesContracts->currentIndex(), chkTestNet->isChecked());
}

void TFRMTraderLogin_Binance::DoSaveSecret(TqmtIniFile& aSettings) {
  const std::string lKey = txtApiKey->text().toStdString(), lSecret = txtApiSecret->text().toStdString();
  // A secret without its key has no entry to go to: the file keeps it, as without a keyring.
  if (!FKeyring || lKey.empty()) {
    TFRMTraderLogin::DoSaveSecret(aSettings);
    return;
  }
  const std::string lMarket = Market(), lEntry = TqmtSecretStore::EntryName(lKey, lMarket);
  // A key file read for a sign-in is kept as the secret would be; otherwise the field.
  const std::string lStore = !FKeyText.empty() ? FKeyText : lSecret;
  if (lStore.empty()) {
    // A secret the user cleared goes from the keyring too.
    if (FKeyringEntry == lEntry && !FKeyringSecret.empty() && !BinanceSecretIsKey(FKeyringSecret)) {
      const TqmtSecretResult r = TqmtSecretStore::Remove(lKey, lMarket);
      if (r.Ok() || r.Outcome == TqmtSecretOutcome::soNotFound) FKeyringSecret.clear();
    }
    aSettings.WriteString(kSection, "ApiSecret", "");
    return;
  }
  if (lStore != FKeyringSecret || lEntry != FKeyringEntry) {
    const TqmtSecretResult r = TqmtSecretStore::Write(lKey, lMarket, lStore);
    if (!r.Ok()) {
      const std::string lNote = "The system keyring did not take the secret (" + r.Why + "); the settings file keeps it";
      std::fprintf(stderr, "qmtTrader: %s\n", lNote.c_str());
      GetTraderDataLog().Notice(lNote);
      TFRMTraderLogin::DoSaveSecret(aSettings);  // a key file stays what it was: a path
      return;
    }
    FKeyringSecret = lStore;
    FKeyringEntry = lEntry;
  }
  aSettings.WriteString(kSection, "ApiSecret", "");
}

bool TFRMTraderLogin_Binance::SigningSecret(std::string& aSecret, std::string& aWhy) {
  const std::string lKeyFile = txtKeyFile->text().trimmed().toStdString();
  const bool lKeptKey = BinanceSecretIsKey(FKeyringSecret) &&
                        FKeyringEntry == TqmtSecretStore::EntryName(txtApiKey->text().toStdString(), Market());
  if (!lKeyFile.empty()) {
    std::error_code lError;
    // The file may go once the keyring holds its key.
    if (lKeptKey && !std::filesystem::exists(lKeyFile, lError)) {
      aSecret = FKeyringSecret;
      return true;
    }
    try {
      aSecret = FKeyText = ReadKeyFile(lKeyFile);
      return true;
    } catch (const std::exception& e) {
      aWhy = e.what();
      return false;
    }
  }
  aSecret = lKeptKey && txtApiSecret->text().isEmpty() ? FKeyringSecret : txtApiSecret->text().toStdString();
  FKeyText.clear();  // no key file this time: the field's secret is what is kept
  return true;
}

void TFRMTraderLogin_Binance::DoSaveSettings() {
  TFRMTraderLogin::DoSaveSettings();
  TqmtIniFile& s = GetTraderSettings();
  s.WriteBool(kSection, "Futures", chkFutures->isChecked());
  s.WriteInteger(kSection, "FuturesContracts", cboFuturesContracts->currentIndex());
  s.WriteBool(kSection, "TestNet", chkTestNet->isChecked());
  // Written once used: a file without a key file stays as it always was.
  if (!txtKeyFile->text().isEmpty() || !s.ReadString(kSection, "KeyFile", "").empty())
    s.WriteString(kSection, "KeyFile", txtKeyFile->text().toStdString());
}

bool TFRMTraderLogin_Binance::SignInWithStoredSettings() {
  // At start-up, before any window shows: nothing is kept waiting here but the program itself.
  std::string lSecret, lWhy;
  if (!SigningSecret(lSecret, lWhy)) {
    std::fprintf(stderr, "qmtTrader: cannot sign in with the stored settings: %s\n", lWhy.c_str());
    return false;
  }
  if (txtApiKey->text().isEmpty() || lSecret.empty()) return false;
  if (!Connect(txtApiKey->text().toStdString(), lSecret, chkFutures->isChecked(), cboFuturesContracts->currentIndex(),
               chkTestNet->isChecked(), lWhy)) {
    std::fprintf(stderr, "qmtTrader: cannot sign in with the stored settings%s%s\n", lWhy.empty() ? "" : ": ",
                 lWhy.c_str());
    return false;
  }
  accept();
  return true;
}

bool TFRMTraderLogin_Binance::Connect(const std::string& aKey, const std::string& aSecret, bool aFutures, int aContracts,
                                      bool aTestNet, std::string& aWhy) {
  TqmtTraderClient_Binance& lClient = GetTraderClientBinance();
  bool lConnected = false;
  try {
    lConnected = lClient.Initialize(aKey, aSecret, aFutures, aContracts, aTestNet);
  } catch (const std::exception& e) {
    aWhy = e.what();  // a failed symbol list, for example: the same answer as a failed connection
  }
  // Why, as the connection reported it (never the secret).
  if (!lConnected && aWhy.empty()) aWhy = lClient.SignInFailure();
  return lConnected;
}

void TFRMTraderLogin_Binance::btnOkClick() {
  if (FWorking) return;
  if (FSignIn.joinable()) FSignIn.join();
  if (FCancel.joinable()) FCancel.join();
  const std::string lKey = txtApiKey->text().toStdString();
  std::string lSecret, lWhy;
  if (!SigningSecret(lSecret, lWhy)) {
    lblState->setText(QString::fromStdString(lWhy));
    return;
  }
  if (lKey.empty() != lSecret.empty()) {
    // One without the other signs nothing: said before anything goes out.
    lblState->setText(lKey.empty() ? "The API key is missing (both empty: market data only)"
                                   : "The API secret is missing (both empty: market data only)");
    return;
  }
  const bool lFutures = chkFutures->isChecked(), lTestNet = chkTestNet->isChecked();
  const int lContracts = cboFuturesContracts->currentIndex();
  FAbandoned = false;
  SetWorking(true, "Signing in...");
  FSignIn = std::thread([this, lKey, lSecret, lFutures, lContracts, lTestNet] {
    std::string lWhy;
    const bool lConnected = Connect(lKey, lSecret, lFutures, lContracts, lTestNet, lWhy);
    QMetaObject::invokeMethod(this, [this, lConnected, lWhy] { SignInDone(lConnected, lWhy); }, Qt::QueuedConnection);
  });
}

void TFRMTraderLogin_Binance::SignInDone(bool aConnected, const std::string& aWhy) {
  if (FSignIn.joinable()) FSignIn.join();
  if (FAbandoned) {
    if (FCancel.joinable()) FCancel.join();
    // It may have connected just before the cancel reached it.
    if (aConnected) GetTraderClientBinance().Disconnect();
    SetWorking(false, "Sign-in cancelled");
    FAbandoned = false;
    return;
  }
  SetWorking(false, QString());
  if (aConnected) {
    accept();
    return;
  }
  QMessageBox lBox(QMessageBox::Critical, windowTitle(), "Cannot connect to Server API.",
                   QMessageBox::Ok | QMessageBox::Cancel, this);
  lBox.setObjectName("ConnectError");
  if (!aWhy.empty()) lBox.setInformativeText(QString::fromStdString(aWhy));
  lBox.exec();
}
