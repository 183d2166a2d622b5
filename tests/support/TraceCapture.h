#pragma once
// Reading the trace in tests: switch areas on for one scope, and catch what
// some calls write to standard error. POSIX only (the descriptor is swapped
// with dup2); the calls must not leave threads writing after they return.

#include "platform/Trace.h"
#include "tests/support/TempFolder.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>

namespace kalvaro::test {

// The areas named are on while this lives; afterwards every area is off.
class TTraceAreas {
public:
    explicit TTraceAreas(std::string_view areas) { afp::SetTraceAreas(areas); }
    ~TTraceAreas() { afp::SetTraceAreas(""); }
    TTraceAreas(const TTraceAreas&) = delete;
    TTraceAreas& operator=(const TTraceAreas&) = delete;
};

// What calls writes to standard error, caught in a file meanwhile.
template <class Calls>
std::string StandardErrorOf(Calls calls) {
    TTempFolder folder;
    const auto file = folder.Path() / "stderr.txt";
    const int caught = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    const int saved = ::dup(STDERR_FILENO);
    if (caught < 0 || saved < 0) {
        ADD_FAILURE() << "cannot redirect standard error, errno " << errno;
        return {};
    }
    std::fflush(stderr);
    ::dup2(caught, STDERR_FILENO);
    calls();
    std::fflush(stderr);
    ::dup2(saved, STDERR_FILENO);
    ::close(saved);
    ::close(caught);
    std::ifstream text(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(text), {});
}

}  // namespace kalvaro::test
