// unzip.exe ARCHIVE DESTDIR
//
// Extracts the zip archive ARCHIVE into the directory DESTDIR for the launcher. While it works
// it holds the named mutex "Local\mutex_unzip", which the launcher polls; the extracted tree
// appears in DESTDIR in one step at the end (staging.h), so once the mutex is gone, the
// presence of the installed version file means a complete installation.
//
// Exit status: 0 on success, 1 when the archive is missing, damaged, unsafe or (in a build
// with a package key) not signed by the vendor, or the tree cannot be written (one line on
// standard error says why), 2 on wrong usage.
//
// NEMBRAL_UNZIP_ENTRY_DELAY_MS=N makes the tool pause N ms after each entry, for tests and
// demonstrations that need to watch an extraction in progress.

#include "platform/log.h"
#include "platform/namedmutex.h"
#include "tools/unzip/archivefile.h"
#include "tools/unzip/extractor.h"
#include "tools/unzip/packagekey.h"
#include "tools/unzip/signature.h"
#include "tools/unzip/staging.h"
#include "tools/unzip/stoprequest.h"

#include <clocale>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

namespace fs = std::filesystem;

namespace {

constexpr const char *kMutexName = "Local\\mutex_unzip";

int fail(const std::string &message)
{
    logErrorLine("unzip.exe: " + message);
    return 1;
}

unsigned entryDelayFromEnvironment()
{
    const char *value = std::getenv("NEMBRAL_UNZIP_ENTRY_DELAY_MS");
    if (!value || !*value)
        return 0;
    char *end = nullptr;
    const unsigned long ms = std::strtoul(value, &end, 10);
    return (*end == '\0' && ms <= 60000) ? static_cast<unsigned>(ms) : 0;
}

int run(const fs::path &archive, const fs::path &destination)
{
    std::error_code ec;
    // Checked before taking the mutex: a missing archive writes nothing at all.
    const fs::file_status archiveStatus = fs::status(archive, ec);
    if (!fs::exists(archiveStatus))
        return fail("cannot open archive '" + archive.string() + "': no such file");
    if (!fs::is_regular_file(archiveStatus))
        return fail("cannot open archive '" + archive.string() + "': not a regular file");
    std::string error;
    const ArchiveFile file(archive, error);
    if (!file.isOpen())
        return fail(error);

    // The mutex can have several holders. A second extraction would race the first one for
    // the same tree (and take its staging directory for a leftover), so it is refused.
    if (namedMutexExists(kMutexName))
        return fail(std::string("another extraction is running (the named mutex ") + kMutexName
                    + " exists)");
    NamedMutexHolder mutex(kMutexName);
    if (!mutex.held())
        return fail(std::string("cannot hold the named mutex ") + kMutexName);

    // A build with the vendor's key refuses any archive the vendor did not sign, before
    // anything is written.
    if (const std::string_view key = packagePublicKey(); !key.empty())
        if (std::string why = packageSignatureProblem(file.fd(), key, archive.string()); !why.empty())
            return fail(why);

    fs::create_directories(destination, ec);
    if (ec)
        return fail("cannot create '" + destination.string() + "': " + ec.message());
    if (!fs::is_directory(destination, ec))
        return fail("'" + destination.string() + "' is not a directory");
    removeStaleStaging(destination);

    const std::unique_ptr<StagingDirectory> staging = StagingDirectory::create(destination, error);
    if (!staging)
        return fail(error);

    const ExtractResult result =
        extractArchive(archive, staging->tree(), ExtractOptions{entryDelayFromEnvironment(), file.fd()});
    if (!result.ok)
        return fail(result.error);
    if (stopRequested())
        return fail("interrupted");
    if (!staging->moveIntoPlace(error))
        return fail(error);
    return 0;
    // The staging directory goes before the mutex is released (reverse order of declaration).
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 3 || !*argv[1] || !*argv[2]) {
        logErrorLine("usage: unzip.exe ARCHIVE DESTDIR");
        return 2;
    }
    // Entry names in a zip are UTF-8 (or converted to it): extract them to UTF-8 file names,
    // whatever locale the launcher was started in, rather than refusing them.
    if (!std::setlocale(LC_CTYPE, "C.UTF-8"))
        std::setlocale(LC_CTYPE, "");
    installStopHandlers();
    return run(argv[1], argv[2]);
}
