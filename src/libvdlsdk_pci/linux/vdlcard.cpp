// The driver interface: every system call on a card's device node goes
// through here. Reports by return value; only vdlcard_has_access raises.
#include "vdlsdk/vdlcard.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

#include "linux/bar_request.hpp"
#include "vdlsdk/vdl_exception.hpp"
#include "vdlsdk/vdl_logger.hpp"

namespace {

// The request values are fixed by the driver; their direction and size bits
// must stay what the driver's own _IOC encoding gives.
constexpr unsigned int kReqType = 'x';
static_assert(VDLCARD_REQ_STATUS_WORD == _IOC(_IOC_READ, kReqType, 1, 4));
static_assert(VDLCARD_REQ_DEVICE_ID == _IOC(_IOC_READ, kReqType, 2, 4));
static_assert(VDLCARD_REQ_SUBSYSTEM_ID == _IOC(_IOC_READ, kReqType, 3, 4));
static_assert(VDLCARD_REQ_UPSTREAM == _IOC(_IOC_READ, kReqType, 4, 8));
static_assert(VDLCARD_REQ_COMMAND == _IOC(_IOC_READ | _IOC_WRITE, kReqType, 5, 8));
static_assert(VDLCARD_REQ_CONTIG_ALLOC == _IOC(_IOC_WRITE, kReqType, 6, 4));
static_assert(VDLCARD_REQ_CONTIG_FREE == _IOC(_IOC_WRITE, kReqType, 7, 4));
static_assert(VDLCARD_REQ_CONTIG_SELECT == _IOC(_IOC_WRITE, kReqType, 8, 4));
static_assert(VDLCARD_REQ_MAP_MODE == _IOC(_IOC_WRITE, kReqType, 9, 4));
static_assert(VDLCARD_REQ_BAR_SIZE == _IOC(_IOC_READ | _IOC_WRITE, kReqType, 10, 8));
static_assert(VDLCARD_REQ_LOCATION == _IOC(_IOC_READ, kReqType, 11, 4));
static_assert(VDLCARD_REQ_SLOT_PATH == _IOC(_IOC_READ, kReqType, 12, 8));
static_assert(VDLCARD_REQ_INT_WAIT == _IOC(_IOC_READ | _IOC_WRITE, kReqType, 13, 8));
static_assert(VDLCARD_REQ_INT_CANCEL == _IOC(_IOC_WRITE, kReqType, 14, 8));
static_assert(VDLCARD_REQ_LOCK == _IOC(_IOC_READ | _IOC_WRITE, kReqType, 15, 8));
static_assert(VDLCARD_REQ_UNLOCK == _IOC(_IOC_WRITE, kReqType, 16, 8));
static_assert(VDLCARD_REQ_LOCK_SYNC_DEV == _IOC(_IOC_WRITE, kReqType, 17, 8));
static_assert(VDLCARD_REQ_LOCK_SYNC_CPU == _IOC(_IOC_WRITE, kReqType, 18, 8));
static_assert(VDLCARD_REQ_CONTIG_SYNC_DEV == _IOC(_IOC_WRITE, kReqType, 19, 8));
static_assert(VDLCARD_REQ_CONTIG_SYNC_CPU == _IOC(_IOC_WRITE, kReqType, 20, 8));
static_assert(VDLCARD_REQ_BAR_ADDRESS == _IOC(_IOC_READ | _IOC_WRITE, kReqType, 21, 8));

constexpr int kOpenFlags = O_RDWR | O_SYNC;
constexpr std::size_t kErrorTextSize = 256;

// Request values of the status modes, indexed by mode - VDLCARD_STATUS_WORD.
constexpr unsigned long kStatusRequests[] = {
    VDLCARD_REQ_STATUS_WORD, VDLCARD_REQ_DEVICE_ID, VDLCARD_REQ_SUBSYSTEM_ID,
    VDLCARD_REQ_UPSTREAM,    VDLCARD_REQ_COMMAND,   VDLCARD_REQ_BAR_SIZE,
    VDLCARD_REQ_LOCATION,    VDLCARD_REQ_SLOT_PATH, VDLCARD_REQ_BAR_ADDRESS,
};
static_assert(sizeof(kStatusRequests) / sizeof(kStatusRequests[0]) ==
              VDLCARD_STATUS_BAR_ADDRESS - VDLCARD_STATUS_WORD + 1);

std::uintptr_t asNumber(const void* p) { return reinterpret_cast<std::uintptr_t>(p); }

void formatNodePath(char (&path)[VDLCARD_NODE_PATH_MAX], long long cardnum)
{
    std::snprintf(path, sizeof(path), VDLCARD_NODE_PREFIX "%lld", cardnum);
}

// GNU and XSI strerror_r differ in their result; both overloads pick the text.
[[maybe_unused]] const char* errorText(int result, const char* buffer)
{
    return result == 0 ? buffer : "Unknown error";
}
[[maybe_unused]] const char* errorText(const char* result, const char*) { return result; }

inline uint64_t barAccess(vdlcard_handle* hcard, uint32_t command, uint32_t bar, const void* in,
                          void* out, uint64_t offset, uint64_t width)
{
    return vdlpci_detail::barRequest(hcard, command, bar, in, out, offset) ? width : 0;
}

vdlcard_contig_request driverRecord(const vdlcard_contig_request& caller)
{
    vdlcard_contig_request own{};
    own.phys[VDLCARD_PHYS_HI] = caller.phys[VDLCARD_PHYS_HI];
    own.phys[VDLCARD_PHYS_LO] = caller.phys[VDLCARD_PHYS_LO];
    own.len = caller.len;
    return own;
}

int setMapMode(vdlcard_handle* hcard, int32_t mode)
{
    return ::ioctl(hcard->fd, VDLCARD_REQ_MAP_MODE, &mode);
}

int allocContig(vdlcard_handle* hcard, vdlcard_contig_request& caller)
{
    vdlcard_contig_request own{};
    own.len = caller.len;
    const int result = ::ioctl(hcard->fd, VDLCARD_REQ_CONTIG_ALLOC, &own);
    if (result != 0) {
        std::puts("Fenro_allocContiguousBuffer returned non zero");
        return result;
    }
    // A buffer shorter than asked cannot hold what the caller will put in it
    // and goes straight back. A longer one (a driver rounds up to whole
    // pages) is mapped, listed, synchronised and freed with the length the
    // driver gave, which the caller's record then carries.
    if (own.len < caller.len) {
        VDL_ERROR(LOGGER_PCI, "the driver gave a contiguous buffer of {} bytes for {} asked for",
                  own.len, caller.len);
        ::ioctl(hcard->fd, VDLCARD_REQ_CONTIG_FREE, &own);
        return -1;
    }

    // Until the buffer is mapped and listed, a failure hands it back to the
    // driver and leaves the caller's record as it was.
    void* mapping = MAP_FAILED;
    vdlcard_contig_node* node = nullptr;
    if (setMapMode(hcard, VDLCARD_MAP_MODE_CONTIG) == 0 &&
        ::ioctl(hcard->fd, VDLCARD_REQ_CONTIG_SELECT, &own) == 0) {
        mapping = ::mmap(nullptr, own.len, PROT_READ | PROT_WRITE, MAP_SHARED, hcard->fd, 0);
        if (mapping != MAP_FAILED) {
            vdlcard_contig_request listed = caller;
            listed.phys[VDLCARD_PHYS_HI] = own.phys[VDLCARD_PHYS_HI];
            listed.phys[VDLCARD_PHYS_LO] = own.phys[VDLCARD_PHYS_LO];
            listed.vaddr = mapping;
            listed.len = own.len;
            node = vdlcard_contig_buffer_list_add(hcard, &listed);
            if (node == nullptr)
                ::munmap(mapping, own.len);
        }
    }
    setMapMode(hcard, VDLCARD_MAP_MODE_NONE);
    if (node == nullptr) {
        ::ioctl(hcard->fd, VDLCARD_REQ_CONTIG_FREE, &own);
        return -1;
    }
    caller.phys[VDLCARD_PHYS_HI] = own.phys[VDLCARD_PHYS_HI];
    caller.phys[VDLCARD_PHYS_LO] = own.phys[VDLCARD_PHYS_LO];
    caller.vaddr = mapping;
    caller.len = own.len;
    return 0;
}

// The listed buffer a free names: its address, length and bus address are all
// the record's. A buffer whose release the driver refused is listed with no
// address (its mapping is gone) until a later free returns it.
vdlcard_contig_node* listedBuffer(vdlcard_handle* hcard, const vdlcard_contig_request& caller)
{
    for (vdlcard_contig_node* node = hcard->head; node != nullptr; node = node->next)
        if (node->vaddr == caller.vaddr && node->len == caller.len &&
            std::memcmp(&node->phys, caller.phys, sizeof(node->phys)) == 0)
            return node;
    return nullptr;
}

int freeContig(vdlcard_handle* hcard, const vdlcard_contig_request& caller)
{
    // A mapping the list does not hold was not made here: unmapping it, or
    // returning a buffer for it, could destroy someone else's memory. The same
    // goes for a record whose length or bus address is not the listed buffer's.
    vdlcard_contig_node* node = listedBuffer(hcard, caller);
    if (node == nullptr)
        return -1;
    // The driver takes its buffer back unmapped. One it refuses to release
    // stays listed, without its mapping, so that a later free can try again.
    if (node->vaddr != nullptr) {
        ::munmap(node->vaddr, node->len);
        node->vaddr = nullptr;
    }
    vdlcard_contig_request own = driverRecord(caller);
    if (::ioctl(hcard->fd, VDLCARD_REQ_CONTIG_FREE, &own) != 0)
        return -1;
    vdlcard_contig_buffer_list_remove(hcard, node);
    return 0;
}

uint32_t pagesSpanned(const void* start, uint32_t size, uint64_t pageSize)
{
    const uint64_t first = asNumber(start) % pageSize;
    const uint64_t byDivision = size / pageSize + 1;
    const uint64_t spanned = (first + size + pageSize - 1) / pageSize;
    return static_cast<uint32_t>(spanned > byDivision ? spanned : byDivision);
}

int lockedRequest(vdlcard_handle* hcard, unsigned long request, vdlcard_lock_record* record)
{
    if (hcard == nullptr || record == nullptr)
        return -1;
    return ::ioctl(hcard->fd, request, record);
}

} // namespace

