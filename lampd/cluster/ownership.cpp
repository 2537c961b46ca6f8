#include "ownership.h"

namespace lampd {

Serve WhoServes(const OwnershipFacts& facts) {
  if (facts.named.empty() || facts.named == facts.us || !facts.namedOnline) return Serve::kHere;
  // Another online instance holds it: it keeps it, unless both hold it at
  // once; then the first name in order does.
  if (facts.servingHere && facts.us < facts.named) return Serve::kHere;
  return Serve::kThere;
}

}  // namespace lampd
