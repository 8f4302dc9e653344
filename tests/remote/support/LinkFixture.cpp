// SPDX-License-Identifier: Apache-2.0
#include "LinkFixture.h"

#include <algorithm>

#include "remote/RemoteLink.h"
#include "remote/RemoteLinkTesting.h"

namespace {

void restoreDefaults() {
    KRV_Disconnect();
    LinkSetSocketOpsForTest(nullptr);
    LinkSetTimeoutsForTest(0, 0);
    ASSERT_EQ(KRV_SetConfigItem("NODE=", "localhost"), 0);
    ASSERT_EQ(KRV_SetConfigItem("PORT=", "20000"), 0);
    ASSERT_EQ(KRV_SetConfigItem("HOSTPORT=", "0"), 0);
    ASSERT_EQ(KRV_SetConfigItem("PACKLEN=", "1024"), 0);
    ASSERT_EQ(KRV_SetConfigItem("TIMEOUT=", "5"), 0);
}

}  // namespace

void LinkFixture::SetUp() {
    restoreDefaults();
    setItem("NODE=", "127.0.0.1");
    setItem("PORT=", std::to_string(peer.port()));
}

void LinkFixture::TearDown() {
    restoreDefaults();
}

void LinkFixture::useShortTimeouts() {
    LinkSetTimeoutsForTest(30000, 30000);
}

void LinkFixture::setItem(const char* key, const std::string& value) {
    ASSERT_EQ(KRV_SetConfigItem(key, value.c_str()), 0) << key << value;
}

Bytes head(const Bytes& bytes, size_t count) {
    return Bytes(bytes.begin(), bytes.begin() + static_cast<long>(std::min(count, bytes.size())));
}
