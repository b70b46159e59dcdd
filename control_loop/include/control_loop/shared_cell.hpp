// The cells the loop thread shares with its callers: a value behind its own
// mutex, "poisoned" when a fault (a C++ exception) escaped while a thread
// held it. Each user decides what to do about a poisoned cell (skip a store,
// log, or give up).
#pragma once

#include "common/poison_cell.hpp"

namespace quorvel {

template <class T>
using SharedCell = common::PoisonCell<T>;

}  // namespace quorvel
