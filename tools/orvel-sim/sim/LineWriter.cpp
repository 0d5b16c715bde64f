#include "sim/LineWriter.h"

namespace orvelsim {

LineWriter::LineWriter(std::ostream& out) : out_(out), thread_([this] { run(); }) {}

LineWriter::~LineWriter() {
  {
    std::lock_guard<std::mutex> g(lock_);
    closing_ = true;
  }
  changed_.notify_all();
  thread_.join();
}

void LineWriter::hand(TextBuffer& text) {
  std::unique_lock<std::mutex> g(lock_);
  changed_.wait(g, [&] { return queued_.size() < kQueued; });
  TextBuffer piece(0);
  if (!spare_.empty()) {
    piece = std::move(spare_.back());
    spare_.pop_back();
  }
  std::swap(piece, text);
  text.clear();
  queued_.push_back(std::move(piece));
  g.unlock();
  changed_.notify_all();
}

void LineWriter::flush() {
  {
    std::lock_guard<std::mutex> g(lock_);
    flush_ = true;
  }
  changed_.notify_all();
}

void LineWriter::run() {
  std::unique_lock<std::mutex> g(lock_);
  for (;;) {
    changed_.wait(g, [&] { return closing_ || flush_ || !queued_.empty(); });
    if (!queued_.empty()) {
      TextBuffer piece = std::move(queued_.front());
      queued_.pop_front();
      g.unlock();
      changed_.notify_all();
      out_.write(piece.view().data(), static_cast<std::streamsize>(piece.size()));
      piece.clear();
      g.lock();
      if (spare_.size() < kQueued) spare_.push_back(std::move(piece));
      continue;
    }
    // Everything handed over so far is written.
    if (flush_ || closing_) {
      flush_ = false;
      g.unlock();
      out_.flush();
      g.lock();
    }
    if (closing_) return;
  }
}

}  // namespace orvelsim
