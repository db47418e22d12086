#include "qmtSecretStore.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QElapsedTimer>
#include <QTimer>
#include <QtDBus/QDBusConnection>
#include <QtDBus/QDBusConnectionInterface>
#include <qt6keychain/keychain.h>

#include <memory>

const char* const TqmtSecretStore::kService = "qmtTrader";

namespace {

bool ServiceOnBus(QDBusConnectionInterface& aBus, const QStringList& aActivatable, const QString& aName) {
  return aBus.isServiceRegistered(aName).value() || aActivatable.contains(aName);
}

// What a finished job says; the job's text, never the data it carried.
TqmtSecretResult Outcome(const QKeychain::Job& aJob) {
  TqmtSecretResult r;
  switch (aJob.error()) {
    case QKeychain::NoError:
      r.Outcome = TqmtSecretOutcome::soDone;
      return r;
    case QKeychain::EntryNotFound:
      r.Outcome = TqmtSecretOutcome::soNotFound;
      return r;
    case QKeychain::NoBackendAvailable:
    case QKeychain::NotImplemented:
      r.Outcome = TqmtSecretOutcome::soUnavailable;
      break;
    default:
      r.Outcome = TqmtSecretOutcome::soFailed;
      break;
  }
  r.Why = aJob.errorString().toStdString();
  if (r.Why.empty()) r.Why = aJob.error() == QKeychain::AccessDeniedByUser ? "access denied" : "the keyring refused";
  return r;
}

// Starts the job and waits for it, at most aTimeoutMs. The job is on the heap and deletes itself
// when it finishes: one that outlives the wait must not be freed under QtKeychain's pending call.
template <typename TJob, typename TRead>
TqmtSecretResult Run(TJob* aJob, int aTimeoutMs, TRead aRead) {
  if (!QCoreApplication::instance()) {
    delete aJob;
    return {TqmtSecretOutcome::soUnavailable, {}, "no application object to carry the keyring's replies"};
  }
  struct State {
    bool Finished = false;
    TqmtSecretResult Result;
  };
  auto lState = std::make_shared<State>();
  std::weak_ptr<State> lWeak = lState;
  aJob->setAutoDelete(true);
  QObject::connect(aJob, &QKeychain::Job::finished, aJob, [lWeak, aRead](QKeychain::Job* j) {
    const std::shared_ptr<State> s = lWeak.lock();
    if (!s) return;  // its wait timed out
    s->Result = Outcome(*j);
    if (s->Result.Ok()) aRead(static_cast<TJob*>(j), s->Result);
    s->Finished = true;
  });
  aJob->start();
  // start() only schedules the job: its reply comes through the events processed here. Not a
  // local QEventLoop: one started while the application quits (a dialog saving as the program
  // ends) returns at once.
  QElapsedTimer lWaited;
  lWaited.start();
  QTimer lWake;  // so that each wait for events ends in time to look at the clock
  lWake.start(50);
  while (!lState->Finished && lWaited.elapsed() < aTimeoutMs)
    QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents | QEventLoop::WaitForMoreEvents);
  if (!lState->Finished)
    return {TqmtSecretOutcome::soFailed, {}, "the keyring did not answer within " + std::to_string(aTimeoutMs / 1000) + " s"};
  return lState->Result;
}

}  // namespace

bool TqmtSecretStore::Available() {
  if (!QCoreApplication::instance()) return false;
  QDBusConnection lBus = QDBusConnection::sessionBus();
  if (!lBus.isConnected() || !lBus.interface()) return false;
  QDBusConnectionInterface& i = *lBus.interface();
  const QStringList lActivatable = i.activatableServiceNames().value();
  for (const char* lName : {"org.freedesktop.secrets", "org.kde.kwalletd6", "org.kde.kwalletd5"})
    if (ServiceOnBus(i, lActivatable, lName)) return true;
  return false;
}

std::string TqmtSecretStore::MarketName(bool aFutures, int aFuturesContracts, bool aTestNet) {
  std::string lName = !aFutures ? "spot" : aFuturesContracts == 1 ? "coinm" : "usdm";
  return aTestNet ? lName + "-testnet" : lName;
}

std::string TqmtSecretStore::EntryName(const std::string& aApiKey, const std::string& aMarket) {
  return aMarket + ":" + aApiKey;
}

TqmtSecretResult TqmtSecretStore::Read(const std::string& aApiKey, const std::string& aMarket, int aTimeoutMs) {
  auto* j = new QKeychain::ReadPasswordJob(kService);
  j->setKey(QString::fromStdString(EntryName(aApiKey, aMarket)));
  return Run(j, aTimeoutMs, [](QKeychain::ReadPasswordJob* r, TqmtSecretResult& aResult) {
    aResult.Secret = r->textData().toStdString();
  });
}

TqmtSecretResult TqmtSecretStore::Write(const std::string& aApiKey, const std::string& aMarket, const std::string& aSecret,
                                        int aTimeoutMs) {
  auto* j = new QKeychain::WritePasswordJob(kService);
  j->setKey(QString::fromStdString(EntryName(aApiKey, aMarket)));
  j->setTextData(QString::fromStdString(aSecret));
  return Run(j, aTimeoutMs, [](QKeychain::WritePasswordJob*, TqmtSecretResult&) {});
}

TqmtSecretResult TqmtSecretStore::Remove(const std::string& aApiKey, const std::string& aMarket, int aTimeoutMs) {
  auto* j = new QKeychain::DeletePasswordJob(kService);
  j->setKey(QString::fromStdString(EntryName(aApiKey, aMarket)));
  return Run(j, aTimeoutMs, [](QKeychain::DeletePasswordJob*, TqmtSecretResult&) {});
}
