// One option file, several programs: the saved link state of a card survives
// the exit of a program that loaded the file before it was saved.
#include <string>

#include <unistd.h>

#include "device_support.hpp"
#include "vdltest.hpp"
#include "vdltest_process.hpp"

namespace {

constexpr unsigned kBar0 = 0x10;

uint32_t bar0() { return pcitest::peek(VDLSIM_SPACE_CARD, kBar0); }

} // namespace

TEST(pciOptionFile, SavedLinkStateOutlivesAnOlderProgramsExit)
{
    vdltest::resetSim();
    // A directory of the test's own: exit() in the programs below runs the
    // test main's clean-up of its own directory.
    const vdltest::ConfigDir dir("pci-option-file");
    const uint32_t address = bar0();
    ASSERT_NE(address, 0u);

    // Program B (working on another card) loads the file, then waits.
    int loaded[2], quit[2];
    ASSERT_EQ(pipe(loaded), 0);
    ASSERT_EQ(pipe(quit), 0);
    const pid_t b = vdltest::startChild(
        [&] {
            close(quit[1]); // a test that ends early ends B too
            const int count = vdlpci_option_count();
            (void)!write(loaded[1], "l", 1);
            char quitByte;
            (void)!read(quit[0], &quitByte, 1);
            return count == 0 ? 0 : 1;
        },
        vdltest::ChildExit::Normal);
    char byte;
    ASSERT_EQ(read(loaded[0], &byte, 1), 1);

    // Program A saves card 0's link state and ends.
    ASSERT_EQ(vdltest::runInChild(
                  [] { return vdlpci_link_save(0, VDLPCI_LINK_SAVE_REGISTERS) == 0 ? 0 : 1; },
                  vdltest::ChildExit::Normal),
              0);
    const std::string saved = devtest::optionFile();
    ASSERT_NE(saved.find("device0/saved_bars"), std::string::npos) << saved;

    // B ends: its save at the end keeps what A saved.
    ASSERT_EQ(write(quit[1], "q", 1), 1);
    ASSERT_EQ(vdltest::waitChild(b), 0);
    EXPECT_EQ(devtest::optionFile(), saved);

    // A's restore, run later, finds and uses the saved state.
    const int restored = vdltest::runInChild(
        [&] {
            if (vdlsim_config_poke(0, VDLSIM_SPACE_CARD, kBar0, 4, 0) != 0 || bar0() != 0)
                return 2;
            if (vdlpci_link_restore(0, VDLPCI_LINK_RESTORE_REGISTERS) != 0)
                return 3;
            return bar0() == address ? 0 : 4;
        },
        vdltest::ChildExit::Normal);
    EXPECT_EQ(restored, 0);
}
