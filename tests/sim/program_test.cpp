// SPDX-License-Identifier: Apache-2.0
// The quorbit-sim program as a user runs it: it prints where it listens, serves a client, ends
// cleanly on SIGTERM, and exits 2 on usage errors and 1 when it cannot start.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "krv/ProjectVersion.h"
#include "support/ScriptedClient.h"

extern char** environ;

namespace {

class Program {
  public:
    explicit Program(const std::vector<std::string>& args) {
        int out[2];
        int err[2];
        if (::pipe(out) != 0 || ::pipe(err) != 0) return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_adddup2(&actions, err[1], 2);
        posix_spawn_file_actions_addclose(&actions, out[0]);
        posix_spawn_file_actions_addclose(&actions, err[0]);
        std::vector<std::string> all = {QUORBIT_SIM_PROGRAM};
        all.insert(all.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (auto& arg : all) argv.push_back(arg.data());
        argv.push_back(nullptr);
        if (posix_spawn(&pid_, QUORBIT_SIM_PROGRAM, &actions, nullptr, argv.data(), environ) != 0) {
            pid_ = -1;
        }
        posix_spawn_file_actions_destroy(&actions);
        ::close(out[1]);
        ::close(err[1]);
        out_ = ::fdopen(out[0], "r");
        err_ = ::fdopen(err[0], "r");
    }
    ~Program() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            (void)exitStatus();
        }
        if (out_ != nullptr) std::fclose(out_);
        if (err_ != nullptr) std::fclose(err_);
    }

    std::string line(bool fromStderr = false) {
        char buffer[512];
        FILE* stream = fromStderr ? err_ : out_;
        if (stream == nullptr || std::fgets(buffer, sizeof buffer, stream) == nullptr) return {};
        return buffer;
    }
    void signal(int number) { ::kill(pid_, number); }
    int exitStatus() {
        int status = 0;
        if (pid_ <= 0 || ::waitpid(pid_, &status, 0) != pid_) return -1;
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

  private:
    pid_t pid_ = -1;
    FILE* out_ = nullptr;
    FILE* err_ = nullptr;
};

TEST(Program, ListensOnAFreePortServesAClientAndEndsOnSigterm) {
    Program program({"--port", "0", "--rbb-port", "0"});
    const std::string listening = program.line();
    ASSERT_EQ(listening.rfind("listening on 127.0.0.1:", 0), 0u) << listening;
    const int port = std::stoi(listening.substr(listening.rfind(':') + 1));
    ASSERT_GT(port, 0);
    EXPECT_EQ(program.line().rfind("remote_bitbang on 127.0.0.1:", 0), 0u);
    simtest::ScriptedClient client(static_cast<std::uint16_t>(port));
    ASSERT_TRUE(client.open());
    EXPECT_EQ(client.attach().status, 0);
    program.signal(SIGTERM);
    EXPECT_EQ(program.exitStatus(), 0);
}

TEST(Program, VerbosePrintsOneLinePerRequest) {
    Program program({"--port=0", "--verbose"});
    const std::string listening = program.line();
    const int port = std::stoi(listening.substr(listening.rfind(':') + 1));
    simtest::ScriptedClient client(static_cast<std::uint16_t>(port));
    ASSERT_TRUE(client.open());
    ASSERT_EQ(client.attach().status, 0);
    std::string line;
    do {
        line = program.line();
    } while (!line.empty() && line.find("request 1 ") == std::string::npos);
    EXPECT_EQ(line, "request 1 id 0x01: attach -> status 0\n");
    program.signal(SIGINT);
    EXPECT_EQ(program.exitStatus(), 0);
}

// The UDP ports of every packet of a capture file, read without libpcap: the file must be whole.
std::vector<std::pair<int, int>> capturedPorts(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(file)), {});
    const auto at = [&](std::size_t i) { return static_cast<std::uint8_t>(bytes[i]); };
    const auto le32 = [&](std::size_t i) {
        return at(i) | at(i + 1) << 8 | at(i + 2) << 16 |
               static_cast<std::uint32_t>(at(i + 3)) << 24;
    };
    std::vector<std::pair<int, int>> ports;
    if (bytes.size() < 24 || le32(0) != 0xA1B2C3D4 || le32(20) != 101) return ports;  // raw IP
    for (std::size_t record = 24; record + 16 + 28 <= bytes.size();) {
        const std::size_t ip = record + 16;
        ports.emplace_back(at(ip + 20) << 8 | at(ip + 21), at(ip + 22) << 8 | at(ip + 23));
        record = ip + le32(record + 8);
    }
    return ports;
}

