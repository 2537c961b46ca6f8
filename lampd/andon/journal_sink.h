// The journal as a sink of the plant's events, an object of its own: it
// numbers each record, writes a turn's records in one write (tried again
// every 2 s while the disk refuses them), and reads them back off the loop
// (pages of events and reports, in order, a few waiting at the most), so a
// long journal never holds the loop.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "journal.h"
#include "lampd/core/background.h"
#include "lampd/core/metrics.h"
#include "net/event_loop.h"

namespace lampd {

class JournalSink {
 public:
  // Reads of the journal waiting for the reader's thread, at the most.
  static constexpr std::size_t kReadsWaiting = 4;
  using Answer = std::function<void(int status, const Json& body)>;

  // `settings.path` empty: no file is kept (events still get their lines).
  JournalSink(platform::EventLoop& loop, JournalSettings settings);
  ~JournalSink();
  JournalSink(const JournalSink&) = delete;
  JournalSink& operator=(const JournalSink&) = delete;

  // Opens the file; false with `error`.
  bool Start(std::string& error);
  bool Kept() const { return !journal_.Settings().path.empty(); }
  // Numbers `record`; `line` and `text` get it as the journal writes it.
  void Add(const JournalRecord& record, Json& line, std::string& text);
  // Writes what was added now (at a stop, and before a read).
  void Flush();
  // GET /api/events and /api/report, answered on the loop once read.
  void ServeEvents(const EventQuery& query, Answer answer);
  void ServeReport(const EventQuery& query, Answer answer);
  void WriteMetrics(MetricsText& out) const;

 private:
  void Read(Answer answer, std::function<Json()> read);

  platform::EventLoop& loop_;
  Journal journal_;
  platform::EventLoop::TimerId timer_ = 0;
  bool failing_ = false;
  Background reader_;
};

}  // namespace lampd
