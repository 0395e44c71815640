// The named-mutex probe and holder with real kernel mutexes, held across processes.
#include <windows.h>

#include <string>

#include "harness.h"
#include "platform/namedmutex.h"
#include "testsupport_win.h"

using namespace std::chrono_literals;
using testsupport::ChildProcess;
using testsupport::ScratchDirectory;
using testsupport::waitUntil;

namespace {

std::string uniqueName(const std::string &tag)
{
    return "Local\\nembral_test_" + tag + "_" + std::to_string(GetCurrentProcessId());
}

void probeLeavesNoTrace()
{
    harness::beginCase("probing an unheld name finds nothing and creates nothing");
    const std::string name = uniqueName("unheld");
    CHECK(!namedMutexExists(name));
    // Had the probe created the mutex and kept a handle, this would open it.
    const std::wstring wideName(name.begin(), name.end());
    const WinHandle direct(OpenMutexW(SYNCHRONIZE, FALSE, wideName.c_str()));
    CHECK(!direct.valid());
    CHECK(!namedMutexExists(name));
}

void holderInThisProcess()
{
    harness::beginCase("a holder in this process: the name exists exactly while it lives");
    const std::string name = uniqueName("local");
    {
        const NamedMutexHolder holder(name);
        CHECK(holder.held());
        CHECK(namedMutexExists(name));
        // Probing twice must not have closed the holder's handle or left one of its own.
        CHECK(namedMutexExists(name));
    }
    CHECK(!namedMutexExists(name));
}

void heldByAnotherProcess(bool killInsteadOfStop)
{
    harness::beginCase(killInsteadOfStop ? "held by a child that is killed: gone once it dies"
                                         : "held by a child that exits: gone once it ends");
    const ScratchDirectory scratch("mutex");
    // The extraction tool's own name, "Local\" prefix included, passed unchanged.
    const std::string name = "Local\\mutex_unzip";
    CHECK(!namedMutexExists(name));

    ChildProcess child({L"hold-mutex", std::wstring(name.begin(), name.end()), L"ready.txt", L"stop.txt"});
    CHECK(child.started());
    CHECK(waitUntil([] { return std::filesystem::exists("ready.txt"); }, 30s));
    CHECK(namedMutexExists(name));
    CHECK(child.running());  // the probe did not disturb the holder

    if (killInsteadOfStop) {
        child.kill();
    } else {
        testsupport::writeFile("stop.txt", "stop\n");
        CHECK_EQ(child.waitForExit(30000), 0L);
    }
    CHECK(waitUntil([&] { return !namedMutexExists(name); }, 10s));
}

}  // namespace

int main()
{
    probeLeavesNoTrace();
    holderInThisProcess();
    heldByAnotherProcess(false);
    heldByAnotherProcess(true);
    return harness::finish();
}
