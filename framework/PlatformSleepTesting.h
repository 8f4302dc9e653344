// SPDX-License-Identifier: Apache-2.0
// Internal test hook: lets tests record the sleeps the framework asks for instead of sleeping.
#pragma once

#include <cstdint>
#include <vector>

namespace CsePluginInterface {

// While a sink is set every sleepMilliseconds call appends its argument to it and returns at once;
// null restores real sleeping. Not for use by the plug-in itself.
void recordSleepsForTesting(std::vector<uint32_t>* sink) noexcept;

}  // namespace CsePluginInterface
