// SPDX-License-Identifier: Apache-2.0
// Chain description files a host may hand over by mistake: empty, binary, with NULs, with lines far
// beyond the reader's 254 characters, with more devices than a chain may have, or a folder. Each
// ends in a clear result with at most 255 devices in the model, and a refusal leaves the model as
// it was.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <random>
#include <string>

#include "framework/CallbackRecord.h"
#include "target/QXCsePlugin.h"

namespace faults {
namespace {

using namespace CsePluginInterface;

enum class Outcome { Devices, NoDevices, Refused, AnyOfThese };

struct FileCase {
    const char* name;
    std::string content;
    Outcome outcome;
    uint32_t devices;  // for Outcome::Devices
};

void PrintTo(const FileCase& file, std::ostream* out) {
    *out << file.name;
}

std::string binaryJunk(size_t bytes, uint32_t seed) {
    std::mt19937 random(seed);
    std::string junk(bytes, '\0');
    for (char& c : junk) c = static_cast<char>(random());
    return junk;
}

// Printable noise without line ends.
std::string textJunk(size_t bytes, uint32_t seed) {
    std::mt19937 random(seed);
    std::string junk(bytes, ' ');
    for (char& c : junk) c = static_cast<char>(' ' + random() % 95);
    return junk;
}

std::string lines(const std::string& line, int count) {
    std::string text;
    for (int i = 0; i < count; ++i) text += line + "\n";
    return text;
}

class DescriptionFileTest : public ::testing::TestWithParam<FileCase> {
  protected:
    void SetUp() override {
        CallbackRecord::replace(CsePluginCallbacks{});
        path = "/tmp/krv-description-" + std::to_string(getpid()) + "-" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name();
        for (char& c : path) {
            if (c == '/' && &c > path.data() + 4) c = '_';
        }
        // A model with two known devices, to see whether a refusal leaves it alone.
        ASSERT_EQ(plugin.setDeviceCount(2), CSE_SUCCESS);
        ASSERT_EQ(plugin.setDeviceID(0, 0x11111111u), CSE_SUCCESS);
        ASSERT_EQ(plugin.setDeviceID(1, 0x22222223u), CSE_SUCCESS);
    }
    void TearDown() override {
        std::remove(path.c_str());
        unsetenv("CSE_JTAGFILE");
    }

    std::string path;
    QXCsePlugin plugin;
};

TEST_P(DescriptionFileTest, EndsCleanlyAndNeverOverfillsTheModel) {
    const FileCase& file = GetParam();
    std::FILE* out = std::fopen(path.c_str(), "wb");
    ASSERT_NE(out, nullptr);
    std::fwrite(file.content.data(), 1, file.content.size(), out);
    std::fclose(out);

    // Through the host's way in: the variable names the file, the lock is declared held.
    setenv("CSE_JTAGFILE", path.c_str(), 1);
    ASSERT_EQ(plugin.setLocked(true), CSE_SUCCESS);
    const CseResult result = plugin.scanJTAGChain();
    switch (file.outcome) {
        case Outcome::Devices:
            EXPECT_EQ(result, CSE_SUCCESS);
            EXPECT_EQ(plugin.getDeviceCount(), file.devices);
            break;
        case Outcome::NoDevices:
            EXPECT_EQ(result, CSE_FAILURE);
            EXPECT_EQ(plugin.getDeviceCount(), 0u);
            break;
        case Outcome::Refused:
            EXPECT_EQ(result, CSE_FAILURE);
            EXPECT_EQ(plugin.getDeviceCount(), 2u);
            EXPECT_EQ(plugin.getDeviceID(1), 0x22222223u);
            break;
        case Outcome::AnyOfThese:
            if (result == CSE_SUCCESS) {
                EXPECT_GT(plugin.getDeviceCount(), 0u);
            } else {
                EXPECT_TRUE(plugin.getDeviceCount() == 0u || plugin.getDeviceCount() == 2u);
            }
            break;
    }
    EXPECT_LE(plugin.getDeviceCount(), kMaxChainDevices);
}

INSTANTIATE_TEST_SUITE_P(
    Files, DescriptionFileTest,
    ::testing::Values(
        FileCase{"Empty", "", Outcome::NoDevices, 0},
        FileCase{"OnlyNulBytes", std::string(300, '\0'), Outcome::NoDevices, 0},
        // Noise without line ends is read in pieces of 254 characters, each piece one device.
        FileCase{"TextJunk", textJunk(254 * 200, 7), Outcome::Devices, 200},
        FileCase{"TextJunkBeyond255Pieces", textJunk(254 * 300, 8), Outcome::Refused, 0},
        FileCase{"BinaryJunk", binaryJunk(8000, 9), Outcome::AnyOfThese, 0},
        FileCase{"LongBinaryJunk", binaryJunk(1 << 20, 10), Outcome::AnyOfThese, 0},
        FileCase{"LineOf10000Characters", std::string(10000, 'A') + "\n", Outcome::Devices, 40},
        FileCase{"LinesOf254And255Characters",
                 std::string(254, '1') + "\n" + std::string(255, '2') + "\n", Outcome::Devices, 3},
        FileCase{"Exactly255Devices", lines("0x0FACE001", 255), Outcome::Devices, 255},
        FileCase{"Exactly256Devices", lines("0x0FACE001", 256), Outcome::Refused, 0},
        FileCase{"TenThousandDevices", lines("0x0FACE001", 10000), Outcome::Refused, 0},
        FileCase{"CarriageReturnsOnly", "0x11111111\r0x22222222\r", Outcome::Devices, 1},
        FileCase{"NulInsideALine",
                 std::string("0x1234567\0"
                             "9\n",
                             12),
                 Outcome::Devices, 1}),
    [](const ::testing::TestParamInfo<FileCase>& info) { return std::string(info.param.name); });

TEST(DescriptionFolder, AFolderNamedAsTheFileFindsNoDevices) {
    CallbackRecord::replace(CsePluginCallbacks{});
    QXCsePlugin plugin;
    ASSERT_EQ(plugin.setDeviceCount(1), CSE_SUCCESS);
    // A folder opens for reading on some systems but yields no line.
    const CseResult result = plugin.fileScanJTAGChain("/tmp");
    EXPECT_EQ(result, CSE_FAILURE);
    EXPECT_LE(plugin.getDeviceCount(), 1u);
}

}  // namespace
}  // namespace faults
