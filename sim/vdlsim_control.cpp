// The model's state and the control interface of vdlsim.h.
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <fcntl.h>
#include <pthread.h>
#include <sstream>
#include <sys/mman.h>
#include <unistd.h>

#include "vdlsim.h"
#include "vdlsim_devices.hpp"
#include "vdlsim_internal.h"
#include "vdlsim_model.hpp"

namespace vdlsim {

namespace {

constexpr uint64_t kContigBusBase = 0x0000000180000000ull;
constexpr uint64_t kPinBusBase = 0x0000004000000000ull;
constexpr size_t kMaxViolationTexts = 4096;
constexpr size_t kViolationTextSize = 512;
constexpr uint64_t kMaxBarSize = 1ull << 36;
constexpr uint64_t kMinBarSize = 16;
constexpr uint32_t kBarAddressMask = 0xFFFFFFF0u;
constexpr unsigned kDefaultCards = 1;

struct DefaultBar {
    uint64_t size;
    uint64_t bus;
};
constexpr DefaultBar kDefaultBars[kNumBars] = {
    {1u << 20, 0xF0000000u}, {0, 0}, {64u << 10, 0xF0100000u},
    {0, 0},                  {4u << 10, 0xF0110000u}, {0, 0},
};
constexpr uint64_t kBarCardStride = 0x01000000u;

pthread_once_t g_once = PTHREAD_ONCE_INIT;
State* g_state = nullptr;

void createState()
{
    // Never destroyed: calls may arrive during and after exit handlers.
    g_state = new State();
    publishState(g_state);
}

void freeBarMemory(Bar& b)
{
    if (b.memory)
        vdlsim_real_munmap(b.memory, b.size);
    b.memory = nullptr;
}

int setBar(Card& c, unsigned bar, uint64_t size, uint64_t bus)
{
    if (size && (size < kMinBarSize || size > kMaxBarSize || (size & (size - 1))))
        return -EINVAL;
    uint8_t* memory = nullptr;
    if (size) {
        void* p = vdlsim_real_mmap(nullptr, size, PROT_READ | PROT_WRITE,
                                   MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        if (p == MAP_FAILED)
            return -ENOMEM;
        memory = static_cast<uint8_t*>(p);
    }
    Bar& b = c.bars[bar];
    freeBarMemory(b);
    b.size = size;
    b.bus = size ? bus : 0;
    b.memory = memory;
    unsigned reg = pci::kBar0 + 4 * bar;
    c.config.set(reg, 4, size ? uint32_t(bus) & kBarAddressMask : 0);
    uint32_t mask = size ? uint32_t(~(size - 1)) & kBarAddressMask : 0;
    c.config.setMasks(reg, 4, mask, 0);
    return 0;
}

void refreshDescriptor(Card& c, unsigned number)
{
    UpstreamDescriptor d{};
    d.magic = kUpstreamMagic;
    d.card = number;
    d.vendorId = uint16_t(c.bridge.get(pci::kVendorId, 2));
    d.deviceId = uint16_t(c.bridge.get(pci::kVendorId + 2, 2));
    d.bridgeLocation = (1u + number) << 8;
    c.descriptor = d;
}

// After reset a function comes up unconfigured: no decoding, no BAR addresses.
void clearResetConfiguration(ConfigSpace& s)
{
    s.resetImage[pci::kCommand] = 0;
    s.resetImage[pci::kCommand + 1] = 0;
    if ((s.resetImage[pci::kHeaderType] & pci::kHeaderTypeMask) != pci::kHeaderTypeBridge)
        std::memset(s.resetImage + pci::kBar0, 0, 4 * kNumBars);
}

bool parseNumber(const std::string& text, unsigned long long& out)
{
    if (text.empty())
        return false;
    char* end = nullptr;
    errno = 0;
    out = std::strtoull(text.c_str(), &end, 0);
    return errno == 0 && end && *end == '\0';
}

int errnoByName(const std::string& name)
{
    static const struct {
        const char* name;
        int value;
    } names[] = {{"EACCES", EACCES}, {"EPERM", EPERM}, {"EIO", EIO},     {"ENODEV", ENODEV},
                 {"ENXIO", ENXIO},   {"EBUSY", EBUSY}, {"ENOENT", ENOENT}, {"ENOMEM", ENOMEM}};
    for (auto& n : names)
        if (name == n.name)
            return n.value;
    unsigned long long v;
    return parseNumber(name, v) && v < 4096 ? int(v) : -1;
}

} // namespace

Card::~Card()
{
    for (auto& b : bars)
        freeBarMemory(b);
    for (auto& b : buffers) {
        vdlsim_real_munmap(b.view, b.viewLen);
        vdlsim_real_close(b.memfd);
    }
}

State& state()
{
    pthread_once(&g_once, createState);
    return *g_state;
}

State::State()
{
    log.resize(VDLSIM_LOG_CAPACITY);
    nextContigBus = kContigBusBase;
    nextPinBus = kPinBusBase;
    const char* verboseEnv = std::getenv("VDLSIM_VERBOSE");
    verbose = verboseEnv && *verboseEnv && std::strcmp(verboseEnv, "0") != 0;
    std::lock_guard<std::mutex> lock(mutex);
    applyStartupScenario();
}

Card* State::card(unsigned number) { return number < kMaxCards ? cards[number].get() : nullptr; }

void State::clearCards()
{
    for (auto& c : cards)
        c.reset();
    countAnswer = -1;
}

int State::setupCard(unsigned number)
{
    if (number >= kMaxCards)
        return -EINVAL;
    auto c = std::make_unique<Card>();
    buildDefaultCard(c->config, number);
    buildDefaultBridge(c->bridge, number);
    for (unsigned bar = 0; bar < kNumBars; ++bar) {
        const DefaultBar& d = kDefaultBars[bar];
        if (int rc = setBar(*c, bar, d.size, d.size ? d.bus + kBarCardStride * number : 0))
            return rc;
    }
    c->config.saveResetImage();
    clearResetConfiguration(c->config);
    clearResetConfiguration(c->bridge);
    const unsigned bus = number + 1;
    c->location = bus << 16;
    char slot[96];
    std::snprintf(slot, sizeof slot, "/sys/devices/pci0000:00/0000:00:01.%u/0000:%02x:00.0",
                  number, bus);
    c->slotPath = slot;
    refreshDescriptor(*c, number);
    cards[number] = std::move(c);
    return 0;
}

void State::applyStartupScenario()
{
    clearCards();
    unsigned count = kDefaultCards;
    if (const char* env = std::getenv("VDLSIM_CARDS")) {
        unsigned long long v;
        if (parseNumber(env, v) && v <= kMaxCards)
            count = unsigned(v);
        else
            std::fprintf(stderr, "libvdlsim: VDLSIM_CARDS=%s is not a number of cards 0 to %u\n",
                         env, kMaxCards);
    }
    for (unsigned i = 0; i < count; ++i)
        setupCard(i);
    if (const char* file = std::getenv("VDLSIM_SCENARIO")) {
        std::ifstream in(file);
        std::stringstream text;
        text << in.rdbuf();
        int bad = 0;
        if (!in)
            std::fprintf(stderr, "libvdlsim: cannot read the scenario file %s\n", file);
        else if (applyScenario(text.str(), &bad) != 0)
            std::fprintf(stderr, "libvdlsim: %s:%d: bad scenario line\n", file, bad);
    }
}

void State::append(const vdlsim_log_entry& entry)
{
    if (!logOn)
        return;
    if (logShareFd >= 0) {
        vdlsim_shared_log_entry shared{};
        shared.pid = static_cast<int32_t>(::getpid());
        shared.entry = entry;
        // One write per entry: whole records even from several processes.
        ssize_t written;
        do {
            written = ::write(logShareFd, &shared, sizeof(shared));
        } while (written < 0 && errno == EINTR);
    }
    size_t at = (logHead + logCount) % log.size();
    log[at] = entry;
    if (logCount < log.size()) {
        ++logCount;
    } else {
        logHead = (logHead + 1) % log.size();
        ++logDropped;
    }
}

void State::violation(vdlsim_log_entry& entry, const char* format, ...)
{
    entry.violation = 1;
    ++violationCount;
    char text[kViolationTextSize];
    int n = 0;
    switch (entry.event) {
    case VDLSIM_EV_IOCTL:
        n = std::snprintf(text, sizeof text, "card %u request %#010x: ", entry.card, entry.request);
        break;
    case VDLSIM_EV_OPEN: n = std::snprintf(text, sizeof text, "open: "); break;
    default: n = std::snprintf(text, sizeof text, "card %u mmap: ", entry.card); break;
    }
    va_list ap;
    va_start(ap, format);
    std::vsnprintf(text + n, sizeof text - size_t(n), format, ap);
    va_end(ap);
    if (verbose)
        std::fprintf(stderr, "libvdlsim: protocol violation: %s\n", text);
    if (violations.size() < kMaxViolationTexts)
        violations.emplace_back(text);
}

int State::fault(const vdlsim_log_entry& e)
{
    int err = 0;
    for (auto& f : faults) {
        const vdlsim_fault& r = f.rule;
        if ((r.card != VDLSIM_FAULT_ANY_CARD && uint32_t(r.card) != e.card) ||
            (r.request && r.request != e.request) || (r.command && r.command != e.command) ||
            (r.address != VDLSIM_FAULT_ANY_ADDRESS && r.address != e.address))
            continue;
        uint32_t n = f.matched++;
        if (f.matched == 0)
            f.matched = UINT32_MAX; // saturate rather than start over
        bool failing = n >= r.skip && (r.count == VDLSIM_FAULT_FOREVER || n - r.skip < r.count);
        if (failing && !err) {
            err = r.err;
            ++f.hits;
        }
    }
    return err;
}

int State::applyScenario(const std::string& text, int* badLine)
{
    std::istringstream in(text);
    std::string line;
    int number = 0;
    auto bad = [&]() {
        if (badLine)
            *badLine = number;
        return -EINVAL;
    };
    while (std::getline(in, line)) {
        ++number;
        if (auto hash = line.find('#'); hash != std::string::npos)
            line.erase(hash);
        std::istringstream words(line);
        std::vector<std::string> w;
        for (std::string x; words >> x;)
            w.push_back(x);
        if (w.empty())
            continue;
        unsigned long long v = 0, v2 = 0, v3 = 0, v4 = 0;
        if (w[0] == "cards" && w.size() == 2 && parseNumber(w[1], v) && v <= kMaxCards) {
            clearCards();
            for (unsigned i = 0; i < v; ++i)
                setupCard(i);
            continue;
        }
        if (w[0] == "count" && w.size() == 2) {
            if (w[1] == "auto")
                countAnswer = -1;
            else if (parseNumber(w[1], v) && v <= INT32_MAX)
                countAnswer = int32_t(v);
            else
                return bad();
            continue;
        }
        if (w[0] != "card" || w.size() < 3 || !parseNumber(w[1], v) || v >= kMaxCards)
            return bad();
        const unsigned n = unsigned(v);
        const std::string& op = w[2];
        if (op == "setup" && w.size() == 3) {
            setupCard(n);
            continue;
        }
        if (op == "remove" && w.size() == 3) {
            cards[n].reset();
            continue;
        }
        Card* c = card(n);
        if (!c)
            return bad();
        if (op == "absent" && w.size() == 3) {
            c->present = false;
        } else if (op == "present" && w.size() == 3) {
            c->present = true;
        } else if (op == "noaccess" && w.size() == 3) {
            c->access = false;
        } else if (op == "open-errno" && w.size() == 4) {
            int e = errnoByName(w[3]);
            if (e < 0)
                return bad();
            c->openErrno = e;
        } else if (op == "nobridge" && w.size() == 3) {
            c->bridgePresent = false;
            updateLink(*c);
        } else if (op == "load" && (w.size() == 5 || w.size() == 6) &&
                   (w[3] == "card" || w[3] == "bridge")) {
            std::ifstream f(w[4]);
            std::stringstream t;
            t << f.rdbuf();
            if (!f)
                return bad();
            ConfigSpace& space = w[3] == "card" ? c->config : c->bridge;
            if (parseLspci(t.str(), w.size() == 6 ? w[5].c_str() : nullptr, space) != 0)
                return bad();
            if (w[3] == "card") {
                for (unsigned bar = 0; bar < kNumBars; ++bar) {
                    uint32_t m = c->bars[bar].size ? uint32_t(~(c->bars[bar].size - 1)) &
                                                         kBarAddressMask
                                                   : 0;
                    space.setMasks(pci::kBar0 + 4 * bar, 4, m, 0);
                }
            } else {
                refreshDescriptor(*c, n);
            }
            clearResetConfiguration(space);
            c->partnerUp = true;
            c->linkUp = true;
            updateLink(*c);
        } else if (op == "bar" && w.size() == 6 && parseNumber(w[3], v) && v < kNumBars &&
                   parseNumber(w[4], v2) && parseNumber(w[5], v3)) {
            if (setBar(*c, unsigned(v), v2, v3) != 0)
                return bad();
        } else if (op == "ids" && w.size() == 7 && parseNumber(w[3], v) && parseNumber(w[4], v2) &&
                   parseNumber(w[5], v3) && parseNumber(w[6], v4) && v <= 0xFFFF &&
                   v2 <= 0xFFFF && v3 <= 0xFFFF && v4 <= 0xFFFF) {
            c->config.set(pci::kVendorId, 4, uint32_t(v | (v2 << 16)));
            c->config.set(pci::kSubsystemVendorId, 4, uint32_t(v3 | (v4 << 16)));
        } else if (op == "location" && w.size() == 6 && parseNumber(w[3], v) && v <= 0xFFFF &&
                   parseNumber(w[4], v2) && v2 <= 0xFF && parseNumber(w[5], v3) && v3 <= 0xFF) {
            c->location = uint32_t((v << 16) | (v2 << 8) | v3);
        } else if (op == "slot" && w.size() == 4) {
            if (w[3] == "none")
                c->slotPath.reset();
            else
                c->slotPath = w[3];
        } else if (op == "training-reads" && w.size() == 4) {
            if (w[3] == "forever")
                c->trainingReads = UINT32_MAX;
            else if (parseNumber(w[3], v) && v <= UINT32_MAX)
                c->trainingReads = uint32_t(v);
            else
                return bad();
        } else if (op == "reset-on-down" && w.size() == 4 && (w[3] == "on" || w[3] == "off")) {
            c->resetOnDown = w[3] == "on";
        } else if (op == "link" && w.size() == 4 && (w[3] == "up" || w[3] == "down")) {
            c->partnerUp = w[3] == "up";
            updateLink(*c);
        } else if (op == "device" && (w.size() == 4 || w.size() == 5)) {
            unsigned bar = 0;
            if (w.size() == 5) {
                if (!parseNumber(w[4], v) || v >= kNumBars)
                    return bad();
                bar = unsigned(v);
            }
            if (installDevice(*c, w[3], bar) != 0)
                return bad();
        } else {
            return bad();
        }
    }
    return 0;
}

} // namespace vdlsim

// ---------------------------------------------------------------------------
// The C interface

using vdlsim::Card;
using vdlsim::State;
using vdlsim::state;

namespace {

// Runs `fn(state, card)` under the model's lock for a configured card.
template <typename Fn> int withCard(unsigned number, Fn fn)
{
    if (number >= vdlsim::kMaxCards)
        return -EINVAL;
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    Card* c = s.card(number);
    if (!c)
        return -ENOENT;
    return fn(s, *c);
}

vdlsim::ConfigSpace* spaceOf(Card& c, int space)
{
    switch (space) {
    case VDLSIM_SPACE_CARD: return &c.config;
    case VDLSIM_SPACE_BRIDGE: return &c.bridge;
    default: return nullptr;
    }
}

bool validAccess(unsigned offset, unsigned width)
{
    return (width == 1 || width == 2 || width == 4) && offset < vdlsim::kConfigSize &&
           offset + width <= vdlsim::kConfigSize;
}

// Locates `len` bytes at bus address `bus` in the card's DMA memory.
uint8_t* hostOf(Card& c, uint64_t bus, size_t len)
{
    for (auto& b : c.buffers)
        if (bus >= b.bus && bus - b.bus < b.len && len <= b.len - (bus - b.bus))
            return b.view + (bus - b.bus);
    const uint64_t page = uint64_t(sysconf(_SC_PAGESIZE));
    for (auto& p : c.pins)
        for (size_t i = 0; i < p.pageBus.size(); ++i)
            if (bus >= p.pageBus[i] && bus - p.pageBus[i] < page &&
                len <= page - (bus - p.pageBus[i])) {
                uint8_t* start = reinterpret_cast<uint8_t*>((p.addr / page + i) * page);
                // A kernel would keep a pinned page; a process can still unmap it.
                unsigned char resident;
                if (mincore(start, page, &resident) != 0)
                    return nullptr;
                return start + (bus - p.pageBus[i]);
            }
    return nullptr;
}

} // namespace

extern "C" {

void vdlsim_reset(void)
{
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    ++s.generation;
    s.applyStartupScenario();
    vdlsim::forgetMappings(s);
    s.logHead = s.logCount = s.logDropped = 0;
    s.logOn = true;
    s.logShareFd = -1;
    s.violations.clear();
    s.violationCount = 0;
    s.faults.clear();
    std::lock_guard<std::mutex> irqLock(s.irq.mutex);
    s.irq.vectors.clear();
}

void vdlsim_clear_cards(void)
{
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.clearCards();
    s.countAnswer = -1;
}

int vdlsim_apply_scenario(const char* text, int* bad_line)
{
    if (!text)
        return -EINVAL;
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    return s.applyScenario(text, bad_line);
}

int vdlsim_card_setup(unsigned card)
{
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    return s.setupCard(card);
}

int vdlsim_card_remove(unsigned card)
{
    return withCard(card, [&](State& s, Card&) {
        s.cards[card].reset();
        return 0;
    });
}

int vdlsim_card_set_present(unsigned card, int present)
{
    return withCard(card, [&](State&, Card& c) {
        c.present = present != 0;
        return 0;
    });
}

int vdlsim_card_set_access(unsigned card, int allowed)
{
    return withCard(card, [&](State&, Card& c) {
        c.access = allowed != 0;
        return 0;
    });
}

int vdlsim_card_set_open_errno(unsigned card, int err)
{
    if (err < 0)
        return -EINVAL;
    return withCard(card, [&](State&, Card& c) {
        c.openErrno = err;
        return 0;
    });
}

int vdlsim_card_set_ids(unsigned card, uint16_t vendor, uint16_t device,
                        uint16_t subsystem_vendor, uint16_t subsystem)
{
    return withCard(card, [&](State&, Card& c) {
        c.config.set(vdlsim::pci::kVendorId, 4, uint32_t(vendor) | (uint32_t(device) << 16));
        c.config.set(vdlsim::pci::kSubsystemVendorId, 4,
                     uint32_t(subsystem_vendor) | (uint32_t(subsystem) << 16));
        return 0;
    });
}

int vdlsim_card_set_location(unsigned card, uint16_t bus, uint8_t device, uint8_t function)
{
    return withCard(card, [&](State&, Card& c) {
        c.location = (uint32_t(bus) << 16) | (uint32_t(device) << 8) | function;
        return 0;
    });
}

int vdlsim_card_set_slot_path(unsigned card, const char* path)
{
    return withCard(card, [&](State&, Card& c) {
        if (path)
            c.slotPath = std::string(path);
        else
            c.slotPath.reset();
        return 0;
    });
}

int vdlsim_card_set_bar(unsigned card, unsigned bar, uint64_t size, uint64_t bus_address)
{
    if (bar >= vdlsim::kNumBars)
        return -EINVAL;
    return withCard(card, [&](State&, Card& c) { return vdlsim::setBar(c, bar, size, bus_address); });
}

void* vdlsim_card_bar_memory(unsigned card, unsigned bar)
{
    if (bar >= vdlsim::kNumBars)
        return nullptr;
    void* memory = nullptr;
    withCard(card, [&](State&, Card& c) {
        memory = c.bars[bar].memory;
        return 0;
    });
    return memory;
}

void vdlsim_set_card_count_answer(int32_t count)
{
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.countAnswer = count < 0 ? -1 : count;
}

int vdlsim_card_open_count(unsigned card)
{
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    int count = 0;
    for (const auto& [fd, d] : s.descriptors)
        count += d.card == card && d.generation == s.generation ? 1 : 0;
    return count;
}

int vdlsim_bridge_set_present(unsigned card, int present)
{
    return withCard(card, [&](State& s, Card& c) {
        c.bridgePresent = present != 0;
        s.updateLink(c);
        return 0;
    });
}

int vdlsim_config_peek(unsigned card, int space, unsigned offset, unsigned width, uint32_t* value)
{
    if (!value || !validAccess(offset, width))
        return -EINVAL;
    return withCard(card, [&](State&, Card& c) {
        if (space == VDLSIM_SPACE_BRIDGE) {
            *value = vdlsim::bridgeRead(c, offset, width, false);
            return 0;
        }
        vdlsim::ConfigSpace* s = spaceOf(c, space);
        if (!s)
            return -EINVAL;
        *value = s->get(offset, width);
        return 0;
    });
}

int vdlsim_config_poke(unsigned card, int space, unsigned offset, unsigned width, uint32_t value)
{
    if (!validAccess(offset, width))
        return -EINVAL;
    return withCard(card, [&](State& st, Card& c) {
        vdlsim::ConfigSpace* s = spaceOf(c, space);
        if (!s)
            return -EINVAL;
        s->set(offset, width, value);
        s->locateCapabilities();
        st.updateLink(c);
        return 0;
    });
}

int vdlsim_config_set_masks(unsigned card, int space, unsigned offset, unsigned len, uint32_t rw,
                            uint32_t w1c)
{
    if (offset >= vdlsim::kConfigSize || len > vdlsim::kConfigSize - offset || (rw & w1c))
        return -EINVAL;
    return withCard(card, [&](State&, Card& c) {
        vdlsim::ConfigSpace* s = spaceOf(c, space);
        if (!s)
            return -EINVAL;
        s->setMasks(offset, len, rw, w1c);
        return 0;
    });
}

int vdlsim_config_get_masks(unsigned card, int space, unsigned offset, uint8_t* rw, uint8_t* w1c)
{
    if (offset >= vdlsim::kConfigSize || !rw || !w1c)
        return -EINVAL;
    return withCard(card, [&](State&, Card& c) {
        vdlsim::ConfigSpace* s = spaceOf(c, space);
        if (!s)
            return -EINVAL;
        *rw = s->rw[offset];
        *w1c = s->w1c[offset];
        return 0;
    });
}

int vdlsim_config_default_masks(unsigned card, int space)
{
    return withCard(card, [&](State&, Card& c) {
        vdlsim::ConfigSpace* s = spaceOf(c, space);
        if (!s)
            return -EINVAL;
        s->deriveMasks();
        return 0;
    });
}

int vdlsim_config_load_lspci_text(unsigned card, int space, const char* text, const char* function)
{
    if (!text)
        return -EINVAL;
    return withCard(card, [&](State& st, Card& c) {
        vdlsim::ConfigSpace* s = spaceOf(c, space);
        if (!s)
            return -EINVAL;
        vdlsim::ConfigSpace loaded;
        if (int rc = vdlsim::parseLspci(text, function, loaded))
            return rc;
        std::memcpy(s->data, loaded.data, sizeof loaded.data);
        std::memcpy(s->rw, loaded.rw, sizeof loaded.rw);
        std::memcpy(s->w1c, loaded.w1c, sizeof loaded.w1c);
        std::memcpy(s->resetImage, loaded.resetImage, sizeof loaded.resetImage);
        s->locateCapabilities();
        if (space == VDLSIM_SPACE_CARD) {
            for (unsigned bar = 0; bar < vdlsim::kNumBars; ++bar) {
                uint64_t size = c.bars[bar].size;
                uint32_t m = size ? uint32_t(~(size - 1)) & vdlsim::kBarAddressMask : 0;
                s->setMasks(vdlsim::pci::kBar0 + 4 * bar, 4, m, 0);
            }
        } else {
            vdlsim::refreshDescriptor(c, card);
        }
        vdlsim::clearResetConfiguration(*s);
        c.partnerUp = true;
        st.updateLink(c);
        return 0;
    });
}

int vdlsim_config_load_lspci_file(unsigned card, int space, const char* path, const char* function)
{
    if (!path)
        return -EINVAL;
    std::ifstream in(path);
    if (!in)
        return -ENOENT;
    std::stringstream text;
    text << in.rdbuf();
    if (in.bad())
        return -EIO;
    return vdlsim_config_load_lspci_text(card, space, text.str().c_str(), function);
}

int vdlsim_link_set_training_reads(unsigned card, uint32_t reads)
{
    return withCard(card, [&](State&, Card& c) {
        c.trainingReads = reads;
        return 0;
    });
}

int vdlsim_link_set_up(unsigned card, int up)
{
    return withCard(card, [&](State& s, Card& c) {
        c.partnerUp = up != 0;
        s.updateLink(c);
        return 0;
    });
}

int vdlsim_link_is_up(unsigned card)
{
    return withCard(card, [&](State&, Card& c) { return c.linkUp ? 1 : 0; });
}

int vdlsim_link_set_reset_on_down(unsigned card, int on)
{
    return withCard(card, [&](State&, Card& c) {
        c.resetOnDown = on != 0;
        return 0;
    });
}

int vdlsim_dma_read(unsigned card, uint64_t bus, void* data, size_t len)
{
    if (!data && len)
        return -EINVAL;
    return withCard(card, [&](State&, Card& c) {
        uint8_t* host = hostOf(c, bus, len);
        if (!host)
            return -EFAULT;
        std::memcpy(data, host, len);
        return 0;
    });
}

int vdlsim_dma_write(unsigned card, uint64_t bus, const void* data, size_t len)
{
    if (!data && len)
        return -EINVAL;
    return withCard(card, [&](State&, Card& c) {
        uint8_t* host = hostOf(c, bus, len);
        if (!host)
            return -EFAULT;
        std::memcpy(host, data, len);
        return 0;
    });
}

void* vdlsim_dma_host_address(unsigned card, uint64_t bus, size_t len)
{
    void* host = nullptr;
    withCard(card, [&](State&, Card& c) {
        host = hostOf(c, bus, len);
        return 0;
    });
    return host;
}

int vdlsim_dma_buffer_count(unsigned card)
{
    return withCard(card, [&](State&, Card& c) { return int(c.buffers.size()); });
}

int vdlsim_dma_pinned_count(unsigned card)
{
    return withCard(card, [&](State&, Card& c) { return int(c.pins.size()); });
}

int vdlsim_dma_set_contig_answer_len(unsigned card, uint32_t len)
{
    if (len > VDLSIM_MAX_CONTIG_LEN)
        return -EINVAL;
    return withCard(card, [&](State&, Card& c) {
        c.contigAnswerLen = len;
        return 0;
    });
}

int vdlsim_dma_set_lock_answer_npages(unsigned card, uint32_t npages)
{
    return withCard(card, [&](State&, Card& c) {
        c.lockAnswerNpages = npages;
        return 0;
    });
}

int vdlsim_irq_raise(unsigned card, unsigned vector, uint32_t value)
{
    if (vector >= VDLSIM_MAX_VECTORS)
        return -EINVAL;
    return withCard(card, [&](State& s, Card&) {
        std::lock_guard<std::mutex> lock(s.irq.mutex);
        vdlsim::VectorState& v = s.irq.vectors[s.irqKey(card, vector)];
        bool delivered = false;
        for (vdlsim::Waiter* w : v.waiters) {
            if (w->status == 0) {
                w->status = vdlsim::kWaitInterrupt;
                w->value = value;
                delivered = true;
            }
        }
        if (delivered) {
            s.irq.changed.notify_all();
        } else {
            v.pending = true;
            v.value = value;
        }
        return 0;
    });
}

int vdlsim_irq_clear(unsigned card, unsigned vector)
{
    if (vector >= VDLSIM_MAX_VECTORS)
        return -EINVAL;
    return withCard(card, [&](State& s, Card&) {
        std::lock_guard<std::mutex> lock(s.irq.mutex);
        auto it = s.irq.vectors.find(s.irqKey(card, vector));
        if (it != s.irq.vectors.end())
            it->second.pending = false;
        return 0;
    });
}

int vdlsim_irq_waiters(unsigned card, unsigned vector)
{
    if (vector >= VDLSIM_MAX_VECTORS)
        return -EINVAL;
    return withCard(card, [&](State& s, Card&) {
        std::lock_guard<std::mutex> lock(s.irq.mutex);
        auto it = s.irq.vectors.find(s.irqKey(card, vector));
        if (it == s.irq.vectors.end())
            return 0;
        int n = 0;
        for (vdlsim::Waiter* w : it->second.waiters)
            n += w->status == 0 ? 1 : 0;
        return n;
    });
}

int vdlsim_irq_wait_for_waiters(unsigned card, unsigned vector, unsigned count,
                                unsigned timeout_ms)
{
    if (vector >= VDLSIM_MAX_VECTORS)
        return -EINVAL;
    uint64_t key = 0;
    int rc = withCard(card, [&](State& s, Card&) {
        key = s.irqKey(card, vector);
        return 0;
    });
    if (rc)
        return rc;
    State& s = state();
    std::unique_lock<std::mutex> lock(s.irq.mutex);
    auto blocked = [&]() {
        auto it = s.irq.vectors.find(key);
        if (it == s.irq.vectors.end())
            return count == 0;
        unsigned n = 0;
        for (vdlsim::Waiter* w : it->second.waiters)
            n += w->status == 0 ? 1 : 0;
        return n >= count;
    };
    bool ok = s.irq.changed.wait_until(
        lock, std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms), blocked);
    return ok ? 0 : -ETIMEDOUT;
}

int vdlsim_set_bar_callback(unsigned card, vdlsim_bar_callback callback, void* context)
{
    return withCard(card, [&](State&, Card& c) {
        c.callback = callback;
        c.callbackContext = callback ? context : nullptr;
        return 0;
    });
}

size_t vdlsim_log_count(void)
{
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    return s.logCount;
}

int vdlsim_log_get(size_t index, vdlsim_log_entry* entry)
{
    if (!entry)
        return -EINVAL;
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    if (index >= s.logCount)
        return -ENOENT;
    *entry = s.log[(s.logHead + index) % s.log.size()];
    return 0;
}

size_t vdlsim_log_count_requests(uint32_t request, uint32_t command)
{
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    size_t n = 0;
    for (size_t i = 0; i < s.logCount; ++i) {
        const vdlsim_log_entry& e = s.log[(s.logHead + i) % s.log.size()];
        if (e.event == VDLSIM_EV_IOCTL && (!request || e.request == request) &&
            (!command || e.command == command))
            ++n;
    }
    return n;
}

size_t vdlsim_log_dropped(void)
{
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    return s.logDropped;
}

void vdlsim_log_clear(void)
{
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.logHead = s.logCount = s.logDropped = 0;
}

int vdlsim_log_share(int fd)
{
    if (fd >= 0 && ::fcntl(fd, F_GETFD) < 0)
        return -EBADF;
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.logShareFd = fd < 0 ? -1 : fd;
    return 0;
}

void vdlsim_log_enable(int on)
{
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.logOn = on != 0;
}

size_t vdlsim_violation_count(void)
{
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    return s.violationCount;
}

int vdlsim_violation_text(size_t index, char* buffer, size_t size)
{
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    if (index >= s.violations.size())
        return -ENOENT;
    const std::string& t = s.violations[index];
    if (buffer && size) {
        size_t n = std::min(t.size(), size - 1);
        std::memcpy(buffer, t.data(), n);
        buffer[n] = '\0';
    }
    return int(t.size());
}

void vdlsim_violation_clear(void)
{
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.violations.clear();
    s.violationCount = 0;
}

int vdlsim_fault_add(const vdlsim_fault* rule)
{
    if (!rule || rule->err <= 0 ||
        (rule->card != VDLSIM_FAULT_ANY_CARD && (rule->card < 0 || rule->card >= int(vdlsim::kMaxCards))))
        return -EINVAL;
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    vdlsim::FaultRule f;
    f.rule = *rule;
    s.faults.push_back(f);
    return int(s.faults.size() - 1);
}

int vdlsim_fault_hits(int id)
{
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    if (id < 0 || size_t(id) >= s.faults.size())
        return -ENOENT;
    return s.faults[size_t(id)].hits;
}

void vdlsim_fault_clear(void)
{
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.faults.clear();
}

} // extern "C"
