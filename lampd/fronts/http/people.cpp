#include "people.h"

#include <fcntl.h>
#include <grp.h>
#include <sodium.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

namespace lampd {
namespace {

constexpr std::string_view kTokenPrefix = "token:";

bool Ready() {
  static const bool ready = sodium_init() >= 0;
  return ready;
}

std::string Hex(const unsigned char* bytes, std::size_t size) {
  std::string text(size * 2 + 1, '\0');
  sodium_bin2hex(text.data(), text.size(), bytes, size);
  text.pop_back();
  return text;
}

std::vector<std::string> Split(std::string_view text, char by) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  while (true) {
    const std::size_t end = text.find(by, start);
    parts.emplace_back(text.substr(start, end - start));
    if (end == std::string_view::npos) return parts;
    start = end + 1;
  }
}

bool SecretGood(std::string_view secret) {
  if (secret.starts_with(kTokenPrefix)) {
    const std::string_view hex = secret.substr(kTokenPrefix.size());
    return hex.size() == 64 && hex.find_first_not_of("0123456789abcdef") == std::string_view::npos;
  }
  return secret.starts_with("$argon2");
}

// Why `line` does not read as a person; "" when it does.
std::string ReadLine(const std::string& line, Person& person) {
  // NAME:ROLE:GROUPS:SECRET, the secret last: a hash has no colon.
  std::vector<std::string> fields = Split(line, ':');
  if (fields.size() == 5 && fields[3] == "token") {
    fields[3] += ":" + fields[4];
    fields.pop_back();
  }
  if (fields.size() != 4) return "a line is NAME:ROLE:GROUPS:SECRET";
  if (!PersonNameGood(fields[0])) return "the name must be 1 to 64 of A-Z a-z 0-9 . _ @ -";
  const auto role = RoleNamed(fields[1]);
  if (!role) return "the role must be viewer, operator, supervisor or admin";
  person.name = fields[0];
  person.role = *role;
  person.groups.clear();
  if (!fields[2].empty()) {
    for (std::string& group : Split(fields[2], ',')) {
      if (group.empty()) return "groups are named, separated by commas";
      person.groups.push_back(std::move(group));
    }
  }
  if (!SecretGood(fields[3])) {
    return "the secret must be a password's hash (lampd passwd) or a token's (lampd token)";
  }
  person.secret = fields[3];
  return "";
}

}  // namespace

bool ReadPeople(const std::string& path, std::vector<Person>& people, std::string& error) {
  std::ifstream file(path);
  if (!file) {
    error = path + ": cannot be read: " + std::strerror(errno);
    return false;
  }
  people.clear();
  std::string line;
  for (int number = 1; std::getline(file, line); ++number) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line.front() == '#') continue;
    Person person;
    if (const std::string why = ReadLine(line, person); !why.empty()) {
      error = path + ":" + std::to_string(number) + ": " + why;
      return false;
    }
    for (const Person& earlier : people) {
      if (earlier.name == person.name) {
        error = path + ":" + std::to_string(number) + ": " + person.name + " has a line already";
        return false;
      }
    }
    people.push_back(std::move(person));
  }
  return true;
}

std::string PersonLine(const Person& person) {
  std::string groups;
  for (const std::string& group : person.groups) groups += (groups.empty() ? "" : ",") + group;
  return person.name + ":" + std::string(RoleName(person.role)) + ":" + groups + ":" +
         person.secret;
}

bool WritePerson(const std::string& path, const Person& person, std::string& error) {
  std::stringstream kept;
  bool replaced = false;
  if (std::ifstream file(path); file) {
    std::string line;
    while (std::getline(file, line)) {
      if (line.starts_with(person.name + ":")) {
        if (!replaced) kept << PersonLine(person) << "\n";
        replaced = true;
      } else {
        kept << line << "\n";
      }
    }
  }
  if (!replaced) kept << PersonLine(person) << "\n";
  const std::string text = kept.str();
  const std::string temporary = path + ".new";
  const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) {
    error = temporary + ": " + std::strerror(errno);
    return false;
  }
  // lampd reads the file through its group: a file replaced keeps its group
  // and mode (never more than 0640); a new one is root:lampd where the
  // package made that group.
  struct stat old {};
  if (::stat(path.c_str(), &old) == 0) {
    if (::fchown(fd, static_cast<uid_t>(-1), old.st_gid) == 0) ::fchmod(fd, old.st_mode & 0640);
  } else if (const group* service = ::getgrnam("lampd")) {
    if (::fchown(fd, static_cast<uid_t>(-1), service->gr_gid) == 0) ::fchmod(fd, 0640);
  }
  std::size_t written = 0;
  while (written < text.size()) {
    const ssize_t put = ::write(fd, text.data() + written, text.size() - written);
    if (put <= 0) break;
    written += static_cast<std::size_t>(put);
  }
  const bool synced = written == text.size() && ::fsync(fd) == 0;
  const int saved = errno;
  ::close(fd);
  if (!synced || ::rename(temporary.c_str(), path.c_str()) != 0) {
    error = path + ": " + std::strerror(synced ? errno : saved);
    ::unlink(temporary.c_str());
    return false;
  }
  return true;
}

std::string PasswordHash(const std::string& password) {
  if (!Ready()) return "";
  char hash[crypto_pwhash_STRBYTES];
  if (crypto_pwhash_str(hash, password.data(), password.size(), crypto_pwhash_OPSLIMIT_INTERACTIVE,
                        crypto_pwhash_MEMLIMIT_INTERACTIVE) != 0) {
    return "";
  }
  return hash;
}

bool PasswordMatches(const std::string& hash, const std::string& password) {
  if (!Ready() || !hash.starts_with("$argon2") || hash.size() >= crypto_pwhash_STRBYTES) {
    return false;
  }
  return crypto_pwhash_str_verify(hash.c_str(), password.data(), password.size()) == 0;
}

std::string NewToken() {
  if (!Ready()) return "";
  unsigned char bytes[32];
  randombytes_buf(bytes, sizeof bytes);
  return Hex(bytes, sizeof bytes);
}

std::string TokenSecret(const std::string& token) {
  if (!Ready()) return "";
  unsigned char digest[32];
  crypto_generichash(digest, sizeof digest, reinterpret_cast<const unsigned char*>(token.data()),
                     token.size(), nullptr, 0);
  return std::string(kTokenPrefix) + Hex(digest, sizeof digest);
}

bool SameSecret(std::string_view a, std::string_view b) {
  return a.size() == b.size() && sodium_memcmp(a.data(), b.data(), a.size()) == 0;
}

}  // namespace lampd
