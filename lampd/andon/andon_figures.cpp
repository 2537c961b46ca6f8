#include "andon_figures.h"

#include <tuple>

namespace lampd {

void AndonFigures::OnCallAnswered(const std::vector<std::string>& groups, double seconds,
                                  bool acknowledged) {
  auto& histograms = acknowledged ? ackSeconds_ : clearSeconds_;
  const auto observe = [&](const std::string& group) {
    histograms.try_emplace(group, Histogram::kCallBounds).first->second.Observe(seconds);
  };
  if (groups.empty()) observe("");
  for (const std::string& group : groups) observe(group);
}

void AndonFigures::WriteMetrics(MetricsText& out) const {
  for (const auto& [family, histograms, help] :
       {std::tuple{"lampd_andon_ack_seconds", &ackSeconds_,
                   "How long calls (leases) took to be acknowledged, by the unit's group."},
        std::tuple{"lampd_andon_clear_seconds", &clearSeconds_,
                   "How long calls (leases) lasted until cleared, replaced or ended, by the unit's "
                   "group."}}) {
    out.Family(family, "histogram", help);
    for (const auto& [group, histogram] : *histograms) {
      histogram.Write(out, family, {{"group", group}});
    }
  }
}

}  // namespace lampd
