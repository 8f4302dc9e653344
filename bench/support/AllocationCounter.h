// SPDX-License-Identifier: Apache-2.0
// Counts the C++ allocations of the whole benchmark process, so that a benchmark can report how
// many one host call makes (the library must make none per fragment).
#pragma once

#include <cstdint>

namespace krvbench {

uint64_t allocationCount();

}  // namespace krvbench
