// SPDX-License-Identifier: MIT
#include "cli/doctor.h"

#include <algorithm>
#include <cstdio>

#include "cli/options.h"
#include "util/json_text.h"
#include "util/text.h"

int ReportBenchChecks(const std::vector<BenchCheck>& checks, Reporter& reporter, bool json) {
  size_t width = 0;
  for (const BenchCheck& check : checks) width = std::max(width, check.check.size());
  for (const BenchCheck& check : checks) {
    const std::string members =
        "\"schema\":" + std::to_string(kJsonSchema) + ",\"check\":" + JsonString(check.check) +
        ",\"level\":" + JsonString(LevelWord(check.level)) +
        ",\"detail\":" + JsonString(check.detail) + ",\"fix\":" + JsonString(check.fix);
    char head[64];
    std::snprintf(head, sizeof head, "%-7s  %-*s  ", LevelWord(check.level),
                  static_cast<int>(width), check.check.c_str());
    std::string line = head + PrintableText(check.detail);
    if (!check.fix.empty()) line += "; fix: " + PrintableText(check.fix);
    reporter.Tell("check", members, line + "\n");
  }
  const auto count = [&](CheckLevel level) {
    return std::count_if(checks.begin(), checks.end(),
                         [&](const BenchCheck& check) { return check.level == level; });
  };
  const long problems = count(CheckLevel::kProblem);
  const long advice = count(CheckLevel::kAdvice);
  if (!json) {
    reporter.Answer("", "",
                    std::to_string(checks.size()) + " checks: " + std::to_string(problems) +
                        (problems == 1 ? " problem, " : " problems, ") + std::to_string(advice) +
                        " advice\n");
  }
  return problems == 0 ? kExitSuccess : kExitBurnFailed;
}
