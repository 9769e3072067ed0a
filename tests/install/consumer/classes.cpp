// A C++ program built against an installed kit's class headers: the library
// object, a card's configuration space, the exception family caught by type
// across the library boundary, the shared loggers and the option document.
#include <cstdio>
#include <string>

#include <vdlsdk/VdlpciConfigSpace.hpp>
#include <vdlsdk/VdlpciDevice.hpp>
#include <vdlsdk/VdlpciLib.hpp>
#include <vdlsdk/vdl_exception.hpp>
#include <vdlsdk/vdl_logger.hpp>
#include <vdlsdk/vdlsdk_util.h>

int main()
{
    VdlpciLib* lib = VdlpciLib::getInstance();
    std::printf("cards: %d\n", lib->deviceCount());

    VdlpciDevice* card = nullptr;
    lib->device(0, card);
    unsigned short vendor = 0, device = 0, subVendor = 0, subDevice = 0;
    card->getIds(vendor, device, subVendor, subDevice);
    std::printf("card 0: %04x:%04x\n", vendor, device);
    unsigned int word = 0;
    card->pcicfg()->read32s(0, &word, 1);
    std::printf("config word 0: %08x\n", word);

    // Thrown inside libvdlsdk_pci, caught here by its exact type.
    try {
        lib->device(99, card);
        std::puts("no exception");
        return 1;
    } catch (const VDLException<-13>& e) {
        std::printf("caught VDLException<-13>: %s\n", e.what());
    }

    // The logger the libraries write to is the one this program sees.
    set_log_verbosity(LOGGER_GENERAL, 3);
    std::printf("general logger level: %d\n",
                static_cast<int>(VDLLogger<LOGGER_GENERAL>::_logger->level()));

    lib->getOptions().setOption("consumer/key", "value");
    std::printf("option: %s\n", lib->getOptions().getData().dump().c_str());
    return 0;
}
