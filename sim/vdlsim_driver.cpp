// The driver's answers to open, close, ioctl, mmap and access on its nodes.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include "vdlsim_internal.h"
#include "vdlsim_model.hpp"

namespace vdlsim {

namespace {

constexpr char kNodeDir[] = "/dev/vdlsdk_pci/";
constexpr char kNodePrefix[] = "/dev/vdlsdk_pci/vdlpci";
constexpr unsigned kFastFds = 65536;
constexpr uint32_t kCommandFamilyMask = 0xFFFF0000u;
constexpr uint32_t kCommandFamily = 0x91000000u;
constexpr uint32_t kCommandOpMask = 0x0000FF00u;
constexpr uint32_t kCommandLowMask = 0x000000FFu;
constexpr uint32_t kUpstreamDescriptorCount = sizeof(UpstreamDescriptor);
constexpr uint32_t kCardCountBytes = 4;

std::atomic<uint8_t> g_fastFds[kFastFds];
std::atomic<unsigned> g_slowFds{0};
std::atomic<size_t> g_mappingCount{0};
std::atomic<State*> g_stateReady{nullptr};

// Open flags the protocol allows besides read-write and synchronous: close-on-exec,
// and large-file in both its user-space and its kernel spelling.
constexpr int kKernelLargeFile = 0100000;
constexpr int kAllowedOpenExtras = O_CLOEXEC | O_LARGEFILE | kKernelLargeFile;

int setErrno(int err)
{
    errno = err;
    return -1;
}

long pageSize()
{
    static const long size = sysconf(_SC_PAGESIZE);
    return size;
}

bool parseNode(const char* path, unsigned& card)
{
    constexpr size_t prefixLen = sizeof kNodePrefix - 1;
    if (std::strncmp(path, kNodePrefix, prefixLen) != 0)
        return false;
    const char* digits = path + prefixLen;
    if (*digits == '\0' || (digits[0] == '0' && digits[1] != '\0'))
        return false;
    unsigned value = 0;
    for (const char* p = digits; *p; ++p) {
        if (*p < '0' || *p > '9' || value >= kMaxCards)
            return false;
        value = value * 10 + unsigned(*p - '0');
    }
    if (value >= kMaxCards)
        return false;
    card = value;
    return true;
}

vdlsim_log_entry newEntry(uint32_t event, unsigned card, int fd)
{
    vdlsim_log_entry e{};
    e.event = event;
    e.card = card;
    e.fd = fd;
    return e;
}

// Finishes a call: logs it and sets errno; returns the call's result.
int finish(State& s, vdlsim_log_entry& e, int err)
{
    e.result = err ? -1 : 0;
    e.err = err;
    s.append(e);
    return err ? setErrno(err) : 0;
}

// The configuration commands come in groups of three (1, 2 and 4 bytes) from 0x0200.
constexpr unsigned kOpShift = 8;
constexpr uint32_t kFirstConfigOp = 0x02;
constexpr uint32_t kWidthsPerGroup = 3;

uint32_t widthOfConfigCommand(uint32_t op)
{
    return 1u << (((op >> kOpShift) - kFirstConfigOp) % kWidthsPerGroup);
}

constexpr uint32_t kOpCount = 0x0100;
constexpr uint32_t kOpCardReadFirst = 0x0200, kOpCardReadLast = 0x0400;
constexpr uint32_t kOpCardWriteFirst = 0x0500, kOpCardWriteLast = 0x0700;
constexpr uint32_t kOpUpReadFirst = 0x0800, kOpUpReadLast = 0x0A00;
constexpr uint32_t kOpUpWriteFirst = 0x0B00, kOpUpWriteLast = 0x0D00;
constexpr uint32_t kOpBarRead32 = 0x3000, kOpBarRead64 = 0x4000;
constexpr uint32_t kOpBarWrite32 = 0x7000, kOpBarWrite64 = 0x8000;

uint32_t allOnes(unsigned width) { return width >= 4 ? 0xFFFFFFFFu : (1u << (8 * width)) - 1; }

} // namespace

// ---------------------------------------------------------------------------
// Descriptor bookkeeping

bool isSimFdImpl(int fd)
{
    if (fd < 0)
        return false;
    if (unsigned(fd) < kFastFds)
        return g_fastFds[fd].load(std::memory_order_acquire) != 0;
    if (g_slowFds.load(std::memory_order_acquire) == 0)
        return false;
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    return s.descriptors.count(fd) != 0;
}

void markSimFd(int fd, bool on)
{
    if (unsigned(fd) < kFastFds)
        g_fastFds[fd].store(on ? 1 : 0, std::memory_order_release);
    else if (on)
        g_slowFds.fetch_add(1);
    else
        g_slowFds.fetch_sub(1);
}

// ---------------------------------------------------------------------------
// Link model

void State::updateLink(Card& c)
{
    bool disabled = false;
    if (c.bridgePresent && c.bridge.pcie)
        disabled = c.bridge.get(c.bridge.pcie + pci::kExpLinkControl, 2) & pci::kLinkDisable;
    bool up = !c.bridgePresent || (c.partnerUp && !disabled);
    if (up == c.linkUp)
        return;
    c.linkUp = up;
    if (up) {
        c.trainingLeft = c.trainingReads;
        return;
    }
    c.trainingLeft = 0;
    if (c.bridge.aer) {
        uint32_t mask = c.bridge.get(c.bridge.aer + pci::kAerUncorMask, 4);
        if (!(mask & pci::kAerSurpriseDown)) {
            uint32_t status = c.bridge.get(c.bridge.aer + pci::kAerUncorStatus, 4);
            c.bridge.set(c.bridge.aer + pci::kAerUncorStatus, 4, status | pci::kAerSurpriseDown);
        }
    }
    if (c.resetOnDown)
        c.config.restoreResetImage();
}

uint32_t bridgeRead(Card& c, unsigned offset, unsigned width, bool countTraining)
{
    uint32_t value = c.bridge.get(offset, width);
    if (!c.bridge.pcie)
        return value;
    unsigned status = c.bridge.pcie + pci::kExpLinkStatus;
    if (offset + width <= status || offset >= status + 2)
        return value;
    const bool activeReporting = c.bridge.get(c.bridge.pcie + pci::kExpLinkCapabilities, 4) &
                                 pci::kLinkCapDllActiveReporting;
    uint16_t dynamicBits = 0;
    if (c.linkUp && activeReporting)
        dynamicBits |= pci::kLinkActive;
    if (c.linkUp && c.trainingLeft > 0) {
        dynamicBits |= pci::kLinkTraining;
        if (countTraining && c.trainingLeft != UINT32_MAX)
            --c.trainingLeft;
    }
    const uint16_t kDynamic = pci::kLinkTraining | (activeReporting ? pci::kLinkActive : 0);
    for (unsigned i = 0; i < 2; ++i) {
        unsigned at = status + i;
        if (at < offset || at >= offset + width)
            continue;
        unsigned shift = 8 * (at - offset);
        uint8_t keep = uint8_t(~(kDynamic >> (8 * i)));
        uint8_t dyn = uint8_t(dynamicBits >> (8 * i));
        uint8_t byte = uint8_t(((value >> shift) & keep) | dyn);
        value = (value & ~(0xFFu << shift)) | (uint32_t(byte) << shift);
    }
    return value;
}

void bridgeWrite(State& s, Card& c, unsigned offset, unsigned width, uint32_t value)
{
    c.bridge.write(offset, width, value);
    if (offset <= pci::kCapabilitiesPointer || offset >= pci::kExtCapStart)
        c.bridge.locateCapabilities();
    if (c.bridge.pcie) {
        unsigned control = c.bridge.pcie + pci::kExpLinkControl;
        if (offset <= control && control < offset + width) {
            uint8_t written = uint8_t(value >> (8 * (control - offset)));
            // Retrain Link always reads 0; setting it starts a training.
            c.bridge.data[control] &= uint8_t(~pci::kRetrainLink);
            if ((written & pci::kRetrainLink) && c.linkUp)
                c.trainingLeft = c.trainingReads;
        }
    }
    s.updateLink(c);
}

// ---------------------------------------------------------------------------
// ioctl

namespace {

struct Call {
    State& s;
    Card& c;
    Descriptor& d;
    vdlsim_log_entry& e;
    int fd;
};

// A request without its record is the caller's fault, and the model says so.
template <typename T> bool load(Call& k, void* arg, T& out)
{
    if (!arg) {
        k.s.violation(k.e, "null record");
        return false;
    }
    std::memcpy(&out, arg, sizeof out);
    return true;
}

int doWord(Call& k, void* arg, uint32_t word)
{
    if (!arg) {
        k.s.violation(k.e, "null record");
        return EINVAL;
    }
    if (int err = k.s.fault(k.e))
        return err;
    std::memcpy(arg, &word, sizeof word);
    k.e.value = word;
    return 0;
}

int doUpstreamDescriptor(Call& k, void* arg)
{
    Command cmd;
    if (!load(k, arg, cmd))
        return EINVAL;
    if (cmd.readCount != kUpstreamDescriptorCount || cmd.readBuffer == 0) {
        k.s.violation(k.e, "readCount %u, readBuffer %#llx: expected 40 and a buffer",
                      cmd.readCount, (unsigned long long)cmd.readBuffer);
        return EINVAL;
    }
    if (cmd.command || cmd.writeCount || cmd.writeBuffer || cmd.padding || cmd.address) {
        k.s.violation(k.e, "fields other than readCount and readBuffer are not zero");
        return EINVAL;
    }
    if (int err = k.s.fault(k.e))
        return err;
    if (!k.c.bridgePresent)
        return ENODEV;
    std::memcpy(reinterpret_cast<void*>(cmd.readBuffer), &k.c.descriptor, sizeof k.c.descriptor);
    return 0;
}

bool checkCounts(Call& k, const Command& cmd, uint32_t writeCount, bool writeBuffer,
                 uint32_t readCount, bool readBuffer)
{
    bool ok = cmd.writeCount == writeCount && (cmd.writeBuffer != 0) == writeBuffer &&
              cmd.readCount == readCount && (cmd.readBuffer != 0) == readBuffer;
    if (!ok)
        k.s.violation(k.e,
                      "command %#010x: writeCount %u writeBuffer %#llx readCount %u readBuffer "
                      "%#llx; expected writeCount %u%s, readCount %u%s",
                      cmd.command, cmd.writeCount, (unsigned long long)cmd.writeBuffer,
                      cmd.readCount, (unsigned long long)cmd.readBuffer, writeCount,
                      writeBuffer ? " with a buffer" : " and no buffer", readCount,
                      readBuffer ? " with a buffer" : " and no buffer");
    return ok;
}

int doConfig(Call& k, const Command& cmd, uint32_t op)
{
    const bool upstream = op >= kOpUpReadFirst;
    const bool isWrite = (op >= kOpCardWriteFirst && op <= kOpCardWriteLast) ||
                         (op >= kOpUpWriteFirst && op <= kOpUpWriteLast);
    const unsigned width = widthOfConfigCommand(op);
    if (!checkCounts(k, cmd, upstream ? kUpstreamDescriptorCount : 0, upstream, 1, true))
        return EINVAL;
    if (upstream && k.c.bridgePresent &&
        std::memcmp(reinterpret_cast<const void*>(cmd.writeBuffer), &k.c.descriptor,
                    sizeof k.c.descriptor) != 0) {
        k.s.violation(k.e, "command %#010x: the upstream descriptor is not the one request 4 "
                           "gave", cmd.command);
        return EINVAL;
    }
    if (cmd.address >= kConfigSize) {
        k.s.violation(k.e, "command %#010x: configuration offset %#llx beyond the space",
                      cmd.command, (unsigned long long)cmd.address);
        return EINVAL;
    }
    uint32_t value = 0;
    if (isWrite)
        std::memcpy(&value, reinterpret_cast<const void*>(cmd.readBuffer), width);
    k.e.value = value;
    if (int err = k.s.fault(k.e))
        return err;
    if (upstream && !k.c.bridgePresent)
        return ENODEV;
    const unsigned offset = unsigned(cmd.address);
    if (offset + width > kConfigSize)
        return EINVAL;
    if (upstream) {
        if (isWrite)
            bridgeWrite(k.s, k.c, offset, width, value);
        else
            value = bridgeRead(k.c, offset, width, true);
    } else if (!k.c.linkUp) {
        // Nothing answers behind a link that is down: reads see all ones, writes vanish.
        if (!isWrite)
            value = allOnes(width);
    } else if (isWrite) {
        k.c.config.write(offset, width, value);
        if (offset <= pci::kCapabilitiesPointer || offset >= pci::kExtCapStart)
            k.c.config.locateCapabilities();
    } else {
        value = k.c.config.get(offset, width);
    }
    if (!isWrite) {
        std::memcpy(reinterpret_cast<void*>(cmd.readBuffer), &value, width);
        k.e.value = value;
    }
    return 0;
}

// BAR requests may call the device callback, which runs without the model's lock;
// `lock` is released and taken again around it.
int doBar(Call& k, const Command& cmd, uint32_t op, std::unique_lock<std::mutex>& lock)
{
    const bool isWrite = op == kOpBarWrite32 || op == kOpBarWrite64;
    const unsigned width = (op == kOpBarRead32 || op == kOpBarWrite32) ? 4 : 8;
    const unsigned bar = cmd.command & kCommandLowMask;
    if (bar >= kNumBars) {
        k.s.violation(k.e, "command %#010x: BAR number %u out of range", cmd.command, bar);
        return EINVAL;
    }
    if (isWrite ? !checkCounts(k, cmd, 1, true, 0, false) : !checkCounts(k, cmd, 0, false, 1, true))
        return EINVAL;
    uint64_t value = 0;
    if (isWrite)
        std::memcpy(&value, reinterpret_cast<const void*>(cmd.writeBuffer), width);
    k.e.value = value;
    if (int err = k.s.fault(k.e))
        return err;
    if (!k.c.linkUp)
        return EIO;
    const Bar& b = k.c.bars[bar];
    if (b.size == 0 || cmd.address >= b.size || b.size - cmd.address < width)
        return EINVAL;

    const unsigned cardNumber = k.e.card;
    const uint64_t generation = k.d.generation;
    vdlsim_bar_callback callback = k.c.callback;
    void* context = k.c.callbackContext;
    uint8_t* memory = b.memory;
    if (callback) {
        lock.unlock();
        int rc = callback(context, cardNumber, bar, isWrite, cmd.address, &value, width);
        lock.lock();
        Card* again = k.s.card(cardNumber);
        if (k.s.generation != generation || !again)
            return ENODEV;
        if (rc < 0)
            return -rc;
        if (rc == VDLSIM_BAR_HANDLED) {
            if (!isWrite) {
                std::memcpy(reinterpret_cast<void*>(cmd.readBuffer), &value, width);
                k.e.value = value;
            }
            return 0;
        }
        const Bar& now = again->bars[bar];
        if (now.size == 0 || cmd.address >= now.size || now.size - cmd.address < width)
            return EINVAL;
        memory = now.memory;
    }
    if (isWrite) {
        std::memcpy(memory + cmd.address, &value, width);
    } else {
        std::memcpy(&value, memory + cmd.address, width);
        std::memcpy(reinterpret_cast<void*>(cmd.readBuffer), &value, width);
        k.e.value = value;
    }
    return 0;
}

int doCommand(Call& k, void* arg, std::unique_lock<std::mutex>& lock)
{
    Command cmd;
    if (!load(k, arg, cmd))
        return EINVAL;
    k.e.command = cmd.command;
    k.e.address = cmd.address;
    if (cmd.padding) {
        k.s.violation(k.e, "command %#010x: padding at offset 20 is not zero", cmd.command);
        return EINVAL;
    }
    const uint32_t op = cmd.command & kCommandOpMask;
    const bool barOp = op == kOpBarRead32 || op == kOpBarRead64 || op == kOpBarWrite32 ||
                       op == kOpBarWrite64;
    if ((cmd.command & kCommandFamilyMask) != kCommandFamily ||
        (!barOp && (cmd.command & kCommandLowMask))) {
        k.s.violation(k.e, "command word %#010x unknown", cmd.command);
        return EINVAL;
    }
    if (barOp)
        return doBar(k, cmd, op, lock);
    if (op == kOpCount) {
        if (!checkCounts(k, cmd, 0, false, kCardCountBytes, true))
            return EINVAL;
        if (cmd.address != 0) {
            k.s.violation(k.e, "command %#010x: address %#llx is not 0", cmd.command,
                          (unsigned long long)cmd.address);
            return EINVAL;
        }
        if (int err = k.s.fault(k.e))
            return err;
        int32_t count = k.s.countAnswer;
        if (count < 0) {
            count = 0;
            for (auto& c : k.s.cards)
                count += c ? 1 : 0;
        }
        std::memcpy(reinterpret_cast<void*>(cmd.readBuffer), &count, sizeof count);
        k.e.value = uint32_t(count);
        return 0;
    }
    if (op >= kOpCardReadFirst && op <= kOpUpWriteLast)
        return doConfig(k, cmd, op);
    k.s.violation(k.e, "command word %#010x unknown", cmd.command);
    return EINVAL;
}

uint64_t busOf(const ContigRequest& r) { return (uint64_t(r.physHi) << 32) | r.physLo; }

ContigBuffer* findBuffer(Call& k, uint64_t bus)
{
    for (auto& b : k.c.buffers)
        if (b.ownerFd == k.fd && b.bus == bus)
            return &b;
    return nullptr;
}

int doContig(Call& k, unsigned long request, void* arg)
{
    ContigRequest r;
    if (!load(k, arg, r))
        return EINVAL;
    k.e.address = busOf(r);
    k.e.value = r.len;
    if (r.vaddr || r.padding) {
        k.s.violation(k.e, "vaddr %#llx or padding %#x set: the driver's record leaves them zero",
                      (unsigned long long)r.vaddr, r.padding);
        return EINVAL;
    }
    if (request == VDLSIM_REQ_CONTIG_ALLOC) {
        if (r.physHi || r.physLo || r.len == 0) {
            k.s.violation(k.e, "allocation with bus address %#llx and length %u: expected 0 and "
                               "a length", (unsigned long long)busOf(r), r.len);
            return EINVAL;
        }
        if (int err = k.s.fault(k.e))
            return err;
        if (r.len > VDLSIM_MAX_CONTIG_LEN)
            return ENOMEM;
        if (k.c.contigAnswerLen != 0)
            r.len = k.c.contigAnswerLen;
        const size_t page = size_t(pageSize());
        const size_t rounded = (size_t(r.len) + page - 1) / page * page;
        int memfd = memfd_create("vdlsim-dma", MFD_CLOEXEC);
        if (memfd < 0)
            return ENOMEM;
        if (ftruncate(memfd, off_t(rounded)) != 0) {
            vdlsim_real_close(memfd);
            return ENOMEM;
        }
        void* view = vdlsim_real_mmap(nullptr, rounded, PROT_READ | PROT_WRITE, MAP_SHARED, memfd, 0);
        if (view == MAP_FAILED) {
            vdlsim_real_close(memfd);
            return ENOMEM;
        }
        ContigBuffer b;
        b.ownerFd = k.fd;
        b.bus = k.s.nextContigBus;
        b.len = r.len;
        b.memfd = memfd;
        b.view = static_cast<uint8_t*>(view);
        b.viewLen = rounded;
        // A guard page between buffers keeps an overrun from landing in the next one.
        k.s.nextContigBus += rounded + page;
        k.c.buffers.push_back(b);
        r.physHi = uint32_t(b.bus >> 32);
        r.physLo = uint32_t(b.bus);
        std::memcpy(arg, &r, sizeof r);
        k.e.address = b.bus;
        return 0;
    }
    ContigBuffer* b = findBuffer(k, busOf(r));
    if (!b || b->len != r.len) {
        k.s.violation(k.e, "no buffer of this descriptor at bus address %#llx with length %u",
                      (unsigned long long)busOf(r), r.len);
        return EINVAL;
    }
    if (int err = k.s.fault(k.e))
        return err;
    switch (request) {
    case VDLSIM_REQ_CONTIG_FREE: {
        vdlsim_real_munmap(b->view, b->viewLen);
        vdlsim_real_close(b->memfd);
        if (k.d.selected && k.d.selectedBus == b->bus)
            k.d.selected = false;
        k.c.buffers.erase(k.c.buffers.begin() + (b - k.c.buffers.data()));
        return 0;
    }
    case VDLSIM_REQ_CONTIG_SELECT:
        k.d.selected = true;
        k.d.selectedBus = b->bus;
        return 0;
    default: // the two syncs: the model's memory is coherent
        return 0;
    }
}

int doMapMode(Call& k, void* arg)
{
    int32_t mode;
    if (!load(k, arg, mode))
        return EINVAL;
    k.e.value = uint32_t(mode);
    if (mode != 0 && mode != 1) {
        k.s.violation(k.e, "mapping mode %d: expected 0 or 1", mode);
        return EINVAL;
    }
    if (int err = k.s.fault(k.e))
        return err;
    k.d.mapMode = mode;
    if (mode == 0)
        k.d.selected = false;
    return 0;
}

int doBarQuery(Call& k, unsigned long request, void* arg)
{
    BarQuery q;
    if (!load(k, arg, q))
        return EINVAL;
    k.e.address = q.bar;
    if (q.bar >= kNumBars || q.padding) {
        k.s.violation(k.e, "BAR %u, padding %#x: expected a BAR 0 to 5 and zero padding", q.bar,
                      q.padding);
        return EINVAL;
    }
    if (int err = k.s.fault(k.e))
        return err;
    const Bar& b = k.c.bars[q.bar];
    q.value = request == VDLSIM_REQ_BAR_SIZE ? b.size : (b.size ? b.bus : 0);
    std::memcpy(arg, &q, sizeof q);
    k.e.value = q.value;
    return 0;
}

int doSlotPath(Call& k, void* arg)
{
    SlotPath p;
    if (!load(k, arg, p))
        return EINVAL;
    if (p.buffer == 0 || p.length == 0 || p.padding) {
        k.s.violation(k.e, "slot path buffer %#llx length %u padding %#x",
                      (unsigned long long)p.buffer, p.length, p.padding);
        return EINVAL;
    }
    if (int err = k.s.fault(k.e))
        return err;
    if (!k.c.slotPath)
        return ENOENT;
    size_t n = std::min<size_t>(k.c.slotPath->size(), p.length - 1);
    char* out = reinterpret_cast<char*>(p.buffer);
    std::memcpy(out, k.c.slotPath->data(), n);
    out[n] = '\0';
    k.e.value = n;
    return 0;
}

int doCancel(Call& k, void* arg)
{
    int32_t vector;
    if (!load(k, arg, vector))
        return EINVAL;
    k.e.address = uint32_t(vector);
    if (vector < 0 || vector >= VDLSIM_MAX_VECTORS) {
        k.s.violation(k.e, "cancel of vector %d out of range", vector);
        return EINVAL;
    }
    if (int err = k.s.fault(k.e))
        return err;
    Interrupts& irq = k.s.irq;
    std::lock_guard<std::mutex> lock(irq.mutex);
    auto it = irq.vectors.find(k.s.irqKey(k.e.card, unsigned(vector)));
    if (it != irq.vectors.end() && !it->second.waiters.empty()) {
        for (Waiter* w : it->second.waiters)
            if (w->status == 0)
                w->status = kWaitCancelled;
        irq.changed.notify_all();
    }
    return 0;
}

// Blocks with no model lock held; `lock` is released for the wait.
int doWait(Call& k, void* arg, std::unique_lock<std::mutex>& lock)
{
    IntWait w;
    if (!load(k, arg, w))
        return EINVAL;
    k.e.address = w.vector;
    k.e.aux = w.timeout;
    if (w.vector >= VDLSIM_MAX_VECTORS || w.status != 0) {
        k.s.violation(k.e, "wait on vector %u with status %u: expected a vector below %u and "
                           "status 0", w.vector, w.status, unsigned(VDLSIM_MAX_VECTORS));
        return EINVAL;
    }
    if (int err = k.s.fault(k.e))
        return err;
    const uint64_t key = k.s.irqKey(k.e.card, w.vector);
    Interrupts& irq = k.s.irq;
    lock.unlock();
    Waiter me;
    {
        std::unique_lock<std::mutex> wl(irq.mutex);
        VectorState& v = irq.vectors[key];
        if (v.pending) {
            v.pending = false;
            me.status = kWaitInterrupt;
            me.value = v.value;
        } else if (w.timeout == 0) {
            me.status = kWaitTimedOut;
        } else {
            auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(w.timeout);
            v.waiters.push_back(&me);
            irq.changed.notify_all();
            while (me.status == 0) {
                if (irq.changed.wait_until(wl, deadline) == std::cv_status::timeout &&
                    me.status == 0)
                    me.status = kWaitTimedOut;
            }
            VectorState& again = irq.vectors[key];
            again.waiters.erase(std::find(again.waiters.begin(), again.waiters.end(), &me));
            irq.changed.notify_all();
        }
    }
    w.status = me.status;
    if (me.status == kWaitInterrupt)
        w.value = me.value;
    std::memcpy(arg, &w, sizeof w);
    lock.lock();
    k.e.value = w.status;
    return 0;
}

PinnedRegion* findPin(Call& k, const LockRecord& r)
{
    for (auto& p : k.c.pins)
        if (p.ownerFd == k.fd && p.addr == r.addr && p.size == r.size && p.pages == r.pages &&
            p.npages == r.npages)
            return &p;
    return nullptr;
}

int doPin(Call& k, unsigned long request, void* arg)
{
    LockRecord r;
    if (!load(k, arg, r))
        return EINVAL;
    k.e.address = r.addr;
    k.e.value = r.size;
    k.e.aux = r.npages;
    if (r.padding0 || r.padding1) {
        k.s.violation(k.e, "lock record padding is not zero");
        return EINVAL;
    }
    const uint64_t page = uint64_t(pageSize());
    if (request == VDLSIM_REQ_LOCK) {
        const uint64_t first = r.addr / page;
        const uint64_t spanned = r.size ? (r.addr + r.size - 1) / page - first + 1 : 0;
        if (r.pages == 0 || (r.size && r.addr == 0) || r.npages < spanned || r.reserved) {
            k.s.violation(k.e, "lock of %#llx size %u with %u page entries at %#llx (reserved "
                               "%#llx): the region spans %llu pages",
                          (unsigned long long)r.addr, r.size, r.npages,
                          (unsigned long long)r.pages, (unsigned long long)r.reserved,
                          (unsigned long long)spanned);
            return EINVAL;
        }
        if (int err = k.s.fault(k.e))
            return err;
        if (spanned) {
            std::vector<unsigned char> resident(spanned);
            if (mincore(reinterpret_cast<void*>(first * page), spanned * page, resident.data()))
                return EFAULT;
        }
        PinnedRegion p;
        p.ownerFd = k.fd;
        p.addr = r.addr;
        p.size = r.size;
        p.npages = r.npages;
        p.pages = r.pages;
        PageEntry* entries = reinterpret_cast<PageEntry*>(r.pages);
        for (uint64_t i = 0; i < spanned; ++i) {
            // Every page gets its own island of bus addresses, so a caller that
            // assumes contiguity is caught.
            uint64_t bus = k.s.nextPinBus;
            k.s.nextPinBus += 2 * page;
            p.pageBus.push_back(bus);
            uint64_t phys = bus;
            std::memcpy(&entries[i].phys, &phys, sizeof phys);
        }
        k.c.pins.push_back(std::move(p));
        if (k.c.lockAnswerNpages != 0) {
            r.npages = k.c.lockAnswerNpages;
            std::memcpy(arg, &r, sizeof r);
        }
        return 0;
    }
    PinnedRegion* p = findPin(k, r);
    if (!p) {
        k.s.violation(k.e, "no region of this descriptor pinned at %#llx size %u",
                      (unsigned long long)r.addr, r.size);
        return EINVAL;
    }
    if (int err = k.s.fault(k.e))
        return err;
    if (request == VDLSIM_REQ_UNLOCK)
        k.c.pins.erase(k.c.pins.begin() + (p - k.c.pins.data()));
    return 0;
}

} // namespace

int driverIoctl(int fd, unsigned long request, void* arg)
{
    State& s = state();
    std::unique_lock<std::mutex> lock(s.mutex);
    auto it = s.descriptors.find(fd);
    if (it == s.descriptors.end())
        return setErrno(EBADF);
    Descriptor& d = it->second;
    vdlsim_log_entry e = newEntry(VDLSIM_EV_IOCTL, d.card, fd);
    e.request = uint32_t(request);
    Card* c = d.generation == s.generation ? s.card(d.card) : nullptr;
    if (!c)
        return finish(s, e, ENODEV);
    if (request > UINT32_MAX) {
        s.violation(e, "request value %#lx unknown", request);
        return finish(s, e, EINVAL);
    }
    Call k{s, *c, d, e, fd};
    int err;
    switch (uint32_t(request)) {
    case VDLSIM_REQ_DRIVER_WORD: err = doWord(k, arg, VDLSIM_DRIVER_WORD); break;
    case VDLSIM_REQ_IDS: err = doWord(k, arg, c->config.get(pci::kVendorId, 4)); break;
    case VDLSIM_REQ_SUBSYSTEM_IDS:
        err = doWord(k, arg, c->config.get(pci::kSubsystemVendorId, 4));
        break;
    case VDLSIM_REQ_LOCATION: err = doWord(k, arg, c->location); break;
    case VDLSIM_REQ_UPSTREAM: err = doUpstreamDescriptor(k, arg); break;
    case VDLSIM_REQ_COMMAND: err = doCommand(k, arg, lock); break;
    case VDLSIM_REQ_CONTIG_ALLOC:
    case VDLSIM_REQ_CONTIG_FREE:
    case VDLSIM_REQ_CONTIG_SELECT:
    case VDLSIM_REQ_CONTIG_SYNC_DEV:
    case VDLSIM_REQ_CONTIG_SYNC_CPU: err = doContig(k, request, arg); break;
    case VDLSIM_REQ_MAP_MODE: err = doMapMode(k, arg); break;
    case VDLSIM_REQ_BAR_SIZE:
    case VDLSIM_REQ_BAR_ADDRESS: err = doBarQuery(k, request, arg); break;
    case VDLSIM_REQ_SLOT_PATH: err = doSlotPath(k, arg); break;
    case VDLSIM_REQ_INT_WAIT: err = doWait(k, arg, lock); break;
    case VDLSIM_REQ_INT_CANCEL: err = doCancel(k, arg); break;
    case VDLSIM_REQ_LOCK:
    case VDLSIM_REQ_UNLOCK:
    case VDLSIM_REQ_LOCK_SYNC_DEV:
    case VDLSIM_REQ_LOCK_SYNC_CPU: err = doPin(k, request, arg); break;
    default:
        s.violation(e, "request value %#lx unknown", request);
        err = EINVAL;
    }
    return finish(s, e, err);
}

// ---------------------------------------------------------------------------
// open, close, mmap, munmap, access

int driverOpen(const char* path, int flags)
{
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    unsigned number = 0;
    bool named = parseNode(path, number);
    vdlsim_log_entry e = newEntry(VDLSIM_EV_OPEN, named ? number : UINT32_MAX, -1);
    e.value = uint32_t(flags);
    e.request = VDLSIM_FAULT_OPEN;
    Card* c = named ? s.card(number) : nullptr;
    if (!c || !c->present) {
        finish(s, e, ENOENT);
        return -1;
    }
    const int required = O_RDWR | O_SYNC;
    if ((flags & O_ACCMODE) != O_RDWR || (flags & O_SYNC) != O_SYNC ||
        (flags & ~(required | kAllowedOpenExtras))) {
        s.violation(e, "open of %s with flags %#o: expected read-write and synchronous", path,
                    unsigned(flags));
        finish(s, e, EINVAL);
        return -1;
    }
    if (int err = s.fault(e)) {
        finish(s, e, err);
        return -1;
    }
    if (c->openErrno) {
        finish(s, e, c->openErrno);
        return -1;
    }
    char name[32];
    std::snprintf(name, sizeof name, "vdlpci%u", number);
    int fd = memfd_create(name, (flags & O_CLOEXEC) ? MFD_CLOEXEC : 0);
    if (fd < 0) {
        finish(s, e, errno);
        return -1;
    }
    Descriptor d;
    d.card = number;
    d.generation = s.generation;
    s.descriptors[fd] = d;
    markSimFd(fd, true);
    e.fd = fd;
    finish(s, e, 0);
    return fd;
}

void State::releaseDescriptorMemory(Card& c, int fd)
{
    for (auto it = c.buffers.begin(); it != c.buffers.end();) {
        if (it->ownerFd == fd) {
            vdlsim_real_munmap(it->view, it->viewLen);
            vdlsim_real_close(it->memfd);
            it = c.buffers.erase(it);
        } else {
            ++it;
        }
    }
    c.pins.erase(std::remove_if(c.pins.begin(), c.pins.end(),
                                [fd](const PinnedRegion& p) { return p.ownerFd == fd; }),
                 c.pins.end());
}

int driverClose(int fd)
{
    State& s = state();
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        auto it = s.descriptors.find(fd);
        if (it != s.descriptors.end()) {
            vdlsim_log_entry e = newEntry(VDLSIM_EV_CLOSE, it->second.card, fd);
            if (it->second.generation == s.generation) {
                // As a driver's release does: what the descriptor held goes back.
                if (Card* c = s.card(it->second.card))
                    s.releaseDescriptorMemory(*c, fd);
            }
            s.descriptors.erase(it);
            markSimFd(fd, false);
            finish(s, e, 0);
        }
    }
    return vdlsim_real_close(fd);
}