extern "C" {

vdlcard_handle* vdlcard_Open(uint32_t cardnum, uint32_t flags)
{
    VDL_TRACE(LOGGER_PCI, "cardnum : {}, flags : {:#8x}", cardnum, flags);
    auto* hcard = static_cast<vdlcard_handle*>(std::calloc(1, sizeof(vdlcard_handle)));
    if (hcard == nullptr) {
        VDL_ERROR(LOGGER_PCI, "Error allocating memory for main structure");
        VDL_TRACE(LOGGER_PCI, "hcard returned as NULL");
        return nullptr;
    }
    char path[VDLCARD_NODE_PATH_MAX];
    formatNodePath(path, cardnum);
    if (flags != VDLCARD_OPEN_FLAGS) {
        VDL_ERROR(LOGGER_PCI, "Error opening device file {}", path);
        VDL_TRACE(LOGGER_PCI, "hcard returned as NULL");
        std::free(hcard);
        return nullptr;
    }
    hcard->fd = ::open(path, kOpenFlags);
    if (hcard->fd < 0) {
        const int error = errno;
        char buffer[kErrorTextSize];
        const char* text = errorText(strerror_r(error, buffer, sizeof(buffer)), buffer);
        VDL_ERROR(LOGGER_PCI, "Error opening device file {}: {}", path, text);
        VDL_TRACE(LOGGER_PCI, "hcard returned as NULL");
        std::free(hcard);
        return nullptr;
    }
    VDL_TRACE(LOGGER_PCI, "hcard : {:#X}", asNumber(hcard));
    return hcard;
}

void vdlcard_Close(vdlcard_handle* hcard)
{
    VDL_TRACE(LOGGER_PCI, "hcard : {:#X}", asNumber(hcard));
    if (hcard == nullptr)
        return;
    if (hcard->fd >= 0)
        ::close(hcard->fd);
    std::free(hcard);
}

int vdlcard_Status(vdlcard_handle* hcard, uint32_t cmdmode, void* value)
{
    VDL_TRACE(LOGGER_PCI, "hcard : {:#X} cmdmode : {:#8X} status : {:#8X}", asNumber(hcard), cmdmode,
              asNumber(value));
    int result = -1;
    if (cmdmode >= VDLCARD_STATUS_WORD && cmdmode <= VDLCARD_STATUS_BAR_ADDRESS) {
        if (hcard != nullptr && value != nullptr)
            result = ::ioctl(hcard->fd, kStatusRequests[cmdmode - VDLCARD_STATUS_WORD], value);
    } else {
        VDL_TRACE(LOGGER_PCI, "invalid vdlcard command mode");
    }
    VDL_TRACE(LOGGER_PCI, "retval : {:#8X}", result);
    return result;
}

int vdlcard_Control(vdlcard_handle* hcard, uint32_t cmdmode, void* value)
{
    VDL_TRACE(LOGGER_PCI, "hcard : {:#X}, cmdmode : {:#8X}, value: {:#8X}", asNumber(hcard), cmdmode,
              asNumber(value));
    if ((cmdmode & VDLCARD_CONTROL_BIT) == 0) {
        VDL_ERROR(LOGGER_PCI, "Invalid vdlpci command mode");
        return -1;
    }
    int result = -1;
    const bool usable = hcard != nullptr && value != nullptr;
    switch (cmdmode) {
    case VDLCARD_CONTROL_ALLOC:
        if (usable)
            result = allocContig(hcard, *static_cast<vdlcard_contig_request*>(value));
        break;
    case VDLCARD_CONTROL_FREE:
        if (usable)
            result = freeContig(hcard, *static_cast<const vdlcard_contig_request*>(value));
        break;
    case VDLCARD_CONTROL_INT_WAIT:
        if (usable) {
            ::ioctl(hcard->fd, VDLCARD_REQ_INT_WAIT, value);
            result = 0;
        }
        break;
    // A cancel or a synchronisation the driver refused did not happen: the
    // caller must learn it (a wait the cancel should end goes on; the device
    // or the CPU would see stale data).
    case VDLCARD_CONTROL_INT_CANCEL:
        if (usable)
            result = ::ioctl(hcard->fd, VDLCARD_REQ_INT_CANCEL, value) == 0 ? 0 : -1;
        break;
    case VDLCARD_CONTROL_SYNC_FOR_DEV:
    case VDLCARD_CONTROL_SYNC_FOR_CPU:
        if (usable) {
            vdlcard_contig_request own =
                driverRecord(*static_cast<const vdlcard_contig_request*>(value));
            result = ::ioctl(hcard->fd,
                             cmdmode == VDLCARD_CONTROL_SYNC_FOR_DEV ? VDLCARD_REQ_CONTIG_SYNC_DEV
                                                                     : VDLCARD_REQ_CONTIG_SYNC_CPU,
                             &own) == 0
                         ? 0
                         : -1;
        }
        break;
    default:
        VDL_ERROR(LOGGER_PCI, "Invalid command mode");
        break;
    }
    VDL_TRACE(LOGGER_PCI, "retval : {:#8X}", result);
    return result;
}

int vdlcard_Readback(vdlcard_handle* hcard, uint32_t device, void* data, uint32_t bytelen,
                     uint64_t offset, uint32_t flags)
{
    VDL_TRACE(LOGGER_PCI,
              "hcard : {:#X} Device : {:#08x} pData : {:#X} bytelen : {:#8X} offset : {:#8X} "
              "flags : {:#8X}",
              asNumber(hcard), device, asNumber(data), bytelen, offset, flags);
    constexpr int result = 0;
    VDL_TRACE(LOGGER_PCI, "retval : {:#8X}", result);
    return result;
}

uint64_t vdlcard_Read32(vdlcard_handle* hcard, uint32_t bar, uint32_t* data, uint64_t offset)
{
    if (data == nullptr)
        return 0;
    return barAccess(hcard, VDLCARD_CMD_BAR_READ32, bar, nullptr, data, offset, sizeof(*data));
}

uint64_t vdlcard_Read64(vdlcard_handle* hcard, uint32_t bar, uint64_t* data, uint64_t offset)
{
    if (data == nullptr)
        return 0;
    return barAccess(hcard, VDLCARD_CMD_BAR_READ64, bar, nullptr, data, offset, sizeof(*data));
}

uint64_t vdlcard_Write32(vdlcard_handle* hcard, uint32_t bar, const uint32_t* data, uint64_t offset)
{
    if (data == nullptr)
        return 0;
    return barAccess(hcard, VDLCARD_CMD_BAR_WRITE32, bar, data, nullptr, offset, sizeof(*data));
}

uint64_t vdlcard_Write64(vdlcard_handle* hcard, uint32_t bar, const uint64_t* data, uint64_t offset)
{
    if (data == nullptr)
        return 0;
    return barAccess(hcard, VDLCARD_CMD_BAR_WRITE64, bar, data, nullptr, offset, sizeof(*data));
}

vdlcard_contig_node* vdlcard_contig_buffer_list_add(vdlcard_handle* hcard,
                                                    const vdlcard_contig_request* request)
{
    if (hcard == nullptr || request == nullptr)
        return nullptr;
    auto* node = static_cast<vdlcard_contig_node*>(std::calloc(1, sizeof(vdlcard_contig_node)));
    if (node == nullptr) {
        std::puts("Failed to allocate internal locking structure");
        return nullptr;
    }
    std::memcpy(&node->phys, request->phys, sizeof(node->phys));
    node->vaddr = request->vaddr;
    node->len = request->len;
    node->prev = hcard->tail;
    if (hcard->tail != nullptr)
        hcard->tail->next = node;
    else
        hcard->head = node;
    hcard->tail = node;
    return node;
}

void vdlcard_contig_buffer_list_remove(vdlcard_handle* hcard, vdlcard_contig_node* node)
{
    if (hcard == nullptr || node == nullptr)
        return;
    // Unlinking a node of another list would corrupt both lists.
    const vdlcard_contig_node* it = hcard->head;
    while (it != nullptr && it != node)
        it = it->next;
    if (it == nullptr)
        return;
    if (node->prev != nullptr)
        node->prev->next = node->next;
    else
        hcard->head = node->next;
    if (node->next != nullptr)
        node->next->prev = node->prev;
    else
        hcard->tail = node->prev;
    std::free(node);
}

vdlcard_contig_node* vdlcard_find_buffer_from_list(vdlcard_handle* hcard, const void* vaddr)
{
    if (hcard == nullptr)
        return nullptr;
    for (vdlcard_contig_node* node = hcard->head; node != nullptr; node = node->next) {
        if (node->vaddr == vaddr)
            return node;
    }
    return nullptr;
}

vdlcard_lock_record* vdlcard_lockmem(vdlcard_handle* hcard, void* addr, uint32_t size)
{
    if (hcard == nullptr)
        return nullptr;
    const auto pageSize = static_cast<uint64_t>(::getpagesize());
    auto* record = static_cast<vdlcard_lock_record*>(std::calloc(1, sizeof(vdlcard_lock_record)));
    if (record == nullptr)
        return nullptr;
    record->size = size;
    record->addr = addr;
    // An unaligned region can reach into one page more than size alone says.
    record->npages = pagesSpanned(addr, size, pageSize);
    record->pages =
        static_cast<vdlcard_page_entry*>(std::calloc(record->npages, sizeof(vdlcard_page_entry)));
    if (record->pages == nullptr) {
        std::free(record);
        return nullptr;
    }
    const vdlcard_lock_record asked = *record;
    if (::ioctl(hcard->fd, VDLCARD_REQ_LOCK, record) != 0) {
        std::free(asked.pages);
        std::free(record);
        return nullptr;
    }
    // The driver fills the table; the table's size and place and the region
    // stay what was allocated, whatever it wrote back into the record.
    record->npages = asked.npages;
    record->pages = asked.pages;
    record->addr = asked.addr;
    record->size = asked.size;
    return record;
}

int vdlcard_unlockmem(vdlcard_handle* hcard, vdlcard_lock_record* record)
{
    if (hcard == nullptr || record == nullptr)
        return -1;
    // Pages the driver did not unpin may still be written by the device: the
    // record stays with the caller, who must neither free the region nor
    // forget it, and may try again.
    if (::ioctl(hcard->fd, VDLCARD_REQ_UNLOCK, record) != 0)
        return -1;
    std::free(record->pages);
    std::free(record);
    return 0;
}

int vdlcard_lockedmem_sync_for_dev(vdlcard_handle* hcard, vdlcard_lock_record* record)
{
    return lockedRequest(hcard, VDLCARD_REQ_LOCK_SYNC_DEV, record);
}

int vdlcard_lockedmem_sync_for_cpu(vdlcard_handle* hcard, vdlcard_lock_record* record)
{
    return lockedRequest(hcard, VDLCARD_REQ_LOCK_SYNC_CPU, record);
}

} // extern "C"

bool vdlcard_has_access(int32_t cardnum)
{
    char path[VDLCARD_NODE_PATH_MAX];
    formatNodePath(path, cardnum);
    if (::access(path, F_OK) != 0) {
        if (errno == ENOENT || errno == ENOTDIR)
            throw VDLException<-13>("Device {} does not exist", static_cast<const char*>(path));
        return false;
    }
    return ::access(path, R_OK | W_OK) == 0;
}
