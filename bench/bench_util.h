// Small helpers the real-time measurement programs share.
#pragma once

#include <sys/resource.h>

#include <algorithm>
#include <vector>

// User and system time of the whole process so far, in seconds.
inline double CpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// The value below which a fraction aP of the samples lie (0 for no samples).
inline double Percentile(std::vector<double> aSamples, double aP) {
  if (aSamples.empty()) return 0;
  std::sort(aSamples.begin(), aSamples.end());
  return aSamples[std::min(aSamples.size() - 1, static_cast<std::size_t>(aP * static_cast<double>(aSamples.size())))];
}

#ifdef QT_CORE_LIB
#include <QElapsedTimer>
#include <QTimer>

#include <cstdio>

// How late the UI thread's event loop runs a 10 ms precise timer, sample by sample. The sample
// buffer is written up front for aSeconds: touching fresh pages as samples come in would show as
// resident memory growing 800 bytes a second.
class TqmtLatencyProbe {
public:
  explicit TqmtLatencyProbe(int aSeconds) : FSamples(static_cast<std::size_t>(aSeconds) * 110 + 1000, 0.0) {
    FTimer.setTimerType(Qt::PreciseTimer);
    FTimer.setInterval(10);
    QObject::connect(&FTimer, &QTimer::timeout, [this] {
      const qint64 lNow = FClock.nsecsElapsed();
      if (FCount < FSamples.size()) FSamples[FCount++] = std::max<double>(0, (lNow - FLast) / 1e6 - 10.0);
      FLast = lNow;
    });
  }
  void Start() {
    FClock.start();
    FLast = 0;
    FTimer.start();
  }
  // Seconds since Start.
  double Elapsed() const { return FClock.elapsed() / 1000.0; }
  std::vector<double> Samples() const {
    return {FSamples.begin(), FSamples.begin() + static_cast<std::ptrdiff_t>(FCount)};
  }
  void Print() const {
    const std::vector<double> l = Samples();
    std::printf("  event-loop latency ms: p50=%.2f p99=%.2f max=%.2f (%zu probes)\n", Percentile(l, 0.5), Percentile(l, 0.99),
                l.empty() ? 0.0 : *std::max_element(l.begin(), l.end()), l.size());
  }

private:
  std::vector<double> FSamples;
  std::size_t FCount = 0;
  QElapsedTimer FClock;
  qint64 FLast = 0;
  QTimer FTimer;
};
#endif