TEST(Program, WritesEveryDatagramToTheCaptureAndFlushesItOnSigint) {
    const std::string path = ::testing::TempDir() + "program_test.pcap";
    Program program({"--port", "0", "--pcap", path});
    const std::string listening = program.line();
    const int port = std::stoi(listening.substr(listening.rfind(':') + 1));
    simtest::ScriptedClient client(static_cast<std::uint16_t>(port));
    ASSERT_TRUE(client.open());
    EXPECT_EQ(client.attach().status, 0);
    program.signal(SIGINT);
    EXPECT_EQ(program.exitStatus(), 0);
    // Connect, accept, sync request, sync reply, confirm, attach and its reply.
    const auto ports = capturedPorts(path);
    ASSERT_EQ(ports.size(), 7u);
    for (std::size_t i = 0; i < ports.size(); ++i) {
        EXPECT_EQ(i == 1 || i == 3 || i == 6 ? ports[i].first : ports[i].second, port) << i;
    }
    std::remove(path.c_str());
}

struct Failure {
    const char* name;
    std::vector<std::string> args;
    int status;
    const char* message;
};

class ProgramFailureTest : public ::testing::TestWithParam<Failure> {};

TEST_P(ProgramFailureTest, ExitsWithItsStatusAndAOneLineReason) {
    Program program(GetParam().args);
    EXPECT_EQ(program.line(true), GetParam().message);
    EXPECT_EQ(program.exitStatus(), GetParam().status);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ProgramFailureTest,
    ::testing::Values(Failure{"UnknownOption",
                              {"--nope"},
                              2,
                              "quorbit-sim: unknown argument '--nope' (see --help)\n"},
                      Failure{"BadPacketLength",
                              {"--packlen", "9"},
                              2,
                              "quorbit-sim: --packlen takes 16..1472, not '9'\n"},
                      Failure{"MissingChainFile",
                              {"--port", "0", "--chain", "/nonexistent/x.chain"},
                              1,
                              "quorbit-sim: /nonexistent/x.chain: cannot open the file\n"},
                      Failure{"UnwritableCapture",
                              {"--port", "0", "--pcap", "/nonexistent/x.pcap"},
                              1,
                              "quorbit-sim: cannot write the capture: /nonexistent/x.pcap: No "
                              "such file or directory\n"},
                      Failure{
                          "BadBindAddress",
                          {"--port", "0", "--bind", "10.0.0.300"},
                          2,  // a usage error like every other bad option
                          "quorbit-sim: bind address '10.0.0.300' is not a dotted IPv4 address\n"}),
    [](const ::testing::TestParamInfo<Failure>& info) { return info.param.name; });

// A chain file that exists but is wrong keeps its own error: it was never looked up among the
// installed chains, so no remark about them belongs beside it.
TEST(Program, AChainFileWithAnErrorIsNotAlsoLookedUpByName) {
    const std::string name = "program_test_bad.chain";  // in the working folder: no '/'
    std::ofstream(name) << "orbis 1 0x151C0EFF 09\n";
    Program program({"--port", "0", "--chain", name});
    EXPECT_EQ(program.line(true), "quorbit-sim: " + name + ":1: IR length 1 out of range 2..64\n");
    EXPECT_EQ(program.exitStatus(), 1);
    std::remove(name.c_str());
}

TEST(Program, HelpPrintsUsageAndSucceeds) {
    Program program({"--help"});
    EXPECT_EQ(program.line(), "Usage: quorbit-sim [options]\n");
    EXPECT_EQ(program.exitStatus(), 0);
}

TEST(Program, VersionPrintsTheProjectVersionAndCommit) {
    Program program({"--version"});
    const std::string commit = *KRV_GIT_COMMIT != '\0' ? " git " KRV_GIT_COMMIT : "";
    EXPECT_EQ(program.line(), "quorbit-sim " KRV_PROJECT_VERSION + commit + "\n");
    EXPECT_EQ(program.exitStatus(), 0);
}

}  // namespace
