#pragma once

#include <filesystem>
#include <memory>
#include <string>

// Where an extraction is built before it becomes visible. The staging directory lies inside
// the destination directory (same file system, so the final moves are renames) and has a name
// beginning with ".unzip-". The installed tree, and with it its version file, therefore
// appears only in one step at the end: an extraction that fails or is killed never leaves a
// partial tree under the names the launcher looks at.
class StagingDirectory {
public:
    // Creates a fresh staging directory below `destination` (which must exist). Null with
    // `error` set on failure.
    static std::unique_ptr<StagingDirectory> create(const std::filesystem::path &destination,
                                                     std::string &error);

    // Removes the staging directory with whatever is left in it.
    ~StagingDirectory();
    StagingDirectory(const StagingDirectory &) = delete;
    StagingDirectory &operator=(const StagingDirectory &) = delete;

    // The directory to extract into.
    const std::filesystem::path &tree() const { return tree_; }

    // Moves every top-level entry of tree() to the destination, replacing what is there under
    // the same name (the replaced entry is moved aside first and removed with the staging
    // directory). Entries holding a "version.txt" go last, so the marker of a complete
    // installation is the last thing to appear. False with `error` set on failure; entries
    // already moved stay in place.
    bool moveIntoPlace(std::string &error);

private:
    StagingDirectory(std::filesystem::path destination, std::filesystem::path root);

    std::filesystem::path destination_;
    std::filesystem::path root_;     // destination/.unzip-<unique>
    std::filesystem::path tree_;     // root/tree: the extraction
    std::filesystem::path replaced_; // root/replaced: what the new tree displaced
};

// Removes staging directories left in `destination` by an extraction that was killed. Only
// call it while holding the extraction mutex, so that no running extraction is touched.
// Returns how many were removed.
std::size_t removeStaleStaging(const std::filesystem::path &destination);
