// SPDX-License-Identifier: Apache-2.0
// The value change dump: well formed for a short scan (header, increasing times, known signals,
// TCK toggling once per half period), faithful to the clocked bits, and bounded in size.
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <map>
#include <sstream>

#include "sim/QuorbitSim.h"
#include "sim/VcdWriter.h"
#include "support/ScriptedClient.h"

namespace {

std::string temporaryPath(const char* name) {
    return ::testing::TempDir() + name + std::to_string(::getpid()) + ".vcd";
}

std::string readFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream content;
    content << file.rdbuf();
    return content.str();
}

struct ParsedDump {
    bool headerComplete = false;
    std::map<char, std::string> names;          // id -> signal name
    std::map<std::string, std::string> traces;  // signal name -> value at each rising TCK edge
    std::string error;
};

// A small reader of the subset we write: declarations, then "#time" and "<value><id>" lines.
ParsedDump parseDump(const std::string& text) {
    ParsedDump dump;
    std::istringstream lines(text);
    std::string line;
    std::map<char, char> current;
    long long lastTime = -1;
    bool inDumpvars = false;
    while (std::getline(lines, line)) {
        if (!dump.headerComplete) {
            std::istringstream words(line);
            std::string keyword;
            words >> keyword;
            if (keyword == "$var") {
                std::string type, width, id, name, end;
                words >> type >> width >> id >> name >> end;
                if (type != "wire" || width != "1" || id.size() != 1 || end != "$end") {
                    dump.error = "bad declaration: " + line;
                    return dump;
                }
                dump.names[id[0]] = name;
            } else if (keyword == "$enddefinitions") {
                dump.headerComplete = true;
            }
            continue;
        }
        if (line == "$dumpvars") {
            inDumpvars = true;
            continue;
        }
        if (line.rfind("$comment ", 0) == 0 && line.size() >= 4 &&
            line.compare(line.size() - 4, 4, "$end") == 0) {
            continue;  // a one-line comment, as IEEE 1364 allows anywhere
        }
        if (line == "$end" && inDumpvars) {
            inDumpvars = false;
            continue;
        }
        if (!line.empty() && line[0] == '#') {
            const long long time = std::stoll(line.substr(1));
            if (time <= lastTime && !(time == 0 && lastTime == -1)) {
                dump.error = "time does not increase at " + line;
                return dump;
            }
            lastTime = time;
            continue;
        }
        if (line.size() != 2 || std::string("01xz").find(line[0]) == std::string::npos ||
            dump.names.count(line[1]) == 0) {
            dump.error = "bad value change: " + line;
            return dump;
        }
        const char previousTck = current.count('!') ? current['!'] : '?';
        current[line[1]] = line[0];
        if (line[1] == '!' && line[0] == '1' && previousTck == '0') {
            for (const auto& [id, name] : dump.names) {
                if (id != '!') dump.traces[name].push_back(current[id]);
            }
        }
    }
    return dump;
}

TEST(VcdWriter, ShortScanIsWellFormedAndRecordsEveryClock) {
    const std::string path = temporaryPath("short");
    {
        quorbit::VcdWriter writer;
        std::string error;
        ASSERT_TRUE(writer.open(path, 1 << 20, error)) << error;
        const std::uint8_t tms[] = {0x1F, 0x80};  // five ones, ..., last bit one
        const std::uint8_t tdi[] = {0xA5, 0x03};
        const std::uint8_t tdo[] = {0xF0, 0x01};
        writer.clocks(10, tms, tdi, tdo, true);
        EXPECT_FALSE(writer.truncated());
    }
    const ParsedDump dump = parseDump(readFile(path));
    ASSERT_TRUE(dump.error.empty()) << dump.error;
    ASSERT_TRUE(dump.headerComplete);
    ASSERT_EQ(dump.names.size(), 4u);
    EXPECT_EQ(dump.traces.at("tms"), "1111100001");
    EXPECT_EQ(dump.traces.at("tdi"), "1010010111");
    EXPECT_EQ(dump.traces.at("tdo"), "0000111110");
    std::remove(path.c_str());
}

TEST(VcdWriter, StopsGrowingAtItsLimitOnAClockBoundary) {
    const std::string path = temporaryPath("bounded");
    std::uint64_t written = 0;
    {
        quorbit::VcdWriter writer;
        std::string error;
        ASSERT_TRUE(writer.open(path, 2000, error)) << error;
        std::vector<std::uint8_t> bits(1000, 0x5A);
        writer.clocks(8000, bits.data(), bits.data(), bits.data(), false);
        EXPECT_TRUE(writer.truncated());
        written = writer.bytesWritten();
    }
    const std::string text = readFile(path);
    EXPECT_LE(text.size(), 2000u);
    EXPECT_EQ(text.size(), written);
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(text.back(), '\n');
    EXPECT_NE(text.find("$comment recording stopped at the size cap of 2000 bytes"),
              std::string::npos);
    EXPECT_TRUE(parseDump(text).error.empty());
    std::remove(path.c_str());
}

TEST(VcdWriter, UnwritablePathIsReported) {
    quorbit::VcdWriter writer;
    std::string error;
    EXPECT_FALSE(writer.open("/nonexistent/dir/x.vcd", 100, error));
    EXPECT_EQ(error.rfind("/nonexistent/dir/x.vcd: cannot create the VCD file", 0), 0u) << error;
}

TEST(VcdWriter, RunningEmulatorDumpsTheRawShiftsItExecutes) {
    const std::string path = temporaryPath("emulator");
    quorbit::SimOptions options;
    options.vcdPath = path;
    {
        quorbit::Simulator simulator(options);
        std::string error;
        ASSERT_TRUE(simulator.start(error)) << error;
        simtest::ScriptedClient client(simulator.udpPort());
        ASSERT_TRUE(client.open());
        ASSERT_EQ(client.attach().status, 0);
        ASSERT_EQ(client.command("JTAG.PIN ENABLE").status, 0);
        const simtest::Bytes reset = {0xFF};
        ASSERT_EQ(client.rawShift(0, 6, &reset, nullptr, false).status, 0);
        simulator.stop();
    }
    const ParsedDump dump = parseDump(readFile(path));
    ASSERT_TRUE(dump.error.empty()) << dump.error;
    EXPECT_EQ(dump.traces.at("tms"), "111111");
    std::remove(path.c_str());
}

}  // namespace
