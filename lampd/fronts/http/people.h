// The people and systems lampd answers to over HTTP, one a line of the
// users file:
//
//   NAME:ROLE:GROUPS:SECRET
//   ada:operator:line1,line2:$argon2id$v=19$m=65536,t=2,p=1$...
//   ci:admin::token:<64 hex digits>
//
// ROLE is viewer, operator, supervisor or admin; GROUPS, an operator's, the
// [groups] it may act on (empty: all); SECRET a password's hash
// (libsodium's crypto_pwhash_str, Argon2id) or "token:" and the BLAKE2b-256
// of a token in hex. Nothing secret is kept in clear: a token is shown once,
// when it is made.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "person.h"

namespace lampd {

// The file's people; false with "FILE:LINE: why" for the first fault.
bool ReadPeople(const std::string& path, std::vector<Person>& people, std::string& error);
std::string PersonLine(const Person& person);
// Writes `person`'s line in place of the line of that name, or adds it;
// the file is replaced whole (mode 0600), never left half written.
bool WritePerson(const std::string& path, const Person& person, std::string& error);

// Argon2id, at libsodium's interactive cost; "" when it cannot be made.
std::string PasswordHash(const std::string& password);
// Constant in time over the hash; false for anything not a hash.
bool PasswordMatches(const std::string& hash, const std::string& password);
// 32 random bytes as 64 hex digits.
std::string NewToken();
// "token:" and the token's BLAKE2b-256 in hex.
std::string TokenSecret(const std::string& token);
// Compares all of both, so the time taken does not tell how much matched.
bool SameSecret(std::string_view a, std::string_view b);

}  // namespace lampd
