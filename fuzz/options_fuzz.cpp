// An option file of arbitrary bytes, in a directory of its own: loaded by the
// option object itself and by the library base that the PCIe and USB libraries
// are built on, then queried (values, indexed entries, key iteration), changed
// and saved, and the saved file loaded again. Every value is also parsed as the
// PCIe library parses its saved link-state words.
//
// The input is the option file, byte for byte.
#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "fuzz_support.hpp"
#include "vdlsdk/VdlLibraryOptions.hpp"
#include "vdlsdk/VdlsdkLib.hpp"
#include "vdlsdk/vdl_exception.hpp"
#include "vdlsdk/vdl_util.hpp"
#include "vdlsdk/vdlsdk_util.h"

namespace {

namespace fs = std::filesystem;
using Json = nlohmann::json;
using Vandrel::LibraryOptions;

constexpr const char* kFileName = "fuzz_options.json";
constexpr int kNoCode = 0;
constexpr int kLevelOff = 6;
// The word counts of the saved link state: BARs, MSI, MSI-X and PCI Express.
constexpr int kSavedWordCounts[] = {10, 4, 3};
constexpr int kMaxSavedWords = 10;
// The largest text a save writes; a document that pretty prints larger is not
// saved (-14) and stays in memory.
constexpr std::size_t kMaxFileSize = std::size_t{512} << 10;

std::string readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void writeFile(const std::string& path, const std::string& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
    FUZZ_CHECK(out.good());
}

// VDLSDK_CONFIG names a fresh directory for the whole run, emptied before each input.
class Workspace {
public:
    Workspace()
    {
        const char* base = std::getenv("TMPDIR");
        std::string pattern =
            std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/vdlsdk-fuzz-XXXXXX";
        FUZZ_CHECK(mkdtemp(pattern.data()) != nullptr);
        m_dir = pattern;
        setenv("VDLSDK_CONFIG", m_dir.c_str(), 1);
    }
    ~Workspace()
    {
        std::error_code ec;
        fs::remove_all(m_dir, ec);
    }
    Workspace(const Workspace&) = delete;
    Workspace& operator=(const Workspace&) = delete;

    std::string path() const { return m_dir + "/" + kFileName; }

