// The simulated driver's state: cards, descriptors, DMA memory, log, faults.
// Everything here is guarded by State::mutex except the interrupt waits, which
// have their own lock so that a blocked waiter holds nothing of the model.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <sys/types.h>
#include <unordered_map>
#include <vector>

#include "vdlsim.h"
#include "vdlsim_config.hpp"
#include "vdlsim_records.hpp"

namespace vdlsim {

constexpr unsigned kNumBars = VDLSIM_NUM_BARS;
constexpr unsigned kMaxCards = VDLSIM_MAX_CARDS;

struct Bar {
    uint64_t size = 0;
    uint64_t bus = 0;
    uint8_t* memory = nullptr; // anonymous mapping of `size` bytes
};

struct ContigBuffer {
    int ownerFd = -1;
    uint64_t bus = 0;
    uint32_t len = 0;
    int memfd = -1;
    uint8_t* view = nullptr; // the model's own mapping of the memfd
    size_t viewLen = 0;
};

struct PinnedRegion {
    int ownerFd = -1;
    uint64_t addr = 0;
    uint32_t size = 0;
    uint32_t npages = 0;
    uint64_t pages = 0;
    std::vector<uint64_t> pageBus; // bus address of each page the region spans
};

struct Card {
    bool present = true;
    bool access = true;
    int openErrno = 0;
    uint32_t location = 0;
    std::optional<std::string> slotPath;
    Bar bars[kNumBars];
    ConfigSpace config;
    bool bridgePresent = true;
    ConfigSpace bridge;
    UpstreamDescriptor descriptor{};
    // Link: up unless Link Disable is set or the partner was taken away.
    bool partnerUp = true;
    bool linkUp = true;
    uint32_t trainingReads = 2;
    uint32_t trainingLeft = 0;
    bool resetOnDown = false;
    vdlsim_bar_callback callback = nullptr;
    void* callbackContext = nullptr;
    std::vector<ContigBuffer> buffers;
    std::vector<PinnedRegion> pins;
    // Misbehaving answers: request 6 gives buffers of this length (0: the
    // length asked), request 15 writes this page count back (0: unchanged).
    uint32_t contigAnswerLen = 0;
    uint32_t lockAnswerNpages = 0;

    Card() = default;
    Card(const Card&) = delete;
    Card& operator=(const Card&) = delete;
    ~Card();
};

struct Descriptor {
    unsigned card = 0;
    uint64_t generation = 0;
    int mapMode = 0;
    bool selected = false;
    uint64_t selectedBus = 0;
};

struct FaultRule {
    vdlsim_fault rule{};
    uint32_t matched = 0;
    int hits = 0;
};

struct Waiter {
    uint32_t status = 0;
    uint32_t value = 0;
};

struct VectorState {
    bool pending = false;
    uint32_t value = 0;
    std::vector<Waiter*> waiters;
};

struct Interrupts {
    std::mutex mutex;
    std::condition_variable changed;
    std::map<uint64_t, VectorState> vectors;
};

class State {
public:
    State();

    std::mutex mutex;
    uint64_t generation = 1;
    std::unique_ptr<Card> cards[kMaxCards];
    int32_t countAnswer = -1;
    std::unordered_map<int, Descriptor> descriptors;
    std::map<uintptr_t, size_t> mappings; // mappings of nodes handed out: start -> length
    uint64_t nextContigBus = 0;
    uint64_t nextPinBus = 0;

    std::vector<vdlsim_log_entry> log;
    size_t logHead = 0;
    size_t logCount = 0;
    size_t logDropped = 0;
    bool logOn = true;
    int logShareFd = -1; // also written here, with the caller's pid

    std::vector<std::string> violations;
    size_t violationCount = 0;
    bool verbose = false;

    std::vector<FaultRule> faults;

    Interrupts irq;

    // With `mutex` held.
    void applyStartupScenario();
    void clearCards();
    int setupCard(unsigned card);
    Card* card(unsigned number);
    void append(const vdlsim_log_entry& entry);
    void violation(vdlsim_log_entry& entry, const char* format, ...)
        __attribute__((format(printf, 3, 4)));
    // errno of the fault that fails this call, or 0.
    int fault(const vdlsim_log_entry& entry);
    int applyScenario(const std::string& text, int* badLine);
    void updateLink(Card& c);
    void releaseDescriptorMemory(Card& c, int fd);
    uint64_t irqKey(unsigned card, unsigned vector) const
    {
        return (generation << 32) | (uint64_t(card) << 16) | vector;
    }
};

// The one model of the process, created on first use.
State& state();
// Marks the model as created, for the calls that must not create it (munmap).
void publishState(State* s);
// With State::mutex held: the mappings handed out are no longer the model's.
void forgetMappings(State& s);

// The bridge's registers as a read sees them (Link Status follows the link); a
// read by the driver counts down a training.
uint32_t bridgeRead(Card& c, unsigned offset, unsigned width, bool countTraining);
// A write of the bridge's registers with its effects on the link.
void bridgeWrite(State& s, Card& c, unsigned offset, unsigned width, uint32_t value);

bool isSimFdImpl(int fd);
void markSimFd(int fd, bool on);

int driverOpen(const char* path, int flags);
int driverClose(int fd);
int driverIoctl(int fd, unsigned long request, void* arg);
void* driverMmap(void* addr, size_t len, int prot, int flags, int fd, off_t offset);
void driverMunmap(void* addr, size_t len);
int driverAccess(const char* path, int mode);

} // namespace vdlsim
