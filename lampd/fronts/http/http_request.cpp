#include "http_request.h"

#include <algorithm>
#include <cctype>
#include <optional>

namespace lampd {
namespace {

// A query's part with its %XX and '+' turned back; nothing for a bad %.
std::optional<std::string> Decoded(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '+') {
      out += ' ';
    } else if (text[i] != '%') {
      out += text[i];
    } else {
      const auto hex = [](char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; };
      if (i + 2 >= text.size()) return std::nullopt;
      if (!hex(text[i + 1]) || !hex(text[i + 2])) return std::nullopt;
      out += static_cast<char>(std::stoi(std::string(text.substr(i + 1, 2)), nullptr, 16));
      i += 2;
    }
  }
  return out;
}

constexpr std::size_t kChunkLineLimit = 256;

bool Token(std::string_view text) {
  if (text.empty()) return false;
  return std::all_of(text.begin(), text.end(), [](unsigned char c) {
    return std::isalnum(c) ||
           std::string_view("!#$%&'*+-.^_`|~").find(static_cast<char>(c)) != std::string_view::npos;
  });
}

std::string_view Trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

std::string Lower(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return lower;
}

}  // namespace

HttpRequestReader::State HttpRequestReader::Fail(int status, std::string why) {
  step_ = Step::kFailed;
  failStatus_ = status;
  failReason_ = std::move(why);
  return State::kFailed;
}

bool HttpRequestReader::FailHead(int status, std::string why) {
  Fail(status, std::move(why));
  return false;
}

bool HttpRequestReader::TakeLine(std::string_view bytes, std::size_t& at, std::size_t limit,
                                 std::string& line) {
  while (at < bytes.size()) {
    const char c = bytes[at++];
    if (c == '\n') {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      return true;
    }
    if (line.size() >= limit) {
      line.push_back(c);  // one past the limit: the caller fails it
      return false;
    }
    line.push_back(c);
  }
  return false;
}

HttpRequestReader::State HttpRequestReader::Feed(std::string_view bytes, std::size_t& used) {
  used = 0;
  while (true) {
    switch (step_) {
      case Step::kDone:
        return State::kDone;
      case Step::kFailed:
        return State::kFailed;
      case Step::kHead: {
        // Empty lines before a request are passed over.
        while (head_.empty() && used < bytes.size() &&
               (bytes[used] == '\r' || bytes[used] == '\n')) {
          ++used;
        }
        if (used == bytes.size()) return State::kMore;
        started_ = true;
        const std::size_t before = head_.size();
        const std::size_t take = std::min(bytes.size() - used, kHeadLimit + 4 - before);
        head_.append(bytes.substr(used, take));
        std::size_t end = head_.find("\r\n\r\n", before >= 3 ? before - 3 : 0);
        std::size_t terminator = 4;
        if (const std::size_t bare = head_.find("\n\n", before >= 1 ? before - 1 : 0);
            bare != std::string::npos && (end == std::string::npos || bare < end)) {
          end = bare;
          terminator = 2;
        }
        if (end == std::string::npos) {
          used += take;
          if (head_.size() > kHeadLimit) {
            return Fail(431, "the request line and headers are over " + std::to_string(kHeadLimit) +
                                 " bytes");
          }
          if (used < bytes.size()) continue;
          return State::kMore;
        }
        used += end + terminator - before;
        head_.resize(end);
        if (head_.size() > kHeadLimit) {
          return Fail(431, "the request line and headers are over " + std::to_string(kHeadLimit) +
                               " bytes");
        }
        if (!ParseHead()) return State::kFailed;
        continue;
      }
      case Step::kBody: {
        const std::size_t take = std::min(bodyLeft_, bytes.size() - used);
        request_.body.append(bytes.substr(used, take));
        used += take;
        bodyLeft_ -= take;
        if (bodyLeft_ == 0) {
          step_ = Step::kDone;
          continue;
        }
        return State::kMore;
      }
      case Step::kChunkSize: {
        if (!TakeLine(bytes, used, kChunkLineLimit, line_)) {
          if (line_.size() > kChunkLineLimit) return Fail(400, "a chunk's size line is too long");
          return State::kMore;
        }
        const std::string_view digits = Trim(std::string_view(line_).substr(0, line_.find(';')));
        std::size_t size = 0;
        if (digits.empty() || digits.size() > 8 ||
            !std::all_of(digits.begin(), digits.end(),
                         [](unsigned char c) { return std::isxdigit(c); })) {
          return Fail(400, "a chunk's size is not hexadecimal");
        }
        for (const char c : digits) {
          size = size * 16 + static_cast<std::size_t>(std::isdigit(static_cast<unsigned char>(c))
                                                          ? c - '0'
                                                          : std::tolower(c) - 'a' + 10);
        }
        line_.clear();
        if (request_.body.size() + size > kBodyLimit) {
          return Fail(413, "the body is over " + std::to_string(kBodyLimit) + " bytes");
        }
        bodyLeft_ = size;
        step_ = size == 0 ? Step::kTrailer : Step::kChunkData;
        continue;
      }
      case Step::kChunkData: {
        const std::size_t take = std::min(bodyLeft_, bytes.size() - used);
        request_.body.append(bytes.substr(used, take));
        used += take;
        bodyLeft_ -= take;
        if (bodyLeft_ > 0) return State::kMore;
        step_ = Step::kChunkEnd;
        continue;
      }
      case Step::kChunkEnd:
        if (!TakeLine(bytes, used, 2, line_)) {
          if (line_.size() > 2) return Fail(400, "a chunk does not end where its size says");
          return State::kMore;
        }
        if (!line_.empty()) return Fail(400, "a chunk does not end where its size says");
        step_ = Step::kChunkSize;
        continue;
      case Step::kTrailer: {
        const std::size_t before = used;
        const bool whole = TakeLine(bytes, used, kHeadLimit, line_);
        headSeen_ += used - before;
        if (headSeen_ > kHeadLimit) {
          return Fail(431, "the headers are over " + std::to_string(kHeadLimit) + " bytes");
        }
        if (!whole) return State::kMore;
        const bool last = line_.empty();
        line_.clear();
        if (last) step_ = Step::kDone;
        continue;
      }
    }
  }
}

