#pragma once
// The option files within the size limit that cost most per byte to load and
// save: tiny containers side by side and objects of short keys. The limit's
// test and the option benchmarks build them the same way.
#include <cstddef>
#include <string>

namespace worstfiles {

// `item` repeated inside `open` and `close`, separated by `separator`, as
// often as `size` bytes allow.
inline std::string repeated(const std::string& open, const std::string& item,
                            const std::string& separator, const std::string& close,
                            std::size_t size)
{
    std::string text = open;
    while (text.size() + separator.size() + item.size() + close.size() <= size) {
        if (text.size() > open.size())
            text += separator;
        text += item;
    }
    return text + close;
}

// An object of distinct keys as short as they come, each with an empty object,
// compact or as a save prints it, in at most `size` bytes.
inline std::string shortKeys(bool pretty, std::size_t size)
{
    const std::string separator = pretty ? ",\n    " : ",";
    const std::string colon = pretty ? ": " : ":";
    std::string text = pretty ? "{\n    " : "{";
    const std::string close = pretty ? "\n}" : "}";
    for (unsigned n = 0;; ++n) {
        std::string key;
        for (unsigned v = n; key.empty() || v > 0; v /= 62)
            key += "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"[v % 62];
        const std::string item = (n > 0 ? separator : "") + "\"" + key + "\"" + colon + "{}";
        if (text.size() + item.size() + close.size() > size)
            break;
        text += item;
    }
    return text + close;
}

} // namespace worstfiles
