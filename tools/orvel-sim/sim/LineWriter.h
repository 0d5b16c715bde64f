// Writing a record stream on a thread of its own.
#pragma once

#include <condition_variable>
#include <deque>
#include <mutex>
#include <ostream>
#include <thread>
#include <vector>

#include "sim/Records.h"

namespace orvelsim {

// Writes the pieces of text it is handed to `out` on a thread of its own,
// in the order handed, so that the thread making the records goes on while
// they are written. At most kQueued pieces wait: a reader slower than the
// records holds their maker back instead of filling memory. Everything
// handed is written, and `out` flushed, before the destructor returns.
class LineWriter {
 public:
  static constexpr size_t kQueued = 4;

  explicit LineWriter(std::ostream& out);
  ~LineWriter();
  LineWriter(const LineWriter&) = delete;
  LineWriter& operator=(const LineWriter&) = delete;

  // Takes what `text` holds, leaving it empty (and with room to spare).
  void hand(TextBuffer& text);
  // `out` is flushed once what was handed so far is written; this does
  // not wait for that.
  void flush();

 private:
  void run();

  std::ostream& out_;
  std::mutex lock_;
  std::condition_variable changed_;
  std::deque<TextBuffer> queued_;
  std::vector<TextBuffer> spare_;  // written pieces, for their room
  bool flush_ = false, closing_ = false;
  std::thread thread_;  // last: it starts once the rest is made
};

}  // namespace orvelsim