bool HttpRequestReader::ParseHead() {
  std::vector<std::string_view> lines;
  std::string_view rest = head_;
  while (!rest.empty()) {
    const auto newline = rest.find('\n');
    std::string_view line = rest.substr(0, newline);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    lines.push_back(line);
    rest = newline == std::string_view::npos ? std::string_view() : rest.substr(newline + 1);
  }
  headSeen_ = head_.size();
  if (lines.empty()) return FailHead(400, "no request line");
  const std::string_view first = lines.front();
  const auto space = first.find(' ');
  const auto second = first.find(' ', space == std::string_view::npos ? space : space + 1);
  if (space == std::string_view::npos || second == std::string_view::npos) {
    return FailHead(400, "not an HTTP request line");
  }
  const std::string_view method = first.substr(0, space);
  const std::string_view target = first.substr(space + 1, second - space - 1);
  const std::string_view version = first.substr(second + 1);
  if (!Token(method) || target.empty() || target.front() != '/' ||
      target.find_first_of(" \t") != std::string_view::npos) {
    return FailHead(400, "not an HTTP request line");
  }
  if (version != "HTTP/1.1" && version != "HTTP/1.0") {
    return FailHead(505, "only HTTP/1.1 and HTTP/1.0 are served");
  }
  request_.method = std::string(method);
  request_.path = std::string(target.substr(0, target.find('?')));
  if (const auto mark = target.find('?'); mark != std::string_view::npos) {
    std::string_view rest = target.substr(mark + 1);
    while (!rest.empty()) {
      const std::string_view pair = rest.substr(0, rest.find('&'));
      rest.remove_prefix(std::min(rest.size(), pair.size() + 1));
      const auto equals = pair.find('=');
      const auto name = Decoded(pair.substr(0, equals));
      const auto value = equals == std::string_view::npos ? std::optional<std::string>("")
                                                          : Decoded(pair.substr(equals + 1));
      if (!name || !value) return FailHead(400, "a query that is not NAME=VALUE&...");
      if (!name->empty()) request_.query[*name] = *value;
    }
  }
  for (std::size_t i = 1; i < lines.size(); ++i) {
    const std::string_view line = lines[i];
    const auto colon = line.find(':');
    if (colon == std::string_view::npos || !Token(line.substr(0, colon))) {
      return FailHead(400, "a header that is not NAME: VALUE");
    }
    const std::string name = Lower(line.substr(0, colon));
    const std::string value(Trim(line.substr(colon + 1)));
    auto [entry, fresh] = request_.headers.emplace(name, value);
    if (!fresh) {
      if (name == "content-length" && entry->second != value) {
        return FailHead(400, "two Content-Length headers that differ");
      }
      if (name != "content-length") entry->second += ", " + value;
    }
  }
  const auto header = [this](const std::string& name) -> std::string {
    const auto found = request_.headers.find(name);
    return found == request_.headers.end() ? "" : Lower(found->second);
  };
  const std::string connection = header("connection");
  request_.keepAlive = version == "HTTP/1.1" ? connection.find("close") == std::string::npos
                                             : connection.find("keep-alive") != std::string::npos;
  const bool chunked = request_.headers.contains("transfer-encoding");
  const bool sized = request_.headers.contains("content-length");
  if (chunked && sized) {
    return FailHead(400, "both Transfer-Encoding and Content-Length");
  }
  if (chunked) {
    if (header("transfer-encoding") != "chunked") {
      return FailHead(501, "only the chunked transfer coding is served");
    }
    step_ = Step::kChunkSize;
    return true;
  }
  if (sized) {
    const std::string length = header("content-length");
    if (length.empty() || length.size() > 18 ||
        !std::all_of(length.begin(), length.end(),
                     [](unsigned char c) { return std::isdigit(c); })) {
      return FailHead(400, "Content-Length is not a number");
    }
    bodyLeft_ = std::stoull(length);
    if (bodyLeft_ > kBodyLimit) {
      return FailHead(413, "the body is over " + std::to_string(kBodyLimit) + " bytes");
    }
    step_ = bodyLeft_ == 0 ? Step::kDone : Step::kBody;
    return true;
  }
  step_ = Step::kDone;
  return true;
}

}  // namespace lampd
