// The desktop client's application object, where exceptions that reach the user interface go, and
// the bridge that lets the trading core post calls to Qt's event loop.
//
// Threads: everything here belongs to the user-interface thread, except TqmtQtDispatcher::Post and
// ReportUIException, which any thread may call (a report from another thread is handed over).
#pragma once

#include <QApplication>
#include <QObject>

#include <exception>
#include <functional>
#include <string>

#include "qmtBase_Helpers.h"

// An exception that reached the event loop is not shown in a dialog: it goes to the handler (the
// main window's status bar) and the program goes on.
class TqmtApplication : public QApplication {
public:
  TqmtApplication(int& argc, char** argv);
  bool notify(QObject* aReceiver, QEvent* aEvent) override;
};

// Where reported failures go; standard error while none is set. Called on the UI thread.
void SetUIExceptionHandler(std::function<void(const std::string&)> aHandler);
void ReportUIException(const std::string& aMessage);
// A message for the user in the same place (an order sent, an order refused and why).
inline void ReportUIMessage(const std::string& aMessage) { ReportUIException(aMessage); }

// Runs aAction and reports an exception instead of letting it unwind through the toolkit. Every
// slot that calls the trading core goes through here.
template <typename F>
void UIAction(F&& aAction) {
  try {
    aAction();
  } catch (const std::exception& e) {
    ReportUIException(e.what());
  } catch (...) {
    ReportUIException("Unknown exception");
  }
}

// Installs itself as the trading core's main-thread dispatcher for its lifetime: QueueToMainThread
// and SynchronizeWithMainThread then run their calls on the thread that created it (the UI thread).
class TqmtQtDispatcher : public QObject, public TqmtMainThreadDispatcher {
public:
  TqmtQtDispatcher();
  ~TqmtQtDispatcher() override;
  void Post(TqmtThreadMethod aMethod) override;
  bool IsMainThread() const override;
};
