#include "shares.h"

#include <algorithm>

namespace lampd {
namespace {

std::string Number(double value) { return std::to_string(static_cast<std::int64_t>(value)); }

}  // namespace

bool Shares::Draw(Bucket& bucket, const ShareLimit& limit, Clock::time_point now, double cost) {
  if (bucket.at == Clock::time_point{}) {
    bucket.tokens = limit.burst;
  } else if (now > bucket.at) {
    const double seconds = std::chrono::duration<double>(now - bucket.at).count();
    bucket.tokens = std::min(limit.burst, bucket.tokens + seconds * limit.perSecond);
  }
  bucket.at = std::max(bucket.at, now);
  // A command larger than a burst costs a burst: it can go, once the bucket is full.
  cost = std::min(cost, limit.burst);
  if (bucket.tokens < cost) return false;
  bucket.tokens -= cost;
  return true;
}

bool Shares::Full(const Bucket& bucket, const ShareLimit& limit, Clock::time_point now) {
  const double seconds = std::chrono::duration<double>(now - bucket.at).count();
  return bucket.tokens + seconds * limit.perSecond >= limit.burst;
}

void Shares::ForgetIdle(Clock::time_point now) {
  // At most once a second: a crowd of new clients costs one sweep, not one each.
  if (now - lastForgot_ < std::chrono::seconds(1)) return;
  lastForgot_ = now;
  std::erase_if(clients_, [&](const auto& entry) { return Full(entry.second, kClient, now); });
}

std::string Shares::Take(std::string_view front, std::string_view client, Clock::time_point now,
                         std::size_t cost) {
  auto frontBucket = fronts_.find(front);
  if (frontBucket == fronts_.end())
    frontBucket = fronts_.emplace(std::string(front), Bucket{}).first;
  Bucket* clientBucket = nullptr;
  if (!client.empty()) {
    std::string key = std::string(front) + " " + std::string(client);
    auto found = clients_.find(key);
    if (found == clients_.end() && clients_.size() >= kMostClients) ForgetIdle(now);
    if (found == clients_.end() && clients_.size() < kMostClients) {
      found = clients_.emplace(std::move(key), Bucket{}).first;
    }
    if (found != clients_.end()) clientBucket = &found->second;
  }
  // The client's own share first: one client over it takes nothing of its front's.
  if (clientBucket && !Draw(*clientBucket, kClient, now, static_cast<double>(cost))) {
    return "client " + std::string(client) + " is over its share of " + Number(kClient.perSecond) +
           " frames a second";
  }
  if (!Draw(frontBucket->second, kFront, now, static_cast<double>(cost))) {
    return std::string(front) + " is over its share of " + Number(kFront.perSecond) +
           " frames a second";
  }
  return "";
}

}  // namespace lampd
