// One event of the journal as a line of JSON, and what reading the journal
// back decides: which records a query wants, and the andon figures of a
// report (time to acknowledge, time to clear). Pure: the journal's files
// are read and written in journal.cpp.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "lampd/core/leases.h"
#include "lampd/core/state_document.h"

namespace lampd {

struct JournalRecord {
  WallClock::time_point at{};
  std::string unit{}, group{};  // one of them, or neither (lampd itself)
  std::string kind{};           // command, refused, lease-taken, ack, online, ... (lampd(8))
  std::string origin{}, source{}, who{}, reason{};
  protocol::LampCodes what = protocol::kLeaveAllUnchanged;  // the lamps and the sound
  std::vector<std::uint64_t> leases{};                      // the calls it concerns
};

// {"seq":N,"at":"...Z","unit":...,"kind":...} with empty fields left out;
// no newline.
Json RecordJson(const JournalRecord& record, std::uint64_t seq);

// What GET /api/events asks for. Times compare as their RFC 3339 text,
// which the journal writes in one form (UTC, milliseconds).
struct EventQuery {
  std::string unit, kind;  // a unit (or group) and a kind; empty: any
  std::string since, until;
  std::optional<std::uint64_t> before;  // a page's end: records older than this seq
  std::size_t limit = 100;
  // What a line that may match holds, as the journal writes it: worked out once.
  std::string unitNeedle, groupNeedle, kindNeedle;
  void Prepare();
};
inline constexpr std::size_t kMostEventsAPage = 1000;

// Reads a query's parameters; false with `why`. `now` is what "since=1h" counts back from.
bool ReadEventQuery(const std::map<std::string, std::string>& parameters, WallClock::time_point now,
                    EventQuery& query, std::string& why);

// Whether a line may be one the query wants, before it is parsed (most lines
// of a busy journal are not).
bool MayMatch(std::string_view line, const EventQuery& query);
enum class Verdict { kTake, kPass, kStop };  // kStop: older than since, and so are the rest
Verdict Judge(const Json& record, const EventQuery& query);

// Andon figures of calls taken in [since, until): fed the journal's records
// oldest first.
class AndonReport {
 public:
  AndonReport(std::string since, std::string until);
  // Lines that cannot hold what the report reads are passed over unparsed.
  static bool Wanted(std::string_view line);
  void Take(const Json& record);
  Json Result() const;

 private:
  struct Call {
    double taken = 0;  // seconds since the epoch
    bool acknowledged = false;
  };
  struct Figures {
    std::uint64_t calls = 0;
    std::vector<double> toAck, toClear;
  };
  std::string since_, until_;
  std::map<std::pair<std::string, std::uint64_t>, Call> open_;  // by unit and call
  std::map<std::string, Figures> units_;
};

// Seconds since the epoch of a journal time; nothing for other text.
std::optional<double> JournalSeconds(const std::string& text);

}  // namespace lampd
