#pragma once

// Where the installed application lives, relative to the working directory (never changed).
inline constexpr char kInstallDir[] = "nembral/nembral";
// Written last by the extraction tool: its presence marks a complete installation.
inline constexpr char kInstalledVersionFile[] = "nembral/nembral/version.txt";
// The same file's name inside kInstallDir.
inline constexpr char kInstalledVersionFileName[] = "version.txt";
