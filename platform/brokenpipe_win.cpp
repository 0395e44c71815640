#include "platform/brokenpipe.h"

// Windows has no SIGPIPE: a write to a pipe without reader fails and the log goes on.

void ignoreBrokenPipes() {}

BrokenPipeGuard::BrokenPipeGuard() = default;

BrokenPipeGuard::~BrokenPipeGuard() = default;
