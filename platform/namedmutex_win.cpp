// Named mutexes through the kernel's object namespace ("Local\..." is the session's).
#include "platform/namedmutex.h"

#include <windows.h>

#include "platform/win/handle_win.h"
#include "platform/win/widen_win.h"

bool namedMutexExists(const std::string &name)
{
    // Any failure, a refused access included, counts as absence. The handle is only a
    // probe and is closed at once so it never keeps the mutex alive.
    const WinHandle probe(OpenMutexW(GENERIC_READ, FALSE, widenBytes(name).c_str()));
    return probe.valid();
}

struct NamedMutexHolder::Impl {
    WinHandle handle;
    bool owned = false;
};

NamedMutexHolder::NamedMutexHolder(const std::string &name) : impl_(new Impl)
{
    // The name exists as long as any handle to it is open; owning it as well lets a waiter
    // on the mutex see our holding, and an abandoned state if this process dies holding it.
    impl_->handle.reset(CreateMutexW(nullptr, TRUE, widenBytes(name).c_str()));
    impl_->owned = impl_->handle.valid() && GetLastError() != ERROR_ALREADY_EXISTS;
}

NamedMutexHolder::~NamedMutexHolder()
{
    if (impl_->owned)
        ReleaseMutex(impl_->handle.get());
    delete impl_;
}

bool NamedMutexHolder::held() const
{
    return impl_->handle.valid();
}
