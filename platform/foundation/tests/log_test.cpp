// The system log: formatting, the swappable sink, the default line on
// standard error, and logging from several threads.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>
#include <vector>

#include "Foundation/Foundation.h"

using namespace objc;

namespace {

// Collects lines for the duration of a test and restores the default sink.
struct CapturedLog {
  std::vector<std::string> lines;
  CapturedLog() {
    setLogSink([this](const std::string& line) { lines.push_back(line); });
  }
  ~CapturedLog() { setLogSink({}); }
};

// Runs `body` with standard error going to a file, and returns what was
// written there.
template <class F>
std::string captureStandardError(F body) {
  char path[] = "/tmp/orvel-log-test-XXXXXX";
  int fd = mkstemp(path);
  if (fd < 0) return "(mkstemp failed)";
  std::fflush(stderr);
  int saved = dup(2);
  dup2(fd, 2);
  body();
  std::fflush(stderr);
  dup2(saved, 2);
  close(saved);
  close(fd);
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  unlink(path);
  return text.str();
}

}  // namespace

TEST(Log, SinkReceivesTheFormattedMessageOnly) {
  CapturedLog log;
  NSLog("deviceToken:%@", str("00FFA0"));
  NSLog("%@", NSDictionary::dictionaryWithEntries({{str("aps"), str("x")}}));
  NSLog("%d of %s, %.1f%%", 3, "four", 75.0);
  NSLog("plain");
  NSLog("%@", nullptr);
  EXPECT_EQ(log.lines, (std::vector<std::string>{"deviceToken:00FFA0", "{\n    aps = x;\n}", "3 of four, 75.0%",
                                                 "plain", "(null)"}));
}

TEST(Log, SwappingTheSinkRedirectsLaterLines) {
  std::vector<std::string> first, second;
  setLogSink([&](const std::string& l) { first.push_back(l); });
  NSLog("one");
  setLogSink([&](const std::string& l) { second.push_back(l); });
  NSLog("two");
  setLogSink({});
  EXPECT_EQ(first, std::vector<std::string>{"one"});
  EXPECT_EQ(second, std::vector<std::string>{"two"});
}

TEST(Log, DefaultSinkWritesOneStampedLineToStandardError) {
  std::string out = captureStandardError([] { NSLog("hello %@", str("world")); });
  std::regex shape(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} orvel_foundation_tests\[(\d+)\] hello world\n)");
  std::smatch m;
  ASSERT_TRUE(std::regex_match(out, m, shape)) << out;
  EXPECT_EQ(m[1].str(), std::to_string(getpid()));
  // An empty sink restores the default.
  setLogSink([](const std::string&) {});
  setLogSink({});
  EXPECT_NE(captureStandardError([] { NSLog("again"); }).find("again\n"), std::string::npos);
}

TEST(Log, DefaultStampReadsThePlatformClockAndTimeZone) {
  setClock([] { return 1796700616.123; });  // 2026-12-08 03:30:16.123 UTC
  std::string utc = captureStandardError([] { NSLog("a"); });
  NSTimeZone::setDefaultTimeZone(NSTimeZone::timeZoneWithName("GMT+08:00"));
  std::string east = captureStandardError([] { NSLog("b\n"); });  // a final newline is not doubled
  NSTimeZone::setDefaultTimeZone(nullptr);
  setClock([] { return 1796700616.9996; });
  std::string carry = captureStandardError([] { NSLog("c"); });
  setClock({});
  EXPECT_EQ(utc.rfind("2026-12-08 03:30:16.123 ", 0), 0u) << utc;
  EXPECT_EQ(east.rfind("2026-12-08 11:30:16.123 ", 0), 0u) << east;
  EXPECT_EQ(east.substr(east.size() - 3), " b\n") << east;
  EXPECT_EQ(carry.rfind("2026-12-08 03:30:17.000 ", 0), 0u) << carry;
}

TEST(Log, LoggingFromInsideASinkGoesToStandardError) {
  std::vector<std::string> lines;
  std::string err = captureStandardError([&] {
    setLogSink([&](const std::string& l) {
      lines.push_back(l);
      NSLog("nested %@", str(l));
    });
    NSLog("outer");
    setLogSink({});
  });
  EXPECT_EQ(lines, std::vector<std::string>{"outer"});
  EXPECT_NE(err.find("nested outer\n"), std::string::npos) << err;
}

TEST(Log, ReplacingTheSinkFromInsideItRaises) {
  bool raised = false;
  setLogSink([&](const std::string&) {
    try {
      setLogSink({});
    } catch (const Exception&) {
      raised = true;
    }
  });
  NSLog("x");
  setLogSink({});
  EXPECT_TRUE(raised);
}

// Several threads log while another keeps replacing the sink. Each sink
// appends to a plain vector, which is sound only because lines are handed
// over one at a time; a retired sink must never be called again.
TEST(LogConcurrency, LinesStayWholeWhileTheSinkIsSwapped) {
  constexpr int kThreads = 4, kLines = 300, kSwaps = 100;
  struct Sink {
    std::vector<std::string> lines;
    std::atomic<bool> retired{false};
    std::atomic<int> callsAfterRetirement{0};
  };
  std::vector<std::unique_ptr<Sink>> sinks;
  auto install = [&] {
    sinks.push_back(std::make_unique<Sink>());
    Sink* s = sinks.back().get();
    setLogSink([s](const std::string& line) {
      if (s->retired) s->callsAfterRetirement++;
      s->lines.push_back(line);
    });
    if (sinks.size() > 1) sinks[sinks.size() - 2]->retired = true;
  };
  install();
  std::atomic<bool> go{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      while (!go) std::this_thread::yield();
      for (int i = 0; i < kLines; ++i) NSLog("thread %d line %d %@", t, i, str(std::string(40, 'x')));
    });
  }
  go = true;
  for (int i = 0; i < kSwaps; ++i) install();
  for (auto& th : threads) th.join();
  setLogSink({});

  std::regex shape("thread (\\d) line (\\d+) x{40}");
  std::vector<int> next(kThreads, 0);
  size_t total = 0;
  for (const auto& s : sinks) {
    EXPECT_EQ(s->callsAfterRetirement.load(), 0);
    for (const auto& line : s->lines) {
      std::smatch m;
      ASSERT_TRUE(std::regex_match(line, m, shape)) << line;
      int t = std::stoi(m[1].str()), i = std::stoi(m[2].str());
      EXPECT_EQ(i, next[t]++) << "lines of one thread arrive in order";
      ++total;
    }
  }
  EXPECT_EQ(total, static_cast<size_t>(kThreads * kLines));
}
