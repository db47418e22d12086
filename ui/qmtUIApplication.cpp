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
  auto* lApp = QCoreApplication::instance();
  if (lApp && QThread::currentThread() != lApp->thread()) {
    // The handler is looked up when the call runs: its window may be gone by then.
    QMetaObject::invokeMethod(lApp, [aMessage] { ReportUIException(aMessage); }, Qt::QueuedConnection);
    return;
  }
  std::function<void(const std::string&)> lHandler;
  {
    std::lock_guard lGuard(gHandlerLock);
    lHandler = gHandler;
  }
  if (lHandler)
    lHandler(aMessage);
  else
    std::fprintf(stderr, "qmtTrader: %s\n", aMessage.c_str());
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
