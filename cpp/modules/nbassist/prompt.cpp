// prompt.cpp: the prompt that describes the notebook's namespace (its
// modules, and its variables with their types and a frame's columns) to the
// engine, ahead of the command's own text.
#include "modules/nbassist/nbassist.hpp"

#include <utility>
#include <vector>

namespace quillon::nbassist {
namespace {

// --- texts -----------------------------------------------------------------------

// The namespace description.
constexpr std::string_view header = "Given below are the modules and the variables that I have used:\n";
constexpr std::string_view modules_start = "Modules: \n";
constexpr std::string_view variables_start = "Variables: \n";
constexpr std::string_view name_lead = "name: ";
constexpr std::string_view type_lead = ", type: ";
constexpr std::string_view column_lead = "\t column: ";
constexpr std::string_view dtype_lead = ", dtype:";
constexpr std::string_view context_lead = "Use them as context and ";
constexpr std::string_view base_prompt_end = ": ";
constexpr const char* left_out[] = {"In", "Out", "quit", "exit"};

// --- parameters ----------------------------------------------------------------------

struct GeneratePromptArgs {
    PyObject *query, *base_prompt, *global_variables;
};
constexpr Param generate_prompt_params[] = {
    {"query"},
    {"base_prompt", Exact::str, "str"},
    {"global_variables", Exact::any, nullptr, Default::None()},
};

// --- prompt assembly ------------------------------------------------------------------

/// Whether a namespace entry is described: no "_" anywhere in the name, and
/// none of IPython's own entries. Runs no Python code for an exact str.
bool described(PyObject* name) {
    if (PyUnicode_CheckExact(name)) {
        Py_ssize_t length = PyUnicode_GET_LENGTH(name);
        Py_ssize_t at = PyUnicode_FindChar(name, '_', 0, length, 1);
        if (at == -2) throw PyErrorSet{};
        if (at != -1) return false;
        if (length < 2 || length > 4) return true;  // no entry of IPython's can match
        for (const char* skip : left_out)
            if (PyUnicode_CompareWithASCIIString(name, skip) == 0) return false;
        return true;
    }
    Ref underscore = text("_");
    if (need(PySequence_Contains(name, underscore.get()))) return false;
    for (const char* skip : left_out) {
        Ref s = text(skip);
        if (!need(PyObject_RichCompareBool(name, s.get(), Py_NE))) return false;
    }
    return true;
}

/// str() of the objects that recur in one prompt: classes whose metaclass is
/// exactly `type` and numpy dtypes. For these str() runs no Python code and
/// depends only on the object, as long as no Python code runs in between
/// (a class's __qualname__ can be rebound): whoever runs Python code calls
/// `forget()`. Holds each key, so an address is not reused meanwhile.
class StrCache {
public:
    /// str(obj), from the cache where `cacheable` allows it.
    Ref get(PyObject* obj, bool cacheable) {
        if (!cacheable) return str(obj);
        for (auto& [key, value] : entries_)
            if (key.get() == obj) return value;
        Ref value = str(obj);
        if (entries_.size() < 64) entries_.emplace_back(Ref::borrow(obj), value);
        return value;
    }
    void forget() { entries_.clear(); }

private:
    std::vector<std::pair<Ref, Ref>> entries_;
};

Ref type_of(PyObject* value) { return Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(value))); }

/// `a, b = pair`, without an iterator for the usual exact 2-tuple.
std::array<Ref, 2> unpack_pair(PyObject* pair) {
    if (PyTuple_CheckExact(pair) && PyTuple_GET_SIZE(pair) == 2)
        return {Ref::borrow(PyTuple_GET_ITEM(pair, 0)), Ref::borrow(PyTuple_GET_ITEM(pair, 1))};
    return unpack<2>(pair);
}

/// What one prompt needs to know while it describes values.
struct Describer {
    Function& fn;
    Ref module_type;  // the type of `os`: values of exactly this type are modules
    Ref data_frame;
    Ref numpy_dtype;  // numpy.dtype, or empty without numpy
    StrCache type_text, dtype_text;
    TextBuilder modules, variables;
    bool ran_python = false;  // set once describing a value may have run Python code

    /// The column lines of a DataFrame, joined with line feeds.
    void columns(PyObject* df) {
        Ref dtypes = attr(fn, df, "dtypes"_n);
        Ref by_column = call_method(fn, dtypes.get(), "to_dict"_n);
        Ref items = call_method(fn, by_column.get(), "items"_n);
        Ref it = own(PyObject_GetIter(items.get()));
        bool first = true;
        while (Ref pair = Ref::steal(PyIter_Next(it.get()))) {
            auto [label, dtype] = unpack_pair(pair.get());
            if (!first) variables.ascii("\n");
            first = false;
            variables.ascii(column_lead).str(str(label.get()).get());
            bool fixed = numpy_dtype && PyObject_TypeCheck(dtype.get(), reinterpret_cast<PyTypeObject*>(numpy_dtype.get()));
            variables.ascii(dtype_lead).str(dtype_text.get(dtype.get(), fixed).get());
        }
        if (PyErr_Occurred()) throw PyErrorSet{};
    }

