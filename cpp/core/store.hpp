// store.hpp: whole-file replacement of the credential store.
#pragma once

#include "core/ref.hpp"

#include <string_view>

namespace quillon {

/// Replaces the file at `path` (a str) with `content`, atomically and
/// readable by its owner only: the text goes to a new 0600 file in the same
/// folder, is flushed to disk and then renamed over the old file. A failure
/// at any step raises OSError and leaves the old file as it was.
void replace_file(PyObject* path, std::string_view content);

}  // namespace quillon
