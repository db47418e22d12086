// The sign-in dialog and its settings file: defaults on a first start, every way of closing writes
// all five keys (owner-only file), stored values shown, tab order, and signing in against the
// simulated exchange (a refused key keeps the dialog open; a second "Ok" uses the new values).
#include <QMessageBox>
#include <QTimer>
#include <QTest>

#include <poll.h>

#include <atomic>

#include <sys/stat.h>

#include <fstream>
#include <sstream>

#include "qmtTraderClient_Binance.h"
#include "qmtTraderLogin.h"
#include "qmtTraderSettings.h"
#include "sim_exchange.h"
#include "test_keys.h"
#include "ui_test_support.h"

using namespace qmt_ui_test;

class TestLogin : public QObject {
  Q_OBJECT
public:
  explicit TestLogin(const std::filesystem::path& aFolder) : FFile((aFolder / "qmtTrader.ini").string()) {
    SetTraderSettingsFileName(FFile);
  }

private:
  std::string FFile;

  std::string FileText() const { return qmt_ui_test::FileText(FFile); }
  void WriteFile(const std::string& aText) const {
    std::filesystem::remove(FFile);
    std::ofstream(FFile) << aText;
  }

private slots:
  void cleanup() { ScreenshotIfFailed(); }

  void firstStartShowsDefaultsAndCancelWritesEveryKey() {
    std::filesystem::remove(FFile);
    QCOMPARE(GetTraderSettings().FileName(), FFile);
    TFRMTraderLogin_Binance d;
    d.show();
    QCOMPARE(d.windowTitle(), QString("Binance"));
    QCOMPARE(d.Label4->text(), QString("Binance"));
    QCOMPARE(d.txtApiKey->text(), QString());
    QCOMPARE(d.txtApiSecret->text(), QString());
    QCOMPARE(d.txtApiSecret->echoMode(), QLineEdit::Password);
    QVERIFY(!d.chkFutures->isChecked());
    QCOMPARE(d.cboFuturesContracts->currentText(), QString("USDT"));
    QVERIFY(!d.chkTestNet->isChecked());
    QVERIFY(d.cboFuturesContracts->isEnabled());
    // These tests run with no session bus: no keyring, and the dialog says where the secret goes.
    QCOMPARE(d.lblKeyring->text(), QString("No system keyring: the secret is kept in the settings file, readable by you alone"));
    QTest::mouseClick(d.btnCancel, Qt::LeftButton);
    QCOMPARE(d.result(), int(QDialog::Rejected));
    QCOMPARE(FileText(), std::string("[SETTINGS]\nApiKey=\nApiSecret=\nFutures=0\nFuturesContracts=0\nTestNet=0\n"));
    struct stat st {};
    QCOMPARE(::stat(FFile.c_str(), &st), 0);
    QCOMPARE(st.st_mode & 0777, 0600u);
  }

  void everyWayOfClosingSaves_data() {
    QTest::addColumn<QString>("how");
    QTest::newRow("Cancel") << "Cancel";
    QTest::newRow("Escape") << "Escape";
    QTest::newRow("close box") << "close";
  }
  void everyWayOfClosingSaves() {
    QFETCH(QString, how);
    WriteFile("[SETTINGS]\nApiKey=old\n[Buttons]\nx=1\n");
    TFRMTraderLogin_Binance d;
    d.show();
    QVERIFY(QTest::qWaitForWindowExposed(&d));
    d.txtApiKey->setText("key-" + how);
    d.txtApiSecret->setText("s3cr=t");
    d.chkFutures->setChecked(true);
    d.cboFuturesContracts->setCurrentIndex(1);
    d.chkTestNet->setChecked(true);
    if (how == "Cancel")
      QTest::mouseClick(d.btnCancel, Qt::LeftButton);
    else if (how == "Escape")
      QTest::keyClick(&d, Qt::Key_Escape);
    else
      d.close();
    QVERIFY(!d.isVisible());
    QCOMPARE(d.result(), int(QDialog::Rejected));
    const std::string lExpected = "[SETTINGS]\nApiKey=key-" + how.toStdString() +
                                  "\nApiSecret=s3cr=t\nFutures=1\nFuturesContracts=1\nTestNet=1\n[Buttons]\nx=1\n";
    QCOMPARE(FileText(), lExpected);
  }

