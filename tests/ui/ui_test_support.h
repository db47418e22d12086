// What the widget tests share: a main that runs the tests under the desktop client's application
// object and main-thread dispatcher with the trader tables in a folder of their own, waiting for a
// condition while the event loop runs, and a screenshot of every window when a test fails.
#pragma once

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QTest>
#include <QWidget>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <functional>
#include <string>

#include "qmtTraderData.h"
#include "qmtUIApplication.h"

namespace qmt_ui_test {

// Runs the event loop until aDone holds or aMs pass.
inline bool WaitFor(const std::function<bool()>& aDone, int aMs = 10000) {
  QElapsedTimer t;
  t.start();
  while (!aDone()) {
    if (t.elapsed() > aMs) return false;
    QTest::qWait(20);
  }
  return true;
}

// Keeps the event loop running for aMs.
inline void Pump(int aMs) { QTest::qWait(aMs); }

// In cleanup(): every visible window of a failed test to QMT_UI_FAILURE_DIR/<test>-<n>.png.
inline void ScreenshotIfFailed() {
  if (!QTest::currentTestFailed()) return;
  QDir().mkpath(QMT_UI_FAILURE_DIR);
  int n = 0;
  for (QWidget* w : QApplication::topLevelWidgets()) {
    if (!w->isVisible()) continue;
    const QString lFile = QString("%1/%2-%3.png").arg(QMT_UI_FAILURE_DIR, QTest::currentTestFunction()).arg(n++);
    w->grab().save(lFile);
    qWarning("screenshot of the failed test: %s", qPrintable(lFile));
  }
}

// A file's whole text ("" when it cannot be read).
inline std::string FileText(const std::string& aPath) {
  std::ifstream f(aPath);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

inline std::filesystem::path TestFolder(const char* aName) {
  return std::filesystem::temp_directory_path() / (std::string("qmt_ui_") + aName + "_" + std::to_string(::getpid()));
}

}  // namespace qmt_ui_test

// The test program's main: the tables (and any settings file a test makes) in a fresh folder.
#define QMT_UI_TEST_MAIN(TestClass)                                              \
  int main(int argc, char** argv) {                                              \
    const auto lFolder = qmt_ui_test::TestFolder(#TestClass);                    \
    std::filesystem::remove_all(lFolder);                                        \
    std::filesystem::create_directories(lFolder);                                \
    SetTraderDataFolder((lFolder / "db").string());                              \
    int lResult;                                                                 \
    {                                                                            \
      TqmtApplication lApp(argc, argv);                                          \
      TqmtQtDispatcher lDispatcher;                                              \
      TestClass lTest(lFolder);                                                  \
      lResult = QTest::qExec(&lTest, argc, argv);                                \
      FreeTraderData();                                                          \
    }                                                                            \
    std::filesystem::remove_all(lFolder);                                        \
    return lResult;                                                              \
  }
