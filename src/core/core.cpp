#include "pravel.hpp"

#include <pthread.h>
#include <unistd.h>

#include <cstring>
#include <string>

#if PY_VERSION_HEX >= 0x030C0000
#define PV_T_PYSSIZET Py_T_PYSSIZET
#define PV_READONLY Py_READONLY
#else
#include <structmember.h>
#define PV_T_PYSSIZET T_PYSSIZET
#define PV_READONLY READONLY
#endif

namespace pv {

void raise_arg_type(const char* name, const char* expected, PyObject* got) {
    raise(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
          name, expected, Py_TYPE(got)->tp_name);
}

ref import(const char* module) { return ref::steal(PyImport_ImportModule(module)); }

ref optional_attr(const ref& obj, PyObject* name) {
#if PY_VERSION_HEX >= 0x030D0000
    PyObject* value = nullptr;
    if (PyObject_GetOptionalAttr(obj.get(), name, &value) < 0) fail();
    return value ? ref::steal(value) : ref();
#else
    PyObject* value = PyObject_GetAttr(obj.get(), name);
    if (value) return ref::steal(value);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) fail();
    PyErr_Clear();
    return ref();
#endif
}

// ---------------------------------------------------------------- calls and arithmetic

namespace detail {
ref vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    return ref::steal(PyObject_Vectorcall(callable, args, nargsf, kwnames));
}
ref vectorcall_method(PyObject* name, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    return ref::steal(PyObject_VectorcallMethod(name, args, nargsf, kwnames));
}

void park_thread() noexcept {
    // Nothing may end the wait: the thread is past the point of return.
    pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, nullptr);
    for (;;) pause();
}
}  // namespace detail

ref operator+(const arg& a, const arg& b) { return ref::steal(PyNumber_Add(a.p, b.p)); }
ref operator-(const arg& a, const arg& b) { return ref::steal(PyNumber_Subtract(a.p, b.p)); }
ref operator*(const arg& a, const arg& b) { return ref::steal(PyNumber_Multiply(a.p, b.p)); }
ref operator/(const arg& a, const arg& b) { return ref::steal(PyNumber_TrueDivide(a.p, b.p)); }
ref operator%(const arg& a, const arg& b) { return ref::steal(PyNumber_Remainder(a.p, b.p)); }
ref floordiv(const arg& a, const arg& b) { return ref::steal(PyNumber_FloorDivide(a.p, b.p)); }
ref abs(const arg& a) { return ref::steal(PyNumber_Absolute(a.p)); }

static bool compare(PyObject* a, PyObject* b, int op) {
    return check(PyObject_RichCompareBool(a, b, op)) != 0;
}
bool operator<(const ref& a, const arg& b) { return compare(a.get(), b.p, Py_LT); }
bool operator<=(const ref& a, const arg& b) { return compare(a.get(), b.p, Py_LE); }
bool operator>(const ref& a, const arg& b) { return compare(a.get(), b.p, Py_GT); }
bool operator>=(const ref& a, const arg& b) { return compare(a.get(), b.p, Py_GE); }
bool equal(const arg& a, const arg& b) { return compare(a.p, b.p, Py_EQ); }

void raise_unpack_count(Py_ssize_t expected, Py_ssize_t got) {
    if (got > expected)
        raise(PyExc_ValueError, "too many values to unpack (expected %zd)", expected);
    raise(PyExc_ValueError, "need more than %zd value%.1s to unpack", got, got == 1 ? "" : "s");
}

void unpack(PyObject* value, ref* out, Py_ssize_t n) {
    if (PyTuple_CheckExact(value) || PyList_CheckExact(value)) {
        Py_ssize_t size = PySequence_Fast_GET_SIZE(value);
        if (size != n) raise_unpack_count(n, size);
        PyObject** items = PySequence_Fast_ITEMS(value);
        for (Py_ssize_t i = 0; i < n; ++i) out[i] = ref::borrow(items[i]);
        return;
    }
    ref it = ref::steal(PyObject_GetIter(value));
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* item = PyIter_Next(it.get());
        if (!item) {
            if (PyErr_Occurred()) fail();
            raise_unpack_count(n, i);
        }
        out[i] = ref::steal(item);
    }
    PyObject* extra = PyIter_Next(it.get());
    if (extra) {
        Py_DECREF(extra);
        raise_unpack_count(n, n + 1);
    }
    if (PyErr_Occurred()) fail();
}

