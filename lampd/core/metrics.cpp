#include "metrics.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace lampd {
namespace {

std::string Number(double value) {
  if (std::isinf(value)) return value > 0 ? "+Inf" : "-Inf";
  char text[32];
  std::snprintf(text, sizeof text, "%.17g", value);
  return text;
}

// Label values escape backslash, double quote and line feed; HELP text the
// first and the last.
std::string Escaped(std::string_view text, bool quote) {
  std::string out;
  for (char c : text) {
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '"' && quote) {
      out += "\\\"";
    } else {
      out += c;
    }
  }
  return out;
}

}  // namespace

void MetricsText::Family(std::string_view name, std::string_view type, std::string_view help) {
  text_ += "# HELP " + std::string(name) + " " + Escaped(help, false) + "\n";
  text_ += "# TYPE " + std::string(name) + " " + std::string(type) + "\n";
}

void MetricsText::Sample(std::string_view name, const Labels& labels, double value) {
  text_ += name;
  if (!labels.empty()) {
    text_ += '{';
    for (std::size_t i = 0; i < labels.size(); ++i) {
      if (i > 0) text_ += ',';
      text_ += std::string(labels[i].first) + "=\"" + Escaped(labels[i].second, true) + "\"";
    }
    text_ += '}';
  }
  text_ += " " + Number(value) + "\n";
}

void Histogram::Observe(double seconds) {
  for (std::size_t i = 0; i < bounds_.size(); ++i) {
    if (seconds <= bounds_[i]) {
      ++buckets_[i];
      break;
    }
  }
  ++count_;
  sum_ += seconds;
}

void Histogram::Write(MetricsText& out, std::string_view name, const Labels& labels) const {
  const std::string base(name);
  std::uint64_t cumulative = 0;
  const auto with = [&labels](std::string bound) {
    Labels all = labels;
    all.emplace_back("le", std::move(bound));
    return all;
  };
  for (std::size_t i = 0; i < bounds_.size(); ++i) {
    cumulative += buckets_[i];
    char bound[32];
    std::snprintf(bound, sizeof bound, "%g", bounds_[i]);
    out.Sample(base + "_bucket", with(bound), static_cast<double>(cumulative));
  }
  out.Sample(base + "_bucket", with("+Inf"), static_cast<double>(count_));
  out.Sample(base + "_sum", labels, sum_);
  out.Sample(base + "_count", labels, static_cast<double>(count_));
}

void RecentMost::Roll(Clock::time_point now) {
  if (now - began_ < kWindow) return;
  // A window with nothing seen in it leaves nothing to show after it.
  previous_ = now - began_ < 2 * kWindow ? current_ : 0;
  current_ = 0;
  began_ = now;
}

void RecentMost::See(double value, Clock::time_point now) {
  Roll(now);
  current_ = std::max(current_, value);
}

double RecentMost::Most(Clock::time_point now) const {
  return now - began_ < 2 * kWindow ? std::max(current_, previous_) : 0;
}

}  // namespace lampd
