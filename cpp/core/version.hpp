// version.hpp: the CPython versions the modules are built for, and the one
// place where what differs between them is decided. Code elsewhere names
// the feature defined here, never a version number.
// Included by ref.hpp, right after <Python.h>.
#pragma once

// Built and tested on 3.11, 3.12 and 3.13. The core has never been built for
// an earlier version and uses 3.11 additions (the code object's co_qualname,
// for one).
#if PY_VERSION_HEX < 0x030B0000
#error "quillon's native modules need CPython 3.11 or later"
#endif

// Module slots that declare what the modules cannot do, so the interpreter
// refuses or adapts instead of running them where they were never made to
// work. 3.12: they live in one interpreter per process (see module.cpp; on
// 3.11 only that guard refuses a second one). 3.13: they rely on the GIL, so
// a free-threaded interpreter turns it back on for them.
#if PY_VERSION_HEX >= 0x030C0000
#define QUILLON_SLOT_INTERPRETERS {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#else
#define QUILLON_SLOT_INTERPRETERS
#endif
#if PY_VERSION_HEX >= 0x030D0000
#define QUILLON_SLOT_GIL {Py_mod_gil, Py_MOD_GIL_USED},
#else
#define QUILLON_SLOT_GIL
#endif

// 3.14 made the str writer public (PyUnicodeWriter_*) and deprecated the
// private one that earlier versions offer (_PyUnicodeWriter_*).
#define QUILLON_PUBLIC_UNICODE_WRITER (PY_VERSION_HEX >= 0x030E0000)

// 3.13 made the attribute lookup that tells "no such attribute" apart from
// an error public (PyObject_GetOptionalAttr) and removed the private one
// that earlier versions offer (_PyObject_LookupAttr).
#define QUILLON_PUBLIC_OPTIONAL_ATTR (PY_VERSION_HEX >= 0x030D0000)
