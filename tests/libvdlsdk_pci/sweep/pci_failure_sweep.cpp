// Failure sweep of the exported functions: a realistic sequence of calls on
// card 0 of the stand-in driver is run once to record its driver requests,
// then once per request with that one request failed, each run in a process
// of its own. In every run each call must either fail or give exactly what it
// gave in the clean run (a call whose inputs came from a call that failed is
// only required not to crash), the call that made the failed request must not
// succeed unless the library is known to work around that failure, or to go
// on in a degraded state whose later answers are fixed (`kAbsorbed`), no
// protocol violation may occur, the driver
// must get back every node, buffer and pinned region at exit, and nothing may
// leak (the leak checker of the sanitizer build ends a leaking run with a
// non-zero status).
//
// Runs without arguments; prints one line per failing case and a summary.
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "vdlsdk/vdlsdk_pci.h"
#include "vdlsim.h"
#include "vdltest.hpp"

namespace {

// A run that takes longer than this is stuck.
constexpr unsigned kRunSeconds = 30;
// Runs at the same time; the machine is shared.
constexpr unsigned kParallel = 4;
// Bytes of a failing run's console output shown.
constexpr std::size_t kShownOutput = 6000;

constexpr uint64_t kBufferSize = 8192;
constexpr unsigned kTimeoutVector = 0;
constexpr unsigned kRaisedVector = 1;
constexpr unsigned kCancelVector = 2;
constexpr uint32_t kRaisedValue = 0xBEEF;
// Long enough for the cancel to arrive, short enough that a cancel that did
// not reach the driver costs little.
constexpr uint32_t kCancelledWaitMs = 300;

// ---------------------------------------------------------------------------
// One run: the sequence, its results written as lines to `out`.

int g_out = -1;
// The fault rule of the run, and whether a call has already seen it hit.
int g_rule = -1;
bool g_hitSeen = false;

void emit(const std::string& line)
{
    std::string text = line + "\n";
    const char* p = text.data();
    std::size_t left = text.size();
    while (left > 0) {
        const ssize_t n = ::write(g_out, p, left);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            std::_Exit(120);
        p += n;
        left -= static_cast<std::size_t>(n);
    }
}

std::string hex(uint64_t v)
{
    char text[24];
    std::snprintf(text, sizeof(text), "%" PRIx64, v);
    return text;
}

// One call's result: "R name rc value,value,... dep,dep,..."; a value list
// and a dependency list are never empty ("-" stands for none).
void record(const std::string& name, int rc, const std::vector<std::string>& values,
            const std::vector<std::string>& deps)
{
    std::string line = "R " + name + " " + std::to_string(rc) + " ";
    std::string joined;
    for (const auto& v : values)
        joined += (joined.empty() ? "" : ",") + v;
    line += joined.empty() ? "-" : joined;
    line += " ";
    std::string depText;
    for (const auto& d : deps)
        depText += (depText.empty() ? "" : ",") + d;
    line += depText.empty() ? "-" : depText;
    emit(line);
    if (g_rule >= 0 && !g_hitSeen && vdlsim_fault_hits(g_rule) > 0) {
        g_hitSeen = true;
        emit("H " + name);
    }
}

// The element functions report a failed element in their count: fewer
// elements than asked is a failure, whatever the sign.
int elements(int rc, int asked) { return rc == asked ? rc : (rc < 0 ? rc : -1000 - rc); }

std::vector<std::string> words(const uint32_t* w, int n)
{
    std::vector<std::string> out;
    for (int i = 0; i < n; ++i)
        out.push_back(hex(w[i]));
    return out;
}

void dmaSteps(void* h, const std::string& p, uint32_t flags)
{
    const std::string alloc = p + "_alloc";
    void* address = nullptr;
    uint32_t ms = 0xFFFFFFFF;
    int rc = vdlpci_alloc_mem(h, kBufferSize, &address, &ms, flags);
    record(alloc, rc, {hex(ms)}, {"open"});
    const bool allocated = rc == 0;

    uint64_t bus = 0;
    rc = vdlpci_ms_phys_addr(h, ms, 0x10, &bus);
    record(p + "_bus", rc, {hex(bus)}, {"open", alloc});

    const uint32_t written = 0xFEED0000u | flags;
    uint32_t word = written;
    rc = elements(vdlpci_ms_write32s(h, ms, 0x10, &word, 1), 1);
    record(p + "_write", rc, {}, {"open", alloc});
    rc = vdlpci_flush_cache(h, ms, VDLPCI_FLUSH_FOR_DEVICE);
    // What the device finds at the bus address the library gave.
    uint32_t seen = 0;
    vdlsim_dma_read(0, bus, &seen, sizeof(seen));
    record(p + "_flush_dev", rc, {hex(seen)}, {"open", alloc, p + "_bus", p + "_write"});
    // What the device writes there, the caller reads.
    const uint32_t fromDevice = ~written;
    vdlsim_dma_write(0, bus, &fromDevice, sizeof(fromDevice));
    rc = vdlpci_flush_cache(h, ms, VDLPCI_FLUSH_FOR_CPU);
    record(p + "_flush_cpu", rc, {}, {"open", alloc});
    word = 0;
    rc = elements(vdlpci_ms_read32s(h, ms, 0x10, &word, 1), 1);
    record(p + "_read", rc, {hex(word)}, {"open", alloc, p + "_bus"});

    rc = vdlpci_free_mem(h, ms);
    record(p + "_free", rc, {}, {"open", alloc});
    // A free that failed leaves the buffer registered: the second one must
    // release it.
    if (allocated && rc != 0) {
        rc = vdlpci_free_mem(h, ms);
        emit(std::string("I ") + p + "_free retried: " + std::to_string(rc));
        if (rc != 0)
            emit(std::string("F ") + p + " buffer could not be freed on a second try: " +
                 std::to_string(rc));
    }
}

void runSequence()
{
    void* h = nullptr;
    int rc = vdlpci_dev_open(0, &h);
    record("open", rc, {}, {});

    rc = vdlpci_dev_count();
    // The count reports a failure as 0.
    record("count", rc > 0 ? rc : -1, {}, {});

    uint16_t ids[4] = {};
    rc = vdlpci_dev_id(0, &ids[0], &ids[1], &ids[2], &ids[3]);
    record("identity", rc, {hex(ids[0]), hex(ids[1]), hex(ids[2]), hex(ids[3])}, {});

    char text[160] = {};
    rc = vdlpci_dev_location(0, text, sizeof(text));
    record("location", rc, {text}, {});
    std::memset(text, 0, sizeof(text));
    rc = vdlpci_dev_slot_uid(0, text, sizeof(text));
    record("slot", rc, {text}, {});

    uint32_t header[16] = {};
    rc = elements(vdlpci_ms_read32s(h, VDLPCI_MS_ID_CONFIG, 0, header, 16), 16);
    std::vector<std::string> v = words(header, 16);
    record("config_read32", rc, v, {"open"});
    uint8_t bytes[8] = {};
    rc = elements(vdlpci_ms_read8s(h, VDLPCI_MS_ID_CONFIG, 0x40, bytes, 8), 8);
    v.clear();
    for (uint8_t b : bytes)
        v.push_back(hex(b));
    record("config_read8", rc, v, {"open"});
    uint64_t quads[2] = {};
    rc = elements(vdlpci_ms_read64s(h, VDLPCI_MS_ID_CONFIG, 0x100, quads, 2), 2);
    record("config_read64", rc, {hex(quads[0]), hex(quads[1])}, {"open"});

    uint32_t barWord = 0x5EED1234;
    rc = elements(vdlpci_ms_write32s(h, 0, 0x100, &barWord, 1), 1);
    record("bar_write", rc, {}, {"open"});
    barWord = 0;
    rc = elements(vdlpci_ms_read32s(h, 0, 0x100, &barWord, 1), 1);
    record("bar_read", rc, {hex(barWord)}, {"open", "bar_write"});

    int enabled = -1, vectors = -1;
    uint64_t msiAddress = 0;
    uint16_t msiData = 0;
    rc = vdlpci_msi_info(h, &enabled, &msiAddress, &msiData, &vectors);
    record("msi", rc,
           {std::to_string(enabled), hex(msiAddress), hex(msiData), std::to_string(vectors)},
           {"open"});
    msix_info info{};
    rc = vdlpci_msix_info(h, &info);
    record("msix", rc,
           {hex(info.enabled), hex(info.functionMask), hex(info.tableSize), hex(info.tableBir),
            hex(info.tableOffset), hex(info.pbaBir), hex(info.pbaOffset)},
           {"open"});

    const auto linkStatus = [&](const std::string& name, const std::vector<std::string>& deps) {
        uint32_t flags = 0xDEAD;
        int s[4] = {-1, -1, -1, -1};
        const int r = vdlpci_link_status(0, &flags, &s[0], &s[1], &s[2], &s[3]);
        const bool untouched = flags == 0xDEAD && s[0] == -1 && s[1] == -1 && s[2] == -1 && s[3] == -1;
        if (r < 0 && !untouched)
            emit("F " + name + ": a failed link status wrote its outputs");
        record(name, r,
               {hex(flags), std::to_string(s[0]), std::to_string(s[1]), std::to_string(s[2]),
                std::to_string(s[3])},
               deps);
    };
    linkStatus("link_status", {});
    int errors = -1;
    rc = vdlpci_link_errors(h, &errors, 0);
    record("link_errors", rc, {std::to_string(errors)}, {"open"});
    errors = -1;
    rc = vdlpci_link_errors(h, &errors, 1);
    record("link_errors_cleared", rc, {std::to_string(errors)}, {"open"});

    dmaSteps(h, "kbuf", VDLPCI_ALLOC_KERNEL_BUFFER);
    dmaSteps(h, "pinned", VDLPCI_ALLOC_LOCKED_VMEM);

    uint32_t value = 0;
    rc = vdlpci_int_wait(h, kTimeoutVector, 1, &value);
    record("wait_timeout", rc, {}, {"open"});

    vdlsim_irq_raise(0, kRaisedVector, kRaisedValue);
    value = 0;
    rc = vdlpci_int_wait(h, kRaisedVector, 1000, &value);
    record("wait_raised", rc, {hex(value)}, {"open"});

    // A cancel from a second thread once the wait blocks (or once it ended,
    // when it never got to block).
    std::atomic<bool> waitDone{false};
    int cancelRc = 1;
    std::thread canceller([&] {
        while (!waitDone.load() && vdlsim_irq_waiters(0, kCancelVector) == 0)
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        cancelRc = vdlpci_int_cancel_wait(h, kCancelVector);
    });
    rc = vdlpci_int_wait(h, kCancelVector, kCancelledWaitMs, &value);
    waitDone.store(true);
    canceller.join();
    record("wait_cancelled", rc, {}, {"open", "cancel"});
    record("cancel", cancelRc, {}, {"open"});

    rc = vdlpci_link_save(0, 0xF);
    record("link_save", rc, {}, {});
    linkStatus("link_status_saved", {"link_save"});
    rc = vdlpci_link_restore(0, VDLPCI_LINK_RESTORE_ENABLE | VDLPCI_LINK_RESTORE_AER |
                                    VDLPCI_LINK_RESTORE_REGISTERS);
    record("link_restore", rc, {}, {"link_save"});
    linkStatus("link_status_restored", {"link_save", "link_restore"});
    std::memset(header, 0, sizeof(header));
    rc = elements(vdlpci_ms_read32s(h, VDLPCI_MS_ID_CONFIG, 0, header, 10), 10);
    record("config_restored", rc, words(header, 10), {"open", "link_save", "link_restore"});

    rc = vdlpci_dev_close(h);
    record("close", rc, {}, {"open"});
}

// What the driver must have back once the library object is gone.
void checkReturnedAtExit()
{
    if (vdlsim_card_open_count(0) != 0)
        emit("F card 0 still has " + std::to_string(vdlsim_card_open_count(0)) +
             " open descriptors at exit");
    if (vdlsim_dma_buffer_count(0) != 0 || vdlsim_dma_pinned_count(0) != 0)
        emit("F the driver still holds " + std::to_string(vdlsim_dma_buffer_count(0)) +
             " buffers and " + std::to_string(vdlsim_dma_pinned_count(0)) +
             " pinned regions at exit");
    emit("E");
}

std::string g_configDir;
void removeConfigDir()
{
    std::error_code ec;
    std::filesystem::remove_all(g_configDir, ec);
}

struct Fault {
    bool active = false;
    uint32_t request = 0;
    uint32_t command = 0;
    uint32_t skip = 0;
};

// The body of one child process; ends it with exit, so that the leak checker
// and the library object's destruction run.
[[noreturn]] void child(int out, const Fault& fault, bool logRequests)
{
    g_out = out;
    alarm(kRunSeconds);
    g_configDir = vdltest::makeTempDir("vdlsdk-sweep");
    setenv("VDLSDK_CONFIG", g_configDir.c_str(), 1);
    // Registered before the library object exists: run after it is destroyed.
    std::atexit(removeConfigDir);

    vdlsim_reset();
    std::atexit(checkReturnedAtExit);

    int rule = -1;
    if (fault.active) {
        vdlsim_fault f{};
        f.card = VDLSIM_FAULT_ANY_CARD;
        f.request = fault.request;
        f.command = fault.command;
        f.address = VDLSIM_FAULT_ANY_ADDRESS;
        f.skip = fault.skip;
        f.count = 1;
        f.err = EIO;
        rule = vdlsim_fault_add(&f);
        g_rule = rule;
    }

    runSequence();

    if (fault.active && vdlsim_fault_hits(rule) != 1)
        emit("F the failed request was not reached (" + std::to_string(vdlsim_fault_hits(rule)) +
             " hits)");
    if (fault.active) {
        for (std::size_t i = 0; i < vdlsim_log_count(); ++i) {
            vdlsim_log_entry e{};
            if (vdlsim_log_get(i, &e) == 0 && e.request == fault.request && e.err == EIO &&
                (fault.command == 0 || e.command == fault.command))
                emit("A " + hex(e.address));
        }
    }
    for (std::size_t i = 0; i < vdlsim_violation_count(); ++i) {
        char text[512] = {};
        vdlsim_violation_text(i, text, sizeof(text));
        emit(std::string("F protocol violation: ") + text);
    }
    if (logRequests) {
        const std::size_t n = vdlsim_log_count();
        for (std::size_t i = 0; i < n; ++i) {
            vdlsim_log_entry e{};
            if (vdlsim_log_get(i, &e) != 0)
                continue;
            if (e.event == VDLSIM_EV_IOCTL || e.event == VDLSIM_EV_OPEN ||
                e.event == VDLSIM_EV_MMAP)
                emit("Q " + hex(e.request) + " " + hex(e.command));
        }
    }
    std::exit(0);
}

// ---------------------------------------------------------------------------
// The driver: runs the children and judges what they report.

struct Step {
    std::string name;
    int rc = 0;
    std::string values;
    std::vector<std::string> deps;
};

struct Run {
    std::string description;
    pid_t pid = -1;
    // The results, and what the run wrote on its standard output and error.
    Fault fault;
    int fd[2] = {-1, -1};
    std::string output[2];
    int status = 0;
};

std::vector<std::string> split(const std::string& text, char by)
{
    std::vector<std::string> out;
    std::string piece;
    std::istringstream in(text);
    while (std::getline(in, piece, by))
        out.push_back(piece);
    return out;
}

struct Parsed {
    std::vector<Step> steps;
    std::vector<std::pair<uint32_t, uint32_t>> requests;
    std::vector<std::string> failures;
    // The call during which the failed request was made, and its address.
    std::string hitBy;
    uint64_t address = 0;
    bool ended = false;
};

Parsed parse(const std::string& output)
{
    Parsed p;
    for (const auto& line : split(output, '\n')) {
        if (line.rfind("R ", 0) == 0) {
            const auto f = split(line.substr(2), ' ');
            if (f.size() != 4) {
                p.failures.push_back("malformed line: " + line);
                continue;
            }
            Step s;
            s.name = f[0];
            s.rc = std::atoi(f[1].c_str());
            s.values = f[2];
            if (f[3] != "-")
                s.deps = split(f[3], ',');
            p.steps.push_back(s);
        } else if (line.rfind("Q ", 0) == 0) {
            const auto f = split(line.substr(2), ' ');
            p.requests.emplace_back(static_cast<uint32_t>(std::strtoul(f[0].c_str(), nullptr, 16)),
                                    static_cast<uint32_t>(std::strtoul(f[1].c_str(), nullptr, 16)));
        } else if (line.rfind("F ", 0) == 0) {
            p.failures.push_back(line.substr(2));
        } else if (line.rfind("A ", 0) == 0) {
            p.address = std::strtoull(line.c_str() + 2, nullptr, 16);
        } else if (line.rfind("H ", 0) == 0) {
            p.hitBy = line.substr(2);
        } else if (line == "E") {
            p.ended = true;
        }
    }
    return p;
}

Run start(const std::string& description, const Fault& fault, bool logRequests)
{
    int results[2];
    int console[2];
    if (::pipe(results) != 0 || ::pipe(console) != 0) {
        std::perror("pipe");
        std::exit(2);
    }
    std::fflush(stdout);
    std::fflush(stderr);
    const pid_t pid = ::fork();
    if (pid < 0) {
        std::perror("fork");
        std::exit(2);
    }
    if (pid == 0) {
        ::close(results[0]);
        ::close(console[0]);
        ::dup2(console[1], STDOUT_FILENO);
        ::dup2(console[1], STDERR_FILENO);
        ::close(console[1]);
        child(results[1], fault, logRequests);
    }
    ::close(results[1]);
    ::close(console[1]);
    Run r;
    r.description = description;
    r.fault = fault;
    r.pid = pid;
    r.fd[0] = results[0];
    r.fd[1] = console[0];
    return r;
}

// Reads every running child's output as it comes (so that none blocks on a
// full pipe) and reaps the ones whose pipes have closed; returns those.
std::vector<Run> collect(std::vector<Run>& running, bool all)
{
    std::vector<Run> done;
    while (!running.empty() && (all || done.empty())) {
        std::vector<pollfd> fds;
        for (const auto& r : running)
            for (int fd : r.fd)
                fds.push_back({fd, static_cast<short>(fd >= 0 ? POLLIN : 0), 0});
        if (::poll(fds.data(), fds.size(), -1) < 0 && errno != EINTR) {
            std::perror("poll");
            std::exit(2);
        }
        for (std::size_t i = running.size(); i-- > 0;) {
            Run& r = running[i];
            for (int k = 0; k < 2; ++k) {
                if (r.fd[k] < 0 || (fds[2 * i + k].revents & (POLLIN | POLLHUP | POLLERR)) == 0)
                    continue;
                char buffer[4096];
                const ssize_t n = ::read(r.fd[k], buffer, sizeof(buffer));
                if (n > 0) {
                    r.output[k].append(buffer, static_cast<std::size_t>(n));
                } else if (n == 0 || errno != EINTR) {
                    ::close(r.fd[k]);
                    r.fd[k] = -1;
                }
            }
            if (r.fd[0] < 0 && r.fd[1] < 0) {
                ::waitpid(r.pid, &r.status, 0);
                done.push_back(std::move(r));
                running.erase(running.begin() + static_cast<std::ptrdiff_t>(i));
            }
        }
    }
    return done;
}

std::string exitText(int status)
{
    if (WIFEXITED(status))
        return "exit status " + std::to_string(WEXITSTATUS(status));
    if (WIFSIGNALED(status))
        return std::string("signal ") + strsignal(WTERMSIG(status));
    return "status " + std::to_string(status);
}

// Driver failures that a call may absorb and still succeed, case by case:
// the call, the failed request (command word and address where they matter),
// why the call goes on, the calls after it that may then give another
// answer than in the clean run, each with the one code it may give instead,
// and those that succeed with other values, each with the values it gives.
struct Absorbed {
    const char* step;
    uint32_t request;
    uint32_t command; // 0: any
    uint64_t first;   // address range of the failed request
    uint64_t last;
    const char* why;
    std::vector<std::pair<std::string, int>> later;
    std::vector<std::pair<std::string, std::string>> laterValues = {};
};

constexpr uint64_t kAnyAddress = UINT64_MAX;
// The configuration registers BAR0 to BAR5, and the capabilities pointer with
// the standard capabilities after it.
constexpr uint64_t kBarRegistersFirst = 0x10;
constexpr uint64_t kBarRegistersLast = 0x27;
constexpr uint64_t kCapabilitiesFirst = 0x34;
constexpr uint64_t kCapabilitiesLast = 0xFF;

const std::vector<Absorbed> kAbsorbed = {
    {"open", VDLSIM_REQ_UPSTREAM, 0, 0, kAnyAddress,
     "no bridge descriptor: the card works without a bridge", {}},
    {"open", VDLSIM_REQ_SLOT_PATH, 0, 0, kAnyAddress,
     "the open warns and goes on; the card has no slot text", {}, {{"slot", "-"}}},
    {"open", VDLSIM_FAULT_OPEN, 0, 0, kAnyAddress,
     "card 0 not found while enumerating: the open opens it", {}},
    {"open", VDLSIM_REQ_COMMAND, VDLSIM_CMD_CARD_COUNT, 0, kAnyAddress,
     "the card count: card 0 alone is kept", {}},
    {"open", VDLSIM_REQ_COMMAND, VDLSIM_CMD_UP_READ16, 0, kAnyAddress,
     "the bridge's link test: a link that cannot be tested counts as down and is tested "
     "again at the next access", {}},
    {"open", VDLSIM_REQ_COMMAND, VDLSIM_CMD_UP_READ32, 0, kAnyAddress,
     "the bridge's link test, as above", {}},
    {"open", VDLSIM_REQ_COMMAND, VDLSIM_CMD_CFG_READ32, kBarRegistersFirst, kBarRegistersLast,
     "a BAR register: the open goes on; when no register read before the failure held an "
     "address, the BARs count as not enumerated and every BAR access gives -40",
     {{"bar_write", -40}, {"bar_read", -40}}},
    {"open", VDLSIM_REQ_COMMAND, VDLSIM_CMD_CFG_READ32, kCapabilitiesFirst, kCapabilitiesLast,
     "the interrupt set-up: MSI-X that cannot be read gives way to MSI (disabled, one "
     "vector); vectors beyond MSI's count give -6",
     {{"wait_timeout", -6}, {"wait_raised", -6}, {"wait_cancelled", -6}, {"cancel", -6}}},
    // The mapping mode reset after a buffer is mapped: the next allocation sets it again.
    {"kbuf_alloc", VDLSIM_REQ_MAP_MODE, 0, 0, kAnyAddress, "the mode is set again", {}},
    {"pinned_alloc", VDLSIM_REQ_MAP_MODE, 0, 0, kAnyAddress, "the mode is set again", {}},
};

// The case of the table that lets `step` absorb the failure; null when none.
const Absorbed* absorbed(const std::string& step, const Fault& fault, uint64_t address)
{
    for (const Absorbed& a : kAbsorbed)
        if (step == a.step && fault.request == a.request &&
            (a.command == 0 || fault.command == a.command) && address >= a.first &&
            address <= a.last)
            return &a;
    return nullptr;
}

// The failures of one run, judged against the clean run.
std::vector<std::string> judge(const Run& run, const Fault& fault, const Parsed& clean)
{
    const Parsed p = parse(run.output[0]);
    std::vector<std::string> out = p.failures;
    if (!WIFEXITED(run.status) || WEXITSTATUS(run.status) != 0)
        out.push_back("the run ended with " + exitText(run.status) +
                      " (the sanitizers end a run that leaks or misbehaves so)");
    if (!p.ended)
        out.push_back("the run did not reach the checks at exit");
    if (p.steps.size() != clean.steps.size()) {
        out.push_back("recorded " + std::to_string(p.steps.size()) + " calls, the clean run " +
                      std::to_string(clean.steps.size()));
        return out;
    }
    std::map<std::string, bool> failed;
    for (const Step& s : p.steps)
        failed[s.name] = s.rc < 0;
    // The case that let a call absorb the failure, once that call succeeded.
    const Absorbed* degraded = nullptr;
    for (std::size_t i = 0; i < p.steps.size(); ++i) {
        const Step& s = p.steps[i];
        const Step& c = clean.steps[i];
        if (degraded != nullptr && s.rc != c.rc) {
            for (const auto& [name, code] : degraded->later)
                if (name == s.name && s.rc != code)
                    out.push_back(s.name + " gave " + std::to_string(s.rc) + ", the clean run " +
                                  std::to_string(c.rc) + "; after \"" + degraded->why +
                                  "\" it may give only " + std::to_string(code) + " instead");
        }
        bool inputsFailed = false;
        for (const auto& d : c.deps)
            inputsFailed = inputsFailed || failed[d];
        failed[s.name] = s.rc < 0 || inputsFailed;
        if (s.rc < 0 || inputsFailed)
            continue;
        bool valuesAllowed = false;
        if (degraded != nullptr && s.rc == c.rc)
            for (const auto& [name, values] : degraded->laterValues)
                valuesAllowed = valuesAllowed || (name == s.name && values == s.values);
        if ((s.rc != c.rc || s.values != c.values) && !valuesAllowed)
            out.push_back(s.name + ": " + std::to_string(s.rc) + " with " + s.values +
                          ", the clean run " + std::to_string(c.rc) + " with " + c.values);
        if (s.name == p.hitBy) {
            degraded = absorbed(s.name, fault, p.address);
            if (degraded == nullptr)
                out.push_back(s.name + " succeeded although its driver request failed");
        }
    }
    return out;
}

// A child that leaks must fail: otherwise the sweep would not see leaks.
bool leakCheckerIsActive()
{
#if defined(__SANITIZE_ADDRESS__)
    int fds[2];
    if (::pipe(fds) != 0)
        return false;
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(fds[0]);
        // Its report is expected: kept off the console.
        ::dup2(fds[1], STDOUT_FILENO);
        ::dup2(fds[1], STDERR_FILENO);
        ::close(fds[1]);
        void* volatile leaked = std::malloc(64);
        std::memset(leaked, 1, 64);
        leaked = nullptr;
        std::exit(0);
    }
    ::close(fds[1]);
    char buffer[4096];
    while (::read(fds[0], buffer, sizeof(buffer)) > 0) {
    }
    ::close(fds[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) {
        std::printf("FAIL: a child that leaks ends with status 0: the leak checker is off "
                    "(ASAN_OPTIONS detect_leaks?)\n");
        return false;
    }
    std::printf("leak checker: a leaking child ends with %s\n", exitText(status).c_str());
#endif
    return true;
}

} // namespace

