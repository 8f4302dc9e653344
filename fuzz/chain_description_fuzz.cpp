// SPDX-License-Identifier: Apache-2.0
// The framework's chain description file reader, fed whole files: the input is written to a file
// of this process and scanned by the plug-in's fileScanJTAGChain.
#include <unistd.h>

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "framework/CallbackRecord.h"
#include "target/QXCsePlugin.h"

namespace {

using namespace CsePluginInterface;

const std::string& descriptionPath() {
    static const std::string path =
        "/tmp/krv-fuzz-chain-" + std::to_string(static_cast<long>(getpid())) + ".txt";
    return path;
}

// Every log line is formatted, so that a format mistake shows here too.
void formatLog(uint32_t, const char* format, va_list args) {
    char line[1024];
    std::vsnprintf(line, sizeof line, format, args);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static QXCsePlugin* plugin = [] {
        CsePluginCallbacks callbacks{};
        callbacks.logCallback = formatLog;
        CallbackRecord::replace(callbacks);
        return new QXCsePlugin();
    }();
    std::FILE* file = std::fopen(descriptionPath().c_str(), "wb");
    if (file == nullptr) return 0;
    if (size != 0) (void)std::fwrite(data, 1, size, file);
    std::fclose(file);

    const uint32_t before = plugin->getDeviceCount();
    const CseResult result = plugin->fileScanJTAGChain(descriptionPath().c_str());
    const uint32_t count = plugin->getDeviceCount();
    if (count > kMaxChainDevices) std::abort();
    // A success leaves the devices it read; a failure leaves no devices or the model as it was.
    if (result == CSE_SUCCESS && count == 0) std::abort();
    if (result != CSE_SUCCESS && count != 0 && count != before) std::abort();
    std::remove(descriptionPath().c_str());
    return 0;
}
