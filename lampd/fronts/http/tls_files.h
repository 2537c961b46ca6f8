// A certificate and its key for HTTPS, read from their PEM files and
// checked to go together before a server is handed them, so a bad pair is
// told with its reason at start or on SIGHUP, not at a client's handshake.
#pragma once

#include <string>

namespace lampd {

struct TlsFiles {
  std::string certificate, key;  // PEM text
  bool operator==(const TlsFiles&) const = default;
};

bool ReadTlsFiles(const std::string& certificatePath, const std::string& keyPath, TlsFiles& files,
                  std::string& why);

}  // namespace lampd