    void reset(const std::string& bytes) const
    {
        for (const auto& entry : fs::directory_iterator(m_dir))
            fs::remove_all(entry.path());
        writeFile(path(), bytes);
    }

private:
    std::string m_dir;
};

Workspace* g_workspace;

void removeWorkspace() { delete g_workspace; }

template <typename F>
int codeOf(F&& call)
{
    try {
        call();
    } catch (const VDLBaseException& e) {
        return e.code;
    }
    return kNoCode;
}

const Json& defaults()
{
    static const Json value = {{"device0/saved_bars", "0 0 0 0 0 0 0 0 0 0 "},
                               {"log_level", "info"}};
    return value;
}

// What the PCIe library does with a saved value: words with the blank as delimiter.
void parseSavedWords(const std::string& value)
{
    for (const int count : kSavedWordCounts) {
        std::unique_ptr<unsigned int[]> words(new unsigned int[count]);
        const int code = codeOf([&] { strTo32s(value, ' ', words.get(), count); });
        FUZZ_CHECK(code == kNoCode || code == -3);
        if (code != kNoCode)
            continue;
        std::string saved;
        for (int i = 0; i < count; ++i)
            saved += fmt::format("{:x} ", words[i]);
        unsigned int again[kMaxSavedWords];
        FUZZ_CHECK(codeOf([&] { strTo32s(saved, ' ', again, count); }) == kNoCode);
        FUZZ_CHECK(std::equal(words.get(), words.get() + count, again));
    }
}

// Key iteration as the exported next-key functions do it, into a buffer of
// exactly `size` bytes. Returns the keys visited in full.
std::vector<std::string> iterate(const Json& document, int size)
{
    std::vector<std::string> keys;
    std::unique_ptr<char[]> buffer(new char[size]);
    std::string previous;
    const std::size_t limit = document.is_object() ? document.size() + 1 : 1;
    for (std::size_t step = 0; step < limit; ++step) {
        const int code = codeOf([&] {
            iterateKeys(document, step == 0 ? nullptr : previous.c_str(), buffer.get(), size);
        });
        if (code == -27)
            return keys;
        if (code == -33) {
            // Truncated, NUL-terminated in the last byte.
            FUZZ_CHECK(buffer[size - 1] == '\0');
            return keys;
        }
        // A key with a NUL in it cannot be named again through a C string.
        if (code == -13)
            return keys;
        FUZZ_CHECK(code == kNoCode || code == -6);
        if (code != kNoCode)
            return keys;
        previous = buffer.get();
        keys.push_back(previous);
    }
    FUZZ_CHECK(!"key iteration did not end");
    return keys;
}

bool hasNul(const std::string& text) { return text.find('\0') != std::string::npos; }

bool tooLargeToSave(const LibraryOptions& options)
{
    return options.getData().dump(4).size() > kMaxFileSize;
}

// Everything a caller can ask of a loaded object; none of it may change the data.
void query(const LibraryOptions& options)
{
    const Json data = options.getData();
    const int count = options.optionCount();
    FUZZ_CHECK(count == static_cast<int>(data.size()));
    FUZZ_CHECK(data.is_null() || data.is_object());

    std::vector<std::string> keys;
    for (int i = 0; i <= count; ++i) {
        std::string key;
        std::string value;
        const int code = codeOf([&] { options.option(i, key, value); });
        if (i == count) {
            FUZZ_CHECK(code == -5);
            break;
        }
        FUZZ_CHECK(code == kNoCode);
        keys.push_back(key);
        std::string byKey;
        FUZZ_CHECK(codeOf([&] { options.optionValue(key, byKey); }) == kNoCode);
        FUZZ_CHECK(byKey == value);
        FUZZ_CHECK(value.find('"') == std::string::npos);
        parseSavedWords(value);
    }
    std::string key;
    std::string value;
    FUZZ_CHECK(codeOf([&] { options.option(-1, key, value); }) == -5);
    FUZZ_CHECK(std::is_sorted(keys.begin(), keys.end()));

    std::size_t longest = 0;
    bool anyNul = false;
    for (const auto& k : keys) {
        longest = std::max(longest, k.size());
        anyNul = anyNul || hasNul(k);
    }
    const std::vector<std::string> visited = iterate(data, static_cast<int>(longest) + 1);
    if (!anyNul)
        FUZZ_CHECK(visited == keys);
    // A short buffer truncates, it never writes past its end.
    iterate(data, 1 + static_cast<int>(data.dump().size() % 7));

    FUZZ_CHECK(options.getData() == data);
}

// The saved file is exactly the data, pretty printed, and loads back as it.
void checkSaved(const LibraryOptions& options, const std::string& path)
{
    const std::string text = readFile(path);
    FUZZ_CHECK(text == options.getData().dump(4));
    LibraryOptions again(kFileName);
    FUZZ_CHECK(codeOf([&] { again.loadConfig(); }) == kNoCode);
    FUZZ_CHECK(again.getData().dump() == options.getData().dump());
}

void change(LibraryOptions& options, const std::string& path)
{
    // A key of the file (its last, so the value is replaced) and a new key of the
    // saved link state whose words come from the file's size.
    const Json data = options.getData();
    std::string key = "device0/saved_pciedata";
    if (data.is_object() && !data.empty())
        key = (--data.end()).key();
    const std::string words = fmt::format("{:x} 0 {:x} ", data.dump().size(), data.size());
    const int setCode = codeOf([&] { options.setOption(key, words); });
    if (setCode == -14 && tooLargeToSave(options)) {
        FUZZ_CHECK(readFile(path).size() <= kMaxFileSize);
        return;
    }
    // A key from the file is valid UTF-8: the parser refuses anything else.
    FUZZ_CHECK(setCode == kNoCode);
    std::string value;
    FUZZ_CHECK(codeOf([&] { options.optionValue(key, value); }) == kNoCode);
    FUZZ_CHECK(value == words);
    parseSavedWords(value);
    checkSaved(options, path);

    // A missing key read by the one-argument form is added with null; a deleted
    // key reaches the file with the next save.
    const std::string missing = "device9/missing";
    FUZZ_CHECK(options.optionValue(missing) == "null" || data.contains(missing));
    FUZZ_CHECK(codeOf([&] { options.deleteOption(key); }) == kNoCode);
    FUZZ_CHECK(codeOf([&] { options.deleteOption(key); }) == -13);
    FUZZ_CHECK(codeOf([&] { options.saveConfig(true); }) == kNoCode);
    checkSaved(options, path);
    query(options);
}

// Returns whether the file loaded.
bool optionObject(const std::string& bytes, const std::string& path)
{
    LibraryOptions options(kFileName, defaults());
    bool loaded = true;
    try {
        options.loadConfig();
    } catch (const VDLBaseException& e) {
        FUZZ_CHECK(e.code == -16);
        loaded = false;
    } catch (const Json::exception&) {
        loaded = false;
    }
    if (!loaded) {
        // A file that cannot be loaded leaves the defaults and the file alone.
        FUZZ_CHECK(options.getData() == defaults());
        FUZZ_CHECK(readFile(path) == bytes);
    }
    query(options);
    change(options, path);
    return loaded;
}

void libraryBase(const std::string& bytes, const std::string& path, bool loadable)
{
    Json last;
    bool refused = false;
    {
        Vandrel::VdlsdkLib lib(kFileName, defaults());
        LibraryOptions& options = lib.getOptions();
        if (!loadable)
            FUZZ_CHECK(options.getData() == defaults());
        query(options);
        // An unloadable file is kept as it is unless the caller changes something.
        const bool changed = loadable || bytes.size() % 2 == 0;
        if (changed) {
            const int code =
                codeOf([&] { options.setOption("device0/saved_msidata", "fee00000 0 0 0 "); });
            refused = code == -14 && tooLargeToSave(options);
            FUZZ_CHECK(code == kNoCode || refused);
        }
        last = options.getData();
    }
    const bool changed = loadable || bytes.size() % 2 == 0;
    if (refused) {
        // Neither that save nor the one at the end wrote anything.
        FUZZ_CHECK(readFile(path) == bytes);
        return;
    }
    if (!loadable && !changed) {
        FUZZ_CHECK(readFile(path) == bytes);
        return;
    }
    if (!loadable)
        FUZZ_CHECK(readFile(path + ".invalid") == bytes);
    LibraryOptions again(kFileName);
    FUZZ_CHECK(codeOf([&] { again.loadConfig(); }) == kNoCode);
    FUZZ_CHECK(again.getData().dump() == last.dump());
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    set_log_verbosity_all(kLevelOff);
    g_workspace = new Workspace();
    std::atexit(removeWorkspace);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    const std::string path = g_workspace->path();

    g_workspace->reset(bytes);
    const bool loadable = optionObject(bytes, path);

    g_workspace->reset(bytes);
    libraryBase(bytes, path, loadable);
    return 0;
}
