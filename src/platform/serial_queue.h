// A serial work queue: one worker thread runs submitted jobs in order.
// Any thread may call async() and sync(); sync() from the queue's own thread runs inline.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace zelk::platform {

class SerialQueue {
 public:
  explicit SerialQueue(std::string label);
  ~SerialQueue();  // drains the jobs already queued, then joins
  SerialQueue(const SerialQueue&) = delete;
  SerialQueue& operator=(const SerialQueue&) = delete;

  void async(std::function<void()> job);
  // Runs job on the queue and waits for it.
  void sync(const std::function<void()>& job);
  const std::string& label() const { return label_; }
  bool isCurrent() const { return std::this_thread::get_id() == worker_.get_id(); }

 private:
  void loop();

  std::string label_;
  std::mutex mutex_;  // guards jobs_ and stopping_
  std::condition_variable ready_;
  std::deque<std::function<void()>> jobs_;
  bool stopping_ = false;
  std::thread worker_;
};

}  // namespace zelk::platform
