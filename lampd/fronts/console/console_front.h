// The operator console, an object of its own: its page, the whole plant as
// one document (shared by every page that opens before a change), a stream
// of each unit's changes and events to every open page, and its commands,
// which go through the plant's one command path with origin "web". It
// keeps each unit's last events and its texts, hears the plant's changes as
// a listener, and is served by the HTTP front.
#pragma once

#include <deque>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "lampd/config/config.h"
#include "lampd/core/plant.h"
#include "lampd/fronts/http/http_front.h"
#include "net/event_loop.h"

namespace lampd {

class ConsoleFront : public PlantListener {
 public:
  ConsoleFront(platform::EventLoop& loop, const Config& config, Plant& plant, HttpFront& http);
  ~ConsoleFront() override;
  ConsoleFront(const ConsoleFront&) = delete;
  ConsoleFront& operator=(const ConsoleFront&) = delete;

  // Its paths handed to the HTTP front, and the stream's tick started.
  void Start();
  void OnUnitChanged(const std::string& id) override;
  void OnEvent(const Json& line, const std::string& text) override;

 private:
  // True when the request was its page's or its API's.
  bool Serve(const HttpRequest& request, const HttpFront::Answer& answer);
  void OnCommand(const HttpRequest& request, HttpFront::Answer answer);
  // A unit as the console shows it; nothing for a unit no longer known.
  std::optional<Json> Unit(const std::string& id) const;
  std::string PlantDocument();
  std::shared_ptr<const std::string> SharedPlant();
  std::shared_ptr<const std::string> SharedPlantEvent();
  void Tick();

  platform::EventLoop& loop_;
  const Config& config_;
  Plant& plant_;
  HttpFront& http_;
  std::map<std::string, std::deque<Json>> changes_;  // each unit's last events, for its panel
  std::set<std::string> dirty_;
  std::map<std::string, std::string> cache_;      // each unit's text as the pages have it
  std::vector<Json> events_;                      // to the pages with the next changes
  std::shared_ptr<const std::string> plantText_;  // the plant document, until a change
  std::chrono::steady_clock::time_point plantMade_{};
  // The plant as a stream's start, and the document it was made of.
  std::shared_ptr<const std::string> plantEvent_, plantEventOf_;
  platform::EventLoop::TimerId gatherTimer_ = 0, tickTimer_ = 0;
};

}  // namespace lampd
