#pragma once

// What every fuzz target shares: the application object the library needs, quiet warnings, and
// a check that aborts (a finding) with a message.

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size);

namespace kesu::fuzz {

// Creates the process's QCoreApplication once and drops warnings, which fuzzing provokes by the
// thousand.
void prepare();

[[noreturn]] void fail(const char *what, const char *file, int line);

} // namespace kesu::fuzz

#define FUZZ_CHECK(condition)                                                                      \
    ((condition) ? void() : kesu::fuzz::fail(#condition, __FILE__, __LINE__))
