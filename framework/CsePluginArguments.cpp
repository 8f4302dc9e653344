// SPDX-License-Identifier: Apache-2.0
// Lookup of key=value host arguments.
#include <cctype>
#include <cstring>

#include "framework/CsePlugin.h"

namespace CsePluginInterface {
namespace {

bool equalsIgnoringCase(const char* left, const char* right) {
    for (;; ++left, ++right) {
        const int a = std::tolower(static_cast<unsigned char>(*left));
        const int b = std::tolower(static_cast<unsigned char>(*right));
        if (a != b) return false;
        if (a == 0) return true;
    }
}

}  // namespace

const char* CsePlugin::findKey(uint32_t argc, const char* const* argv, const char* key) {
    CsePluginTrace trace("CsePlugin::findKey");
    if (key == nullptr) {
        log(1, "<CsePlugin> findKey called with a NULL key\n");
        trace.setFormatted("%d", 0);
        return nullptr;
    }
    for (uint32_t i = 0; argv != nullptr && i < argc; ++i) {
        const char* argument = argv[i];
        if (argument == nullptr) continue;
        // Only the first 511 characters take part; an '=' beyond them is part of no key.
        char keyPart[CsePluginTrace::kHalfSize] = {};
        for (size_t k = 0; k + 1 < sizeof keyPart && argument[k] != '\0'; ++k) {
            keyPart[k] = argument[k];
        }
        const char* value = nullptr;
        if (char* equals = std::strchr(keyPart, '='); equals != nullptr) {
            *equals = '\0';
            value = argument + (equals - keyPart) + 1;
        }
        if (equalsIgnoringCase(keyPart, key)) {
            trace.setText(value != nullptr ? value : "0 (NULL)");
            return value;
        }
    }
    trace.setFormatted("%d", 0);
    return nullptr;
}

}  // namespace CsePluginInterface
