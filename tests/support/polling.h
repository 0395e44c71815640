#pragma once

#include <QtGlobal>

#include <functional>

// Checks `condition` until it holds or `timeoutMs` has passed, calling `pause` between two
// checks: a suite on the GUI thread passes a wait that processes events, one on a plain
// thread a sleep. True when the condition held in time.
bool pollUntil(const std::function<bool()> &condition, qint64 timeoutMs, const std::function<void()> &pause);
