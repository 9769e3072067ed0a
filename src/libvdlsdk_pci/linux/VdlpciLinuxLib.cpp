// The Linux half of the PCIe library object: enumeration and card open.
#include <cstdint>
#include <mutex>

#include "vdlsdk/VdlLibraryOptions.hpp"
#include "vdlsdk/VdlpciLib.hpp"
#include "vdlsdk/VdlpciLinuxDevice.hpp"
#include "vdlsdk/vdl_exception.hpp"
#include "vdlsdk/vdl_logger.hpp"
#include "vdlsdk/vdlcard.h"

namespace {

// The card count travels as one 32-bit word.
constexpr std::uint32_t kCardCountBytes = sizeof(std::int32_t);

} // namespace

VdlpciLinuxLib::VdlpciLinuxLib()
{
    // The base destructor runs when this raises: it deletes the cards opened so
    // far and writes the option file.
    rescan();
}

VdlpciLinuxLib::~VdlpciLinuxLib() = default;

int VdlpciLinuxLib::rescan()
{
    _check_group();
    {
        const std::lock_guard<std::mutex> lock(m_tableLock);
        for (VdlpciDevice* card : m_devices)
            card->close();
    }
    deleteDevices();

    VdlpciDevice* first = nullptr;
    try {
        open(0, first);
    } catch (const VDLException<-13>&) {
        // No card 0: a host without cards is not a failure.
        return deviceCount();
    }

    std::int32_t count = 0;
    vdlcard_command request{};
    request.command = VDLCARD_CMD_CARD_COUNT;
    request.readCount = kCardCountBytes;
    request.readBuffer = &count;
    // A failed request leaves the preset 0, so card 0 alone is kept.
    vdlcard_Status(static_cast<VdlpciLinuxDevice*>(first)->getHandle(), VDLCARD_STATUS_COMMAND,
                   &request);
    VDL_TRACE(LOGGER_PCI, "Number of Vandrel cards found: {}", count);

    for (int i = 0; i < count; ++i) {
        VdlpciDevice* card = nullptr;
        open(i, card);
    }
    return deviceCount();
}

void VdlpciLinuxLib::open(int cardnum, VdlpciDevice*& card)
{
    try {
        device(cardnum, card);
        return;
    } catch (const VDLException<-13>&) {
    }

    bool beyondNext = false;
    {
        // One opening at a time, without the lock: a concurrent first open of
        // the same card waits here and then finds it in the table.
        std::unique_lock<std::mutex> lock(m_tableLock);
        m_opened.wait(lock, [this] { return !m_opening; });
        const std::size_t size = m_devices.size();
        if (cardnum >= 0 && static_cast<std::size_t>(cardnum) < size) {
            card = m_devices[static_cast<std::size_t>(cardnum)];
            return;
        }
        beyondNext = cardnum >= 0 && static_cast<std::size_t>(cardnum) > size;
        if (!beyondNext) {
            // Room for the new card now, so that its append cannot fail later.
            m_devices.reserve(size + 1);
            m_opening = true;
        }
    }
    if (beyondNext) {
        // A card without a device node is missing whatever its number
        // (vdlcard_has_access raises -13 naming the node). One that exists
        // beyond the next free position would land at a position other than
        // its number, where no later lookup by index could find it.
        vdlcard_has_access(cardnum);
        throw VDLException<-13>("could not open PCI device {}: open the cards below it first",
                                cardnum);
    }
    // Whatever the outcome, the next waiting opener may go on.
    struct OpeningDone {
        VdlpciLinuxLib& lib;
        ~OpeningDone()
        {
            {
                const std::lock_guard<std::mutex> lock(lib.m_tableLock);
                lib.m_opening = false;
            }
            lib.m_opened.notify_all();
        }
    } done{*this};

    auto* fresh = new VdlpciLinuxDevice(cardnum);
    try {
        if (!fresh->hasAccess())
            throw VDLException<-38>("Insufficient Permissions to open device {}", cardnum);
        fresh->openhandle();
    } catch (...) {
        delete fresh;
        card = nullptr;
        throw;
    }
    card = fresh;
    const std::lock_guard<std::mutex> lock(m_tableLock);
    m_devices.push_back(fresh);
}

void VdlpciLinuxLib::_check_group() const
{
    static std::once_flag groupWarning;
    std::call_once(groupWarning, [] {
        if (!is_in_vandrel_group())
            VDL_WARN(LOGGER_PCI, "User is not in vandrel group. Access to the PCI driver may not work.");
    });
}
