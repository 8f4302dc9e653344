// SPDX-License-Identifier: Apache-2.0
// Creation of the one concrete plug-in class this library ships; the exports call it.
#pragma once

#include "framework/CsePlugin.h"

namespace CsePluginInterface {

// A new plug-in object, or null when memory cannot be obtained. Never throws.
CsePlugin* newTargetPlugin() noexcept;

}  // namespace CsePluginInterface
