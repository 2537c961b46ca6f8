// Every event lampd sees, recorded once: appended to the journal (written
// once a loop turn), published on BASE/ID/event, kept as the unit's last
// events and shown on the console's open pages. The journal read back:
// GET /api/events, newest first, and GET /api/report, made on a thread of
// its own so a long journal never holds the loop.
#include "lampd/core/service.h"
#include "lampd/core/time_text.h"

namespace lampd {
namespace {

using namespace std::chrono_literals;

constexpr std::size_t kEventsKept = 8;            // a unit's last events, for its panel
constexpr std::size_t kMostConsoleEvents = 1000;  // waiting for the pages' next write
constexpr auto kRetry = 2s;

}  // namespace

bool Service::StartJournal(std::string& error) {
  JournalSettings settings;
  settings.maxSize = config_.journal.maxSize;
  settings.keep = config_.journal.keep;
  const auto slash = statePath_.rfind('/');
  const std::string stateDirectory =
      slash == std::string::npos ? "" : statePath_.substr(0, slash + 1);
  if (config_.journal.path) {
    const std::string& path = *config_.journal.path;
    settings.path = path.empty() || path.front() == '/' ? path : stateDirectory + path;
  } else if (!statePath_.empty()) {
    settings.path = stateDirectory + "journal.jsonl";
  }
  journal_ = std::make_unique<Journal>(settings);
  if (settings.path.empty()) {
    Log("journal: off; events go to MQTT and the console only");
    return true;
  }
  std::string note;
  if (!journal_->Open(note, error)) {
    error = "journal: " + error;
    return false;
  }
  if (!note.empty()) Log("journal: warning: " + note);
  Log("journal: " + settings.path + ", rotated past " + std::to_string(settings.maxSize) +
      " bytes, " + std::to_string(settings.keep) + " kept; " + std::to_string(journal_->Records()) +
      " record(s) so far");
  return true;
}

void Service::Record(JournalRecord record) {
  if (!journal_) return;
  if (record.at == WallClock::time_point{}) record.at = WallClock::now();
  Json line;
  std::string text;
  journal_->Add(record, line, text);
  if (journal_->Pending() && journalTimer_ == 0) {
    journalTimer_ = loop_.After(0ms, [this] {
      journalTimer_ = 0;
      FlushJournal();
    });
  }
  if (!record.unit.empty()) {
    if (mqtt_ && mqtt_->Connected()) {
      mqtt_->Publish(topics_.Name(TopicKind::kUnitEvent, record.unit), text, 1, false, true);
    }
    if (const auto unit = units_.find(record.unit); unit != units_.end()) {
      unit->second.changes.push_back(line);
      if (unit->second.changes.size() > kEventsKept) unit->second.changes.pop_front();
    }
  }
  if (!http_ || http_->Streams() == 0) return;
  if (consoleEvents_.size() < kMostConsoleEvents) consoleEvents_.push_back(std::move(line));
  ConsoleChanged(record.unit);
}

void Service::RecordLease(const Unit& unit, const char* kind, const Lease& lease,
                          const Request* request, std::string reason) {
  JournalRecord record{.unit = unit.id,
                       .kind = kind,
                       .source = lease.source,
                       .reason = std::move(reason),
                       .what = lease.codes,
                       .leases = {lease.call}};
  if (request) {
    record.origin = std::string(OriginName(request->origin));
    record.who = request->client;
  }
  Record(std::move(record));
}

void Service::RecordCommand(const Unit& unit, const Request& request, std::string reason) {
  Record({.unit = unit.id,
          .kind = "command",
          .origin = std::string(OriginName(request.origin)),
          .source = request.command.source,
          .who = request.client,
          .reason = std::move(reason),
          .what = request.command.codes});
}

void Service::FlushJournal() {
  if (!journal_) return;
  loop_.Cancel(journalTimer_);
  journalTimer_ = 0;
  std::string why;
  if (journal_->Flush(why)) {
    if (journalFailing_) Log("journal: written again");
    journalFailing_ = false;
    return;
  }
  if (!journalFailing_) {
    Log("journal: " + why +
        "; records wait (up to 16 MiB) and are written when the disk takes them");
  }
  journalFailing_ = true;
  journalTimer_ = loop_.After(kRetry, [this] {
    journalTimer_ = 0;
    FlushJournal();
  });
}

bool Service::Refused(Origin origin, const std::string& name, bool group, const std::string& why,
                      const std::string& who, const std::string& source) {
  ++refused_[std::string(OriginName(origin))];
  const std::string client = std::string(OriginName(origin)) + (who.empty() ? "" : " " + who);
  if (!refusals_.Count(client, why, SteadyClock::now())) {
    SummariseSoon();
    return false;
  }
  Record({.unit = group ? "" : name,
          .group = group ? name : "",
          .kind = "refused",
          .origin = std::string(OriginName(origin)),
          .source = source,
          .who = who,
          .reason = why});
  return true;
}

void Service::RecordRefusalSummaries() {
  for (const RefusalTally::Summary& summary : refusals_.Due(SteadyClock::now())) {
    const auto space = summary.client.find(' ');
    Record({.kind = "refused",
            .origin = summary.client.substr(0, space),
            .who = space == std::string::npos ? "" : summary.client.substr(space + 1),
            .reason = std::to_string(summary.count) + " more refused within " +
                      std::to_string(RefusalTally::kWindow.count()) +
                      " s; the last: " + summary.why});
  }
  if (refusals_.Waiting()) SummariseSoon();
}

void Service::SummariseSoon() {
  if (tallyTimer_ != 0) return;
  tallyTimer_ = loop_.After(RefusalTally::kWindow, [this] {
    tallyTimer_ = 0;
    RecordRefusalSummaries();
  });
}

bool Service::KeptJournal(const std::function<void(HttpAnswer)>& answer) {
  if (journal_ && !journal_->Settings().path.empty()) return true;
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
  FlushJournal();  // what just happened is read back too
  ReadJournal(answer, [settings = journal_->Settings(), query]() {
    const EventPage page = ReadEvents(settings, query);
    Json body = {{"events", page.events}};
    if (page.before) body["before"] = *page.before;
    if (page.skipped > 0) body["skipped"] = page.skipped;
    return body;
  });
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
  FlushJournal();
  ReadJournal(answer, [settings = journal_->Settings(), query]() {
    AndonReport report(query.since, query.until);
    ReadForward(settings, AndonReport::Wanted,
                [&report](const Json& record) { report.Take(record); });
    return report.Result();
  });
}

void Service::ReadJournal(const std::function<void(HttpAnswer)>& answer,
                          std::function<Json()> read) {
  // Off the loop: a page that scans its 16 MiB, or a day's report, holds
  // no unit's poll and no other client's answer.
  const bool queued = journalReader_->Run([answer, read = std::move(read)]() -> Background::Answer {
    Json body = read();
    return [answer, body = std::move(body)] { answer(JsonAnswer(200, body)); };
  });
  if (!queued) {
    answer(JsonAnswer(503, {{"error", std::to_string(journalReader_->MostWaiting()) +
                                          " reads of the journal wait already; ask again soon"}}));
  }
}

}  // namespace lampd