// ---------------------------------------------------------------- the with statement

caught::caught() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    value_ = PyErr_GetRaisedException();
#else
    PyObject *type, *tb;
    PyErr_Fetch(&type, &value_, &tb);
    PyErr_NormalizeException(&type, &value_, &tb);
    if (tb && value_) PyException_SetTraceback(value_, tb);
    Py_XDECREF(type);
    Py_XDECREF(tb);
#endif
}

void caught::restore() noexcept {
    PyObject* v = std::exchange(value_, nullptr);
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(v);
#else
    PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(v))), v,
                  PyException_GetTraceback(v));
#endif
}

namespace detail {
bool exit_on_error(const ref& manager, const ref& exit) {
    caught err;
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(err.value()));
    PyObject* traceback = PyException_GetTraceback(err.value());  // new reference, may be NULL
    ref tb = traceback ? ref::steal(traceback) : none();
    ref swallow;
    try {
        swallow = exit(manager, type, err.value(), tb);
    } catch (const error_already_set&) {
        caught from_exit;
        PyException_SetContext(from_exit.value(), Py_NewRef(err.value()));
        from_exit.raise_again();
    }
    if (swallow.truthy()) return true;
    err.restore();
    return false;
}
}  // namespace detail

// ---------------------------------------------------------------- module state

// ---------------------------------------------------------------- numbers and text

long to_long(PyObject* number) {
    const long value = PyLong_AsLong(number);
    if (value == -1 && PyErr_Occurred()) fail();
    return value;
}

Py_ssize_t to_ssize(PyObject* number) {
    const Py_ssize_t value = PyLong_AsSsize_t(number);
    if (value == -1 && PyErr_Occurred()) fail();
    return value;
}

long long to_long_long(PyObject* number, int& overflow) {
    const long long value = PyLong_AsLongLongAndOverflow(number, &overflow);
    if (value == -1 && PyErr_Occurred()) fail();
    return value;
}

double to_double(PyObject* number) {
    const double value = PyFloat_AsDouble(number);
    if (value == -1.0 && PyErr_Occurred()) fail();
    return value;
}

double int_to_double(PyObject* integer) {
    const double value = PyLong_AsDouble(integer);
    if (value == -1.0 && PyErr_Occurred()) fail();
    return value;
}

std::pair<Py_ssize_t, Py_ssize_t> strip_bounds(PyObject* text, Py_ssize_t begin) {
    const int kind = PyUnicode_KIND(text);
    const void* data = PyUnicode_DATA(text);
    Py_ssize_t end = PyUnicode_GET_LENGTH(text);
    while (begin < end && Py_UNICODE_ISSPACE(PyUnicode_READ(kind, data, begin))) ++begin;
    while (end > begin && Py_UNICODE_ISSPACE(PyUnicode_READ(kind, data, end - 1))) --end;
    return {begin, end};
}

ref stripped(PyObject* text) {
    const auto [begin, end] = strip_bounds(text);
    return ref::steal(PyUnicode_Substring(text, begin, end));
}

// ---------------------------------------------------------------- native values

