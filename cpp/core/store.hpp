// store.hpp: whole-file replacement of the credential store.
#pragma once

#include "core/module.hpp"

#include <string_view>

namespace quillon {

/// Replaces the file at `path` (whatever open() takes: str, bytes or a
/// path-like) with `content`, atomically and readable by its owner only:
/// the text goes to a new 0600 file in the same folder, is flushed to disk
/// and then renamed over the old file; the temporary files that killed
/// writers left in that folder go afterwards, those of live writers
/// anywhere never. A path that is a symbolic link is followed, and the file
/// it points to is replaced, if the link is this process's user's or that
/// file's owner's; any other link raises PermissionError naming it. A
/// failure at any step raises OSError naming the store and the step, and
/// leaves the old file as it was.
void replace_file(PyObject* path, std::string_view content);

/// Replaces the store at `path` with the JSON text of `data`, as the
/// function's `json` module writes it with its default settings. A value
/// JSON cannot represent raises before the file is touched.
void write_store(const Function& fn, PyObject* path, PyObject* data);

}  // namespace quillon
