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

// Calls visit(name, item) for each entry of the dictionary attribute `attr`
// of `object`, in its order. False when the attribute is missing or cannot be
// iterated (the error is cleared); a key without an item ends the walk, a key
// that is not text is skipped.
template <typename Visit>
bool forEachEntry(PyObject* object, const char* attr, Visit&& visit)
{
    PyRef mapping(PyObject_GetAttrString(object, attr));
    if (!mapping) {
        PyErr_Clear();
        return false;
    }
    PyRef iterator(PyObject_GetIter(mapping.get()));
    if (!iterator) {
        PyErr_Clear();
        return false;
    }
    while (PyRef key{PyIter_Next(iterator.get())}) {
        PyObject* borrowed = PyDict_GetItemWithError(mapping.get(), key.get());
        if (borrowed == nullptr) {
            PyErr_Clear();
            break;
        }
        std::string_view name;
        if (!textOf(key.get(), name)) {
            PyErr_Clear();
            continue;
        }
        // Held across the visit: walking below it runs script code.
        PyRef item(Py_NewRef(borrowed));
        visit(name, item.get());
    }
    if (PyErr_Occurred())
        PyErr_Clear();
    return true;
}

// The effecters or sensors of `object` and of every component below it.
void collect(VdlbmcHandle::Table& table, PyObject* object, const char* attr, Visited& visited)
{
    if (!forEachEntry(object, attr,
                      [&](std::string_view name, PyObject* item) { storeEntry(table, name, item); }))
        return;
    forEachEntry(object, "components", [&](std::string_view, PyObject* component) {
        if (visited.firstVisit(component))
            collect(table, component, attr, visited);
    });
}

void collectComponents(VdlbmcHandle::Table& table, PyObject* object, Visited& visited)
{
    forEachEntry(object, "components", [&](std::string_view name, PyObject* component) {
        storeEntry(table, name, component);
        if (visited.firstVisit(component))
            collectComponents(table, component, visited);
    });
}

void find_components(VdlbmcHandle* handle, PyObject* object)
{
    Visited visited;
    visited.firstVisit(object);
    collectComponents(handle->components, object, visited);
}

void find_effecters(VdlbmcHandle* handle, PyObject* object)
{
    Visited visited;
    visited.firstVisit(object);
    collect(handle->effecters, object, "effecters", visited);
}

void find_sensors(VdlbmcHandle* handle, PyObject* object)
{
    Visited visited;
    visited.firstVisit(object);
    collect(handle->sensors, object, "sensors", visited);
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
    find_components(handle, handle->card);
    find_effecters(handle, handle->card);
    find_sensors(handle, handle->card);
    return true;
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