namespace {

struct native_object {
    PyObject_HEAD native_value* value;
};

void native_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    delete reinterpret_cast<native_object*>(self)->value;
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* native_repr(PyObject* self) {
    PyObject* result = nullptr;
    guarded([&] { result = reinterpret_cast<native_object*>(self)->value->repr().release(); });
    return result;
}

PyObject* native_same(PyObject* self, PyObject*) { return Py_NewRef(self); }

PyMethodDef native_methods[] = {
    {"__copy__", native_same, METH_NOARGS, nullptr},
    {"__deepcopy__", native_same, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot native_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(native_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(native_repr)},
    {Py_tp_methods, native_methods},
    {0, nullptr},
};

}  // namespace

ref make_native_type(PyObject* module, const char* name) {
    PyType_Spec spec = {
        name,
        sizeof(native_object),
        0,
        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
        native_slots,
    };
    return ref::steal(PyType_FromModuleAndSpec(module, &spec, nullptr));
}

ref hold_native(const ref& type, std::unique_ptr<native_value> value) {
    auto* t = reinterpret_cast<PyTypeObject*>(type.get());
    ref object = ref::steal(t->tp_alloc(t, 0));
    reinterpret_cast<native_object*>(object.get())->value = value.release();
    return object;
}

const native_value* held_native(const ref& type, PyObject* object) {
    if (!object || Py_TYPE(object) != reinterpret_cast<PyTypeObject*>(type.get())) return nullptr;
    return reinterpret_cast<native_object*>(object)->value;
}

int state_base::traverse(visitproc visit, void* arg) {
    Py_VISIT(function_type.get());
    int rc = 0;
    references([&](ref& r) {
        if (!rc && r) rc = visit(r.get(), arg);
    });
    return rc;
}

void state_base::clear() {
    function_type = ref();
    references([](ref& r) { r = ref(); });
}

ref state_base::global(PyObject* key) const {
    PyObject* value = PyDict_GetItemWithError(PyModule_GetDict(module), key);
    if (!value && !PyErr_Occurred()) value = PyDict_GetItemWithError(PyEval_GetBuiltins(), key);
    if (!value) {
        if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", key);
        fail();
    }
    return ref::borrow(value);
}

void state_base::publish(const char* attr_name, const ref& value) const {
    check(PyModule_AddObjectRef(module, attr_name, value.get()));
}

ref state_base::import_module(const char* module_name, const char* as) const {
    ref mod = import(module_name);
    publish(as ? as : module_name, mod);
    return mod;
}

ref state_base::import_from(const char* module_name, std::initializer_list<const char*> names,
                            int level) const {
    ref fromlist = list();
    for (const char* n : names) check(PyList_Append(fromlist.get(), str(n).get()));
    ref modname = str(module_name);
    ref mod = ref::steal(PyImport_ImportModuleLevelObject(modname.get(), PyModule_GetDict(module),
                                                          nullptr, fromlist.get(), level));
    for (const char* n : names) {
        PyObject* value = PyObject_GetAttrString(mod.get(), n);
        if (!value) {
            // Like `from m import x`, a missing name is an ImportError.
            if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
                PyErr_Clear();
                raise(PyExc_ImportError, "cannot import name '%s' from '%s'", n, module_name);
            }
            fail();
        }
        publish(n, ref::steal(value));
    }
    return mod;
}

namespace detail {
static state_base*& state_slot(PyObject* m) {
    return *static_cast<state_base**>(PyModule_GetState(m));
}

int traverse_state(PyObject* m, visitproc visit, void* arg) {
    state_base* st = state_slot(m);
    return st ? st->traverse(visit, arg) : 0;
}

int clear_state(PyObject* m) {
    if (state_base* st = state_slot(m)) st->clear();
    return 0;
}

void free_state(void* m) {
    state_base*& st = state_slot(static_cast<PyObject*>(m));
    delete st;
    st = nullptr;
}

PyType_Spec* function_spec();

bool init_state(PyObject* m, std::unique_ptr<state_base> owned) {
    state_base* st = owned.release();
    state_slot(m) = st;  // freed with the module from here on
    st->module = m;
    st->function_type = ref::steal(PyType_FromModuleAndSpec(m, function_spec(), nullptr));
    return true;
}
}  // namespace detail

// ---------------------------------------------------------------- argument binding

