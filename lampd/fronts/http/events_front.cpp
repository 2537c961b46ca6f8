#include "events_front.h"

#include <algorithm>

#include "lampd/core/time_text.h"

namespace lampd {

using namespace std::chrono_literals;

void EventsFront::Start() {
  http_.Handle([this](const HttpRequest& request, const HttpFront::Answer& answer) {
    if (request.path == "/api/events") {
      if (HttpFront::Only("GET", request, answer)) ServeEvents(request, answer);
    } else if (request.path == "/api/report") {
      if (HttpFront::Only("GET", request, answer)) ServeReport(request, answer);
    } else {
      return false;
    }
    return true;
  });
}

bool EventsFront::Kept(const HttpFront::Answer& answer) const {
  if (journal_ && journal_->Kept()) return true;
  answer(JsonAnswer(404, {{"error", "no journal is kept: [journal] path is \"\""}}));
  return false;
}

void EventsFront::ServeEvents(const HttpRequest& request, const HttpFront::Answer& answer) {
  EventQuery query;
  std::string why;
  if (!ReadEventQuery(request.query, WallClock::now(), query, why)) {
    return answer(JsonAnswer(400, {{"error", why}}));
  }
  if (!Kept(answer)) return;
  journal_->ServeEvents(
      query, [answer](int status, const Json& body) { answer(JsonAnswer(status, body)); });
}

void EventsFront::ServeReport(const HttpRequest& request, const HttpFront::Answer& answer) {
  EventQuery query;
  std::string why;
  const bool onlyTimes =
      std::all_of(request.query.begin(), request.query.end(),
                  [](const auto& pair) { return pair.first == "since" || pair.first == "until"; });
  if (!onlyTimes) why = "a report is asked for by since and until";
  if (!onlyTimes || !ReadEventQuery(request.query, WallClock::now(), query, why)) {
    return answer(JsonAnswer(400, {{"error", why}}));
  }
  if (!Kept(answer)) return;
  if (query.since.empty()) query.since = TimeText(WallClock::now() - 24h);
  journal_->ServeReport(
      query, [answer](int status, const Json& body) { answer(JsonAnswer(status, body)); });
}

}  // namespace lampd
