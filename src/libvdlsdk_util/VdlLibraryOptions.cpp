// A library's JSON option file: load over the defaults, query, change and save.
// What a save and a load do on the file system is in OptionFileIO.cpp.
#include "vdlsdk/VdlLibraryOptions.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <memory>
#include <optional>

#include <fmt/format.h>

#include "OptionFileIO.hpp"
#include "vdlsdk/vdl_exception.hpp"
#include "vdlsdk/vdl_logger.hpp"
#include "vdlsdk/vdl_util.hpp"

namespace Vandrel {

std::once_flag LibraryOptions::_once;

namespace {

namespace io = optionfile;
using Json = nlohmann::json;

constexpr int kPrettyIndent = 4;
constexpr int kMaxPath = 1024;
// The kit writes objects of strings (one level); anything this deep is not
// an option file, and deeper documents would exhaust the stack when copied.
constexpr int kMaxNesting = 256;

// The byte offset where brackets outside strings first nest deeper than the
// limit, or npos. Exact for valid JSON; invalid JSON fails to parse anyway.
std::size_t tooDeepAt(const std::string& text)
{
    int depth = 0;
    bool inString = false;
    bool escaped = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (inString) {
            if (escaped)
                escaped = false;
            else if (c == '\\')
                escaped = true;
            else if (c == '"')
                inString = false;
        } else if (c == '"') {
            inString = true;
        } else if (c == '{' || c == '[') {
            if (++depth > kMaxNesting)
                return i;
        } else if (c == '}' || c == ']') {
            --depth;
        }
    }
    return std::string::npos;
}

// What reading a file above the size limit raises: it counts as malformed.
Json::parse_error tooLarge()
{
    return Json::parse_error::create(
        101, 0, "syntax error: larger than " + std::to_string(io::kMaxFileSize) + " bytes",
        nullptr);
}

// Raised by the serialiser's output once the text reaches the size limit.
struct TextTooLong {};

// A save's text would pass the size limit: nothing was written, and a set can
// take back the value that made it so.
class SaveTooLarge final : public VDLException<-14> {
public:
    using VDLException<-14>::VDLException;
};

// The serialiser's output: a string that ends the serialisation as soon as it
// would pass the size limit, so that no text larger than that is ever built.
class BoundedText final : public nlohmann::detail::output_adapter_protocol<char> {
public:
    explicit BoundedText(std::string& text) : m_text(text) {}
    void write_character(char c) override
    {
        if (m_text.size() >= io::kMaxFileSize)
            throw TextTooLong();
        m_text.push_back(c);
    }
    void write_characters(const char* s, std::size_t length) override
    {
        if (length > io::kMaxFileSize - m_text.size())
            throw TextTooLong();
        m_text.append(s, length);
    }

private:
    std::string& m_text;
};

// The text a save of `doc` to `path` writes. Serialised before the file is
// touched, so a value the serialiser refuses cannot leave a truncated file
// behind; a text above the size limit, which no load would read, is not
// written at all.
std::string serialise(const Json& doc, bool pretty, const std::string& path)
{
    std::string text;
    try {
        nlohmann::detail::serializer<Json> serializer(std::make_shared<BoundedText>(text), ' ');
        serializer.dump(doc, pretty, false, pretty ? kPrettyIndent : 0);
    } catch (const TextTooLong&) {
        throw SaveTooLarge("Could not save config file: {}: its text would be larger than the "
                           "limit of {} bytes",
                           path, io::kMaxFileSize);
    } catch (const Json::type_error& e) {
        io::saveFailed(path, e.what());
    }
    return text;
}

// Raises -33 for a path of 1024 characters or more, as the Part's directory
// creation does.
void checkPathLength(const std::string& path)
{
    char buffer[kMaxPath];
    copyStdStringToCharPtr(path, buffer, kMaxPath);
}

// The location a save writes: -14 where the walk stops.
io::Location saveLocation(const std::string& path)
{
    checkPathLength(path);
    io::Location at = io::walk(path, true);
    switch (at.status) {
    case io::Location::Status::File:
    case io::Location::Status::Missing:
        break;
    case io::Location::Status::CannotCreate:
        throw VDLException<-14>("Could not create directory {}: {}", path, at.why);
    default:
        io::saveFailed(path, at.why);
    }
    return at;
}

// True when parsing the serialised `doc` gives `doc` back exactly, types
// included: strings (which the serialiser checks), booleans, null, objects and
// arrays within the nesting limit. Numbers are left out: a positive integer
// would come back unsigned, and a NaN as null.
bool survivesRoundTrip(const Json& doc, int depth = 0)
{
    switch (doc.type()) {
    case Json::value_t::null:
    case Json::value_t::boolean:
    case Json::value_t::string:
        return true;
    case Json::value_t::object:
    case Json::value_t::array:
        if (depth >= kMaxNesting)
            return false;
        for (const auto& item : doc)
            if (!survivesRoundTrip(item, depth + 1))
                return false;
        return true;
    default:
        return false;
    }
}

// Throws the JSON library's type error when the text is not valid UTF-8.
void checkSerialisable(const std::string& text) { (void)Json(text).dump(); }

} // namespace