namespace {

// The native function object. Its parameters' kinds live in the typed
// trampoline `impl`; everything else about them is kept here.
struct function {
    PyObject_HEAD vectorcallfunc vectorcall;
    PyObject* dict;
    PyObject* module;  // defining module: its state and its globals
    PyObject* name;
    PyObject* qualname;
    PyObject* module_name;
    PyObject* doc;
    PyObject* annotations;
    trampoline_fn impl;
    target_fn target;  // the implementation `impl` runs
    const char* returns;
    int nparams;
    int npositional;                 // the first ones may be given by position
    bool var_keywords;               // the last parameter takes **kwargs
    PyObject* names[max_params];     // interned
    PyObject* defaults[max_params];  // nullptr: required
    const char* annotations_of[max_params];
};

function* as_function(PyObject* o) { return reinterpret_cast<function*>(o); }

// The named parameters: all but **kwargs.
int named_count(const function* f) { return f->nparams - (f->var_keywords ? 1 : 0); }

// The TypeErrors of a wrong call, worded as the host words them for its own
// functions.
void too_many_positional(const function* f, Py_ssize_t given) {
    int npos = f->npositional;
    int required = 0;
    while (required < npos && !f->defaults[required]) ++required;
    std::string takes = required == npos
                            ? std::to_string(npos)
                            : "from " + std::to_string(required) + " to " + std::to_string(npos);
    PyErr_Format(PyExc_TypeError, "%U() takes %s positional argument%s but %zd %s given",
                 f->qualname, takes.c_str(), (required == npos && npos == 1) ? "" : "s", given,
                 given == 1 ? "was" : "were");
}

// The missing required arguments among parameters [from, to).
void missing_arguments(const function* f, PyObject* const* values, int from, int to) {
    ref names = list();
    for (int i = from; i < to; ++i) {
        if (values[i] || f->defaults[i]) continue;
        ref quoted = ref::steal(PyUnicode_FromFormat("'%U'", f->names[i]));
        check(PyList_Append(names.get(), quoted.get()));
    }
    Py_ssize_t n = PyList_GET_SIZE(names.get());
    ref text;
    if (n == 1) {
        text = ref::borrow(PyList_GET_ITEM(names.get(), 0));
    } else {
        ref last = ref::borrow(PyList_GET_ITEM(names.get(), n - 1));
        ref head = ref::steal(PyList_GetSlice(names.get(), 0, n - 1));
        ref joined = ref::steal(PyUnicode_Join(str(", ").get(), head.get()));
        text = ref::steal(
            PyUnicode_FromFormat(n == 2 ? "%U and %U" : "%U, and %U", joined.get(), last.get()));
    }
    PyErr_Format(PyExc_TypeError, "%U() missing %zd required %s argument%s: %U", f->qualname, n,
                 from < f->npositional ? "positional" : "keyword-only", n == 1 ? "" : "s",
                 text.get());
}

int find_param(const function* f, PyObject* key) {
    int npos = named_count(f);
    for (int i = 0; i < npos; ++i)
        if (f->names[i] == key) return i;
    for (int i = 0; i < npos; ++i)
        if (PyUnicode_Compare(f->names[i], key) == 0) return i;
    return -1;
}

// Binds the call's arguments to the declared parameters as a Python function
// binds them: `values` gets one borrowed object per parameter (the **kwargs
// dict is held by `extra`). Conversion comes after, in the trampoline.
bool bind(const function* f, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
          PyObject** values, ref& extra) {
    int npos = named_count(f);
    if (nargs > f->npositional) {
        too_many_positional(f, nargs);
        return false;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) values[i] = args[i];
    if (f->var_keywords) {
        extra = dict();
        values[npos] = extra.get();
    }
    if (kwnames) {
        for (Py_ssize_t j = 0, n = PyTuple_GET_SIZE(kwnames); j < n; ++j) {
            PyObject* key = PyTuple_GET_ITEM(kwnames, j);
            PyObject* value = args[nargs + j];
            int i = find_param(f, key);
            if (i < 0) {
                if (!extra) {
                    PyErr_Format(PyExc_TypeError, "%U() got an unexpected keyword argument '%S'",
                                 f->qualname, key);
                    return false;
                }
                check(PyDict_SetItem(extra.get(), key, value));
            } else if (values[i]) {
                PyErr_Format(PyExc_TypeError, "%U() got multiple values for argument '%S'",
                             f->qualname, key);
                return false;
            } else {
                values[i] = value;
            }
        }
    }
    for (int i = 0; i < npos; ++i) {
        if (values[i]) continue;
        if (!f->defaults[i]) {
            // As the host does: the positional ones first, then the keyword-only ones.
            if (i < f->npositional)
                missing_arguments(f, values, 0, f->npositional);
            else
                missing_arguments(f, values, f->npositional, npos);
            return false;
        }
        values[i] = f->defaults[i];
    }
    return true;
}

PyObject* function_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf,
                              PyObject* kwnames) {
    function* f = as_function(self);
    if (!f->module) {
        PyErr_SetString(PyExc_SystemError, "pravel function called after its module was cleared");
        return nullptr;
    }
    PyObject* values[max_params] = {};
    ref extra;
    bool ok = false;
    if (!guarded([&] { ok = bind(f, args, PyVectorcall_NARGS(nargsf), kwnames, values, extra); }) ||
        !ok)
        return nullptr;
    return f->impl(state_of<state_base>(f->module), bound_args{values, f->names});
}

