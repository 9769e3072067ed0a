// One option file, several programs: the saved link state of a card survives
// the exit of a program that loaded the file before it was saved.
#include <csignal>
#include <filesystem>
#include <functional>
#include <string>

#include <sys/wait.h>
#include <unistd.h>

#include "device_support.hpp"
#include "vdltest.hpp"

namespace {

constexpr unsigned kBar0 = 0x10;

// Runs `body` in a forked child that ends with exit(), so that the library
// object's save at the end runs as in any program. Returns the exit status.
int runProgram(const std::function<int()>& body, int waitFd = -1)
{
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        const int rc = body();
        if (waitFd >= 0) {
            char byte;
            (void)!read(waitFd, &byte, 1);
        }
        std::exit(rc);
    }
    return pid;
}

int waitFor(pid_t pid)
{
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

uint32_t bar0()
{
    uint32_t value = 0;
    EXPECT_EQ(vdlsim_config_peek(0, VDLSIM_SPACE_CARD, kBar0, 4, &value), 0);
    return value;
}

} // namespace

TEST(pciOptionFile, SavedLinkStateOutlivesAnOlderProgramsExit)
{
    pcitest::resetStandIn();
    // A directory of the test's own: exit() in the programs below runs the
    // test main's clean-up of its own directory.
    const std::string dir = vdltest::makeTempDir("pci-option-file");
    setenv("VDLSDK_CONFIG", dir.c_str(), 1);
    const uint32_t address = bar0();
    ASSERT_NE(address, 0u);

    // Program B (working on another card) loads the file, then waits.
    int loaded[2], quit[2];
    ASSERT_EQ(pipe(loaded), 0);
    ASSERT_EQ(pipe(quit), 0);
    const pid_t b = runProgram(
        [&] {
            const int count = vdlpci_option_count();
            (void)!write(loaded[1], "l", 1);
            return count == 0 ? 0 : 1;
        },
        quit[0]);
    char byte;
    ASSERT_EQ(read(loaded[0], &byte, 1), 1);

    // Program A saves card 0's link state and ends.
    const pid_t a = runProgram([] { return vdlpci_link_save(0, VDLPCI_LINK_SAVE_REGISTERS) == 0 ? 0 : 1; });
    ASSERT_EQ(waitFor(a), 0);
    const std::string saved = devtest::optionFile();
    ASSERT_NE(saved.find("device0/saved_bars"), std::string::npos) << saved;

    // B ends: its save at the end keeps what A saved.
    ASSERT_EQ(write(quit[1], "q", 1), 1);
    ASSERT_EQ(waitFor(b), 0);
    EXPECT_EQ(devtest::optionFile(), saved);

    // A's restore, run later, finds and uses the saved state.
    const pid_t restore = runProgram([&] {
        if (vdlsim_config_poke(0, VDLSIM_SPACE_CARD, kBar0, 4, 0) != 0 || bar0() != 0)
            return 2;
        if (vdlpci_link_restore(0, VDLPCI_LINK_RESTORE_REGISTERS) != 0)
            return 3;
        return bar0() == address ? 0 : 4;
    });
    EXPECT_EQ(waitFor(restore), 0);

    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
}
