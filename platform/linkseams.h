#pragma once

// The functions that one part of the program calls and another part, chosen when the program is
// linked, defines. Each is declared here and nowhere else; every program that calls one must
// link exactly one definition of it, or the link fails.

#include <string>
#include <vector>

class MainWindow;

// Has window->startApplication() run on the window's own thread, or does nothing when the window
// is gone or the calling thread is no longer that window's current worker. Safe from any thread.
// Called by a download worker after its last failed attempt (platform/downloadfile.cpp).
// Defined by the window target, in ui/workerhandover.cpp, the file that also starts every worker,
// so a program that can start one always has it. Programs that run downloadFile without a window
// (the platform tests) define their own.
void requestStartApplication(MainWindow *window);

// The vendor's web server (host[:port], no scheme) that the launcher downloads from; a
// deployment setting fixed at build time. Called by the window's constructor.
// Defined by a vendor-host object library made with nembral_add_vendor_host (ui/CMakeLists.txt):
// the launcher links the configured host, each test program a loopback host of its own.
std::string vendorHost();

// The vendor's Ed25519 public keys (PEM) that release statements and packages are checked
// against: none (the launcher then checks nothing, as before there were statements), the
// current key, or the current and the next one, so that a vendor can move to a new key without
// stranding launchers in the field. Fixed at build time with the vendor host, in the same
// object library (NEMBRAL_PACKAGE_PUBLIC_KEY, NEMBRAL_PACKAGE_NEXT_PUBLIC_KEY). Called by the
// window's constructor.
std::vector<std::string> releasePublicKeys();
