// SPDX-License-Identifier: MIT
// The command line's listings: the models with their rules, and the ports.
// As a table for people, or with --json as one JSON object on one line.
#pragma once

#include <ostream>

void ListModels(std::ostream& out, bool json);
void ListPorts(std::ostream& out, bool json);
