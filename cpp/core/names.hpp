// names.hpp: the names module code looks up (globals, attributes, keywords,
// dict keys), checked at compile time and interned once per module.
//
// Each module lists its names in one table, `QUILLON_NAMES(...)`. Code then
// writes `"print"_n`: the literal is looked up in the table while compiling
// (a name missing from it does not compile) and becomes an index into the
// module state, which holds the interned str made when the module was
// executed. So a lookup costs a dict probe with a ready key, and no string is
// built per call.
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

/// The names of the shared login, store and service code (login.cpp,
/// store.cpp, service.cpp), which a module that uses them lists first
/// (QUILLON_SERVICE_NAMES): the core's code then finds them at the same
/// indices in every such module. Its own spelling is `"print"_n` too, from
/// `using shared::operator""_n` (below), which modules never see.
inline constexpr std::array<std::string_view, 28> service_names = {
    "__enter__", "__exit__", "print", "open", "os", "path", "exists", "json", "load", "dumps", "get",
    "secret_file_path", "Session", "adapters", "request", "timeout", "close", "ConnectionCls", "_new_conn",
    "get_connection_with_tls_context", "get_connection", "dup", "fileno", "name", "daemon", "start", "cancel",
    "join",
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

/// `first` followed by `own`, as one table without repeats.
template <std::size_t F, std::size_t M>
consteval NameTable<F + M> name_table(const std::array<std::string_view, F>& first,
                                      const std::array<std::string_view, M>& own) {
    NameTable<F + M> table{};
    std::copy(first.begin(), first.end(), table.names.begin());
    std::copy(own.begin(), own.end(), table.names.begin() + F);
    for (std::size_t i = 0; i < table.names.size(); ++i)
        for (std::size_t j = i + 1; j < table.names.size(); ++j)
            if (table.names[i] == table.names[j]) throw "a name is listed twice";
    return table;
}

inline constexpr std::array<std::string_view, 0> no_names{};

namespace shared {
/// The shared code's `"..."_n`: an index into service_names.
template <FixedString S>
consteval Name operator""_n() {
    constexpr NameTable<service_names.size()> table{service_names};
    return table.find(S.view());
}
}  // namespace shared

}  // namespace quillon

/// Declares a module's name table and its `"..."_n` literal. Names are
/// string literals; a module's table holds every name its code uses (a
/// missing one does not compile) and nothing else (tests/test_names.py).
/// QUILLON_SERVICE_NAMES is the same for a module that uses the shared login,
/// store and service code, whose names come first.
#define QUILLON_NAMES(...) QUILLON_NAME_TABLE(::quillon::no_names, __VA_ARGS__)
#define QUILLON_SERVICE_NAMES(...) QUILLON_NAME_TABLE(::quillon::service_names, __VA_ARGS__)
#define QUILLON_NAME_TABLE(first, ...)                                                                           \
    inline constexpr auto module_names = ::quillon::name_table(first, std::array<std::string_view,              \
        std::size(std::initializer_list<std::string_view>{__VA_ARGS__})>{__VA_ARGS__});                        \
    static_assert(module_names.size() <= ::quillon::max_names, "too many names for the module state");           \
    template <::quillon::FixedString S>                                                                          \
    consteval ::quillon::Name operator""_n() {                                                                   \
        return module_names.find(S.view());                                                                      \
    }