// ---------------------------------------------------------------- the function type

int function_traverse(PyObject* self, visitproc visit, void* arg) {
    function* f = as_function(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(f->dict);
    Py_VISIT(f->module);
    Py_VISIT(f->annotations);
    for (int i = 0; i < f->nparams; ++i) Py_VISIT(f->defaults[i]);
    return 0;
}

int function_clear(PyObject* self) {
    function* f = as_function(self);
    Py_CLEAR(f->dict);
    Py_CLEAR(f->module);
    Py_CLEAR(f->annotations);
    for (int i = 0; i < f->nparams; ++i) Py_CLEAR(f->defaults[i]);
    return 0;
}

void function_dealloc(PyObject* self) {
    function* f = as_function(self);
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    function_clear(self);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->module_name);
    Py_CLEAR(f->doc);
    for (int i = 0; i < f->nparams; ++i) Py_CLEAR(f->names[i]);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject*) {
    if (!obj || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

PyObject* function_repr(PyObject* self) {
    return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->qualname, self);
}

PyObject* function_reduce(PyObject* self, PyObject*) {
    // Pickled by reference, as Python functions are.
    return Py_NewRef(as_function(self)->qualname);
}

PyObject* get_name(PyObject* self, void*) { return Py_NewRef(as_function(self)->name); }
PyObject* get_qualname(PyObject* self, void*) { return Py_NewRef(as_function(self)->qualname); }
PyObject* get_module_name(PyObject* self, void*) {
    return Py_NewRef(as_function(self)->module_name);
}
PyObject* get_doc(PyObject* self, void*) { return Py_NewRef(as_function(self)->doc); }
PyObject* get_annotations(PyObject* self, void*) {
    function* f = as_function(self);
    return Py_NewRef(f->annotations ? f->annotations : Py_None);
}
PyObject* get_globals(PyObject* self, void*) {
    function* f = as_function(self);
    if (!f->module) Py_RETURN_NONE;
    return Py_NewRef(PyModule_GetDict(f->module));
}

// inspect.signature() reads this: the declared parameters with their
// defaults and annotation strings.
PyObject* get_signature(PyObject* self, void*) {
    function* f = as_function(self);
    PyObject* result = nullptr;
    guarded([&] {
        ref inspect = import("inspect");
        ref parameter = inspect.attr("Parameter");
        ref empty = parameter.attr("empty");
        ref positional = parameter.attr("POSITIONAL_OR_KEYWORD");
        ref keyword_only = parameter.attr("KEYWORD_ONLY");
        ref keywords = parameter.attr("VAR_KEYWORD");
        ref params = list();
        for (int i = 0; i < f->nparams; ++i) {
            const char* text = f->annotations_of[i];
            ref annotation = text ? str(text) : empty;
            ref p = f->var_keywords && i == f->nparams - 1
                        ? parameter(f->names[i], keywords, kw("annotation", annotation))
                        : parameter(f->names[i], i < f->npositional ? positional : keyword_only,
                                    kw("default", f->defaults[i] ? f->defaults[i] : empty.get()),
                                    kw("annotation", annotation));
            check(PyList_Append(params.get(), p.get()));
        }
        ref returns = f->returns ? str(f->returns) : empty;
        result = inspect.attr("Signature")(params, kw("return_annotation", returns)).release();
    });
    return result;
}

PyGetSetDef function_getset[] = {
    {"__name__", get_name, nullptr, nullptr, nullptr},
    {"__qualname__", get_qualname, nullptr, nullptr, nullptr},
    {"__module__", get_module_name, nullptr, nullptr, nullptr},
    {"__doc__", get_doc, nullptr, nullptr, nullptr},
    {"__annotations__", get_annotations, nullptr, nullptr, nullptr},
    {"__globals__", get_globals, nullptr, nullptr, nullptr},
    {"__signature__", get_signature, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef function_members[] = {
    {"__vectorcalloffset__", PV_T_PYSSIZET, offsetof(function, vectorcall), PV_READONLY, nullptr},
    {"__dictoffset__", PV_T_PYSSIZET, offsetof(function, dict), PV_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot function_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(function_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(function_clear)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(function_descr_get)},
    {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
    {Py_tp_getset, function_getset},
    {Py_tp_members, function_members},
    {Py_tp_methods, function_methods},
    {0, nullptr},
};

PyType_Spec function_type_spec = {
    "pravel.native_function",
    sizeof(function),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
        Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    function_slots,
};

// Evaluates a default written as a Python literal.
ref literal(const char* source) {
    ref globals = dict();
    return ref::steal(PyRun_String(source, Py_eval_input, globals.get(), globals.get()));
}

}  // namespace

PyType_Spec* detail::function_spec() { return &function_type_spec; }

ref detail::make_function(const state_base& st, const char* fname, const char* class_name,
                          const char* doc, const param_decl* params, int nparams,
                          int keyword_only_from, bool var_keywords, const char* returns,
                          trampoline_fn impl, target_fn target) {
    auto* type = reinterpret_cast<PyTypeObject*>(st.function_type.get());
    ref self = ref::steal(type->tp_alloc(type, 0));
    function* f = as_function(self.get());
    f->vectorcall = function_vectorcall;
    f->impl = impl;
    f->target = target;
    f->returns = returns;
    f->var_keywords = var_keywords;
    f->npositional = keyword_only_from;
    f->module = Py_NewRef(st.module);
    f->name = str(fname).release();
    f->qualname = PyUnicode_FromFormat("%s.%s", class_name, fname);
    check(f->qualname);
    f->module_name = check(PyModule_GetNameObject(st.module));
    f->doc = doc ? str(doc).release() : Py_NewRef(Py_None);
    ref annotations = dict();
    for (int i = 0; i < nparams; ++i) {
        const param_decl& p = params[i];
        f->names[i] = check(PyUnicode_InternFromString(p.name));
        f->annotations_of[i] = p.annotation;
        f->nparams = i + 1;
        if (p.default_) f->defaults[i] = literal(p.default_).release();
        if (p.annotation)
            check(PyDict_SetItem(annotations.get(), f->names[i], str(p.annotation).get()));
    }
    if (returns) check(PyDict_SetItemString(annotations.get(), "return", str(returns).get()));
    f->annotations = annotations.release();
    return self;
}

target_fn detail::target_of(const state_base& st, PyObject* fn) {
    if (Py_TYPE(fn) != reinterpret_cast<PyTypeObject*>(st.function_type.get())) return nullptr;
    return as_function(fn)->target;
}

// ---------------------------------------------------------------- classes

// Namespace keys are interned, as a class statement's are, so that lookups in
// the class dictionary find them by identity.
static ref interned(const char* text) { return ref::steal(PyUnicode_InternFromString(text)); }

class_builder::class_builder(const state_base& st, const char* name, const char* doc,
                             std::initializer_list<PyObject*> bases)
    : st_(st), name_(str(name)) {
    bases_ = ref::steal(PyTuple_New(static_cast<Py_ssize_t>(bases.size())));
    // The most derived metaclass of the bases, as the class statement picks it.
    auto* meta = &PyType_Type;
    Py_ssize_t i = 0;
    for (PyObject* base : bases) {
        PyTuple_SET_ITEM(bases_.get(), i++, Py_NewRef(base));
        PyTypeObject* t = Py_TYPE(base);
        if (PyType_IsSubtype(meta, t)) continue;
        if (!PyType_IsSubtype(t, meta))
            raise(PyExc_TypeError, "metaclass conflict in the bases of %s", name);
        meta = t;
    }
    meta_ = ref::borrow(reinterpret_cast<PyObject*>(meta));
    ns_ = meta_.call_method(str("__prepare__").get(), name_, bases_);
    ns_.setitem(interned("__module__").get(), ref::steal(PyModule_GetNameObject(st.module)).get());
    ns_.setitem(interned("__qualname__").get(), name_.get());
    if (doc) ns_.setitem(interned("__doc__").get(), str(doc).get());
}

class_builder& class_builder::attr(const char* name, const ref& value) {
    ns_.setitem(interned(name).get(), value.get());
    return *this;
}

class_builder& class_builder::annotation(const char* name, const char* text) {
    if (!annotations_) {
        annotations_ = dict();
        attr("__annotations__", annotations_);
    }
    check(PyDict_SetItemString(annotations_.get(), name, str(text).get()));
    return *this;
}

class_builder& class_builder::add(binding how, const char* name, const char* doc,
                                  const param_decl* params, int nparams, int keyword_only_from,
                                  bool var_keywords, const char* returns, trampoline_fn impl,
                                  target_fn target) {
    ref fn = detail::make_function(st_, name, PyUnicode_AsUTF8(name_.get()), doc, params, nparams,
                                   keyword_only_from, var_keywords, returns, impl, target);
    switch (how) {
        case binding::instance: break;
        case binding::class_method: fn = ref::steal(PyClassMethod_New(fn.get())); break;
        case binding::static_method: fn = ref::steal(PyStaticMethod_New(fn.get())); break;
        case binding::property:
            fn = ref::borrow(reinterpret_cast<PyObject*>(&PyProperty_Type))(fn);
            break;
    }
    ns_.setitem(interned(name).get(), fn.get());
    return *this;
}

ref class_builder::finish() { return meta_(name_, bases_, ns_); }

ref typed_dict(const state_base& st, const char* name, const char* doc,
               std::initializer_list<std::pair<const char*, const char*>> fields) {
    ref base;
#if PY_VERSION_HEX < 0x030C0000
    // Before Python 3.12 pydantic takes only typing_extensions' TypedDict
    // (and brings that module with it); typing's serves everyone else.
    if (PyObject* module = PyImport_ImportModule("typing_extensions"))
        base = ref::steal(module).attr("TypedDict");
    else if (PyErr_ExceptionMatches(PyExc_ImportError))
        PyErr_Clear();
    else
        fail();
#endif
    if (!base) base = import("typing").attr("TypedDict");
    ref annotations = dict();
    for (const auto& [key, type] : fields)
        annotations.setitem(str(key).get(), st.global(str(type).get()).get());
    ref cls = base(str(name), annotations);
    cls.setattr("__module__", ref::steal(PyModule_GetNameObject(st.module)).get());
    cls.setattr("__qualname__", str(name).get());
    cls.setattr("__doc__", str(doc).get());
    return cls;
}

}  // namespace pv
