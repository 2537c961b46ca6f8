// The journal read back over HTTP: GET /api/events, newest first, and GET
// /api/report, both read by the journal's sink off the loop.
#include "lampd/core/service.h"
#include "lampd/core/time_text.h"

namespace lampd {

using namespace std::chrono_literals;

bool Service::KeptJournal(const std::function<void(HttpAnswer)>& answer) {
  if (journal_ && journal_->Kept()) return true;
  answer(JsonAnswer(404, {{"error", "no journal is kept: [journal] path is \"\""}}));
  return false;
}

void Service::ServeEvents(const HttpRequest& request,
                          const std::function<void(HttpAnswer)>& answer) {
  EventQuery query;
  std::string why;
  if (!ReadEventQuery(request.query, WallClock::now(), query, why)) {
    return answer(JsonAnswer(400, {{"error", why}}));
  }
  if (!KeptJournal(answer)) return;
  journal_->ServeEvents(
      query, [answer](int status, const Json& body) { answer(JsonAnswer(status, body)); });
}

void Service::ServeReport(const HttpRequest& request,
                          const std::function<void(HttpAnswer)>& answer) {
  EventQuery query;
  std::string why;
  const bool onlyTimes =
      std::all_of(request.query.begin(), request.query.end(),
                  [](const auto& pair) { return pair.first == "since" || pair.first == "until"; });
  if (!onlyTimes) why = "a report is asked for by since and until";
  if (!onlyTimes || !ReadEventQuery(request.query, WallClock::now(), query, why)) {
    return answer(JsonAnswer(400, {{"error", why}}));
  }
  if (!KeptJournal(answer)) return;
  if (query.since.empty()) query.since = TimeText(WallClock::now() - 24h);
  journal_->ServeReport(
      query, [answer](int status, const Json& body) { answer(JsonAnswer(status, body)); });
}

}  // namespace lampd
