#include "guards.hpp"

namespace pv::guard {

namespace {
PyTypeObject* as_type(PyObject* cls) { return reinterpret_cast<PyTypeObject*>(cls); }
}  // namespace

bool plain_class(PyObject* cls) { return Py_TYPE(cls) == &PyType_Type; }

PyObject* class_entry(PyObject* cls, PyObject* name) {
    if (!PyType_Check(cls)) return nullptr;
    // CPython's own lookup for attribute access (private, but kept stable
    // for extensions): the MRO's dictionaries, read through its method
    // cache; it also gives the class a version tag.
    return _PyType_Lookup(as_type(cls), name);
}

PyObject* own_entry(PyObject* cls, PyObject* name) {
    if (!PyType_Check(cls)) return nullptr;
    // tp_dict is the namespace of a class made by a class statement or by
    // type(); static built-in types, whose tp_dict may be shared, never
    // come here.
    PyObject* entry = PyDict_GetItemWithError(as_type(cls)->tp_dict, name);
    if (!entry && PyErr_Occurred()) fail();
    return entry;
}

unsigned int version(PyObject* cls) {
    // A type with Py_TPFLAGS_VALID_VERSION_TAG cleared reads 0 here as well.
    return PyType_Check(cls) ? as_type(cls)->tp_version_tag : 0;
}

bool generic_getattr(PyObject* cls) {
    return PyType_Check(cls) && as_type(cls)->tp_getattro == PyObject_GenericGetAttr;
}

bool plain_instances(PyObject* cls) {
    if (!PyType_Check(cls)) return false;
    PyTypeObject* type = as_type(cls);
    return type->tp_new == PyBaseObject_Type.tp_new && type->tp_setattro == PyObject_GenericSetAttr;
}

bool made_by(PyObject* fn, PyObject* module) {
    // The native function type is made per module with the module attached;
    // no Python code can make another type that carries it.
    PyTypeObject* type = Py_TYPE(fn);
    if (!PyType_HasFeature(type, Py_TPFLAGS_HEAPTYPE)) return false;
    PyObject* owner = PyType_GetModule(type);  // borrowed
    if (!owner) PyErr_Clear();                 // a heap type without a module
    return owner == module && owner != nullptr;
}

function_snapshot function_snapshot::of(PyObject* fn) {
    if (!fn || !PyFunction_Check(fn)) return {};
    return {ref::borrow(fn), ref::borrow(PyFunction_GET_CODE(fn)),
            ref::borrow(PyFunction_GET_DEFAULTS(fn))};
}

bool function_snapshot::matches(PyObject* fn) const {
    return function && fn == function.get() && PyFunction_GET_CODE(fn) == code.get() &&
           PyFunction_GET_DEFAULTS(fn) == defaults.get();
}

}  // namespace pv::guard
