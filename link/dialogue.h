// One burn's side of the conversation with its PLC: the link in use, the
// status values the operator watches, and the request to stop. Every
// protocol operation works through it and keeps nothing of its own.
#pragma once

#include "link/cancel.h"
#include "link/link.h"
#include "link/status.h"

struct Dialogue {
  Link& link;
  StatusBoard& status;
  const CancelToken& cancel;
};
