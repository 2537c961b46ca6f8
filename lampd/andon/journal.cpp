#include "journal.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace lampd {
namespace {

constexpr std::size_t kChunk = 256u << 10;
constexpr std::size_t kLongestLine = 1u << 20;  // longer is no record of ours

std::string ErrnoText() { return std::strerror(errno); }

class ReadOnly {
 public:
  explicit ReadOnly(const std::string& path) : file_(::open(path.c_str(), O_RDONLY | O_CLOEXEC)) {}
  ~ReadOnly() {
    if (file_ >= 0) ::close(file_);
  }
  ReadOnly(const ReadOnly&) = delete;
  ReadOnly& operator=(const ReadOnly&) = delete;
  bool Open() const { return file_ >= 0; }
  off_t Size() const {
    struct stat facts {};
    return ::fstat(file_, &facts) == 0 ? facts.st_size : 0;
  }
  bool Read(off_t at, std::size_t count, std::string& into) const {
    into.resize(count);
    std::size_t done = 0;
    while (done < count) {
      const ssize_t got = ::pread(file_, into.data() + done, count - done, at + done);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) return false;
      done += static_cast<std::size_t>(got);
    }
    return true;
  }

 private:
  int file_;
};

// The seq a record's line begins with, without parsing it.
std::optional<std::uint64_t> LineSeq(std::string_view line) {
  constexpr std::string_view kStart = "{\"seq\":";
  if (!line.starts_with(kStart)) return std::nullopt;
  std::uint64_t seq = 0;
  std::size_t at = kStart.size(), digits = 0;
  for (; at < line.size() && line[at] >= '0' && line[at] <= '9' && digits < 19; ++at, ++digits) {
    seq = seq * 10 + static_cast<std::uint64_t>(line[at] - '0');
  }
  if (digits == 0) return std::nullopt;
  return seq;
}

enum class Read { kDone, kStopped, kBudget };

// Where the lines of a file numbered `before` and on begin, found by
// halving: a file's records are in order. Every line from there on is
// numbered `before` or more; a few just before it may be too.
off_t StartOf(const ReadOnly& file, off_t size, std::uint64_t before) {
  off_t low = 0, high = size;
  std::string chunk;
  for (int step = 0; step < 64 && high - low > 8192; ++step) {
    const off_t middle = low + (high - low) / 2;
    const auto count = static_cast<std::size_t>(std::min<off_t>(4096, size - middle));
    if (!file.Read(middle, count, chunk)) break;
    const auto newline = chunk.find('\n');
    if (newline == std::string::npos || middle + static_cast<off_t>(newline) + 1 >= high) break;
    const auto seq = LineSeq(std::string_view(chunk).substr(newline + 1));
    if (!seq) break;
    (*seq >= before ? high : low) = middle + static_cast<off_t>(newline) + 1;
  }
  return high;
}

// Each whole line of `path`, last first (from where the lines numbered
// `before` begin, when given), until `each` says stop. A last line without
// its newline is torn: left out.
Read ReverseLines(const std::string& path, std::uint64_t& budget,
                  const std::function<bool(std::string_view)>& each,
                  std::optional<std::uint64_t> before = std::nullopt) {
  const ReadOnly file(path);
  if (!file.Open()) return Read::kDone;
  off_t at = before ? StartOf(file, file.Size(), *before) : file.Size();
  std::string chunk, carry;
  bool last = true;
  while (at > 0) {
    const std::size_t count = static_cast<std::size_t>(std::min<off_t>(at, kChunk));
    if (budget < count) return Read::kBudget;
    budget -= count;
    at -= static_cast<off_t>(count);
    if (!file.Read(at, count, chunk)) return Read::kDone;
    chunk += carry;
    std::string_view rest = chunk;
    const auto first = rest.find('\n');
    if (at > 0) {
      // What comes before the first newline belongs to a line that began earlier.
      if (first == std::string_view::npos) {
        carry = chunk.size() > kLongestLine ? "" : chunk;
        continue;
      }
      carry = std::string(rest.substr(0, first));
      rest.remove_prefix(first + 1);
    } else {
      carry.clear();
    }
    if (last && !rest.empty()) {
      if (rest.back() != '\n') {
        const auto end = rest.rfind('\n');
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(0, end + 1);
      }
    }
    last = false;
    if (!rest.empty() && rest.back() == '\n') rest.remove_suffix(1);
    while (!rest.empty() || at == 0) {
      const auto newline = rest.rfind('\n');
      const std::string_view line =
          newline == std::string_view::npos ? rest : rest.substr(newline + 1);
      if (!line.empty() && !each(line)) return Read::kStopped;
      if (newline == std::string_view::npos) break;
      rest = rest.substr(0, newline);
    }
  }
  return Read::kDone;
}

}  // namespace

