#include "ownership.h"

#include <algorithm>
#include <cstdint>

namespace lampd {

namespace {

// FNV-1a, then mixed: the same rank on every instance, whatever its build.
std::uint64_t Rank(const std::string& instance, const std::string& id) {
  std::uint64_t hash = 14695981039346656037ull;
  for (const char c : instance + '\n' + id) {
    hash ^= static_cast<unsigned char>(c);
    hash *= 1099511628211ull;
  }
  // Mixed through, so that names alike rank apart (FNV alone leaves the
  // high bits, which decide, nearly the same).
  hash ^= hash >> 33;
  hash *= 0xff51afd7ed558ccdull;
  hash ^= hash >> 33;
  hash *= 0xc4ceb9fe1a85ec53ull;
  hash ^= hash >> 33;
  return hash;
}

}  // namespace

std::string FirstFor(const std::set<std::string>& instances, const std::string& id) {
  std::string first;
  std::uint64_t best = 0;
  for (const std::string& instance : instances) {
    const std::uint64_t rank = Rank(instance, id);
    if (first.empty() || rank > best) {
      best = rank;
      first = instance;
    }
  }
  return first;
}

std::chrono::milliseconds Fence(std::chrono::milliseconds lease,
                                std::chrono::milliseconds frameTimeout) {
  using namespace std::chrono_literals;
  const std::chrono::milliseconds margin = std::max<std::chrono::milliseconds>(1s, lease / 5);
  return lease - margin - frameTimeout;
}

}  // namespace lampd
