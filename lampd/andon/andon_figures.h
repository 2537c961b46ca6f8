// Andon's figures, a sink of the plant's calls: how long each took to be
// acknowledged, and to end, as Prometheus histograms by the unit's groups.
#pragma once

#include <map>
#include <string>

#include "lampd/core/metrics.h"
#include "lampd/core/plant.h"

namespace lampd {

class AndonFigures : public PlantListener {
 public:
  void OnCallAnswered(const std::vector<std::string>& groups, double seconds,
                      bool acknowledged) override;
  void WriteMetrics(MetricsText& out) const;

 private:
  std::map<std::string, Histogram> ackSeconds_, clearSeconds_;  // by group ("" for none)
};

}  // namespace lampd
