// Connection handles: connect, discovery, name iteration and disconnect.
#include <sstream>
#include <unordered_set>
#include <vector>

#include "VdlbmcInternal.hpp"
#include "vdlsdk/vdl_logger.hpp"
#include "vdlsdk/vdl_util.hpp"

using namespace vdlbmc_detail;

namespace {

constexpr const char* kVersion = "vdlbmc 2024.1.0";
constexpr char kItemSeparator = ',';
constexpr char kKeyValueSeparator = '=';

// Stores `object` (a new reference is taken) under `name`; a name seen again
// keeps the object visited last.
void storeEntry(VdlbmcHandle::Table& table, std::string_view name, PyObject* object)
{
    auto [entry, inserted] = table.try_emplace(std::string(name), nullptr);
    Py_INCREF(object);
    PyObject* previous = entry->second;
    entry->second = object;
    Py_XDECREF(previous);
}

void releaseTables(VdlbmcHandle& handle) noexcept
{
    for (VdlbmcHandle::Table* table : {&handle.sensors, &handle.effecters, &handle.components}) {
        for (auto& entry : *table)
            Py_XDECREF(entry.second);
        table->clear();
    }
}

// A table name: the key's UTF-8 text, which must also travel as C text (a
// name with a NUL would be listed cut short, under a name nothing accepts).
// False, with no error pending, for a key that is no such name.
bool tableName(PyObject* key, std::string_view& name) noexcept
{
    if (textOf(key, name))
        return true;
    PyErr_Clear();
    return false;
}

// What reading a script object's "components", "sensors" or "effecters" gave.
enum class Read {
    Found,  // entries to go through
    Absent, // missing, or a value that cannot be iterated: nothing there, silently
    Failed, // the script raised: the error is pending
};

// The entries of one dictionary attribute of a script object, in its order.
class Entries {
public:
    Read open(PyObject* object, const char* attr)
    {
        m_mapping.reset(PyObject_GetAttrString(object, attr));
        if (!m_mapping)
            return absentIf(PyExc_AttributeError);
        m_iterator.reset(PyObject_GetIter(m_mapping.get()));
        if (!m_iterator)
            return absentIf(PyExc_TypeError);
        return Read::Found;
    }

    // The next entry, its item held from the start (what follows may run
    // script code). False at the end: a key without an item ends the entries
    // silently, an error raised while iterating is left pending.
    bool next(PyRef& key, PyRef& item)
    {
        key.reset(PyIter_Next(m_iterator.get()));
        if (!key || !PyDict_Check(m_mapping.get()))
            return false;
        item.reset(Py_XNewRef(PyDict_GetItemWithError(m_mapping.get(), key.get())));
        return static_cast<bool>(item);
    }

private:
    // The pending error of a failed read: `silent` (cleared) means there is
    // nothing to go through, anything else raised by the script is a failure.
    static Read absentIf(PyObject* silent)
    {
        if (!PyErr_ExceptionMatches(silent))
            return Read::Failed;
        PyErr_Clear();
        return Read::Absent;
    }

