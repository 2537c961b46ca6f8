// Prometheus' text exposition format (version 0.0.4): families with their
// HELP and TYPE, samples with escaped label values, and a histogram.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace lampd {

using Labels = std::vector<std::pair<std::string_view, std::string>>;

class MetricsText {
 public:
  // Opens a family: type "gauge", "counter" or "histogram".
  void Family(std::string_view name, std::string_view type, std::string_view help);
  void Sample(std::string_view name, const Labels& labels, double value);
  const std::string& Text() const { return text_; }

 private:
  std::string text_;
};

// Times in seconds. By default exchange times, from a millisecond
// (loopback) to past a second (a unit that gives up).
class Histogram {
 public:
  static constexpr std::array<double, 11> kExchangeBounds = {
      0.001, 0.0025, 0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1, 2.5};
  // An andon call: from seconds to hours.
  static constexpr std::array<double, 11> kCallBounds = {5,   15,   30,   60,   120,  300,
                                                         600, 1200, 1800, 3600, 14400};
  explicit Histogram(const std::array<double, 11>& bounds = kExchangeBounds) : bounds_(bounds) {}
  void Observe(double seconds);
  void Write(MetricsText& out, std::string_view name, const Labels& labels = {}) const;

 private:
  std::array<double, 11> bounds_;
  std::array<std::uint64_t, 11> buckets_{};  // each bound's own, not cumulative
  std::uint64_t count_ = 0;
  double sum_ = 0;
};

// The largest value seen in the last 10 to 20 seconds: a gauge that shows
// a spike for at least one scrape of Prometheus' (every 15 s by default).
class RecentMost {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr std::chrono::seconds kWindow{10};
  void See(double value, Clock::time_point now);
  double Most(Clock::time_point now) const;

 private:
  void Roll(Clock::time_point now);
  Clock::time_point began_{};
  double current_ = 0, previous_ = 0;
};

}  // namespace lampd
