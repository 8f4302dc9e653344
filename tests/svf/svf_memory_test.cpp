// SPDX-License-Identifier: Apache-2.0
// cse-host plays a 256 MB SVF file from a pipe in bounded memory: its peak RSS stays below 64 MB
// plus twice the largest scan's bits, far below the file's size.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <string>

namespace {

TEST(SvfMemory, A256MegabyteFileFromAPipePlaysInBoundedMemory) {
    constexpr uint32_t kScanBits = 1000000;  // zeros through the BYPASS chain come back as zeros
    const std::string scan = "SDR " + std::to_string(kScanBits) + " TDI(" +
                             std::string(kScanBits / 4, '0') + ")\n  TDO(" +
                             std::string(kScanBits / 4, '0') + ")\n  MASK(" +
                             std::string(kScanBits / 4, 'F') + ");\n";
    int input[2];
    ASSERT_EQ(pipe(input), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        dup2(input[0], STDIN_FILENO);
        close(input[0]);
        close(input[1]);
        execl(KRV_CSE_HOST, KRV_CSE_HOST, "--quiet", "svf", "-", static_cast<char*>(nullptr));
        _exit(127);
    }
    close(input[0]);
    std::signal(SIGPIPE, SIG_IGN);
    std::string text = "SIR 18 TDI(3FFFF);\n";
    uint64_t written = 0;
    while (written < (uint64_t{256} << 20)) {
        for (size_t done = 0; done < text.size();) {
            const ssize_t n = write(input[1], text.data() + done, text.size() - done);
            ASSERT_GT(n, 0) << "cse-host stopped reading after " << written << " bytes";
            done += static_cast<size_t>(n);
        }
        written += text.size();
        text = scan;
    }
    close(input[1]);
    int status = 0;
    struct rusage usage {};
    ASSERT_EQ(wait4(child, &status, 0, &usage), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    const long boundKb = 64 * 1024 + 2 * (kScanBits / 8 / 1024 + 1);
    EXPECT_LT(usage.ru_maxrss, boundKb) << "peak RSS in KB after " << written << " bytes of SVF";
}

}  // namespace