    PyRef m_mapping;
    PyRef m_iterator;
};

// Bounds of a walk, far beyond any card, so that a package whose components
// lead on for ever (new wrapper objects on every read) or refer to one another
// in a web (each path through it is walked) fails its connect in bounded time.
constexpr std::size_t kDeepestLevel = 1000;
constexpr std::size_t kMostWalkSteps = 1000000;

// Fails the walk with a "vdlsdk_bmc" line saying which bound was passed.
bool boundPassed(PyObject* type, const char* what, std::size_t bound)
{
    PyErr_Format(type, what, bound);
    log_traceback();
    return false;
}

// The work of one discovery's walks: going into an object, and reading one
// entry of its dictionaries, are a step each.
class WalkSteps {
public:
    // False, with an error pending, once the walks need more steps than any
    // card does.
    bool take()
    {
        if (++m_taken <= kMostWalkSteps)
            return true;
        PyErr_Format(PyExc_RuntimeError,
                     "component tree too tangled: walking it takes more than %zu steps",
                     kMostWalkSteps);
        return false;
    }

private:
    std::size_t m_taken = 0;
};

// Walks the component tree below the card depth first, in dictionary order,
// going into each component at once, with a list of its own instead of the C
// stack, so that neither a deep tree nor a caller's small stack can overflow it.
//
// `enter(object, steps)` is called for the card and for each component gone
// into, and says whether to go on into its "components" (Read::Found), not to
// (Read::Absent), or that the walk fails (Read::Failed, the error pending); it
// takes a step of `steps` for each entry it reads. `found(name, component)` is
// called for every component entry whose name can be listed, in order. A
// component that is already on the path down to it is not gone into again (a
// cycle); one whose name cannot be listed still is, and so is one met again
// along another path. Fails, logged, on an error raised by the script while
// its dictionaries are read, and when a bound above is passed.
template <typename Enter, typename Found>
bool walkComponents(PyObject* card, WalkSteps& steps, Enter&& enter, Found&& found)
{
    struct Level {
        PyRef object; // held: it stays on the path while its components are walked
        Entries components;
    };
    std::vector<Level> path;
    std::unordered_set<PyObject*> onPath;

    // Goes into `object`: false when the walk fails.
    const auto goInto = [&](PyRef object) {
        Read read = steps.take() ? enter(object.get(), steps) : Read::Failed;
        if (read == Read::Found) {
            Level level{std::move(object), {}};
            read = level.components.open(level.object.get(), "components");
            if (read == Read::Found) {
                onPath.insert(level.object.get());
                path.push_back(std::move(level));
            }
        }
        if (read == Read::Failed) {
            log_traceback();
            return false;
        }
        return true;
    };

    if (!goInto(PyRef(Py_NewRef(card))))
        return false;
    PyRef key;
    PyRef component;
    std::string_view name;
    while (!path.empty()) {
        Level& level = path.back();
        if (!level.components.next(key, component) || !steps.take()) {
            if (PyErr_Occurred()) {
                log_traceback();
                return false;
            }
            onPath.erase(level.object.get());
            path.pop_back();
            continue;
        }
        if (tableName(key.get(), name))
            found(name, component.get());
        if (onPath.count(component.get()) != 0)
            continue;
        if (path.size() > kDeepestLevel)
            return boundPassed(PyExc_RecursionError, "component tree deeper than %zu levels",
                               kDeepestLevel);
        if (!goInto(std::move(component)))
            return false;
    }
    return true;
}

// Stores every entry of the dictionary attribute `attr` of `object` whose name
// can be listed.
Read storeAll(VdlbmcHandle::Table& table, PyObject* object, const char* attr, WalkSteps& steps)
{
    Entries entries;
    const Read read = entries.open(object, attr);
    if (read != Read::Found)
        return read;
    PyRef key;
    PyRef item;
    std::string_view name;
    while (entries.next(key, item) && steps.take()) {
        if (tableName(key.get(), name))
            storeEntry(table, name, item.get());
    }
    return PyErr_Occurred() ? Read::Failed : Read::Found;
}

// The card's components and all below them; a component is stored before the
// components below it.
bool find_components(VdlbmcHandle* handle, PyObject* object, WalkSteps& steps)
{
    return walkComponents(
        object, steps, [](PyObject*, WalkSteps&) { return Read::Found; },
        [&](std::string_view name, PyObject* component) {
            storeEntry(handle->components, name, component);
        });
}

// The effecters or sensors of the card and of every component below it; an
// object without the attribute (or whose value cannot be iterated) contributes
// none, nor do the components below it.
bool collect(VdlbmcHandle::Table& table, PyObject* object, const char* attr, WalkSteps& steps)
{
    return walkComponents(
        object, steps,
        [&](PyObject* visited, WalkSteps& steps) { return storeAll(table, visited, attr, steps); },
        [](std::string_view, PyObject*) {});
}

bool find_effecters(VdlbmcHandle* handle, PyObject* object, WalkSteps& steps)
{
    return collect(handle->effecters, object, "effecters", steps);
}

bool find_sensors(VdlbmcHandle* handle, PyObject* object, WalkSteps& steps)
{
    return collect(handle->sensors, object, "sensors", steps);
}

bool do_bmc_discover(VdlbmcHandle* handle)
{
    PyRef discovered(PyObject_CallMethod(handle->controller, "discover", nullptr));
    if (!discovered) {
        log_traceback();
        return false;
    }
    discovered.reset();
    if (handle->card == nullptr) {
        handle->card = PyObject_CallMethod(handle->controller, "card", nullptr);
        if (handle->card == nullptr) {
            log_traceback();
            return false;
        }
    }
    // One bound for the three walks together: the work of the whole discovery.
    WalkSteps steps;
    return find_components(handle, handle->card, steps) &&
           find_effecters(handle, handle->card, steps) && find_sensors(handle, handle->card, steps);
}

} // namespace

VdlbmcHandle::~VdlbmcHandle() = default;