  void storedValuesAreShown_data() {
    QTest::addColumn<QString>("file");
    QTest::addColumn<bool>("futures");
    QTest::addColumn<int>("contracts");
    QTest::addColumn<bool>("testnet");
    QTest::newRow("coin") << "Futures=1\nFuturesContracts=1\nTestNet=1" << true << 1 << true;
    QTest::newRow("any non-zero is true") << "Futures=2\nTestNet=-1" << true << 0 << true;
    QTest::newRow("not numbers: defaults") << "Futures=yes\nFuturesContracts=abc\nTestNet=" << false << 0 << false;
    QTest::newRow("index outside the list") << "FuturesContracts=5" << false << -1 << false;
  }
  void storedValuesAreShown() {
    QFETCH(QString, file);
    QFETCH(bool, futures);
    QFETCH(int, contracts);
    QFETCH(bool, testnet);
    WriteFile("[SETTINGS]\nApiKey=k\nApiSecret=s\n" + file.toStdString() + "\n");
    TFRMTraderLogin_Binance d;
    QCOMPARE(d.txtApiKey->text(), QString("k"));
    QCOMPARE(d.txtApiSecret->text(), QString("s"));
    QCOMPARE(d.chkFutures->isChecked(), futures);
    QCOMPARE(d.cboFuturesContracts->currentIndex(), contracts);
    QCOMPARE(d.chkTestNet->isChecked(), testnet);
  }

  void tabOrder() {
    TFRMTraderLogin_Binance d;
    d.show();
    QVERIFY(QTest::qWaitForWindowExposed(&d));
    QWidget* lExpected[] = {d.txtApiKey,  d.txtApiSecret,         d.txtKeyFile, d.btnKeyFile, d.chkFutures,
                            d.chkTestNet, d.cboFuturesContracts, d.btnOk,      d.btnCancel};
    d.txtApiKey->setFocus();
    for (std::size_t i = 1; i < std::size(lExpected); ++i) {
      QWidget* w = lExpected[i - 1]->nextInFocusChain();
      while (w != lExpected[i - 1] && !(w->focusPolicy() & Qt::TabFocus && w->isVisibleTo(&d))) w = w->nextInFocusChain();
      QVERIFY2(w == lExpected[i], qPrintable(QString("after %1 comes %2").arg(lExpected[i - 1]->objectName(), w->objectName())));
    }
  }

  // An exchange that takes the connection and never answers: the dialog keeps running, "Cancel"
  // abandons the sign-in and leaves the dialog open, and "Ok" is back once the attempt has ended.
  void cancelAbandonsASignInInProgress() {
    std::atomic<bool> lStop{false};
    qmt_test::ScriptedServer lSilent([&](int s, int) {
      while (!lStop) {
        pollfd p{s, POLLIN, 0};
        char lBuffer[4096];
        if (::poll(&p, 1, 50) > 0 && ::recv(s, lBuffer, sizeof lBuffer, 0) <= 0) return;
      }
    });
    SetBinanceAddress(TqmtBinanceAddress::SpotRest, "http://127.0.0.1:" + std::to_string(lSilent.Port()));
    WriteFile("[SETTINGS]\nApiKey=k\nApiSecret=s\nFutures=0\n");
    GetTraderClientBinance().RequestTimeoutMs = 1500;
    TFRMTraderLogin_Binance d;
    d.open();
    QVERIFY(QTest::qWaitForWindowExposed(&d));
    QTest::mouseClick(d.btnOk, Qt::LeftButton);
    QVERIFY(d.Working());
    QVERIFY(!d.txtApiKey->isEnabled());
    QTest::qWait(200);  // events go on meanwhile
    QVERIFY(d.Working());
    QTest::mouseClick(d.btnCancel, Qt::LeftButton);
    QCOMPARE(d.lblState->text(), QString("Cancelling..."));
    QVERIFY(d.isVisible());
    QVERIFY(WaitFor([&] { return !d.Working(); }, 20000));
    QCOMPARE(d.lblState->text(), QString("Sign-in cancelled"));
    QVERIFY(d.isVisible());
    QCOMPARE(d.result(), 0);
    QVERIFY(d.btnOk->isEnabled());
    QVERIFY(!GetTraderClientBinance().Connected());
    lStop = true;
    GetTraderClientBinance().RequestTimeoutMs = 10000;
    SetBinanceAddress(TqmtBinanceAddress::SpotRest, "");
  }

  void aKeyWithoutASecretIsRefusedAtOnce() {
    WriteFile("[SETTINGS]\nApiKey=k\nApiSecret=\n");
    TFRMTraderLogin_Binance d;
    d.open();
    QVERIFY(QTest::qWaitForWindowExposed(&d));
    QTest::mouseClick(d.btnOk, Qt::LeftButton);
    QVERIFY(!d.Working());
    QCOMPARE(d.lblState->text(), QString("The API secret is missing (both empty: market data only)"));
    d.txtApiKey->clear();
    d.txtApiSecret->setText("s");
    QTest::mouseClick(d.btnOk, Qt::LeftButton);
    QCOMPARE(d.lblState->text(), QString("The API key is missing (both empty: market data only)"));
    QVERIFY(d.isVisible());
    QCOMPARE(d.result(), 0);
  }

