// Long work off the loop: one thread of its own takes jobs in order from a
// bounded queue (reading the journal back, a report), and each job's
// answer runs on the loop once it is done. A job past the queue's bound is
// refused at once, so a crowd of readers costs a few jobs, never the loop.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "net/event_loop.h"

namespace lampd {

class Background {
 public:
  // What a job gives back: run on the loop.
  using Answer = std::function<void()>;
  using Job = std::function<Answer()>;

  Background(platform::EventLoop& loop, std::size_t mostWaiting);
  // Waits for the job under way; those still queued are dropped unanswered.
  ~Background();
  Background(const Background&) = delete;
  Background& operator=(const Background&) = delete;

  // False when `mostWaiting` jobs wait already (nothing is run then).
  bool Run(Job job);
  std::size_t MostWaiting() const { return mostWaiting_; }

 private:
  void Serve();

  platform::EventLoop& loop_;
  const std::size_t mostWaiting_;
  std::mutex lock_;
  std::condition_variable ready_;
  std::deque<Job> jobs_;
  bool stopping_ = false;
  // Answers posted to the loop run only while this object lives.
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
  std::thread thread_;
};

}  // namespace lampd
