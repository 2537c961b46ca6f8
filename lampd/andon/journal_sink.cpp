#include "journal_sink.h"

#include "lampd/core/log.h"

namespace lampd {
namespace {

using namespace std::chrono_literals;

constexpr auto kRetry = 2s;

}  // namespace

JournalSink::JournalSink(platform::EventLoop& loop, JournalSettings settings)
    : loop_(loop), journal_(std::move(settings)), reader_(loop, kReadsWaiting) {}

JournalSink::~JournalSink() { loop_.Cancel(timer_); }

bool JournalSink::Start(std::string& error) {
  const JournalSettings& settings = journal_.Settings();
  if (settings.path.empty()) {
    Log("journal: off; events go to MQTT and the console only");
    return true;
  }
  std::string note;
  if (!journal_.Open(note, error)) {
    error = "journal: " + error;
    return false;
  }
  if (!note.empty()) Log("journal: warning: " + note);
  Log("journal: " + settings.path + ", rotated past " + std::to_string(settings.maxSize) +
      " bytes, " + std::to_string(settings.keep) + " kept; " + std::to_string(journal_.Records()) +
      " record(s) so far");
  return true;
}

void JournalSink::Add(const JournalRecord& record, Json& line, std::string& text) {
  journal_.Add(record, line, text);
  // A turn's records go in one write, once the turn is over.
  if (journal_.Pending() && timer_ == 0) {
    timer_ = loop_.After(0ms, [this] {
      timer_ = 0;
      Flush();
    });
  }
}

void JournalSink::Flush() {
  loop_.Cancel(timer_);
  timer_ = 0;
  std::string why;
  if (journal_.Flush(why)) {
    if (failing_) Log("journal: written again");
    failing_ = false;
    return;
  }
  if (!failing_) {
    Log("journal: " + why +
        "; records wait (up to 16 MiB) and are written when the disk takes them");
  }
  failing_ = true;
  timer_ = loop_.After(kRetry, [this] {
    timer_ = 0;
    Flush();
  });
}

void JournalSink::ServeEvents(const EventQuery& query, Answer answer) {
  Flush();  // what just happened is read back too
  Read(std::move(answer), [settings = journal_.Settings(), query]() {
    const EventPage page = ReadEvents(settings, query);
    Json body = {{"events", page.events}};
    if (page.before) body["before"] = *page.before;
    if (page.skipped > 0) body["skipped"] = page.skipped;
    return body;
  });
}

void JournalSink::ServeReport(const EventQuery& query, Answer answer) {
  Flush();
  Read(std::move(answer), [settings = journal_.Settings(), query]() {
    AndonReport report(query.since, query.until);
    ReadForward(settings, AndonReport::Wanted,
                [&report](const Json& record) { report.Take(record); });
    return report.Result();
  });
}

void JournalSink::Read(Answer answer, std::function<Json()> read) {
  // Off the loop: a page that scans its 16 MiB, or a day's report, holds
  // no unit's poll and no other client's answer.
  const bool queued = reader_.Run([answer, read = std::move(read)]() -> Background::Answer {
    Json body = read();
    return [answer, body = std::move(body)] { answer(200, body); };
  });
  if (!queued) {
    answer(503, {{"error", std::to_string(kReadsWaiting) +
                               " reads of the journal wait already; ask again soon"}});
  }
}

void JournalSink::WriteMetrics(MetricsText& out) const {
  out.Family("lampd_journal_records_total", "counter",
             "Events recorded: the last record's number (numbered on across restarts where a "
             "journal is kept).");
  out.Sample("lampd_journal_records_total", {}, static_cast<double>(journal_.Records()));
  out.Family("lampd_journal_written_bytes_total", "counter", "Bytes written to the journal.");
  out.Sample("lampd_journal_written_bytes_total", {}, static_cast<double>(journal_.BytesWritten()));
  out.Family("lampd_journal_failing", "gauge",
             "Whether the last write of the journal failed (1); records wait and are tried "
             "again.");
  out.Sample("lampd_journal_failing", {}, failing_ ? 1 : 0);
  out.Family("lampd_journal_dropped_total", "counter",
             "Records dropped while the disk refused them and 16 MiB waited already.");
  out.Sample("lampd_journal_dropped_total", {}, static_cast<double>(journal_.Dropped()));
}

}  // namespace lampd
