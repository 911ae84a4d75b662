#include "base/state.h"

std::atomic<bool> interval_reads{false};
