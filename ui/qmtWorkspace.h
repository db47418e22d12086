// The main window's workspace, kept in the settings file so that the next start comes back as the
// user left it: the window's place, size and state, the open chart and trading pages (kind, symbol,
// order, the active one) and each page's choices (window, candles and interval, book and its levels,
// trades, volume; on a trading page also the ladder, the tape, the dividers and the bottom tab).
//
//   [Workspace]        Geometry, State (the window's, Base64), Pages, Active
//   [Workspace.PageN]  Kind (Chart, Trader), Symbol, Window, View, Interval, Book, Levels, Trades,
//                      Volume, Ladder, Tape, Market, Split (dividers, "400,190"), Tab
//
// It is written whenever it changed (looked at every second, and at once when a page opens, closes
// or moves), never only at exit, so a crash loses at most the last second. Restore opens the pages
// again after the sign-in; a page whose symbol the market no longer lists is skipped with a line in
// the log. UI thread only.
#pragma once

#include <QTimer>

#include <map>
#include <string>

class TFRMTrader;

class TqmtWorkspace {
public:
  using TState = std::map<std::string, std::map<std::string, std::string>>;  // section -> key -> value

  explicit TqmtWorkspace(TFRMTrader& aWindow);
  // The workspace as the window shows it now.
  TState Capture() const;
  // Written when it differs from what was written last; true when it wrote.
  bool Save();
  // The window's geometry and state, and with aPages the pages. Symbols not listed are skipped.
  void Restore(bool aPages);
  // Saving from now on: a look every second, and at once when the pages change.
  void Start();

private:
  TFRMTrader& FWindow;
  TState FSaved;
  QTimer FTimer;
};