void* driverMmap(void* addr, size_t len, int prot, int flags, int fd, off_t offset)
{
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    auto it = s.descriptors.find(fd);
    if (it == s.descriptors.end()) {
        errno = EBADF;
        return MAP_FAILED;
    }
    Descriptor& d = it->second;
    vdlsim_log_entry e = newEntry(VDLSIM_EV_MMAP, d.card, fd);
    e.request = VDLSIM_FAULT_MMAP;
    e.address = uint64_t(offset);
    e.value = len;
    Card* c = d.generation == s.generation ? s.card(d.card) : nullptr;
    if (!c) {
        finish(s, e, ENODEV);
        return MAP_FAILED;
    }
    const ContigBuffer* b = nullptr;
    if (d.selected)
        for (auto& x : c->buffers)
            if (x.ownerFd == fd && x.bus == d.selectedBus)
                b = &x;
    if (d.mapMode != 1 || !b || offset != 0 || (flags & MAP_TYPE) != MAP_SHARED || len == 0 ||
        len > b->len) {
        s.violation(e, "mmap of length %zu at offset %lld with flags %#x, mapping mode %d, %s "
                       "buffer selected",
                    len, (long long)offset, unsigned(flags), d.mapMode, b ? "a" : "no");
        finish(s, e, EINVAL);
        return MAP_FAILED;
    }
    if (int err = s.fault(e)) {
        finish(s, e, err);
        return MAP_FAILED;
    }
    void* p = vdlsim_real_mmap(addr, len, prot, flags, b->memfd, 0);
    if (p == MAP_FAILED) {
        finish(s, e, errno);
        return MAP_FAILED;
    }
    d.selected = false;
    s.mappings[reinterpret_cast<uintptr_t>(p)] = len;
    g_mappingCount.store(s.mappings.size(), std::memory_order_release);
    e.aux = reinterpret_cast<uintptr_t>(p);
    finish(s, e, 0);
    return p;
}

