#include "tools/unzip/packagecheck.h"

#include "platform/packagenames.h"

namespace {

constexpr const char *kRequiredFiles[] = {kPackageVersionFile, kPackageExecutable};

}  // namespace

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
