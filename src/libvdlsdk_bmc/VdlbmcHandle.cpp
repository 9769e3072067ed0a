// Connection handles: connect, discovery, name iteration and disconnect.
#include <sstream>
#include <unordered_set>
#include <vector>

#include "VdlbmcInternal.hpp"
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

// Objects already walked, held alive for the walk so an address cannot be
// reused by another object in the meantime.
class Visited {
public:
    // True the first time an object is seen.
    bool firstVisit(PyObject* object)
    {
        if (!m_seen.insert(object).second)
            return false;
        Py_INCREF(object);
        m_held.emplace_back(object);
        return true;
    }

private:
    std::unordered_set<PyObject*> m_seen;
    std::vector<PyRef> m_held;
};

// A table name: the key's UTF-8 text, which must also travel as C text (a
// name with a NUL would be listed cut short, under a name nothing accepts).
// False, with no error pending, for a key that is no such name.
bool tableName(PyObject* key, std::string_view& name) noexcept
{
    if (!textOf(key, name)) {
        PyErr_Clear();
        return false;
    }
    return name.find('\0') == std::string_view::npos;
}

// The entries of one dictionary attribute of a script object, in its order.
class Entries {
public:
    // False when the attribute is missing or cannot be iterated (the error is
    // cleared).
    bool open(PyObject* object, const char* attr)
    {
        m_mapping.reset(PyObject_GetAttrString(object, attr));
        if (m_mapping)
            m_iterator.reset(PyObject_GetIter(m_mapping.get()));
        if (!m_iterator) {
            PyErr_Clear();
            return false;
        }
        return true;
    }

    // The next entry with a usable name; `name` stays valid until the next
    // call. A key without an item ends the entries; a key that is not a name
    // is skipped.
    bool next(std::string_view& name, PyRef& item)
    {
        while ((m_key = PyRef(PyIter_Next(m_iterator.get())))) {
            // Held from the start: what follows may run script code.
            item.reset(Py_XNewRef(PyDict_GetItemWithError(m_mapping.get(), m_key.get())));
            if (!item)
                break;
            if (tableName(m_key.get(), name))
                return true;
        }
        if (PyErr_Occurred())
            PyErr_Clear();
        return false;
    }

private:
    PyRef m_mapping;
    PyRef m_iterator;
    PyRef m_key;
};

// Walks the component tree below the card depth first, in dictionary order,
// with a list of its own instead of the C stack, so that neither a deep tree
// nor a caller's small stack can overflow it.
//
// `enter(object)` is called once for the card and for each component the walk
// goes into, and says whether to go on into its "components";
// `found(name, component)` is called for every component entry, in order.
// A component is gone into unless it was gone into already (the same object),
// or it is reached by a step (parent name to its name) that the path down to
// it has taken already: a package that hands out new wrapper objects on every
// read makes a cycle of new objects, and only the names show it. A component
// deeper than the interpreter's recursion limit ends the walk: false, logged.
template <typename Enter, typename Found>
bool walkComponents(PyObject* card, Enter&& enter, Found&& found)
{
    struct Level {
        Entries components;
        std::string name; // of the component these are the components of
        std::string step; // parent name, NUL, name; empty for the card
    };
    const auto stepKey = [](const Level& parent, std::string_view name) {
        std::string key = parent.name;
        key += '\0';
        key.append(name);
        return key;
    };
    const std::size_t limit = static_cast<std::size_t>(Py_GetRecursionLimit());

    Visited visited;
    visited.firstVisit(card);
    if (!enter(card))
        return true;
    std::vector<Level> path(1);
    if (!path.back().components.open(card, "components"))
        return true;
    std::unordered_set<std::string> steps;
    std::string_view name;
    PyRef component;
    while (!path.empty()) {
        Level& level = path.back();
        if (!level.components.next(name, component)) {
            steps.erase(level.step);
            path.pop_back();
            continue;
        }
        found(name, component.get());
        // No step from the card: it is gone into only at the start.
        std::string step = path.size() > 1 ? stepKey(level, name) : std::string();
        if (!step.empty() && steps.count(step) != 0)
            continue;
        if (!visited.firstVisit(component.get()))
            continue;
        if (path.size() > limit) {
            PyErr_Format(PyExc_RecursionError, "component tree deeper than %zu levels", limit);
            log_traceback();
            return false;
        }
        if (!enter(component.get()))
            continue;
        Level below;
        if (!below.components.open(component.get(), "components"))
            continue;
        below.name.assign(name);
        below.step = std::move(step);
        if (!below.step.empty())
            steps.insert(below.step);
        path.push_back(std::move(below));
    }
    return true;
}

// Stores every entry of the dictionary attribute `attr` of `object`. False
// when the attribute is missing or cannot be iterated.
bool storeAll(VdlbmcHandle::Table& table, PyObject* object, const char* attr)
{
    Entries entries;
    if (!entries.open(object, attr))
        return false;
    std::string_view name;
    PyRef item;
    while (entries.next(name, item))
        storeEntry(table, name, item.get());
    return true;
}

// The card's components and all below them; a component is stored before the
// components below it.
bool find_components(VdlbmcHandle* handle, PyObject* object)
{
    return walkComponents(
        object, [](PyObject*) { return true; },
        [&](std::string_view name, PyObject* component) {
            storeEntry(handle->components, name, component);
        });
}

// The effecters or sensors of the card and of every component below it; an
// object without the attribute contributes none, nor do the components below it.
bool collect(VdlbmcHandle::Table& table, PyObject* object, const char* attr)
{
    return walkComponents(
        object, [&](PyObject* visited) { return storeAll(table, visited, attr); },
        [](std::string_view, PyObject*) {});
}

bool find_effecters(VdlbmcHandle* handle, PyObject* object)
{
    return collect(handle->effecters, object, "effecters");
}

bool find_sensors(VdlbmcHandle* handle, PyObject* object)
{
    return collect(handle->sensors, object, "sensors");
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
    return find_components(handle, handle->card) && find_effecters(handle, handle->card) &&
           find_sensors(handle, handle->card);
}

} // namespace

VdlbmcHandle::~VdlbmcHandle() = default;

namespace vdlbmc_detail {

void destroyHandle(VdlbmcHandle* handle) noexcept
{
    if (handle == nullptr)
        return;
    if (interpreterRunning()) {
        releaseTables(*handle);
        Py_XDECREF(handle->card);
        Py_XDECREF(handle->controller);
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
    // Withdraws the handle on every path but success, exceptions included.
    struct Withdraw {
        VdlbmcHandle** out;
        bool keep = false;
        ~Withdraw()
        {
            if (!keep) {
                destroyHandle(*out);
                *out = nullptr;
            }
        }
    };
    *out = new VdlbmcHandle;
    Withdraw withdraw{out};
    VdlbmcHandle* handle = *out;
    PyObject* controller = PyObject_Call(callable, args, kwargs);
    if (controller == nullptr)
        return failCall(Report::Log);
    if (noneFails && controller == Py_None) {
        Py_DECREF(controller);
        return kFailed;
    }
    handle->controller = controller;
    if (!do_bmc_discover(handle))
        return kFailed;
    withdraw.keep = true;
    return kOk;
}

// The interpreter can be used from this thread.
bool interpreterReady()
{
    initalize();
    return interpreterRunning() && PyGILState_Check();
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
    const auto interfaces = get_interfaces();
    const auto found = interfaces.find(interfaceName);
    if (found == interfaces.end())
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
    if (interpreterRunning()) {
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
