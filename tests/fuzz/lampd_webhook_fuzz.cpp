// What anyone who reaches lampd's HTTP port may send as Alertmanager's
// webhook body: taken whole or refused whole; every source it gives is
// UTF-8 that JSON writes strictly, at most 64 bytes.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "lampd/core/state_document.h"
#include "lampd/fronts/http/alerts.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  lampd::AlertRule rule;
  rule.target = "press-3";
  rule.set[0] = 1;
  lampd::AlertBatch batch;
  std::string why;
  if (lampd::ReadAlerts(text, {rule}, std::chrono::system_clock::now(), batch, why)) {
    for (const auto& alert : batch.commands) {
      const std::string& source = alert.command.clear ? *alert.command.clear : alert.command.source;
      Check(source.size() <= 64);
      // Strict: throws, and so aborts, on text that is not UTF-8.
      (void)lampd::Json(source).dump();
      Check(!alert.command.lease || alert.command.lease->count() > 0);
    }
  } else {
    Check(!why.empty() && batch.commands.empty());
  }

  return 0;
}
