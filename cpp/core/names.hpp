// names.hpp: the names module code looks up (globals, attributes, keywords,
// dict keys), checked at compile time and interned once per module.
//
// Each module lists its names in one table, `QUILLON_NAMES(...)`. The core's
// own names come first in every table. Code then writes `"print"_n`: the
// literal is looked up in the table while compiling (a name missing from it
// does not compile) and becomes an index into the module state, which holds
// the interned str made when the module was executed. So a lookup costs a
// dict probe with a ready key, and no string is built per call.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <string_view>

namespace quillon {

/// A string literal as a template argument.
template <std::size_t N>
struct FixedString {
    char chars[N]{};
    consteval FixedString(const char (&s)[N]) { std::copy_n(s, N, chars); }
    constexpr std::string_view view() const { return {chars, N - 1}; }
};

/// One entry of a module's name table.
struct Name {
    std::size_t index;
    const char* text;  // for messages (NameError) and for interning
};

/// Names every module's table starts with: what the shared core looks up.
inline constexpr std::array<std::string_view, 30> core_names = {
    "__enter__", "__exit__", "print", "open", "os", "path", "exists", "json", "load", "dumps", "get",
    "secret_file_path", "status_code", "Session", "adapters", "request", "timeout", "close", "ConnectionCls",
    "_new_conn", "get_connection_with_tls_context", "get_connection", "dup", "fileno", "name", "daemon",
    "start", "cancel", "join", "done",
};

/// Most names one module can hold (the module state has that many slots).
inline constexpr std::size_t max_names = 128;

template <std::size_t N>
struct NameTable {
    std::array<std::string_view, N> names;

    static constexpr std::size_t size() { return N; }

    /// The entry for `name`; not a constant expression (so a compile error)
    /// when the table lacks it.
    consteval Name find(std::string_view name) const {
        for (std::size_t i = 0; i < N; ++i)
            if (names[i] == name) return {i, names[i].data()};
        throw "name missing from the module's QUILLON_NAMES table";
    }
};

/// The core's names followed by a module's own, as one table.
template <std::size_t M>
consteval NameTable<core_names.size() + M> with_core_names(const std::array<std::string_view, M>& own) {
    NameTable<core_names.size() + M> table{};
    std::copy(core_names.begin(), core_names.end(), table.names.begin());
    std::copy(own.begin(), own.end(), table.names.begin() + core_names.size());
    for (std::size_t i = 0; i < table.names.size(); ++i)
        for (std::size_t j = i + 1; j < table.names.size(); ++j)
            if (table.names[i] == table.names[j]) throw "a name is listed twice";
    return table;
}

/// The core's own names, for core code: the same indices in every module.
template <FixedString S>
consteval Name core_name() {
    constexpr NameTable<core_names.size()> table{core_names};
    return table.find(S.view());
}

}  // namespace quillon

/// Declares a module's name table and its `"..."_n` literal. Names are
/// string literals; a module's table must hold every name its code uses.
#define QUILLON_NAMES(...)                                                                                       \
    constexpr auto module_names = ::quillon::with_core_names(std::array<std::string_view,                      \
        std::size(std::initializer_list<std::string_view>{__VA_ARGS__})>{__VA_ARGS__});                        \
    static_assert(module_names.size() <= ::quillon::max_names, "too many names for the module state");           \
    template <::quillon::FixedString S>                                                                          \
    consteval ::quillon::Name operator""_n() {                                                                   \
        return module_names.find(S.view());                                                                      \
    }
