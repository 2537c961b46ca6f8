// The metrics front, an object of its own: GET /metrics on the HTTP front,
// made from what the plant tells and shared while fresh.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "http_front.h"
#include "lampd/core/background.h"
#include "lampd/core/plant.h"

namespace lampd {

class MetricsFront {
 public:
  // Made at most this often, whoever asks.
  static constexpr std::chrono::milliseconds kFresh{250};

  MetricsFront(platform::EventLoop& loop, Plant& plant, HttpFront& http);
  // Its path handed to the HTTP front.
  void Start();

 private:
  void Serve(HttpFront::Answer answer);

  Plant& plant_;
  HttpFront& http_;
  std::shared_ptr<const std::string> text_;
  std::chrono::steady_clock::time_point made_{};
  std::vector<HttpFront::Answer> waiting_;  // for the text being made
  Background maker_;                        // the units' families, off the loop
};

}  // namespace lampd