std::vector<std::string> JournalFiles(const JournalSettings& settings) {
  std::vector<std::string> files{settings.path};
  for (int i = 1; i <= settings.keep; ++i) files.push_back(settings.path + "." + std::to_string(i));
  return files;
}

Journal::Journal(JournalSettings settings) : settings_(std::move(settings)) {}

Journal::~Journal() {
  if (file_ >= 0) {
    ::fdatasync(file_);
    ::close(file_);
  }
}

bool Journal::Open(std::string& note, std::string& error) {
  file_ = ::open(settings_.path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0640);
  struct stat facts {};
  if (file_ < 0 || ::fstat(file_, &facts) != 0 || !S_ISREG(facts.st_mode)) {
    error = "cannot open the journal " + settings_.path + ": " +
            (file_ >= 0 ? std::string("not a file") : ErrnoText());
    return false;
  }
  size_ = static_cast<std::uint64_t>(facts.st_size);
  if (size_ > 0) {
    const ReadOnly reader(settings_.path);
    std::string tail;
    if (reader.Open() && reader.Read(reader.Size() - 1, 1, tail) && tail != "\n") {
      // A crash mid-write: the torn line is ended, and readers pass over it.
      if (::write(file_, "\n", 1) == 1) ++size_;
      note = "the journal " + settings_.path +
             " ended in a torn record (a crash mid-write): it is skipped when read";
    }
  }
  std::uint64_t budget = 4u << 20;
  for (const std::string& path : JournalFiles(settings_)) {
    // The last whole record's number: a torn line is no record.
    const auto found = ReverseLines(path, budget, [this](std::string_view line) {
      const Json record = Json::parse(line, nullptr, false);
      const auto seq = record.is_object() ? record.find("seq") : record.end();
      if (seq == record.end() || !seq->is_number_unsigned()) return true;
      seq_ = seq->get<std::uint64_t>();
      return false;
    });
    if (found == Read::kStopped || found == Read::kBudget) break;
  }
  return true;
}

std::uint64_t Journal::Add(const JournalRecord& record) {
  Json line;
  std::string text;
  return Add(record, line, text);
}

std::uint64_t Journal::Add(const JournalRecord& record, Json& line, std::string& text) {
  line = RecordJson(record, seq_ + 1);
  text = Dump(line);
  if (settings_.path.empty()) return ++seq_;
  if (pending_.size() + text.size() + 1 > kMostPending) {
    ++dropped_;
    line["seq"] = 0;
    text = Dump(line);
    return 0;
  }
  pending_ += text;
  pending_ += '\n';
  return ++seq_;
}

bool Journal::Flush(std::string& why) {
  if (pending_.empty() || file_ < 0) return true;
  if (size_ > 0 && size_ + pending_.size() > settings_.maxSize && !Rotate(why)) return false;
  std::size_t done = 0;
  while (done < pending_.size()) {
    const ssize_t count = ::write(file_, pending_.data() + done, pending_.size() - done);
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) {
      why = "cannot write the journal " + settings_.path + ": " +
            (count == 0 ? std::string("nothing written") : ErrnoText());
      // Cut back what went in: a record is whole in the file or not in it.
      if (done > 0 && ::ftruncate(file_, static_cast<off_t>(size_)) != 0) {
        why += "; and cannot cut back a part written: " + ErrnoText();
      }
      return false;
    }
    done += static_cast<std::size_t>(count);
  }
  size_ += done;
  written_ += done;
  pending_.clear();
  return true;
}

