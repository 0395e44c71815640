#include "tools/unzip/directoryhandles.h"

#include <fcntl.h>

#include <cerrno>
#include <cstring>

DirectoryHandles::DirectoryHandles(int top, const std::vector<PlannedDirectory> &directories)
    : top_(top), directories_(directories)
{
}

int DirectoryHandles::get(std::size_t index, std::string &error)
{
    if (index == kTopDirectory)
        return top_;
    for (auto it = kept_.begin(); it != kept_.end(); ++it) {
        if (it->first == index)
            return it->second.get();
    }

    // Walk down from the nearest directory at hand: the top, or a kept ancestor.
    std::vector<std::size_t> chain;
    int from = top_;
    for (std::size_t d = index; d != kTopDirectory; d = directories_[d].parent) {
        bool found = false;
        for (const auto &[kept, fd] : kept_) {
            if (kept == d) {
                from = fd.get();
                found = true;
                break;
            }
        }
        if (found)
            break;
        chain.push_back(d);
    }
    UniqueFd current;
    for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
        UniqueFd next(::openat(current.valid() ? current.get() : from, directories_[*it].leaf.c_str(),
                         O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!next.valid()) {
            error = "cannot open '" + directories_[*it].path + "': " + std::strerror(errno);
            return -1;
        }
        current = std::move(next);
    }
    if (kept_.size() == kKept)
        kept_.erase(kept_.begin());
    kept_.emplace_back(index, std::move(current));
    return kept_.back().second.get();
}
