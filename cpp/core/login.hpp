// login.hpp: what the two login modules share: their import preamble, their
// messages and the reading of the credential store.
#pragma once

#include "core/module.hpp"

namespace quillon {

/// The login modules' statements after their imports: silence warnings for
/// the whole process, then fix `secret_file_path`, the store's location:
/// secret.json in the package's top folder, one up from the module's real
/// (symlink-free) location, whatever the working directory.
void login_preamble(Module& m);

/// `print(message)` with the module's print.
void say(const Function& fn, const char* message);
/// `print(*values)` with the module's print.
void say(const Function& fn, std::initializer_list<PyObject*> values);

/// Whether the store at `path` exists (`os.path.exists`).
bool store_exists(const Function& fn, PyObject* path);

/// The decoded store at `path` (`json.load` of the open file); the file is
/// closed before this returns, also on error.
Ref read_store(const Function& fn, PyObject* path);

/// `store.get(key)`
inline Ref member(const Function& fn, PyObject* store, Name key) {
    using shared::operator""_n;
    return call_method(fn, store, "get"_n, {interned(fn, key)});
}

}  // namespace quillon
