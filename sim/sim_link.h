// SPDX-License-Identifier: MIT
// The in-process transport: a Link whose far end is a simulated PLC.
//
// Instant and deterministic. Time is simulated on the simulator's clock: a
// read that cannot be filled "waits" its whole time-out at once, bytes that
// would arrive later stay queued for a later read, and with pacing on every
// byte takes its byte time at the line speed the host set. Nothing sleeps.
#pragma once

#include <memory>

#include "link/link.h"
#include "sim/plc_sim.h"

// Opens the link to `plc`, as opening its port or pipe would: nullptr while
// another link to it is open. Destroying the link closes it; opening it again
// is the replug or power cycle. After the disconnect fault every write and
// read moves 0 bytes until the host opens the link anew.
std::unique_ptr<Link> OpenSimLink(PlcSimulator& plc);