// A change this process made: a value set, a key deleted, or a key that a
// reading call added with the null value (applied only where the file lacks it,
// so that a read never overwrites what another process saved).
struct __attribute__((visibility("hidden"))) LibraryOptions::Changes {
    enum class Kind { Set, Deleted, AddedByRead };
    struct Change {
        Kind kind;
        Json value;
    };
    std::map<std::string, Change> byKey;

    // The bytes this object last wrote and the document a save makes of them
    // (the defaults with their items over them), so that a save which finds
    // exactly these bytes again need not parse them. Keyed on the bytes, not on
    // the file's stat data: timestamps come from a coarse clock, so another
    // process's write within the same tick and of the same length (an in-place
    // overwrite, which keeps the inode) would leave size, inode and times as
    // they were. Equal bytes parse to the same document whoever wrote them.
    std::string writtenText;
    Json writtenDocument;
    bool haveWritten = false;

    // The last load found nothing at the path (no file, no directory), as on a
    // first run; the library base then writes the defaults.
    bool nothingAtLoad = false;

    // The file whose bytes the document holds (the one loaded, or the one the
    // last save merged and wrote), so that a save never lets others read them
    // where that file is no longer at the name; none while the document holds
    // only the defaults and this process's own values.
    std::optional<optionfile::Origin> origin;
};

LibraryOptions::LibraryOptions(const std::string& fileName)
    : m_fileName(std::make_unique<std::string>(fileName)),
      m_defaults(std::make_unique<Json>()),
      m_data(std::make_unique<Json>()),
      m_changes(std::make_unique<Changes>())
{
}

LibraryOptions::LibraryOptions(const std::string& fileName, const nlohmann::json& defaults)
    : m_fileName(std::make_unique<std::string>(fileName)),
      m_defaults(std::make_unique<Json>(defaults)),
      m_data(std::make_unique<Json>(defaults)),
      m_changes(std::make_unique<Changes>())
{
}

LibraryOptions::~LibraryOptions() = default;

std::string LibraryOptions::_configPath() const
{
    const char* dir = std::getenv(m_envVar);
    return (dir != nullptr ? std::string(dir) : m_defaultDir) + "/" + *m_fileName;
}

void LibraryOptions::_check_group() const
{
    std::call_once(_once, [this] {
        if (!is_in_vandrel_group()) {
            VDL_WARN(LOGGER_GENERAL,
                     "User is not in the vandrel group. Access to the config space located at "
                     "{} may not work.",
                     _configPath());
        }
    });
}

