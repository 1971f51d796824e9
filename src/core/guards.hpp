// Fast-path guards.
//
// A fast path skips attribute lookups and calls whose outcome it already
// knows: it reads a class's constants directly, calls its own implementation
// instead of the method a class holds, builds a record without running the
// record's __init__. It may do so only while the class still holds those
// constants, that method and that __init__. The questions are asked here.
//
// This is the only code that reads CPython's type internals (the MRO lookup
// without descriptors, version tags, type slots, function objects) or the
// inside of pravel's native function objects, so that a change in CPython is
// met in one place. Every answer is conservative: when in doubt, "no", and
// the caller takes the slow path, which gives the same result. Any object
// may be asked about; one that is no class has no entries and no version.
#pragma once

#include "pravel.hpp"

namespace pv::guard {

// Whether `cls` is a class made by `type` itself. With another metaclass,
// attribute lookups on the class may be answered in its own way.
bool plain_class(PyObject* cls);

// The attribute `name` as the class `cls` and its bases hold it, found along
// the MRO without running any descriptor (borrowed; nullptr if there is
// none). For a plain value, such as an int, this is what `cls.name` gives.
PyObject* class_entry(PyObject* cls, PyObject* name);

// The entry under `name` in the class's own namespace, bases left out
// (borrowed; nullptr if there is none).
PyObject* own_entry(PyObject* cls, PyObject* name);

// A tag that CPython renews whenever `cls` or one of its bases changes, so
// an unchanged tag means unchanged attributes; 0 when the class has none
// (a class_entry() lookup gives it one where CPython can), and then nothing
// may be assumed.
unsigned int version(PyObject* cls);

// Whether instances of `cls` look their attributes up through object's
// generic slot (no __getattribute__ or __getattr__ of a class's own).
bool generic_getattr(PyObject* cls);

// Whether instances of `cls` are made by object.__new__ and set their
// attributes through object's generic slot.
bool plain_instances(PyObject* cls);

// Whether `fn` is one of this module's native functions running F.
template <auto F>
bool runs(const state_base& st, PyObject* fn) {
    return detail::target_of(st, fn) == reinterpret_cast<target_fn>(F);
}

// Whether `cls.name` is a class method bound to `cls` that runs this
// module's F. Binding it may run code: callers check version() after.
template <auto F>
bool own_class_method(const state_base& st, const ref& cls, PyObject* name) {
    PyObject* raw = class_entry(cls.get(), name);
    if (!raw || !Py_IS_TYPE(raw, &PyClassMethod_Type)) return false;
    ref bound = cls.attr(name);
    return PyMethod_Check(bound.get()) && PyMethod_GET_SELF(bound.get()) == cls.get() &&
           runs<F>(st, PyMethod_GET_FUNCTION(bound.get()));
}

// Whether `fn` is a native function that `module` made (told by the
// module's identity, whatever names it has been given).
bool made_by(PyObject* fn, PyObject* module);

// A Python function remembered with the code and defaults it had, to tell
// later whether an object still is that function, unchanged.
struct function_snapshot {
    ref function, code, defaults;

    // Empty (matching nothing) unless `fn` is a Python function.
    static function_snapshot of(PyObject* fn);
    bool matches(PyObject* fn) const;
};

}  // namespace pv::guard
