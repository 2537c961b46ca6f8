#include "background.h"

namespace lampd {

Background::Background(platform::EventLoop& loop, std::size_t mostWaiting)
    : loop_(loop), mostWaiting_(mostWaiting), thread_([this] { Serve(); }) {}

Background::~Background() {
  {
    std::lock_guard guard(lock_);
    stopping_ = true;
    jobs_.clear();
  }
  ready_.notify_all();
  thread_.join();
}

bool Background::Run(Job job) {
  {
    std::lock_guard guard(lock_);
    if (jobs_.size() >= mostWaiting_) return false;
    jobs_.push_back(std::move(job));
  }
  ready_.notify_one();
  return true;
}

void Background::Serve() {
  for (;;) {
    Job job;
    {
      std::unique_lock guard(lock_);
      ready_.wait(guard, [this] { return stopping_ || !jobs_.empty(); });
      if (stopping_) return;
      job = std::move(jobs_.front());
      jobs_.pop_front();
    }
    Answer answer = job();
    loop_.Post([alive = std::weak_ptr<bool>(alive_), answer = std::move(answer)] {
      if (!alive.expired() && answer) answer();
    });
  }
}

}  // namespace lampd
