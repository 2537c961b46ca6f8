// The checks our command lines share, as CLI11 validators: a bad value is
// refused with its reason before anything is sent or opened. The rules
// themselves are protocol's text rules.
#pragma once

#include <CLI/CLI.hpp>

namespace platform {

CLI::Validator Ipv4Check();                 // A.B.C.D
CLI::Validator MacCheck();                  // the three forms of ParseMac
CLI::Validator UnitCheck(bool allowRange);  // ADDRESS[:PORT], and ranges where allowed

}  // namespace platform