void driverMunmap(void* addr, size_t len)
{
    // munmap runs everywhere, early and late; only a mapping of a node is of interest.
    if (g_mappingCount.load(std::memory_order_acquire) == 0 ||
        g_stateReady.load(std::memory_order_acquire) == nullptr)
        return;
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    auto it = s.mappings.find(reinterpret_cast<uintptr_t>(addr));
    if (it == s.mappings.end())
        return;
    vdlsim_log_entry e = newEntry(VDLSIM_EV_MUNMAP, UINT32_MAX, -1);
    e.aux = reinterpret_cast<uintptr_t>(addr);
    e.value = len;
    s.mappings.erase(it);
    g_mappingCount.store(s.mappings.size(), std::memory_order_release);
    finish(s, e, 0);
}

int driverAccess(const char* path, int mode)
{
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    unsigned number = 0;
    bool named = parseNode(path, number);
    vdlsim_log_entry e = newEntry(VDLSIM_EV_ACCESS, named ? number : UINT32_MAX, -1);
    e.address = uint32_t(mode);
    Card* c = named ? s.card(number) : nullptr;
    if (!c || !c->present)
        return finish(s, e, ENOENT);
    if (mode & ~(R_OK | W_OK | X_OK))
        return finish(s, e, EINVAL);
    if (mode == F_OK)
        return finish(s, e, 0);
    // A character node has no execute permission, not even for root.
    if ((mode & X_OK) || !c->access)
        return finish(s, e, EACCES);
    return finish(s, e, 0);
}

