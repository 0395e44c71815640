#pragma once

#include <string>

// The vendor's web server (host[:port]) that the launcher downloads from. A deployment
// setting, fixed at build time; the link chooses which definition the program gets.
std::string vendorHost();
