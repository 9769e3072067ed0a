#pragma once
// The PCIe library object: one per process, created on first use. It owns the
// library's option file and the table of opened cards; a card's position in
// the table is its index for every index-based function. Cards are only ever
// appended, so the handles given out stay valid until the object goes away.
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "vdlsdk/VdlsdkLib.hpp"

class VdlpciDevice;

class VdlpciLib : public Vandrel::VdlsdkLib {
public:
    // The one library object, constructed on the first call. A construction
    // that raises leaves nothing behind, and the next call tries again.
    static VdlpciLib* getInstance();

    virtual ~VdlpciLib();

    // The card for a card number: the one in the table at that position, or a
    // newly opened card appended to the table. Safe from several threads: a
    // card is opened once, and concurrent callers get the same object.
    virtual void open(int cardnum, VdlpciDevice*& card) = 0;
    virtual int deviceCount();
    // VDLException<-13> for an index that is not in the table.
    virtual void device(int index, VdlpciDevice*& card);
    // VDLException<-13> for a card that is not in the table.
    virtual void deviceIndex(VdlpciDevice* card, int& index);
    // Leaves the card in the table. VDLException<-5> for a null card.
    virtual void close(VdlpciDevice* card);

    // Deletes every card and empties the table.
    void deleteDevices();

    static const nlohmann::json defaultConfig;
    static const std::string m_configName;

protected:
    VdlpciLib();

    // Guards m_devices and m_opening; never held across a card operation.
    std::mutex m_tableLock;
    std::vector<VdlpciDevice*> m_devices;
    // A card is being opened outside the lock: other first opens wait for it
    // on m_opened instead of opening the same card a second time.
    bool m_opening = false;
    std::condition_variable m_opened;
    // The process that created the object. In a forked child, which has one
    // thread, the table lock may be held for ever by a thread of the parent:
    // the child's destruction does not wait for it.
    int m_ownerPid;
};

class VdlpciLinuxLib : public VdlpciLib {
public:
    // Enumerates the cards; raises when one of them cannot be opened.
    VdlpciLinuxLib();
    ~VdlpciLinuxLib() override;

    void open(int cardnum, VdlpciDevice*& card) override;

    // Deletes every card and opens them all again: card 0, then as many as the
    // driver counts. Every handle given out before becomes invalid. Returns the
    // number of cards in the table.
    int rescan();
    // Warns once per process when the user is not in the driver's group.
    void _check_group() const;
};
