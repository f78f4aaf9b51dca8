// text.hpp: building a str piece by piece without intermediate objects. The
// interpreter's own writer grows one buffer and widens it only when a
// non-Latin-1 character arrives.
#pragma once

#include "core/ref.hpp"

#include <string_view>
#include <utility>

namespace quillon {

#if QUILLON_PUBLIC_UNICODE_WRITER

class TextBuilder {
public:
    TextBuilder() : writer_(PyUnicodeWriter_Create(0)) {  // over-allocates as it grows
        if (writer_ == nullptr) throw PyErrorSet{};
    }
    TextBuilder(const TextBuilder&) = delete;
    TextBuilder& operator=(const TextBuilder&) = delete;
    ~TextBuilder() {
        if (writer_ != nullptr) PyUnicodeWriter_Discard(writer_);
    }

    /// An ASCII literal.
    TextBuilder& ascii(std::string_view s) {
        need(PyUnicodeWriter_WriteASCII(writer_, s.data(), static_cast<Py_ssize_t>(s.size())));
        return *this;
    }
    /// A str object (exact str or subclass: its characters, not its __str__).
    TextBuilder& str(PyObject* s) {
        need(PyUnicodeWriter_WriteSubstring(writer_, s, 0, PyUnicode_GET_LENGTH(s)));
        return *this;
    }
    Ref finish() { return own(PyUnicodeWriter_Finish(std::exchange(writer_, nullptr))); }

private:
    PyUnicodeWriter* writer_;
};

#else

class TextBuilder {
public:
    TextBuilder() noexcept {
        _PyUnicodeWriter_Init(&writer_);
        writer_.overallocate = 1;
    }
    TextBuilder(const TextBuilder&) = delete;
    TextBuilder& operator=(const TextBuilder&) = delete;
    ~TextBuilder() {
        if (!finished_) _PyUnicodeWriter_Dealloc(&writer_);
    }

    /// An ASCII literal.
    TextBuilder& ascii(std::string_view s) {
        need(_PyUnicodeWriter_WriteASCIIString(&writer_, s.data(), static_cast<Py_ssize_t>(s.size())));
        return *this;
    }
    /// A str object (exact str or subclass: its characters, not its __str__).
    TextBuilder& str(PyObject* s) {
        need(_PyUnicodeWriter_WriteStr(&writer_, s));
        return *this;
    }
    Ref finish() {
        finished_ = true;
        return own(_PyUnicodeWriter_Finish(&writer_));
    }

private:
    _PyUnicodeWriter writer_;
    bool finished_ = false;
};

#endif

}  // namespace quillon
