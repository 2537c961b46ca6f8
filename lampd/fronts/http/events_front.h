// The journal read back over HTTP, an object of its own: GET /api/events,
// newest first, and GET /api/report, both read by the journal's sink off
// the loop.
#pragma once

#include "http_front.h"
#include "lampd/andon/journal_sink.h"

namespace lampd {

class EventsFront {
 public:
  // `journal`: none when lampd keeps no journal (its paths answer 404).
  EventsFront(HttpFront& http, JournalSink* journal) : http_(http), journal_(journal) {}
  // Its paths handed to the HTTP front.
  void Start();

 private:
  // False, with a 404 answered, when no journal is kept to read back.
  bool Kept(const HttpFront::Answer& answer) const;
  void ServeEvents(const HttpRequest& request, const HttpFront::Answer& answer);
  void ServeReport(const HttpRequest& request, const HttpFront::Answer& answer);

  HttpFront& http_;
  JournalSink* journal_;
};

}  // namespace lampd
