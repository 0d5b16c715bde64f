#include "Foundation/NSLog.h"

#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <utility>

#include "Foundation/NSDate.h"

namespace objc {

namespace {

struct Log {
  std::mutex lock;  // held while the sink runs: one line at a time
  LogSink sink;     // empty: the default sink
};

Log& log() {
  static Log* l = new Log;  // never destroyed: static destructors may still log
  return *l;
}

// Set on the thread that is running the sink.
thread_local bool tInsideSink = false;

// "2026-12-08 03:30:16.123 procname[pid] message", stamped with the
// platform's clock in the default time zone.
void writeToStandardError(const std::string& message) {
  double now = currentTime();
  if (!std::isfinite(now) || std::abs(now) > 1e14) now = 0;
  // Rounded to the millisecond first, so that .123 (held as .12299...)
  // reads .123 and a carry reaches the seconds.
  auto totalMillis = static_cast<int64_t>(std::llround(now * 1000.0));
  int64_t seconds = totalMillis / 1000 - (totalMillis % 1000 < 0 ? 1 : 0);
  auto millis = static_cast<int>(totalMillis - seconds * 1000);
  auto local = static_cast<std::time_t>(seconds + NSTimeZone::defaultTimeZone()->secondsFromGMT());
  std::tm parts{};
  gmtime_r(&local, &parts);
  char stamp[64];
  std::snprintf(stamp, sizeof stamp, "%04d-%02d-%02d %02d:%02d:%02d.%03d", parts.tm_year + 1900, parts.tm_mon + 1,
                parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec, millis);
  std::string line =
      std::string(stamp) + " " + program_invocation_short_name + "[" + std::to_string(getpid()) + "] " + message;
  if (line.empty() || line.back() != '\n') line += '\n';
  // One write per line, so that lines stay whole next to other writers.
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
}

struct InsideSink {
  InsideSink() { tInsideSink = true; }
  ~InsideSink() { tInsideSink = false; }
};

}  // namespace

void setLogSink(LogSink sink) {
  if (tInsideSink) throw Exception(kInternalInconsistencyException, "setLogSink called from inside a log sink");
  Log& l = log();
  LogSink previous;
  {
    std::lock_guard<std::mutex> g(l.lock);
    previous = std::exchange(l.sink, std::move(sink));
  }
  // `previous` is destroyed here, outside the lock, in case what it holds
  // logs when it goes.
}

void logLine(const std::string& message) {
  if (tInsideSink) {
    writeToStandardError(message);
    return;
  }
  Log& l = log();
  std::lock_guard<std::mutex> g(l.lock);
  InsideSink inside;
  if (l.sink) {
    l.sink(message);
  } else {
    writeToStandardError(message);
  }
}

}  // namespace objc
