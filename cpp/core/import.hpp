// import.hpp: imports, as the import statement makes them.
#pragma once

#include "core/ref.hpp"

namespace quillon {

/// The module called `name`, imported if need be (as importlib.import_module
/// gives it: for a dotted name, the submodule itself).
Ref import(const char* name);

/// `from module import name`, with the interpreter's ImportError when the
/// module lacks it.
Ref import_from(const char* module, const char* name);

}  // namespace quillon