nlohmann::json LibraryOptions::parseDocument(const std::string& text)
{
    const std::size_t at = tooDeepAt(text);
    if (at != std::string::npos)
        throw Json::parse_error::create(
            101, at + 1, "syntax error: nested deeper than " + std::to_string(kMaxNesting) +
                             " levels",
            nullptr);
    return Json::parse(text);
}

nlohmann::json LibraryOptions::overDefaults(nlohmann::json file) const
{
    // Over no defaults (the libraries have none) an object with members is the
    // result as it stands, without rebuilding it member by member.
    const bool noDefaults =
        m_defaults->is_null() || (m_defaults->is_object() && m_defaults->empty());
    if (noDefaults && file.is_object() && !file.empty())
        return file;
    Json merged = *m_defaults;
    for (auto& item : file.items())
        merged[item.key()] = std::move(item.value());
    return merged;
}

bool LibraryOptions::loadFoundNothing() const { return m_changes->nothingAtLoad; }

void LibraryOptions::loadConfig()
{
    const std::string path = _configPath();
    const io::Location at = io::walk(path, false);
    m_changes->nothingAtLoad = at.nothingThere();
    switch (at.status) {
    case io::Location::Status::File:
        break;
    case io::Location::Status::Refused:
        throw VDLException<-16>("Could not read config from file {}: {}", path, at.why);
    default:
        throw VDLException<-16>("Could not find config at {}", path);
    }

    _check_group();
    std::string text;
    io::OpenedFile file;
    switch (io::readFile(at, text, file)) {
    case io::ReadResult::Read:
        break;
    case io::ReadResult::TooLarge:
        throw tooLarge();
    case io::ReadResult::Missing:
        m_changes->nothingAtLoad = true;
        throw VDLException<-16>("Could not find config at {}", path);
    default:
        throw VDLException<-16>("Could not read config from file {}", path);
    }
    *m_data = overDefaults(parseDocument(text));
    m_changes->byKey.clear();
    m_changes->origin = io::Origin::of(file.st);
    m_keepOriginal = false;
}

void LibraryOptions::loadConfig(nlohmann::json& out, const std::string& path)
{
    _check_group();
    // Opened as the caller names it: the bytes go to the caller alone.
    std::string text;
    switch (io::readPath(path, text)) {
    case io::ReadResult::Read:
        out = parseDocument(text);
        return;
    case io::ReadResult::TooLarge:
        throw tooLarge();
    default:
        throw VDLException<-16>("Could not read config from file {}", path);
    }
}

void LibraryOptions::saveConfig(bool pretty) const { saveConfig(_configPath(), pretty); }

void LibraryOptions::saveConfig(const std::string& path, bool pretty) const
{
    _check_group();
    if (path == _configPath()) {
        saveOwnFile(path, pretty);
        return;
    }
    // Any other path is written as a copy of the document.
    const io::Location at = saveLocation(path);
    const std::string text = serialise(*m_data, pretty, path);
    io::Replacement replacement(at);
    replacement.commit(text, nullptr, m_changes->origin ? &*m_changes->origin : nullptr);
}