bool Journal::Rotate(std::string& why) {
  ::fdatasync(file_);
  const auto files = JournalFiles(settings_);
  std::remove(files.back().c_str());
  for (std::size_t i = files.size() - 1; i > 0; --i) {
    std::rename(files[i - 1].c_str(), files[i].c_str());
  }
  const int fresh = ::open(settings_.path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0640);
  if (fresh < 0) {
    why = "cannot start a new journal file " + settings_.path + ": " + ErrnoText();
    return false;
  }
  ::close(file_);
  file_ = fresh;
  size_ = 0;
  return true;
}

EventPage ReadEvents(const JournalSettings& settings, const EventQuery& query,
                     std::uint64_t budget) {
  EventPage page;
  std::optional<std::uint64_t> lastSeen;
  bool stop = false;
  for (const std::string& path : JournalFiles(settings)) {
    // A file that begins at or past the page's end holds nothing it wants.
    if (query.before) {
      const ReadOnly file(path);
      std::string head;
      const auto size = file.Open() ? file.Size() : 0;
      if (size > 0 && file.Read(0, static_cast<std::size_t>(std::min<off_t>(size, 4096)), head)) {
        const auto first = LineSeq(head);
        if (first && *first >= *query.before) continue;
      }
    }
    const Read read = ReverseLines(
        path, budget,
        [&](std::string_view line) {
          const auto seq = LineSeq(line);
          if (seq) lastSeen = seq;
          if (seq && query.before && *seq >= *query.before) return true;
          if (!MayMatch(line, query)) return true;
          const Json record = Json::parse(line, nullptr, false);
          if (record.is_discarded()) {
            ++page.skipped;
            return true;
          }
          switch (Judge(record, query)) {
            case Verdict::kStop:
              stop = true;
              return false;
            case Verdict::kPass:
              return true;
            case Verdict::kTake:
              page.events.push_back(record);
              if (page.events.size() < query.limit) return true;
              page.before = seq;
              return false;
          }
          return true;
        },
        query.before);
    if (read == Read::kBudget) {
      page.before = lastSeen;
      break;
    }
    if (read == Read::kStopped) {
      if (stop) page.before.reset();
      break;
    }
  }
  return page;
}

void ReadForward(const JournalSettings& settings,
                 const std::function<bool(std::string_view)>& wanted,
                 const std::function<void(const Json&)>& take) {
  auto files = JournalFiles(settings);
  std::string chunk, carry;
  for (auto path = files.rbegin(); path != files.rend(); ++path) {
    const ReadOnly file(*path);
    if (!file.Open()) continue;
    const off_t size = file.Size();
    carry.clear();
    for (off_t at = 0; at < size;) {
      const std::size_t count = static_cast<std::size_t>(std::min<off_t>(size - at, kChunk));
      if (!file.Read(at, count, chunk)) break;
      at += static_cast<off_t>(count);
      std::string_view rest = chunk;
      for (auto newline = rest.find('\n'); newline != std::string_view::npos;
           newline = rest.find('\n')) {
        std::string_view line = rest.substr(0, newline);
        std::string joined;
        if (!carry.empty()) {
          joined = carry + std::string(line);
          line = joined;
          carry.clear();
        }
        if (!line.empty() && wanted(line)) {
          const Json record = Json::parse(line, nullptr, false);
          if (!record.is_discarded()) take(record);
        }
        rest.remove_prefix(newline + 1);
      }
      // A line that runs on into the next chunk; a torn last line is left out.
      if (carry.size() + rest.size() <= kLongestLine) carry += rest;
    }
  }
}

}  // namespace lampd
