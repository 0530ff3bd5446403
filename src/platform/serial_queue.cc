#include "platform/serial_queue.h"

namespace zelk::platform {

SerialQueue::SerialQueue(std::string label) : label_(std::move(label)) {
  worker_ = std::thread([this] { loop(); });
}

SerialQueue::~SerialQueue() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  ready_.notify_all();
  if (worker_.joinable()) worker_.join();
}

void SerialQueue::async(std::function<void()> job) {
  {
    std::lock_guard lock(mutex_);
    jobs_.push_back(std::move(job));
  }
  ready_.notify_one();
}

void SerialQueue::sync(const std::function<void()>& job) {
  if (isCurrent()) {
    job();
    return;
  }
  std::mutex doneMutex;
  std::condition_variable doneCv;
  bool done = false;
  async([&] {
    job();
    std::lock_guard lock(doneMutex);
    done = true;
    doneCv.notify_one();
  });
  std::unique_lock lock(doneMutex);
  doneCv.wait(lock, [&] { return done; });
}

void SerialQueue::loop() {
  for (;;) {
    std::function<void()> job;
    {
      std::unique_lock lock(mutex_);
      ready_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
      if (jobs_.empty()) return;
      job = std::move(jobs_.front());
      jobs_.pop_front();
    }
    job();
  }
}

}  // namespace zelk::platform
