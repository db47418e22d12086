#include "qmtUIApplication.h"

#include <QThread>

#include <cstdio>
#include <mutex>

namespace {
std::mutex gHandlerLock;
std::function<void(const std::string&)> gHandler;
}  // namespace

TqmtApplication::TqmtApplication(int& argc, char** argv) : QApplication(argc, argv) {
  setApplicationName("qmtTrader");
}

bool TqmtApplication::notify(QObject* aReceiver, QEvent* aEvent) {
  try {
    return QApplication::notify(aReceiver, aEvent);
  } catch (const std::exception& e) {
    ReportUIException(e.what());
  } catch (...) {
    ReportUIException("Unknown exception");
  }
  return false;
}

void SetUIExceptionHandler(std::function<void(const std::string&)> aHandler) {
  std::lock_guard lGuard(gHandlerLock);
  gHandler = std::move(aHandler);
}

void ReportUIException(const std::string& aMessage) {
  std::function<void(const std::string&)> lHandler;
  {
    std::lock_guard lGuard(gHandlerLock);
    lHandler = gHandler;
  }
  if (!lHandler) {
    std::fprintf(stderr, "qmtTrader: %s\n", aMessage.c_str());
    return;
  }
  auto* lApp = QCoreApplication::instance();
  if (lApp && QThread::currentThread() != lApp->thread()) {
    QMetaObject::invokeMethod(lApp, [lHandler, aMessage] { lHandler(aMessage); }, Qt::QueuedConnection);
    return;
  }
  lHandler(aMessage);
}

TqmtQtDispatcher::TqmtQtDispatcher() { SetMainThreadDispatcher(this); }

TqmtQtDispatcher::~TqmtQtDispatcher() {
  if (GetMainThreadDispatcher() == this) SetMainThreadDispatcher(nullptr);
}

void TqmtQtDispatcher::Post(TqmtThreadMethod aMethod) {
  // Posted to this object: a call still queued when it is destroyed is dropped with it.
  QMetaObject::invokeMethod(
      this, [m = std::move(aMethod)] { UIAction(m); }, Qt::QueuedConnection);
}

bool TqmtQtDispatcher::IsMainThread() const { return QThread::currentThread() == thread(); }
