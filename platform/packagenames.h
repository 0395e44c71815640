#pragma once

// The names the launcher and its extraction tool agree on: where the package is put, how the
// tool is started and which mutex it holds meanwhile, what the package must hold and where the
// installed application then lives. Both programs take them from here and spell them nowhere
// else. All paths are relative to the launcher's working directory, which never changes.

// The downloaded package, and the download service's pattern for it ("%s" is the working
// directory; the service takes Windows separators on every platform).
inline constexpr char kPackageArchive[] = "nembral/nembral.zip";
inline constexpr char kPackageArchivePattern[] = "%s\\nembral\\nembral.zip";

// The extraction, run through the command interpreter: unzip.exe ARCHIVE DESTDIR.
inline constexpr char kExtractCommand[] = "unzip.exe nembral/nembral.zip nembral";
// Held by unzip.exe while it extracts; the launcher waits for it to go.
inline constexpr char kExtractMutex[] = "Local\\mutex_unzip";
// How the extraction ended: unzip.exe writes its exit status ("0" when the tree is in place)
// on the first line of this file in DESTDIR before it releases the mutex, so a launcher that
// finds the mutex gone and no tree can tell a tool that failed from one not started yet.
inline constexpr char kExtractResultFileName[] = "unzip-result.txt";
inline constexpr char kExtractResultFile[] = "nembral/unzip-result.txt";

// What every package holds, as named in the archive; "unzip.exe ... nembral" puts them below
// kInstallDir.
inline constexpr char kPackageVersionFile[] = "nembral/version.txt";
inline constexpr char kPackageExecutable[] = "nembral/Nembrals.exe";

// The installed application. Its version file is written last by the extraction tool, so its
// presence marks a complete installation.
inline constexpr char kInstallDir[] = "nembral/nembral";
inline constexpr char kInstalledVersionFile[] = "nembral/nembral/version.txt";
// The same file's name inside kInstallDir.
inline constexpr char kInstalledVersionFileName[] = "version.txt";
inline constexpr char kInstalledExecutable[] = "nembral/nembral/Nembrals.exe";
// During an update the installed tree is set aside here, its version file beside it, until the
// new one is in place; a failed update brings them back.
inline constexpr char kSetAsideDir[] = "nembral/nembral.previous";
inline constexpr char kSetAsideVersionFile[] = "nembral/nembral.previous-version.txt";
// Starts it, through the command interpreter, in its own folder.
inline constexpr char kStartCommand[] = "cd ./nembral/nembral/ && Nembrals.exe";
