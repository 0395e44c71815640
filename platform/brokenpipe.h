#pragma once

// Writing to a pipe whose reader has gone raises SIGPIPE on POSIX systems, which ends the
// process unless it is ignored or blocked. A launcher whose console has been closed must go
// on as if its log had been written.

// Ignores SIGPIPE for the whole process: such writes then fail with EPIPE instead. Programs
// that the command runner starts get the default disposition back before they run.
void ignoreBrokenPipes();

// While it lives, a write by this thread to a pipe without reader fails with EPIPE instead of
// raising SIGPIPE, whatever the process's disposition; a SIGPIPE raised meanwhile is taken
// back, so none is left pending when it ends. Nothing to do on Windows, where such a write
// only fails.
class BrokenPipeGuard {
public:
    BrokenPipeGuard();
    ~BrokenPipeGuard();  // NOLINT(performance-trivially-destructible): not in the POSIX body
    BrokenPipeGuard(const BrokenPipeGuard &) = delete;
    BrokenPipeGuard &operator=(const BrokenPipeGuard &) = delete;

private:
    // The POSIX body's; the Windows one needs none.
    [[maybe_unused]] bool wasBlocked_ = false;
    [[maybe_unused]] bool wasPending_ = false;
};
