#pragma once

#include <QByteArray>
#include <QMetaType>
#include <QString>
#include <QStringList>

// One row of the fault table: how the world is prepared, what is done in it, and the outcome
// a sound launcher (or extraction tool) reaches. The rows are plain data; faultrun.cpp acts
// them out and tst_faults.cpp compares what happened with what the row says.

// What the vendor publishes as nembral.zip (faultpackage.h builds them).
enum class Package {
    None,       // no archive (its URL answers 404)
    Good,       // version, executable, a data file
    Big,        // Good with three megabytes of incompressible data
    Many,       // Good with many small files, for extractions slow enough to be caught midway
    Zeros,      // Good with sixteen megabytes of zeros (small archive, big tree)
    NoVersion,  // lacks nembral/version.txt
    NoExe,      // lacks nembral/Nembrals.exe
    Corrupt,    // not a zip at all
    Truncated,  // Good cut in the middle
    DotDot,     // an entry whose name climbs out to the outside folder
    Absolute,   // an entry named by the outside folder's absolute path
    LinkOut,    // a link to the outside folder, then an entry through it
    Bomb,       // a gigabyte-class entry of zeros in a small archive
};

// What the working directory holds before the run, besides what `installed` puts there.
enum class Prep {
    None,
    LeftoverTree,        // nembral/nembral of an interrupted installation: files, no version file
    ImmutableEntry,      // a leftover tree with an entry that cannot be removed
    NembralRelocated,    // ./nembral is a symbolic link to the outside folder: an installation moved there
    InstallDirLinksOut,  // ./nembral/nembral is a symbolic link to a folder in the outside folder
    SmallDisk,           // the working directory is a small tmpfs
    ReadOnly,            // the working directory is a read-only tmpfs (after the preparation)
};

// What the row does once the world is ready.
enum class Act {
    Launch,                  // one launcher run
    LaunchOutputGone,        // one run with standard output and error pipes whose reader has gone
    LaunchVanishingDir,      // one run; the working directory is deleted during the package download
    LaunchTwiceFixed,        // one run, then the good package is published and a second run follows
    KillDownload,            // the launcher is killed mid-download; a second run follows
    KillExtraction,          // the extraction tool is killed midway; a second run follows
    TwoLaunchersTogether,    // two launchers started at once in the same working directory
    SecondDuringExtraction,  // a second launcher started while the first one's extraction runs
    Unzip,                   // unzip.exe run directly, as the launcher runs it
    UnzipOutputGone,         // the same with a standard error pipe whose reader has gone
};

// How the (last) run ends.
enum class End {
    Exit,          // the process exits by itself with `exitCode`
    ErrorPage,     // the launcher stays open, quiet, once it has logged `tail`
    QuestionPage,  // the same, for the question page
    Copying,       // the launcher keeps waiting for an extraction that will never finish
};

struct FaultRow {
    QString fault{};    // the row's name: group/fault
    QString outcome{};  // one line for people: what a sound program does

    // The world.
    Package package = Package::Good;
    QByteArray published{};       // served version.txt; empty: the package's own ("1.0\n")
    QStringList serverOptions{};  // vendor-server fault options
    bool serverUp = true;
    QByteArray installed{};  // version of a complete installation made beforehand; empty: none
    Prep prep = Prep::None;
    int smallDiskKb = 1024;  // size of the tmpfs for Prep::SmallDisk and Prep::ReadOnly
    Act act = Act::Launch;
    int unzipDelayMs = 0;   // NEMBRAL_UNZIP_ENTRY_DELAY_MS for the first run
    int boundSeconds = 30;  // the whole row, all runs and waits included

    // The sound outcome.
    End end = End::Exit;
    int exitCode = 0;
    // The last lines the launcher's GUI thread logs (download worker lines left out); each a
    // regular expression for the whole line.
    QStringList tail{};
    // The extraction tool's standard error lines, all of them, each a regular expression.
    QStringList errLines{};
    // Exactly one line of the launcher's log (output or error) matches this, when set.
    QString oneLineNaming{};
    // Download failures of the (last) run: how many "An error occured" lines, all with the
    // same code, which matches this regular expression.
    int failures = 0;
    QString failureCode{};
    // Every entry below the working directory afterwards (sorted, relative; links as
    // "name -> target"); an entry ending in "?" may be there or not; "-" alone: the directory
    // itself is gone.
    QStringList disk{};
    QByteArray installedVersion{};  // content of nembral/nembral/version.txt afterwards; empty: none
    // Lines the started application wrote: "<version> complete|incomplete", one per start.
    QStringList started{};
    // The vendor server must have received no request at all (the client refused first).
    bool noRequests = false;
    // Entries of the outside folder (relative paths, a regular expression for the whole path)
    // that may change; nothing else there may. Empty: nothing may.
    QString outsideMayChange{};
    // Peak memory of the launcher may exceed the suite's typical launcher by at most this much.
    int extraMemoryMb = -1;
};

Q_DECLARE_METATYPE(FaultRow)