namespace {

// Releases the handle's script objects, closes its handler and frees it.
void disconnectNow(VdlbmcHandle* handle) noexcept
{
    if (interpreterRunning()) {
        // A disconnect asked for from what runs here (the handler's close(),
        // a finaliser of the package's) is this one.
        CallUnderWay call(handle);
        releaseTables(*handle);
        // A handler that is missing or fails to close is not the caller's
        // concern here: the handle goes in any case.
        PyRef handler(PyObject_GetAttrString(handle->controller, "handler"));
        if (handler) {
            PyRef closed(PyObject_CallMethod(handler.get(), "close", nullptr));
        }
        PyErr_Clear();
    }
    destroyHandle(handle);
}

} // namespace

namespace vdlbmc_detail {

bool disconnectedDuringCall(VdlbmcHandle* handle) noexcept
{
    if (!handle->disconnectAsked)
        return false;
    if (handle->callsUnderWay == 0) {
        try {
            VDL_ERROR(LOGGER_BMC, "the handle was disconnected during a call on it");
        } catch (...) {
        }
        disconnectNow(handle);
    }
    return true;
}

void destroyHandle(VdlbmcHandle* handle) noexcept
{
    if (handle == nullptr)
        return;
    if (interpreterRunning()) {
        CallUnderWay call(handle); // as in disconnectNow
        releaseTables(*handle);
        Py_CLEAR(handle->card);
        Py_CLEAR(handle->controller);
    }
    delete handle;
}

} // namespace vdlbmc_detail

namespace {

// Keyword arguments from "key=value,..." . False (logged) when an item cannot
// be turned into text; a dictionary that cannot be made means no keyword
// arguments at all.
bool buildOptions(const char* options, PyRef& kwargs)
{
    PyRef dict(PyDict_New());
    if (!dict) {
        log_traceback();
        return true;
    }
    std::istringstream stream{std::string(options)};
    std::string item;
    // The state is tested before each read, so a trailing "," yields a final
    // empty item and "," yields two.
    while (stream.good()) {
        std::getline(stream, item, kItemSeparator);
        const auto split = item.find(kKeyValueSeparator);
        const std::string key = split == std::string::npos ? item : item.substr(0, split);
        const std::string value = split == std::string::npos ? item : item.substr(split + 1);
        PyRef text(PyUnicode_FromString(value.c_str()));
        if (!text || PyDict_SetItemString(dict.get(), key.c_str(), text.get()) != 0) {
            log_traceback();
            return false;
        }
    }
    kwargs = std::move(dict);
    return true;
}

// The steps both connects share once the controller's callable and arguments
// are ready: the handle is published in *out before the call and withdrawn on
// any failure. `noneFails`: a None controller is refused without a log line.
int makeController(PyObject* callable, PyObject* args, PyObject* kwargs, bool noneFails,
                   VdlbmcHandle** out)
{
    VdlbmcHandle* handle = new VdlbmcHandle;
    *out = handle;
    int result = kFailed;
    {
        // The package may reach the handle through *out and disconnect it.
        CallUnderWay call(handle);
        result = guarded(kFailed, [&] {
            PyObject* controller = PyObject_Call(callable, args, kwargs);
            if (controller == nullptr)
                return failCall(Report::Log);
            if (noneFails && controller == Py_None) {
                Py_DECREF(controller);
                return kFailed;
            }
            handle->controller = controller;
            return do_bmc_discover(handle) ? kOk : kFailed;
        });
    }
    if (disconnectedDuringCall(handle)) {
        *out = nullptr;
        return kFailed;
    }
    if (result != kOk) {
        destroyHandle(handle);
        *out = nullptr;
    }
    return result;
}

// The interpreter can be used from this thread.
bool interpreterReady()
{
    return startUp() && interpreterUsable();
}

int connect(const char* interfaceName, std::uint32_t card, const char* options,
            VdlbmcHandle** out)
{
    if (out == nullptr)
        return kNullPointer;
    *out = nullptr;
    if (interfaceName == nullptr)
        return kNullPointer;
    if (!interpreterReady())
        return kFailed;

    PyRef kit(PyImport_ImportModule(commonKitModuleName().c_str()));
    if (!kit) {
        log_traceback();
        return kFailed;
    }
    InterfaceTable table;
    if (!interfaces(table))
        return kFailed;
    const auto found = table.find(interfaceName);
    if (found == table.end())
        return kNotFound;

    PyRef cardNumber(PyLong_FromUnsignedLong(card));
    if (!cardNumber)
        return failCall(Report::Log);
    PyRef args(PyTuple_Pack(2, cardNumber.get(), found->second.get()));
    if (!args)
        return failCall(Report::Log);
    PyRef kwargs;
    if (options != nullptr && *options != '\0' && !buildOptions(options, kwargs))
        return kFailed;
    PyRef bmcForCard(PyObject_GetAttrString(kit.get(), "bmc_for_card"));
    kit.reset();
    if (!bmcForCard)
        return failCall(Report::Log);
    return makeController(bmcForCard.get(), args.get(), kwargs.get(), true, out);
}

int connectLowLevel(const char* moduleName, const char* handlerName, const char* options,
                    VdlbmcHandle** out)
{
    if (out == nullptr)
        return kNullPointer;
    *out = nullptr;
    if (moduleName == nullptr || handlerName == nullptr)
        return kNullPointer;
    if (!interpreterReady())
        return kFailed;

    PyRef bmcModule(PyImport_ImportModule(bmcModuleName().c_str()));
    if (!bmcModule)
        return failCall(Report::Log);
    PyRef callerModule(PyImport_ImportModule(moduleName));
    if (!callerModule)
        return failCall(Report::Log);
    PyRef handler(PyObject_GetAttrString(callerModule.get(), handlerName));
    if (!handler)
        return failCall(Report::Log);
    PyRef bmcClass(PyObject_GetAttrString(bmcModule.get(), "Bmc"));
    if (!bmcClass)
        return failCall(Report::Log);
    PyRef args(PyTuple_Pack(1, handler.get()));
    if (!args)
        return failCall(Report::Log);
    PyRef kwargs;
    if (options != nullptr && !buildOptions(options, kwargs))
        return kFailed;
    return makeController(bmcClass.get(), args.get(), kwargs.get(), false, out);
}

int nextName(const VdlbmcHandle::Table& table, const char* previous, char* buffer, int size)
{
    constexpr int kMinimumSize = 2;
    if (buffer == nullptr)
        return kNullPointer;
    if (size < kMinimumSize)
        return kBadValue;
    VdlbmcHandle::Table::const_iterator next;
    if (previous == nullptr) {
        next = table.begin();
    } else {
        next = table.find(std::string_view(previous));
        if (next == table.end())
            return kNotFound;
        ++next;
    }
    if (next == table.end())
        return kEndOfIteration;
    try {
        copyStdStringToCharPtr(next->first, buffer, size);
    } catch (const VDLBaseException& e) {
        return e.code;
    }
    return kOk;
}

int tableSize(const VdlbmcHandle::Table& table)
{
    return static_cast<int>(table.size());
}

} // namespace

