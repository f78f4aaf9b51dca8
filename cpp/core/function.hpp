// function.hpp: the function type behind every callable of the SDK. To its
// users it is a Python function: binding by position or keyword under the
// parameter names, the interpreter's own TypeError wording, __defaults__,
// string __annotations__, a real __code__ so that inspect.signature() and
// help() show the signature, and vectorcall for speed.
#pragma once

#include "core/ref.hpp"

#include <cstddef>
#include <iterator>
#include <span>
#include <type_traits>
#include <utility>

namespace quillon {

/// The exact type a parameter demands. `any` takes every object (by truth
/// value or otherwise); the others refuse subclasses, and `None` is let
/// through only where the default is None.
enum class Exact { any, str, int_, dict };

/// A parameter's default, kept as plain data so that tables stay constexpr.
struct Default {
    enum Kind { required, none, false_, true_, integer, text } kind = required;
    long long integer_value = 0;
    const char* text_value = nullptr;

    static constexpr Default None() { return {none}; }
    static constexpr Default False() { return {false_}; }
    static constexpr Default True() { return {true_}; }
    static constexpr Default Int(long long v) { return {integer, v}; }
    static constexpr Default Str(const char* v) { return {text, 0, v}; }
};

struct Param {
    const char* name;
    Exact exact = Exact::any;
    const char* annotation = nullptr;  // stored in __annotations__ as this text
    Default dflt = {};
};

struct Function;

/// What the function type calls: the bound and checked arguments, one per
/// parameter, borrowed. Returns a new reference, or throws PyErrorSet.
using Impl = Ref (*)(Function& self, PyObject* const* args);

struct FunctionSpec {
    const char* name;
    const char* doc;  // null: __doc__ is None
    std::span<const Param> params;
    Impl impl;
};

namespace detail {

template <class Args, const auto& Params, Ref (*Body)(Function&, const Args&)>
Ref call_with_args(Function& self, PyObject* const* args) {
    constexpr std::size_t n = std::size(Params);
    return [&]<std::size_t... I>(std::index_sequence<I...>) {
        return Body(self, Args{args[I]...});
    }(std::make_index_sequence<n>{});
}

template <Ref (*Body)(Function&)>
Ref call_without_args(Function& self, PyObject* const*) {
    return Body(self);
}

}  // namespace detail

/// A function whose hand-written part (`Body`, an `_impl`) takes its
/// arguments as `Args`: a struct of one borrowed `PyObject*` per entry of
/// `Params`, in table order. The compiler checks that the two agree in
/// number, so an `_impl` cannot read a parameter its table lacks.
template <class Args, const auto& Params, Ref (*Body)(Function&, const Args&)>
constexpr FunctionSpec function(const char* name, const char* doc) {
    static_assert(std::is_aggregate_v<Args> && sizeof(Args) == std::size(Params) * sizeof(PyObject*),
                  "the argument struct needs one PyObject* per parameter");
    return {name, doc, Params, detail::call_with_args<Args, Params, Body>};
}

/// A function without parameters.
template <Ref (*Body)(Function&)>
constexpr FunctionSpec function(const char* name, const char* doc) {
    return {name, doc, {}, detail::call_without_args<Body>};
}

/// Longest parameter list any SDK function has; binding uses a fixed array.
inline constexpr std::size_t max_params = 8;

struct Function {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const FunctionSpec* spec;  // static; outlives every function object
    PyObject* globals;         // the defining module's dict
    PyObject* module_name;     // __module__
    PyObject* name;            // __name__
    PyObject* qualname;        // __qualname__
    PyObject* varnames;        // tuple of the interned parameter names
    PyObject* defaults;        // tuple, or null when no parameter has one
    PyObject* closure;         // tuple of cells, or null
    PyObject* code;            // built on first use of __code__
    PyObject* annotations;     // built on first use of __annotations__
    PyObject* weakrefs;

    /// The value held by closure cell `index`; raises NameError for an
    /// empty cell.
    Ref cell(std::size_t index) const;
};

/// Creates the function type for a module; the module keeps it in its
/// state, and every function it makes refers to it.
Ref make_function_type(PyObject* module);

/// A module-level function of `module`.
Ref make_function(PyObject* function_type, PyObject* module, const FunctionSpec& spec);

/// A closure made at run time by `outer`, with a qualified name
/// "<outer qualname>.<locals>.<name>" and the given cells.
Ref make_closure(const Function& outer, const FunctionSpec& spec, Ref cells);

/// Raises the argument type error for `args[i]` unless it passes its check.
/// Runs, in parameter order, before the implementation.
void check_arguments(const FunctionSpec& spec, PyObject* const* args);

}  // namespace quillon
