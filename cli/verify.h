// SPDX-License-Identifier: MIT
// --verify on the command line: after a unit's successful update, its PLC
// is asked whether it runs its application again (burn/verify.h), and the
// verdict is the unit's last word: "Verified: ..." or "NOT verified: ...".
#pragma once

#include <chrono>
#include <string>

#include "burn/diagnosis.h"
#include "burn/verify.h"
#include "cli/terminal_environment.h"
#include "cli/units.h"

// Verifies the unit at `target` through the links, operator and display
// its burn had (`setup`), telling what it waits for, and says the verdict,
// or the stop, as the unit's last word.
VerifyResult VerifyUnit(const UnitTarget& target, const TerminalSetup& setup,
                        std::chrono::seconds timeout);

// The unit's end once verified: it passes only when verified. `stopped` is
// the exit status of a stop.
void ApplyVerdict(const VerifyResult& result, const ModelRules& model, int stopped, UnitEnd& end,
                  Diagnosis& diagnosis);

// The verdict's text after its caption: "KR2-E runs its application again
// (identity 0x0017)", or why it is not verified.
std::string VerdictText(const ModelRules& model, const VerifyResult& result);
// Its JSON members: verified, identity, seconds, reason.
std::string VerdictMembers(const VerifyResult& result);
