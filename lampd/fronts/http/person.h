// A person or system lampd answers to over HTTP, and its role: the pure
// part of the users file (people.h reads and writes the file).
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace lampd {

enum class Role { kViewer, kOperator, kSupervisor, kAdmin };

std::string_view RoleName(Role role);
std::optional<Role> RoleNamed(std::string_view name);

struct Person {
  std::string name;
  Role role = Role::kViewer;
  std::vector<std::string> groups;  // an operator's; empty: all
  std::string secret;               // a password's hash, or "token:" and the token's
};

// Whether `name` may name a person: 1 to 64 of A-Z a-z 0-9 . _ @ -.
bool PersonNameGood(std::string_view name);

}  // namespace lampd