extern "C" {

int vdlbmc_version(char* buffer, int size)
{
    return guarded(kFailed, [&] {
        copyStdStringToCharPtr(kVersion, buffer, size);
        return kOk;
    });
}

int vdlbmc_connect(const char* interfaceName, uint32_t card, const char* options,
                   VdlbmcHandle** handle)
{
    return guarded(kFailed, [&] { return connect(interfaceName, card, options, handle); });
}

int vdlbmc_connect_low_level(const char* moduleName, const char* handlerName, const char* options,
                             VdlbmcHandle** handle)
{
    return guarded(kFailed,
                   [&] { return connectLowLevel(moduleName, handlerName, options, handle); });
}

void vdlbmc_disconnect(VdlbmcHandle* handle)
{
    if (handle == nullptr)
        return;
    // From inside a call on the handle (the package calling back): that call
    // carries the disconnect out when it ends.
    if (handle->callsUnderWay > 0) {
        handle->disconnectAsked = true;
        return;
    }
    disconnectNow(handle);
}

int vdlbmc_get_num_sensors(VdlbmcHandle* handle)
{
    return handle ? tableSize(handle->sensors) : kNullPointer;
}

int vdlbmc_get_num_effecters(VdlbmcHandle* handle)
{
    return handle ? tableSize(handle->effecters) : kNullPointer;
}

int vdlbmc_get_num_components(VdlbmcHandle* handle)
{
    return handle ? tableSize(handle->components) : kNullPointer;
}

int vdlbmc_get_next_sensor(VdlbmcHandle* handle, const char* previous, char* buffer, int size)
{
    if (handle == nullptr)
        return kNullPointer;
    return guarded(kFailed, [&] { return nextName(handle->sensors, previous, buffer, size); });
}

int vdlbmc_get_next_effecter(VdlbmcHandle* handle, const char* previous, char* buffer, int size)
{
    if (handle == nullptr)
        return kNullPointer;
    return guarded(kFailed, [&] { return nextName(handle->effecters, previous, buffer, size); });
}

int vdlbmc_get_next_component(VdlbmcHandle* handle, const char* previous, char* buffer, int size)
{
    if (handle == nullptr)
        return kNullPointer;
    return guarded(kFailed, [&] { return nextName(handle->components, previous, buffer, size); });
}

} // extern "C"
