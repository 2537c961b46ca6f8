#include "person.h"

#include <array>

namespace lampd {
namespace {

constexpr std::array<std::string_view, 4> kRoleNames = {"viewer", "operator", "supervisor",
                                                        "admin"};

}  // namespace

std::string_view RoleName(Role role) { return kRoleNames[static_cast<std::size_t>(role)]; }

std::optional<Role> RoleNamed(std::string_view name) {
  for (std::size_t i = 0; i < kRoleNames.size(); ++i) {
    if (kRoleNames[i] == name) return static_cast<Role>(i);
  }
  return std::nullopt;
}

bool PersonNameGood(std::string_view name) {
  return !name.empty() && name.size() <= 64 &&
         name.find_first_not_of(
             "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789._@-") ==
             std::string_view::npos;
}

}  // namespace lampd