// Other processes save the same file: under the lock, this process's changes
// are applied to what the file holds now, and that is written and kept.
void LibraryOptions::saveOwnFile(const std::string& path, bool pretty) const
{
    const io::Location at = saveLocation(path);
    io::SaveLock lock(at);

    Json merged;
    std::string bytes;
    // Written as this process holds it, not merged into what the file holds.
    bool wholeDocument = false;
    bool keepItsBytes = false;
    std::string malformed; // why the file on disk cannot be merged
    io::OpenedFile file;
    const io::ReadResult read = io::readFile(at, bytes, file);
    switch (read) {
    case io::ReadResult::Missing:
        // A first save, or the file was removed: there is nothing of another
        // process to keep, and this process's whole document is written.
        merged = *m_data;
        wholeDocument = true;
        break;
    case io::ReadResult::NotRegular:
        io::saveFailed(path, fmt::format("{} is not a regular file", at.shown));
    case io::ReadResult::Busy:
        io::saveFailedWith(path, EWOULDBLOCK);
    case io::ReadResult::Unreadable:
        // Cannot be merged: this process's document replaces it. Its bytes are
        // kept aside when they were never loaded.
        merged = *m_data;
        wholeDocument = true;
        keepItsBytes = m_keepOriginal;
        break;
    case io::ReadResult::TooLarge:
    case io::ReadResult::Read:
        if (read == io::ReadResult::Read && m_changes->haveWritten &&
            bytes == m_changes->writtenText) {
            merged = std::move(m_changes->writtenDocument);
            m_changes->haveWritten = false;
            break;
        }
        try {
            if (read == io::ReadResult::TooLarge)
                throw tooLarge();
            merged = overDefaults(parseDocument(bytes));
        } catch (const Json::exception& e) {
            // Malformed: not merged, kept aside and replaced, as after a load
            // that failed.
            malformed = e.what();
            merged = *m_data;
            wholeDocument = true;
            keepItsBytes = true;
        }
        break;
    }
    if (!wholeDocument) {
        for (const auto& [key, change] : m_changes->byKey) {
            switch (change.kind) {
            case Changes::Kind::Set:
                if (merged.is_null())
                    merged = Json::object();
                merged[key] = change.value;
                break;
            case Changes::Kind::Deleted:
                if (merged.is_object())
                    merged.erase(key);
                break;
            case Changes::Kind::AddedByRead:
                if (merged.is_null() || (merged.is_object() && !merged.contains(key)))
                    merged[key] = nullptr;
                break;
            }
        }
    }

    std::string text = serialise(merged, pretty, path);
    io::Replacement replacement(at);
    if (keepItsBytes) {
        const std::string& shown = at.shown;
        const std::string kept = shown + ".invalid";
        switch (io::keepAside(at, file, read == io::ReadResult::Read ? &bytes : nullptr,
                              !replacement.inPlace())) {
        case io::KeepResult::Kept:
            if (!m_keepOriginal)
                VDL_WARN(LOGGER_GENERAL, "Could not load config file {}, keeping it as {}: {}",
                         path, kept, malformed);
            break;
        case io::KeepResult::NotReplaceable:
            VDL_WARN(LOGGER_GENERAL,
                     "Could not keep config file {} as {}: a directory is in the way; the save "
                     "replaces it without keeping it",
                     shown, kept);
            break;
        }
    }
    // The file read above is the one the save replaces: its mode and owners
    // are known. One that was missing is looked for again.
    const struct stat written =
        replacement.commit(text, read == io::ReadResult::Missing ? nullptr : &file.st,
                           m_changes->origin ? &*m_changes->origin : nullptr);
    // The document now holds the bytes of the file just written, where it
    // held a file's bytes before or has just merged some.
    if (m_changes->origin || (read == io::ReadResult::Read && !wholeDocument))
        m_changes->origin = io::Origin::of(written);
    m_keepOriginal = false;
    m_changes->haveWritten = survivesRoundTrip(merged);
    if (m_changes->haveWritten) {
        m_changes->writtenDocument = overDefaults(merged);
        m_changes->writtenText = std::move(text);
    }
    *m_data = std::move(merged);
    m_changes->byKey.clear();
}

int LibraryOptions::optionCount() const { return static_cast<int>(m_data->size()); }

void LibraryOptions::optionValue(const std::string& key, std::string& value) const
{
    if (m_data->is_object()) {
        const auto it = m_data->find(key);
        if (it != m_data->end()) {
            try {
                value = _jsonValueToString(*it);
            } catch (const Json::type_error& e) {
                throw VDLException<-6>("options - invalid type conversion {}", e.what());
            }
            return;
        }
    }
    throw VDLException<-13>("could not find key in options {}", key);
}

