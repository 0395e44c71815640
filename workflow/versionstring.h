#pragma once

#include <string>
#include <string_view>

// A version as the launcher compares it: the line with every white-space byte of the "C"
// locale removed wherever it stands (space, \t, \n, \v, \f, \r). Bytes from 0x80 up are
// never white space. No other structure is assumed; comparison is byte for byte.
std::string versionString(std::string_view line);
