// JSON documents checked against the JSON Schemas in docs/schema/, by
// tests/schema_check.py (Python's jsonschema, Draft 2020-12).
#pragma once

#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

namespace lamptest {

// The schema's verdict on each document: "ok" or "refused: why".
inline std::vector<std::string> SchemaVerdicts(const std::string& schema,
                                               const std::vector<std::string>& documents) {
  static int count = 0;
  const std::string input = "/tmp/lamptest-" + std::to_string(::getpid()) + "-" +
                            std::to_string(++count) + "-documents.jsonl";
  std::ofstream file(input);
  for (const std::string& document : documents) file << document << "\n";
  file.close();
  const std::string command = "/usr/bin/python3 " SCHEMA_CHECK_PATH " " + schema + " < " + input;
  std::vector<std::string> verdicts;
  if (FILE* pipe = ::popen(command.c_str(), "r")) {
    char line[4096];
    while (std::fgets(line, sizeof line, pipe)) verdicts.emplace_back(line);
    ::pclose(pipe);
  }
  std::remove(input.c_str());
  return verdicts;
}

}  // namespace lamptest
