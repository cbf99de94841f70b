// SPDX-License-Identifier: MIT
// --doctor: the bench checks, one line or one JSON event each.
#pragma once

#include <vector>

#include "cli/reporter.h"
#include "doctor/checks.h"

// Says each check and, for people (not `json`), a last line that counts
// them: JSON is one event per check and nothing else. The exit status: 0
// when no check found a problem (advice alone is fine), 1 otherwise.
int ReportBenchChecks(const std::vector<BenchCheck>& checks, Reporter& reporter, bool json);
