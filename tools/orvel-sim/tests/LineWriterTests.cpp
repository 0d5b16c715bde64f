// The record stream's writer thread: what is handed is written whole, once
// and in order; a slow reader holds the maker back; flush() reaches the
// stream without waiting for the end.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <ostream>
#include <streambuf>
#include <string>
#include <thread>

#include "sim/LineWriter.h"

namespace {

using namespace orvelsim;
using namespace std::chrono_literals;

// A stream whose writes wait while the gate is shut, and which counts its
// flushes.
class GatedBuffer : public std::streambuf {
 public:
  void open() {
    std::lock_guard<std::mutex> g(lock_);
    open_ = true;
    changed_.notify_all();
  }
  // Waits (at most 20 s) until `n` writes have begun.
  bool waitForWrites(int n) {
    std::unique_lock<std::mutex> g(lock_);
    return changed_.wait_for(g, 20s, [&] { return writes_ >= n; });
  }
  bool waitForFlush() {
    std::unique_lock<std::mutex> g(lock_);
    return changed_.wait_for(g, 20s, [&] { return flushes_ > 0; });
  }
  std::string text() {
    std::lock_guard<std::mutex> g(lock_);
    return text_;
  }

 protected:
  std::streamsize xsputn(const char* s, std::streamsize n) override {
    std::unique_lock<std::mutex> g(lock_);
    ++writes_;
    changed_.notify_all();
    changed_.wait(g, [&] { return open_; });
    text_.append(s, static_cast<size_t>(n));
    return n;
  }
  int_type overflow(int_type c) override {
    char ch = static_cast<char>(c);
    return xsputn(&ch, 1) == 1 ? c : traits_type::eof();
  }
  int sync() override {
    std::lock_guard<std::mutex> g(lock_);
    ++flushes_;
    changed_.notify_all();
    return 0;
  }

 private:
  std::mutex lock_;
  std::condition_variable changed_;
  bool open_ = false;
  int writes_ = 0, flushes_ = 0;
  std::string text_;
};

TextBuffer piece(int n) {
  TextBuffer text;
  // Pieces of many sizes, some larger than a buffer's first room.
  for (int line = 0; line <= n % 7; ++line)
    text += "{\"piece\":" + std::to_string(n) + ",\"x\":\"" + std::string(n % 300, 'x') + "\"}\n";
  return text;
}

TEST(SimLineWriterConcurrency, EverythingHandedIsWrittenOnceInOrderAndTheHandedBufferIsLeftEmpty) {
  GatedBuffer buffer;
  buffer.open();
  std::ostream out(&buffer);
  std::string expected;
  {
    LineWriter writer(out);
    for (int n = 0; n < 2000; ++n) {
      TextBuffer text = piece(n);
      expected += text.view();
      writer.hand(text);
      ASSERT_TRUE(text.empty());
      // The buffer handed back is one to write into again.
      text += "more";
      EXPECT_EQ(text.view(), "more");
    }
  }
  EXPECT_EQ(buffer.text(), expected);
}

TEST(SimLineWriterConcurrency, ASlowReaderHoldsTheMakerBackAndFlushReachesTheStreamBeforeTheEnd) {
  GatedBuffer buffer;
  std::ostream out(&buffer);
  std::string expected;
  LineWriter writer(out);
  // The first piece is being written (and stuck there); kQueued more wait.
  TextBuffer first = piece(0);
  expected += first.view();
  writer.hand(first);
  ASSERT_TRUE(buffer.waitForWrites(1));
  for (size_t n = 1; n <= LineWriter::kQueued; ++n) {
    TextBuffer text = piece(static_cast<int>(n));
    expected += text.view();
    writer.hand(text);
  }
  std::atomic<bool> handed{false};
  TextBuffer last = piece(99);
  expected += last.view();
  std::thread maker([&] {
    writer.hand(last);
    handed = true;
  });
  std::this_thread::sleep_for(100ms);
  EXPECT_FALSE(handed) << "a piece beyond the queue's bound was taken while the reader was stuck";
  buffer.open();
  maker.join();
  EXPECT_TRUE(handed);
  writer.flush();
  ASSERT_TRUE(buffer.waitForFlush()) << "flush() never reached the stream";
  EXPECT_EQ(buffer.text(), expected);
}

}  // namespace