    /// Describes the value under `name`, fetched by `value_of()` afresh for
    /// each test and use.
    template <class ValueOf>
    void describe(PyObject* name, ValueOf&& value_of) {
        if (Py_TYPE(value_of().get()) == reinterpret_cast<PyTypeObject*>(module_type.get())) {
            modules.str(formatted(name).get()).ascii("\n");
            return;
        }
        variables.ascii(name_lead).str(formatted(name).get()).ascii(type_lead);
        if (Py_TYPE(value_of().get()) == reinterpret_cast<PyTypeObject*>(data_frame.get())) {
            Ref df = value_of();
            Ref type_name = attr(fn, type_of(df.get()).get(), "__name__"_n);
            variables.str(formatted(type_name.get()).get()).ascii("\n");
            columns(df.get());
            type_text.forget();  // the frame's own code ran
            ran_python = true;
        } else {
            Ref type = type_of(value_of().get());
            bool plain_class = Py_IS_TYPE(type.get(), &PyType_Type);
            variables.str(type_text.get(type.get(), plain_class).get());
            if (!plain_class) {
                type_text.forget();  // a metaclass's __str__ ran
                ran_python = true;
            }
        }
        variables.ascii("\n");
    }
};

/// An exact dict whose keys are all exact strs: selecting names runs no
/// Python code, so one walk selects them and takes their values, which are
/// what a look-up after the selection gives. Once describing a value may
/// have run Python code (a frame's dtypes, a metaclass's __str__), the rest
/// are read from the dict again, as it stands at that moment.
void describe_plain_dict(Describer& d, PyObject* ns) {
    std::vector<std::pair<Ref, Ref>> entries;
    Py_ssize_t pos = 0;
    PyObject *name, *value;
    while (PyDict_Next(ns, &pos, &name, &value))
        if (described(name)) entries.emplace_back(Ref::borrow(name), Ref::borrow(value));
    for (const auto& [n, taken] : entries) {
        d.describe(n.get(), [&] {
            if (!d.ran_python) return taken;
            Ref v = Ref::borrow(PyDict_GetItemWithError(ns, n.get()));
            if (!v) {
                if (!PyErr_Occurred()) PyErr_SetObject(PyExc_KeyError, n.get());
                throw PyErrorSet{};
            }
            return v;
        });
    }
}

/// Any other mapping (or a dict with other keys): the names first, by
/// iterating over it, and then `ns[name]` for every test and use.
void describe_mapping(Describer& d, PyObject* ns) {
    std::vector<Ref> names;
    bool exact_dict = PyDict_CheckExact(ns);
    Py_ssize_t size = exact_dict ? PyDict_GET_SIZE(ns) : 0;
    Ref it = own(PyObject_GetIter(ns));
    while (Ref name = Ref::steal(PyIter_Next(it.get()))) {
        bool keep = described(name.get());  // may run Python code for a key that is not a str
        if (exact_dict && PyDict_GET_SIZE(ns) != size)
            raise(PyExc_RuntimeError, "dictionary changed size during iteration");
        if (keep) names.push_back(std::move(name));
    }
    if (PyErr_Occurred()) throw PyErrorSet{};
    for (const Ref& n : names) {
        d.describe(n.get(), [&] { return own(PyObject_GetItem(ns, n.get())); });
        d.type_text.forget();  // the lookups ran the mapping's code
    }
}

bool all_keys_exact_str(PyObject* dict) {
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(dict, &pos, &key, &value))
        if (!PyUnicode_CheckExact(key)) return false;
    return true;
}

/// numpy.dtype, when numpy is loaded (pandas brings it); empty otherwise.
Ref numpy_dtype_class(Function& fn) {
    Ref key = text("numpy");
    Ref numpy = Ref::steal(PyImport_GetModule(key.get()));
    if (!numpy) {
        if (PyErr_Occurred()) throw PyErrorSet{};
        return {};
    }
    Ref dtype = Ref::steal(PyObject_GetAttr(numpy.get(), interned(fn, "dtype"_n)));
    if (!dtype) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PyErrorSet{};
        PyErr_Clear();
        return {};
    }
    return PyType_Check(dtype.get()) ? dtype : Ref{};
}

Ref generate_prompt_impl(Function& fn, const GeneratePromptArgs& a) {
    if (a.global_variables == Py_None) return own(PyNumber_Add(a.base_prompt, a.query));

    Describer d{fn, type_of(global(fn, "os"_n).get()), global(fn, "DataFrame"_n), numpy_dtype_class(fn), {}, {}, {}, {}};
    d.modules.ascii(modules_start);
    d.variables.ascii(variables_start);
    if (PyDict_CheckExact(a.global_variables) && all_keys_exact_str(a.global_variables))
        describe_plain_dict(d, a.global_variables);
    else
        describe_mapping(d, a.global_variables);

    TextBuilder prompt;
    prompt.ascii(header).str(d.modules.finish().get()).ascii("\n").str(d.variables.finish().get()).ascii("\n");
    prompt.ascii(context_lead).str(a.base_prompt).ascii(base_prompt_end);
    if (PyUnicode_CheckExact(a.query)) return prompt.str(a.query).finish();
    // Anything else joins as `+` would join it, with its own error.
    return own(PyNumber_Add(prompt.finish().get(), a.query));
}

}  // namespace

const FunctionSpec generate_prompt_spec =
    function<GeneratePromptArgs, generate_prompt_params, generate_prompt_impl>("_generate_prompt", nullptr);
}  // namespace quillon::nbassist