std::string LibraryOptions::optionValue(const std::string& key) const
{
    if (!m_data->is_object() || !m_data->contains(key))
        m_changes->byKey.insert({key, {Changes::Kind::AddedByRead, nullptr}});
    try {
        return _jsonValueToString((*m_data)[key]);
    } catch (const Json::type_error& e) {
        throw VDLException<-6>("options - invalid type conversion {}", e.what());
    }
}

void LibraryOptions::option(int index, std::string& key, std::string& value) const
{
    const int count = optionCount();
    // Sign-extended to 64 bits, so every negative index counts as very large.
    if (static_cast<std::uint64_t>(static_cast<std::int64_t>(index)) >
        static_cast<std::uint64_t>(count))
        throw VDLException<-5>("index {} was out of range {}", index, count);

    int position = 0;
    for (const auto& item : m_data->items()) {
        if (position++ != index)
            continue;
        key = item.key();
        try {
            value = _jsonValueToString(item.value());
        } catch (const Json::type_error& e) {
            throw VDLException<-1>("options - invalid type conversion: {}", e.what());
        }
        return;
    }
    throw VDLException<-5>("could not find option at index {}", index);
}

void LibraryOptions::setOption(const std::string& key, const std::string& value)
{
    // Refused up front: the serialiser would reject the text at every later save.
    try {
        checkSerialisable(key);
        checkSerialisable(value);
    } catch (const Json::type_error& e) {
        throw VDLException<-6>("options - invalid type conversion {}", e.what());
    }
    // What the key was, so that a value no save can write (the text would pass
    // the size limit) is taken back: kept in memory, it would fail every later
    // save of the process.
    const bool wasNull = m_data->is_null();
    std::unique_ptr<Json> before;
    if (m_data->is_object()) {
        const auto it = m_data->find(key);
        if (it != m_data->end())
            before = std::make_unique<Json>(*it);
    }
    const auto change = m_changes->byKey.find(key);
    std::unique_ptr<Changes::Change> changeBefore;
    if (change != m_changes->byKey.end())
        changeBefore = std::make_unique<Changes::Change>(change->second);
    const bool changedBefore = m_changed;

    if (m_data->is_null())
        *m_data = Json::object();
    (*m_data)[key] = value;
    m_changes->byKey[key] = {Changes::Kind::Set, value};
    m_changed = true;
    try {
        saveConfig(true);
    } catch (const SaveTooLarge& e) {
        if (wasNull)
            *m_data = nullptr;
        else if (before)
            (*m_data)[key] = std::move(*before);
        else
            m_data->erase(key);
        if (changeBefore)
            m_changes->byKey[key] = std::move(*changeBefore);
        else
            m_changes->byKey.erase(key);
        m_changed = changedBefore;
        throw VDLException<-14>(std::string(e.what()));
    }
}

void LibraryOptions::addOption(const std::string& key, const std::string& value)
{
    setOption(key, value);
}

void LibraryOptions::deleteOption(const std::string& key)
{
    if (!m_data->is_object() || m_data->erase(key) == 0)
        throw VDLException<-13>("could not find key in options {}", key);
    m_changes->byKey[key] = {Changes::Kind::Deleted, nullptr};
    m_changed = true;
}

nlohmann::json LibraryOptions::getData() const { return *m_data; }

const nlohmann::json& LibraryOptions::data() const { return *m_data; }

nlohmann::json LibraryOptions::defaultOptions() const { return *m_defaults; }

bool LibraryOptions::validateOptionKey(const std::string& key) const
{
    return m_defaults->is_object() && m_defaults->contains(key);
}

template <typename T>
std::string LibraryOptions::_jsonValueToString(const T& value) const
{
    std::string text = value.dump();
    text.erase(std::remove(text.begin(), text.end(), '"'), text.end());
    return text;
}

template std::string LibraryOptions::_jsonValueToString<nlohmann::json>(const nlohmann::json&) const;

} // namespace Vandrel