void publishState(State* s) { g_stateReady.store(s, std::memory_order_release); }

void forgetMappings(State& s)
{
    s.mappings.clear();
    g_mappingCount.store(0, std::memory_order_release);
}

} // namespace vdlsim

extern "C" {

int vdlsim_is_node_path(const char* path)
{
    return std::strncmp(path, vdlsim::kNodeDir, sizeof vdlsim::kNodeDir - 1) == 0;
}

int vdlsim_is_sim_fd(int fd) { return vdlsim::isSimFdImpl(fd) ? 1 : 0; }

int vdlsim_driver_open(const char* path, int flags) { return vdlsim::driverOpen(path, flags); }
int vdlsim_driver_close(int fd) { return vdlsim::driverClose(fd); }
int vdlsim_driver_ioctl(int fd, unsigned long request, void* arg)
{
    return vdlsim::driverIoctl(fd, request, arg);
}
void* vdlsim_driver_mmap(void* addr, size_t len, int prot, int flags, int fd, off_t offset)
{
    return vdlsim::driverMmap(addr, len, prot, flags, fd, offset);
}
void vdlsim_driver_munmap(void* addr, size_t len) { vdlsim::driverMunmap(addr, len); }
int vdlsim_driver_access(const char* path, int mode) { return vdlsim::driverAccess(path, mode); }

} // extern "C"
