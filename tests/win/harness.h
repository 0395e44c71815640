#pragma once

// A very small test harness for the cross-built Windows programs, where Qt Test is not
// available. CHECK records a result and reports a failure at once with its source line; the
// program ends with "N passed, N failed" and a non-zero status when anything failed.
//
// Reports go to a private duplicate of the original standard error, so they still reach the
// console while a test has redirected stdout/stderr to capture the log.

#include <io.h>

#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

namespace harness {

inline std::string describe(const std::vector<std::string> &lines)
{
    std::string text = "{";
    for (std::size_t i = 0; i < lines.size(); ++i)
        text += (i ? ", \"" : "\"") + lines[i] + "\"";
    return text + "}";
}

template <typename T>
std::string describe(const T &value)
{
    std::ostringstream out;
    out << value;
    return out.str();
}

struct State {
    int passed = 0;
    int failed = 0;
    int reportFd = -1;
    std::string currentCase;
};

inline State &state()
{
    static State s;
    return s;
}

inline void report(const std::string &text)
{
    State &s = state();
    if (s.reportFd < 0)
        s.reportFd = _dup(2);
    const std::string line = text + "\n";
    _write(s.reportFd, line.data(), static_cast<unsigned>(line.size()));
}

inline void beginCase(const std::string &name)
{
    state().currentCase = name;
    report("-- " + name);
}

inline bool check(bool ok, const char *expression, const char *file, int line, const std::string &detail = {})
{
    State &s = state();
    if (ok) {
        ++s.passed;
        return true;
    }
    ++s.failed;
    std::ostringstream out;
    out << "FAIL " << file << ":" << line << " [" << s.currentCase << "] " << expression;
    if (!detail.empty())
        out << "\n     " << detail;
    report(out.str());
    return false;
}

template <typename A, typename B>
bool checkEqual(const A &actual, const B &expected, const char *actualText, const char *expectedText,
                const char *file, int line)
{
    if (actual == expected)
        return check(true, "", file, line);
    const std::string detail = "actual:   " + describe(actual) + "\n     expected: " + describe(expected);
    const std::string expression = std::string(actualText) + " == " + expectedText;
    return check(false, expression.c_str(), file, line, detail);
}

inline int finish()
{
    const State &s = state();
    report(std::to_string(s.passed) + " passed, " + std::to_string(s.failed) + " failed");
    return s.failed == 0 && s.passed > 0 ? 0 : 1;
}

}  // namespace harness

#define CHECK(cond) harness::check(static_cast<bool>(cond), #cond, __FILE__, __LINE__)
#define CHECK_MSG(cond, detail) harness::check(static_cast<bool>(cond), #cond, __FILE__, __LINE__, (detail))
#define CHECK_EQ(actual, expected) harness::checkEqual((actual), (expected), #actual, #expected, __FILE__, __LINE__)