int main()
{
    const auto begin = std::chrono::steady_clock::now();
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    bool ok = leakCheckerIsActive();

    std::vector<Run> running;
    running.push_back(start("clean run", Fault{}, true));
    std::vector<Run> cleanRun = collect(running, true);
    const Parsed clean = parse(cleanRun[0].output[0]);
    {
        std::vector<std::string> problems = clean.failures;
        if (!WIFEXITED(cleanRun[0].status) || WEXITSTATUS(cleanRun[0].status) != 0)
            problems.push_back("ended with " + exitText(cleanRun[0].status));
        if (!clean.ended)
            problems.push_back("did not reach the checks at exit");
        const char* const expectedErrors[] = {"wait_timeout", "wait_cancelled"};
        for (const auto& s : clean.steps) {
            bool expected = false;
            for (const char* e : expectedErrors)
                expected = expected || s.name == e;
            if ((s.rc < 0) != expected)
                problems.push_back(s.name + " gave " + std::to_string(s.rc));
        }
        if (clean.requests.empty())
            problems.push_back("no driver request recorded");
        for (const auto& problem : problems)
            std::printf("FAIL clean run: %s\n", problem.c_str());
        if (!problems.empty()) {
            std::printf("%s\n%s\n", cleanRun[0].output[0].c_str(),
                        cleanRun[0].output[1].c_str());
            return 1;
        }
    }

    // VDLSDK_SWEEP_SHOW=<case> prints everything that case wrote.
    const char* show = std::getenv("VDLSDK_SWEEP_SHOW");
    std::size_t failedCases = 0;
    std::size_t next = 0;
    const std::size_t cases = clean.requests.size();
    while (next < cases || !running.empty()) {
        while (next < cases && running.size() < kParallel) {
            const auto [request, command] = clean.requests[next];
            Fault f;
            f.active = true;
            f.request = request;
            f.command = command;
            for (std::size_t j = 0; j < next; ++j)
                f.skip += clean.requests[j].first == request &&
                          (command == 0 || clean.requests[j].second == command);
            char text[128];
            std::snprintf(text, sizeof(text), "case %zu: request %#x command %#x, call %u of it",
                          next, request, command, f.skip + 1);
            running.push_back(start(text, f, false));
            ++next;
        }
        for (const Run& r : collect(running, false)) {
            if (show != nullptr && r.description.rfind(std::string("case ") + show + ":", 0) == 0)
                std::printf("%s\n%s\n", r.output[0].c_str(), r.output[1].c_str());
            const auto problems = judge(r, r.fault, clean);
            if (problems.empty())
                continue;
            ++failedCases;
            for (const auto& problem : problems)
                std::printf("FAIL %s: %s\n", r.description.c_str(), problem.c_str());
            // What the run wrote (its logs, a sanitizer's report), cut short.
            const std::string& console = r.output[1];
            std::printf("---- output of %s\n%s%s----\n", r.description.c_str(),
                        console.substr(0, kShownOutput).c_str(),
                        console.size() > kShownOutput ? "\n[...]\n" : "");
        }
    }

    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    std::printf("%zu calls, %zu driver requests, %zu failure cases, %zu failed, %.1f s\n",
                clean.steps.size(), cases, cases, failedCases, seconds);
    return ok && failedCases == 0 ? 0 : 1;
}
