#include "tools/unzip/directoryhandles.h"

#include "tools/unzip/directoryops.h"

DirectoryHandles::DirectoryHandles(NativeValue top, const std::vector<PlannedDirectory> &directories)
    : top_(top), directories_(directories)
{
}

NativeValue DirectoryHandles::get(std::size_t index, std::string &error)
{
    if (index == kTopDirectory)
        return top_;
    for (const auto &[kept, handle] : kept_) {
        if (kept == index)
            return handle.get();
    }

    // Walk down from the nearest directory at hand: the top, or a kept ancestor.
    std::vector<std::size_t> chain;
    NativeValue from = top_;
    for (std::size_t d = index; d != kTopDirectory; d = directories_[d].parent) {
        bool found = false;
        for (const auto &[kept, handle] : kept_) {
            if (kept == d) {
                from = handle.get();
                found = true;
                break;
            }
        }
        if (found)
            break;
        chain.push_back(d);
    }
    NativeHandle current;
    for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
        std::string reason;
        NativeHandle next = openDirectoryAt(current.valid() ? current.get() : from, directories_[*it].leaf, reason);
        if (!next.valid()) {
            error = "cannot open '" + directories_[*it].path + "': " + reason;
            return kNoHandle;
        }
        current = std::move(next);
    }
    if (kept_.size() == kKept)
        kept_.erase(kept_.begin());
    kept_.emplace_back(index, std::move(current));
    return kept_.back().second.get();
}
