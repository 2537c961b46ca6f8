// One line on standard output per frame received or sent, so that a person
// or a test sees what crossed the wire:
//   14:03:07.129 [192.168.10.200] tcp recv 8 bytes: 57 00 01 64 64 64 64 64 from 127.0.0.1:40000
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace lampunit {

void LogReceived(const std::string& unit, const char* protocol, std::span<const std::uint8_t> bytes,
                 const std::string& peer);
void LogSent(const std::string& unit, const char* protocol, std::span<const std::uint8_t> bytes,
             const std::string& peer);
void LogEvent(const std::string& unit, const std::string& event);

}  // namespace lampunit
