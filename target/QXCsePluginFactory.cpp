// SPDX-License-Identifier: Apache-2.0
// The plug-in object the exports hand to the host.
#include <new>

#include "framework/TargetFactory.h"
#include "target/QXCsePlugin.h"

namespace CsePluginInterface {

CsePlugin* newTargetPlugin() noexcept {
    return new (std::nothrow) QXCsePlugin();
}

}  // namespace CsePluginInterface
