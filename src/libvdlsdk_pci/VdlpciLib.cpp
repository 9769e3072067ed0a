// The platform-neutral half of the PCIe library object: the device table.
#include "vdlsdk/VdlpciLib.hpp"

#include <memory>

#include <unistd.h>

#include "vdlsdk/VdlpciDevice.hpp"
#include "vdlsdk/vdl_exception.hpp"
#include "vdlsdk/vdl_logger.hpp"

const nlohmann::json VdlpciLib::defaultConfig = nullptr;
const std::string VdlpciLib::m_configName = "vdlpci_config.json";

VdlpciLib* VdlpciLib::getInstance()
{
    // A constructor that raises leaves the static uninitialised, so the next
    // call runs the whole construction again.
    static const std::unique_ptr<VdlpciLib> instance(new VdlpciLinuxLib());
    return instance.get();
}

VdlpciLib::VdlpciLib() : Vandrel::VdlsdkLib(m_configName, defaultConfig), m_ownerPid(::getpid())
{
}

VdlpciLib::~VdlpciLib()
{
    if (::getpid() == m_ownerPid) {
        deleteDevices();
        return;
    }
    for (VdlpciDevice* card : m_devices)
        delete card;
    m_devices.clear();
}

int VdlpciLib::deviceCount()
{
    const std::lock_guard<std::mutex> lock(m_tableLock);
    return static_cast<int>(m_devices.size());
}

void VdlpciLib::device(int index, VdlpciDevice*& card)
{
    const std::lock_guard<std::mutex> lock(m_tableLock);
    if (index < 0 || static_cast<std::size_t>(index) >= m_devices.size())
        throw VDLException<-13>("could not find open PCI device at index {}", index);
    card = m_devices[static_cast<std::size_t>(index)];
}

void VdlpciLib::deviceIndex(VdlpciDevice* card, int& index)
{
    const std::lock_guard<std::mutex> lock(m_tableLock);
    for (std::size_t i = 0; i < m_devices.size(); ++i) {
        if (m_devices[i] == card) {
            index = static_cast<int>(i);
            return;
        }
    }
    throw VDLException<-13>("could not find PCI device");
}

void VdlpciLib::close(VdlpciDevice* card)
{
    if (card == nullptr)
        throw VDLException<-5>("could not close device, as device was null");
    card->close();
}

void VdlpciLib::deleteDevices()
{
    const std::lock_guard<std::mutex> lock(m_tableLock);
    for (VdlpciDevice* card : m_devices)
        delete card;
    m_devices.clear();
}