  // An Ed25519 key instead of the secret: its file must be the user's alone; then it signs in.
  void signInWithAnEd25519KeyFile() {
    const qmt_test::TestKey k = qmt_test::FreshKey(EVP_PKEY_ED25519);
    const auto lDir = qmt_ui_test::TestFolder("keyfile");
    std::filesystem::create_directories(lDir);
    const std::string lPublic = (lDir / "public.pem").string(), lPrivate = (lDir / "private.pem").string();
    std::ofstream(lPublic) << k.Public;
    std::ofstream(lPrivate) << k.Private;
    ::chmod(lPrivate.c_str(), 0644);
    qmt_test::SimExchange lExchange({"--api-public-key", lPublic});
    lExchange.PointAt();
    WriteFile("[SETTINGS]\nApiKey=qmt-sim-key\nApiSecret=\nFutures=0\nKeyFile=" + lPrivate + "\n");
    TFRMTraderLogin_Binance d;
    QCOMPARE(d.txtKeyFile->text(), QString::fromStdString(lPrivate));
    d.open();
    QVERIFY(QTest::qWaitForWindowExposed(&d));
    QTest::mouseClick(d.btnOk, Qt::LeftButton);
    QVERIFY(!d.Working());
    QCOMPARE(d.lblState->text(), QString::fromStdString("The key file " + lPrivate +
                                                        " can be read by other users: make it yours alone (chmod 600)"));
    ::chmod(lPrivate.c_str(), 0600);
    QTest::mouseClick(d.btnOk, Qt::LeftButton);
    QVERIFY(WaitFor([&] { return d.result() == QDialog::Accepted; }, 30000));
    QVERIFY(GetTraderClientBinance().Connected());
    QVERIFY2(FileText().find("BEGIN") == std::string::npos, "the key's text never goes to the settings file");
    GetTraderClientBinance().Disconnect();
    std::filesystem::remove_all(lDir);
    for (int i = 0; i <= static_cast<int>(TqmtBinanceAddress::FuturesUSDTTestWSAPI); ++i)
      SetBinanceAddress(static_cast<TqmtBinanceAddress>(i), "");
  }

  void signInAgainstTheSimulatedExchange() {
    qmt_test::SimExchange lExchange;
    lExchange.PointAt();
    WriteFile("[SETTINGS]\nApiKey=qmt-sim-key\nApiSecret=not-the-secret\n");
    TFRMTraderLogin_Binance d;
    d.open();
    QVERIFY(QTest::qWaitForWindowExposed(&d));

    // A refused key: the error box with Ok and Cancel; the dialog stays open with its values.
    QString lBoxText, lWhy;
    QMessageBox::StandardButtons lButtons;
    // The box comes from a posted result: looked for on a timer (its own loop runs the timer).
    QTimer lLook;
    QObject::connect(&lLook, &QTimer::timeout, [&] {
      if (auto* lBox = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
        lBoxText = lBox->text();
        lWhy = lBox->informativeText();
        lButtons = lBox->standardButtons();
        lLook.stop();
        lBox->button(QMessageBox::Cancel)->click();
      }
    });
    lLook.start(20);
    QTest::mouseClick(d.btnOk, Qt::LeftButton);
    QVERIFY(d.Working());  // signing in off the window's thread
    QVERIFY(!d.btnOk->isEnabled());
    QCOMPARE(d.lblState->text(), QString("Signing in..."));
    QVERIFY(WaitFor([&] { return !lBoxText.isEmpty(); }, 30000));
    QCOMPARE(lBoxText, QString("Cannot connect to Server API."));
    // The key is tried before anything says "signed in", and the exchange's words say why.
    QCOMPARE(lWhy, QString("the exchange refused the API key: -1022 Signature for this request is not valid."));
    QVERIFY(WaitFor([&] { return !d.Working(); }));
    QVERIFY(d.btnOk->isEnabled());
    QCOMPARE(lButtons, QMessageBox::Ok | QMessageBox::Cancel);
    QVERIFY(d.isVisible());
    QCOMPARE(d.result(), 0);
    QCOMPARE(d.txtApiSecret->text(), QString("not-the-secret"));

    // The second "Ok" signs in with what the fields hold now.
    d.txtApiSecret->setText("qmt-sim-secret");
    QTest::mouseClick(d.btnOk, Qt::LeftButton);
    QVERIFY(WaitFor([&] { return d.result() == QDialog::Accepted; }, 30000));
    QVERIFY(!d.isVisible());
    QVERIFY(GetTraderClientBinance().Connected());
    QVERIFY(FileText().find("ApiSecret=qmt-sim-secret\n") != std::string::npos);
    GetTraderClientBinance().Disconnect();
    for (int i = 0; i <= static_cast<int>(TqmtBinanceAddress::FuturesUSDTTestWSAPI); ++i)
      SetBinanceAddress(static_cast<TqmtBinanceAddress>(i), "");
  }
};

QMT_UI_TEST_MAIN(TestLogin)
#include "test_ui_login.moc"
