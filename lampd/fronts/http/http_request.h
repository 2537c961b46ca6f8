// One HTTP/1.1 request read as its bytes arrive, within limits set before
// any byte is kept: the request line and headers, and the body (by
// Content-Length or chunked, counted as the chunks come). Pure: the
// server feeds it what the socket gave.
#pragma once

#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "person.h"

namespace lampd {

struct HttpRequest {
  std::string method, path, body;              // path without its query
  std::map<std::string, std::string> headers;  // names in lower case
  std::map<std::string, std::string> query;    // decoded
  bool keepAlive = true;
  std::string peer;  // the client's address, as the server saw it
  // Who sent it, once the front knows (nothing while lampd asks nobody).
  std::optional<Person> person;
};

class HttpRequestReader {
 public:
  static constexpr std::size_t kHeadLimit = 8192;
  static constexpr std::size_t kBodyLimit = 4096;

  enum class State { kMore, kDone, kFailed };

  // Takes bytes; `used` says how many belong to this request (the rest is
  // the next one's). Once kDone or kFailed, takes no more.
  State Feed(std::string_view bytes, std::size_t& used);
  // Whether any byte of a request has come.
  bool Started() const { return started_; }
  const HttpRequest& Request() const { return request_; }
  HttpRequest& Request() { return request_; }
  // For kFailed: the status to answer with (400, 413, 431, 501) and why.
  int FailStatus() const { return failStatus_; }
  const std::string& FailReason() const { return failReason_; }

 private:
  enum class Step { kHead, kBody, kChunkSize, kChunkData, kChunkEnd, kTrailer, kDone, kFailed };
  State Fail(int status, std::string why);
  bool FailHead(int status, std::string why);  // false, for ParseHead
  bool ParseHead();
  // A line ending in CR LF (or LF) from `line_`; false while it is not whole.
  bool TakeLine(std::string_view bytes, std::size_t& at, std::size_t limit, std::string& line);

  Step step_ = Step::kHead;
  bool started_ = false;
  std::string head_, line_;
  std::size_t bodyLeft_ = 0, headSeen_ = 0;
  HttpRequest request_;
  int failStatus_ = 0;
  std::string failReason_;
};

}  // namespace lampd
