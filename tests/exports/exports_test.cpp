// SPDX-License-Identifier: Apache-2.0
// Loads the built plug-in the way the host does and calls its six entry points.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "koraven-cse-plugin/CsePlugin.h"
#include "koraven-cse-plugin/CsePluginExports.h"
#include "tests/framework/support/RecordingCallbacks.h"

namespace {

using CsePluginInterface::CSE_SUCCESS;
using CsePluginInterface::CseTargetInfo;
using CsePluginInterface::ICsePlugin;
using krvtest::RecordingCallbacks;

class LoadedPlugin : public ::testing::Test {
  protected:
    void SetUp() override {
        library = dlopen(KRV_PLUGIN_PATH, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(library, nullptr) << dlerror();
        create = lookUp<CsePluginCreateFn>("CsePlugin_create");
        destroy = lookUp<CsePluginDestroyFn>("CsePlugin_destroy");
        loaded = lookUp<CsePluginNotifyFn>("CsePlugin_loaded");
        unloaded = lookUp<CsePluginNotifyFn>("CsePlugin_unloaded");
        setCallbacks = lookUp<CsePluginSetCallbacksFn>("CsePlugin_setCallbacks");
        getVersion = lookUp<CsePluginGetVersionFn>("CsePlugin_getCsePluginVersion");
    }

    void TearDown() override {
        if (setCallbacks != nullptr) {
            const CsePluginCallbacks none{};
            setCallbacks(&none);  // the library's record must not outlive the recorder
        }
        if (library != nullptr) dlclose(library);
    }

    template <typename Function>
    Function lookUp(const char* name) {
        void* symbol = dlsym(library, name);
        EXPECT_NE(symbol, nullptr) << name;
        return reinterpret_cast<Function>(symbol);
    }

    std::vector<std::string> enteredNames(const RecordingCallbacks& recorder) const {
        std::vector<std::string> names;
        for (const auto& event : recorder.ofKind(krvtest::CallbackEvent::Kind::TraceEnter)) {
            names.push_back(event.text);
        }
        return names;
    }

    static bool contains(const std::vector<std::string>& names, const std::string& name) {
        for (const std::string& entry : names) {
            if (entry == name) return true;
        }
        return false;
    }

    void* library = nullptr;
    CsePluginCreateFn create = nullptr;
    CsePluginDestroyFn destroy = nullptr;
    CsePluginNotifyFn loaded = nullptr;
    CsePluginNotifyFn unloaded = nullptr;
    CsePluginSetCallbacksFn setCallbacks = nullptr;
    CsePluginGetVersionFn getVersion = nullptr;
};

TEST_F(LoadedPlugin, ReportsInterfaceVersion) {
    EXPECT_EQ(getVersion(), 0x00140100u);
    loaded();
    unloaded();
    EXPECT_EQ(getVersion(), 0x00140100u);
}

TEST_F(LoadedPlugin, CreatesATracedObjectThatDescribesItself) {
    RecordingCallbacks recorder;
    setCallbacks(&recorder.record());
    ICsePlugin* plugin = create();
    ASSERT_NE(plugin, nullptr);
    EXPECT_TRUE(contains(enteredNames(recorder), "CsePlugin::CsePlugin"));

    auto info = std::make_unique<CseTargetInfo>();
    EXPECT_EQ(plugin->getTargetInfo(info.get()), CSE_SUCCESS);
    EXPECT_STREQ(info->name, "CSE Plug-in");
    EXPECT_STREQ(info->version, "CsePlugin Version 1.0");
    EXPECT_FALSE(plugin->isOpened());

    destroy(plugin);
    EXPECT_TRUE(contains(enteredNames(recorder), "CsePlugin::~CsePlugin"));
    EXPECT_TRUE(recorder.tracesBalanced());
}

TEST_F(LoadedPlugin, NullCallbackRecordKeepsThePreviousOne) {
    RecordingCallbacks recorder;
    setCallbacks(&recorder.record());
    setCallbacks(nullptr);
    ICsePlugin* plugin = create();
    ASSERT_NE(plugin, nullptr);
    destroy(plugin);
    EXPECT_TRUE(contains(enteredNames(recorder), "CsePlugin::~CsePlugin"));
}

TEST_F(LoadedPlugin, SecondRecordReplacesAllFivePointers) {
    RecordingCallbacks recorder;
    setCallbacks(&recorder.record());
    const CsePluginCallbacks none{};
    setCallbacks(&none);
    ICsePlugin* plugin = create();
    ASSERT_NE(plugin, nullptr);
    uint32_t connected = 5;
    EXPECT_EQ(plugin->isConnected(&connected), CSE_SUCCESS);
    EXPECT_EQ(connected, 0u);
    destroy(plugin);
    EXPECT_TRUE(recorder.events().empty());
}

TEST_F(LoadedPlugin, UnloadNotificationIsTheLoadNotificationItself) {
    EXPECT_EQ(reinterpret_cast<void*>(unloaded), reinterpret_cast<void*>(loaded));
}

TEST_F(LoadedPlugin, DestroyIgnoresNull) {
    RecordingCallbacks recorder;
    setCallbacks(&recorder.record());
    destroy(nullptr);
    EXPECT_TRUE(recorder.events().empty());
}

}  // namespace
