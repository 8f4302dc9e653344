// SPDX-License-Identifier: Apache-2.0
// Output to the host: log lines, categorised messages and buffer dumps, all through the callbacks.
#include <cstdarg>

#include "framework/CallbackRecord.h"
#include "framework/CsePlugin.h"

namespace CsePluginInterface {

void CsePlugin::log(uint32_t level, const char* format, ...) {
    va_list args;
    va_start(args, format);
    CallbackRecord::log(level, format, args);
    va_end(args);
}

void CsePlugin::postMessage(uint32_t category, const char* text) const {
    if (text == nullptr || text[0] == '\0') return;
    CallbackRecord::message(handle, category, text);
    switch (category) {
        case CSE_MESSAGE_ERROR:
            log(1, "<CsePlugin> Error:%s", text);
            break;
        case CSE_MESSAGE_WARNING:
            log(1, "<CsePlugin> Warning:%s", text);
            break;
        case CSE_MESSAGE_STATUS:
            log(2, "<CsePlugin> Status:%s", text);
            break;
        case CSE_MESSAGE_INFO:
            log(2, "<CsePlugin> Info:%s", text);
            break;
        case CSE_MESSAGE_PLAIN:
            log(2, "<CsePlugin> %s", text);
            break;
        default:
            log(3, "<CsePlugin> Debug:%s", text);
            break;
    }
}

void CsePlugin::dumpBuffer(const char* label, const uint8_t* buffer, uint32_t bitCount) {
    CallbackRecord::dump(5, label, buffer, bitCount);
}

}  // namespace CsePluginInterface
