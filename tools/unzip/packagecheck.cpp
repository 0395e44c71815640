#include "tools/unzip/packagecheck.h"

namespace {

constexpr const char *kRequiredFiles[] = {"nembral/version.txt", "nembral/Nembrals.exe"};

} // namespace

std::string packageProblem(const ExtractionPlan &plan)
{
    std::string missing;
    for (const char *path : kRequiredFiles) {
        const PlannedEntry *entry = plan.entryAt(path);
        if (entry && entry->kind == PlannedEntry::File)
            continue;
        missing += (missing.empty() ? "it has no file '" : " and no file '") + std::string(path) + "'";
    }
    return missing;
}
