#include "platform/commandrunner.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/log.h"

// POSIX leaves this declaration to the program; glibc makes one only under _GNU_SOURCE.
extern char **environ;  // NOLINT(readability-redundant-declaration): see above

namespace {

// The interpreter's command-line buffer holds 310 characters with "/c " and the terminating
// null, so a longer command cannot be passed on; it is refused on every platform alike.
constexpr std::size_t kMaxCommandLength = 306;

// Everything the child needs is built before fork(): between fork() and exec() the child of a
// threaded process may only make async-signal-safe calls.
struct LaunchPlan {
    std::string program;
    std::vector<std::string> arguments;
    std::vector<std::string> environment;
};

LaunchPlan planFor(const char *command)
{
    LaunchPlan plan;
    std::vector<std::string> environment;
    for (char **entry = environ; entry != nullptr && *entry != nullptr; ++entry)
        environment.emplace_back(*entry);

    const char *comspec = std::getenv("COMSPEC");
    if (comspec != nullptr && *comspec != '\0') {
        // The configured interpreter gets exactly "/c" and the command, unchanged.
        plan.program = comspec;
        plan.arguments = {plan.program, "/c", command};
        plan.environment = std::move(environment);
        return plan;
    }

    // No interpreter configured (the usual case here): the POSIX shell runs the command, with
    // "." first on its search path so that, as with the Windows interpreter, a program named
    // without a path is found in the current directory first, also after a "cd" in the command.
    plan.program = "/bin/sh";
    plan.arguments = {"sh", "-c", command};
    bool pathSeen = false;
    for (std::string &entry : environment) {
        if (entry.rfind("PATH=", 0) == 0) {
            entry = "PATH=.:" + entry.substr(5);
            pathSeen = true;
        }
    }
    if (!pathSeen)
        environment.emplace_back("PATH=.:/usr/local/bin:/usr/bin:/bin");
    plan.environment = std::move(environment);
    return plan;
}

std::vector<char *> pointersTo(std::vector<std::string> &strings)
{
    std::vector<char *> pointers;
    pointers.reserve(strings.size() + 1);
    for (std::string &s : strings)
        pointers.push_back(s.data());
    pointers.push_back(nullptr);
    return pointers;
}

[[noreturn]] void execInGrandchild(const char *program, char *const argv[], char *const envp[])
{
    // Leave the caller's signal setup behind: the command starts with default dispositions
    // and nothing blocked, whatever the launcher's threads had set.
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    struct sigaction dfl {};
    dfl.sa_handler = SIG_DFL;
    for (int sig = 1; sig < NSIG; ++sig)
        sigaction(sig, &dfl, nullptr);

    // Only standard input, output and error are passed on.
    if (::close_range(3, ~0U, 0) != 0) {
        const long maxFd = ::sysconf(_SC_OPEN_MAX);
        for (long fd = 3; fd < (maxFd > 0 ? maxFd : 1024); ++fd)
            ::close(static_cast<int>(fd));
    }
    ::execve(program, argv, envp);
    ::_exit(127);
}

}  // namespace

void runCommand(const char *command)
{
    const std::size_t length = std::strlen(command);
    if (length > kMaxCommandLength) {
        logLine("Command not started: " + std::to_string(length) + " characters, more than "
                + std::to_string(kMaxCommandLength));
        return;
    }

    LaunchPlan plan = planFor(command);
    std::vector<char *> argv = pointersTo(plan.arguments);
    std::vector<char *> envp = pointersTo(plan.environment);

    // Double fork: the intermediate child starts a new session and exits at once, so the
    // command runs without a controlling terminal of ours, is adopted by init (or the nearest
    // subreaper) and never becomes our zombie, and outlives the launcher.
    const pid_t child = ::fork();
    if (child < 0)
        return;
    if (child == 0) {
        ::setsid();
        const pid_t grandchild = ::fork();
        if (grandchild == 0)
            execInGrandchild(plan.program.c_str(), argv.data(), envp.data());
        ::_exit(grandchild < 0 ? 1 : 0);
    }
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
}
