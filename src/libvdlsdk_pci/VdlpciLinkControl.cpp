// Link control of a configuration space: Link Disable, Retrain Link and the
// wait for Link Training in the PCI Express capability, and the Surprise Down
// mask of Advanced Error Reporting.
#include "vdlsdk/VdlpciConfigSpace.hpp"

#include "pci_regs.hpp"
#include "vdlsdk/vdl_exception.hpp"
#include "vdlsdk/vdl_logger.hpp"
#include "vdlsdk/vdlsdk_util.h"

using namespace pci_regs;

namespace {

// Level number of VDLBaseException::log for a cause reported at warn level.
constexpr int LOG_LEVEL_WARN = 3;
// Settle time after setting Retrain Link, then the polls of Link Training.
constexpr int RETRAIN_SETTLE_MS = 500;
constexpr int RETRAIN_POLLS = 500;
constexpr int TRAINING_POLL_MS = 1;

// A register write that did not reach the port is a failed operation. (The
// bridge's space raises by itself; the card's own reports it in the count.)
void writeOrRaise(VdlpciConfigSpace& space, unsigned long offset, unsigned short value)
{
    if (space.write16s(offset, &value, 1) < 0)
        throw VDLException<-34>("Error writing PCIe config register {:#016x}", offset);
}

void writeOrRaise(VdlpciConfigSpace& space, unsigned long offset, std::uint32_t value)
{
    if (space.write32s(offset, &value, 1) < 0)
        throw VDLException<-34>("Error writing PCIe config register {:#016x}", offset);
}

} // namespace

bool VdlpciConfigSpace::isLinkEnabled()
{
    VDL_TRACE(LOGGER_PCI, "checking if link is enabled");
    unsigned short control = ALL_ONES_16;
    int result = 0;
    try {
        unsigned int cap = 0;
        findCaps(CAP_ID_PCI_EXPRESS, &cap);
        result = read16s(cap + EXP_LINK_CONTROL, &control, 1);
    } catch (const VDLBaseException& e) {
        e.log<int>(LOG_LEVEL_WARN);
        return false;
    }
    if (result < 0 || control == ALL_ONES_16)
        return false;
    return (control & EXP_LINK_CONTROL_LINK_DISABLE) == 0;
}

void VdlpciConfigSpace::linkEnable(bool enable)
{
    VDL_TRACE(LOGGER_PCI, "pci_find_caps on upstream bridge");
    unsigned int cap = 0;
    findCaps(CAP_ID_PCI_EXPRESS, &cap);
    unsigned short control = ALL_ONES_16;
    // A failed read leaves no value to modify: writing one back would clobber
    // the register's other bits, so it counts as a port that does not answer.
    if (read16s(cap + EXP_LINK_CONTROL, &control, 1) < 0 || control == ALL_ONES_16)
        throw VDLException<-3>("could not enable link");

    if (enable)
        control &= static_cast<unsigned short>(~EXP_LINK_CONTROL_LINK_DISABLE);
    else
        control |= EXP_LINK_CONTROL_LINK_DISABLE;
    VDL_TRACE(LOGGER_PCI, "enable link");
    writeOrRaise(*this, cap + EXP_LINK_CONTROL, control);
}

void VdlpciConfigSpace::linkRetrain(bool wait)
{
    VDL_TRACE(LOGGER_PCI, "pci_find_caps on upstream bridge");
    unsigned int cap = 0;
    findCaps(CAP_ID_PCI_EXPRESS, &cap);
    unsigned short control = ALL_ONES_16;
    if (read16s(cap + EXP_LINK_CONTROL, &control, 1) < 0 || control == ALL_ONES_16)
        throw VDLException<-3>("could not retrain link");

    control |= EXP_LINK_CONTROL_RETRAIN_LINK;
    writeOrRaise(*this, cap + EXP_LINK_CONTROL, control);
    if (!wait)
        return;
    millisecond_sleep(RETRAIN_SETTLE_MS);
    waitForLinkTrainingComplete(RETRAIN_POLLS);
}

void VdlpciConfigSpace::waitForLinkTrainingComplete(int polls)
{
    unsigned int cap = 0;
    findCaps(CAP_ID_PCI_EXPRESS, &cap);
    int count = 0;
    do {
        unsigned short status = ALL_ONES_16;
        // A failed read tells nothing about the training: keep polling.
        if (read16s(cap + EXP_LINK_STATUS, &status, 1) >= 0 &&
            (status & EXP_LINK_STATUS_LINK_TRAINING) == 0)
            return;
        millisecond_sleep(TRAINING_POLL_MS);
        ++count;
    } while (count < polls);
    throw VDLException<-9>("timeout of {} reached while waiting for PCI link training to complete",
                           polls);
}

void VdlpciConfigSpace::aerSurpriseEnable(bool enable, bool& wasEnabled)
{
    unsigned int cap = 0;
    try {
        findExtendedCapability(EXT_CAP_ID_AER, &cap);
    } catch (const VDLException<-13>& e) {
        // Only a list read to its end lacks the capability; a read that failed
        // passes on as it is, or the save would record Surprise Down as masked.
        e.log<int>(LOG_LEVEL_WARN);
        throw VDLException<-13>("could not find PCI capability: PCIE_AER_CAPABILITY_ID");
    }
    const unsigned long reg = cap + AER_UNCORRECTABLE_ERROR_MASK;
    std::uint32_t mask = ALL_ONES_32;
    // The mask is written back whole: without a value read from the port
    // every other error's mask bit would be overwritten.
    if (read32s(reg, &mask, 1) < 0 || mask == ALL_ONES_32)
        throw VDLException<-3>("could not read AER uncorrectable error mask at {:#016x}", reg);

    wasEnabled = (mask & AER_UNCOR_SURPRISE_DOWN) == 0;
    VDL_TRACE(LOGGER_PCI, "(before) uce_mask={:#08X}", mask);
    if (enable)
        mask &= ~AER_UNCOR_SURPRISE_DOWN;
    else
        mask |= AER_UNCOR_SURPRISE_DOWN;
    VDL_TRACE(LOGGER_PCI, "(after) uce_mask={:#08X}", mask);
    writeOrRaise(*this, reg, mask);
}
