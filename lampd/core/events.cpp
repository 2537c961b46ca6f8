// Every event lampd sees, recorded once: numbered by the journal's sink and
// handed to the listeners (the MQTT front publishes it on BASE/ID/event, the
// console keeps each unit's last events and shows them on its open pages). Refusals of a
// flood are summarised here.
#include "service.h"

namespace lampd {

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
  journal_ = std::make_unique<JournalSink>(loop_, settings);
  return journal_->Start(error);
}

void Service::Record(JournalRecord record) {
  if (!journal_) return;
  if (record.at == WallClock::time_point{}) record.at = WallClock::now();
  Json line;
  std::string text;
  journal_->Add(record, line, text);
  for (PlantListener* listener : listeners_) listener->OnEvent(line, text);
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
    record.who = Who(*request);
  }
  Record(std::move(record));
}

void Service::RecordCommand(const Unit& unit, const Request& request, std::string reason) {
  Record({.unit = unit.id,
          .kind = "command",
          .origin = std::string(OriginName(request.origin)),
          .source = request.command.source,
          .who = Who(request),
          .reason = std::move(reason),
          .what = request.command.codes});
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

}  // namespace lampd
