#include "link/exchange.h"

std::atomic<int32_t> errCounter{0};
std::atomic<int32_t> totalErrCounter{0};
