// The journal: every event as a line of JSON (journal_record.h), appended
// to one file in the state directory once a loop turn, rotated by size
// into FILE.1 ... FILE.KEEP. Each turn's lines go in one write; one that
// the disk takes only in part is cut back, so no record is ever half in
// the file, and what the disk refused is kept (bounded) and written when
// it can be. A torn last line (a crash mid-write) is ended at the next
// start and skipped by every reader.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "journal_record.h"

namespace lampd {

struct JournalSettings {
  std::string path;                   // empty: no journal
  std::uint64_t maxSize = 10u << 20;  // a file is rotated past this
  int keep = 10;                      // rotated files kept
};

class Journal {
 public:
  static constexpr std::size_t kMostPending = 16u << 20;  // held while the disk refuses

  explicit Journal(JournalSettings settings);
  ~Journal();
  Journal(const Journal&) = delete;
  Journal& operator=(const Journal&) = delete;

  // Opens the file (made if missing) and finds the last record's number;
  // `note` tells of a torn last line ended. False with `error`.
  bool Open(std::string& note, std::string& error);
  // The record's line, buffered until Flush; its number. `line` and `text`
  // get the line (a record past what may wait for the disk is numbered 0).
  std::uint64_t Add(const JournalRecord& record);
  std::uint64_t Add(const JournalRecord& record, Json& line, std::string& text);
  // Writes what was added (rotating first when it would pass maxSize);
  // false with `why` when the disk refused: it is kept and tried again.
  bool Flush(std::string& why);
  bool Pending() const { return !pending_.empty(); }
  std::uint64_t Dropped() const { return dropped_; }
  std::uint64_t BytesWritten() const { return written_; }
  std::uint64_t Records() const { return seq_; }
  const JournalSettings& Settings() const { return settings_; }

 private:
  bool Rotate(std::string& why);
  JournalSettings settings_;
  int file_ = -1;
  std::uint64_t size_ = 0, seq_ = 0, dropped_ = 0, written_ = 0;
  std::string pending_;
};

// The journal's files, newest first: FILE, FILE.1, ..., FILE.KEEP.
std::vector<std::string> JournalFiles(const JournalSettings& settings);

struct EventPage {
  Json events = Json::array();          // newest first
  std::optional<std::uint64_t> before;  // more may be older: ask again with before=this
  std::uint64_t skipped = 0;            // lines that did not read as records
};
// Reads records back, newest first, scanning at most `budget` bytes (the
// page says where to go on).
EventPage ReadEvents(const JournalSettings& settings, const EventQuery& query,
                     std::uint64_t budget = 16u << 20);

// Every line of the journal, oldest first, that `wanted` lets through unparsed.
void ReadForward(const JournalSettings& settings,
                 const std::function<bool(std::string_view)>& wanted,
                 const std::function<void(const Json&)>& take);

}  // namespace lampd
