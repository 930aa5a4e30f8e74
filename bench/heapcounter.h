#pragma once

// Live and peak heap bytes of the whole process, counted by replacing malloc and its relatives
// (heapcounter.cpp): every allocation of Qt, the C++ runtime and the library goes through them.
// Bytes are the usable sizes of the blocks the C library hands out, that is what was asked for
// rounded up to the allocator's granularity; the allocator's own headers and free lists, and the
// pages of code and stacks, are not counted.

#include <cstddef>

namespace korvel::bench::heap {

std::size_t live();
// The highest live count since the last reset_peak().
std::size_t peak();
// Starts a new peak at the current live count.
void reset_peak();

} // namespace korvel::bench::heap
