// The small native core every pravel extension module is built on.
//
//  * `ref`: an owning reference with Python-like helpers (attribute access,
//    calls, arithmetic), so module code never counts references by hand.
//  * Errors travel as C++ exceptions: a failing C API call throws
//    `error_already_set` (the Python exception stays set) and the function
//    trampoline turns it back into a NULL return.
//  * Parameter kinds (`kind::str`, `kind::real`, ...) declare a function's
//    parameters with their defaults (Python literals) and annotations; each
//    kind converts its argument to the C++ type the implementation takes,
//    and a declaration that does not fit the implementation does not compile.
//    The native function object binds vectorcall arguments as a Python
//    function does and behaves like one (descriptor, __doc__,
//    __annotations__, signature).
//  * `class_builder` makes ordinary Python classes (through the metaclass of
//    the bases, so enumerations work too) out of those functions.
//  * `module_def` wires multi-phase initialisation with per-module state.
//  * guards.hpp: the checks that let fast paths skip lookups safely.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <cstdint>
#include <exception>
#include <functional>
#include <initializer_list>
#include <memory>
#include <new>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>

// abi::__forced_unwind (libstdc++), abi::__cxa_current_exception_type (both)
#include <cxxabi.h>

namespace pv {

// ---------------------------------------------------------------- errors

// Thrown when a Python exception has been set; caught at the boundary.
struct error_already_set {};

[[noreturn]] inline void fail() { throw error_already_set{}; }

inline PyObject* check(PyObject* o) {
    if (!o) fail();
    return o;
}
inline int check(int rc) {
    if (rc < 0) fail();
    return rc;
}

template <class... A>
[[noreturn]] void raise(PyObject* type, const char* fmt, A... args) {
    PyErr_Format(type, fmt, args...);
    fail();
}

// Raises `type` with an exception value (usually the message string).
[[noreturn]] inline void raise_with(PyObject* type, PyObject* value) {
    PyErr_SetObject(type, value);
    fail();
}

// The TypeError of a wrongly typed argument, in the package's fixed wording.
[[noreturn]] void raise_arg_type(const char* name, const char* expected, PyObject* got);

// ---------------------------------------------------------------- threads ended at shutdown
//
// CPython 3.11 to 3.13 end a thread that tries to take the GIL back while the
// interpreter shuts down (a daemon thread, typically) with pthread_exit(),
// which unwinds the thread's stack like an exception nobody may stop
// (abi::__forced_unwind). The GIL can be taken back inside any call into
// Python, the release of a reference included, so any frame of ours may be on
// that stack. Hence:
//  * nothing between the function trampoline and a call into Python is
//    noexcept, and no catch-all keeps the unwinding from going on;
//  * the thread no longer holds the GIL while it unwinds, so the destructors
//    that run then leave their references alone (the process is exiting) and
//    never take the GIL back.
// CPython 3.14 parks such a thread for good instead; nothing unwinds there.
//
// The unwinding is glibc's, through the system's unwinder (libgcc_s); the C++
// runtime of the wheels (LLVM's libc++abi, linked in) must unwind through the
// same one, and has no type for it: its catch-all catches it as a foreign
// exception, which can neither be rethrown (libc++abi then searches for a
// handler anew, finds none and terminates) nor dropped (glibc aborts the
// process). The catch-all of the trampoline parks such a thread instead, as
// 3.14 does; it holds no GIL and nothing of ours, and the process is exiting.

// Whether this interpreter ends threads by unwinding them (3.11 to 3.13).
inline constexpr bool threads_unwind_at_shutdown = PY_VERSION_HEX < 0x030E0000;

namespace detail {
// Whether this thread may touch Python objects: false only while a thread
// ended at shutdown unwinds its stack.
inline bool may_touch_objects() noexcept {
#if PY_VERSION_HEX >= 0x030E0000
    return true;
#elif PY_VERSION_HEX >= 0x030D0000
    // From 3.12 on the current thread state is kept per thread, and it is gone
    // while the thread does not hold the GIL.
    return PyThreadState_GetUnchecked() != nullptr;
#elif PY_VERSION_HEX >= 0x030C0000
    return _PyThreadState_UncheckedGet() != nullptr;  // as above
#else
    // 3.11 keeps one current thread state for the process, the GIL holder's.
    if (!_Py_IsFinalizing()) return true;
    PyThreadState* current = _PyThreadState_UncheckedGet();
    return current && current == PyGILState_GetThisThreadState();
#endif
}

// Py_XDECREF, except in a thread that is being ended (see above).
inline void drop(PyObject* o) {
    if (o && may_touch_objects()) Py_DECREF(o);
}

// Whether the exception being handled is the end of this thread at shutdown
// as libc++abi sees it: not a C++ exception, in a thread that may no longer
// touch objects. (libstdc++ names it abi::__forced_unwind and never lets a
// catch-all end it.)
inline bool ending_thread_caught() noexcept {
#if defined(__GLIBCXX__)
    return false;
#else
    return threads_unwind_at_shutdown && !abi::__cxa_current_exception_type() &&
           !may_touch_objects();
#endif
}

// Blocks the calling thread until the process exits.
[[noreturn]] void park_thread() noexcept;
}  // namespace detail

// Runs `body` and converts any escaping C++ exception into a set Python
// error: MemoryError for bad_alloc, otherwise SystemError, which keeps the
// exception's what() text. Returns false when an error is set. The end of a
// thread at shutdown goes through.
template <class F>
bool guarded(F&& body) {
    try {
        body();
        return true;
    }
#if defined(__GLIBCXX__)
    catch (abi::__forced_unwind&) {
        throw;
    }
#endif
    catch (const error_already_set&) {
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_Format(PyExc_SystemError, "unexpected C++ exception in pravel: %s", e.what());
    } catch (...) {
        if (detail::ending_thread_caught()) detail::park_thread();
        PyErr_SetString(PyExc_SystemError, "unexpected C++ exception in pravel");
    }
    return false;
}

// ---------------------------------------------------------------- ref

// An interned attribute name, held by a module's state.
class name {
public:
    explicit name(const char* text) : obj_(PyUnicode_InternFromString(text)) {
        if (!obj_) fail();
    }
    ~name() { Py_XDECREF(obj_); }
    name(const name&) = delete;
    name& operator=(const name&) = delete;
    PyObject* get() const noexcept { return obj_; }

private:
    PyObject* obj_;
};

struct arg;
struct kw;

class ref {
public:
    ref() noexcept = default;
    ref(const ref& o) noexcept : p_(Py_XNewRef(o.p_)) {}
    ref(ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    // Where threads unwind at shutdown not noexcept: the release may run a
    // finalizer in Python, and the end of the thread with it.
    ~ref() noexcept(!threads_unwind_at_shutdown) { detail::drop(p_); }
    ref& operator=(ref o) noexcept {
        std::swap(p_, o.p_);
        return *this;
    }

    // Takes over a new reference; a NULL result of a C API call throws.
    static ref steal(PyObject* o) { return ref(check(o), 0); }
    static ref borrow(PyObject* o) noexcept { return ref(Py_XNewRef(o), 0); }

    PyObject* get() const noexcept { return p_; }
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    bool is(PyObject* o) const noexcept { return p_ == o; }
    bool is_none() const noexcept { return p_ == Py_None; }

    ref attr(PyObject* name) const { return steal(PyObject_GetAttr(p_, name)); }
    ref attr(const char* name) const { return steal(PyObject_GetAttrString(p_, name)); }
    ref attr(const name& n) const { return attr(n.get()); }
    void setattr(PyObject* name, PyObject* value) const {
        check(PyObject_SetAttr(p_, name, value));
    }
    void setattr(const char* name, PyObject* value) const {
        check(PyObject_SetAttrString(p_, name, value));
    }
    void setattr(const name& n, PyObject* value) const { setattr(n.get(), value); }
    ref item(PyObject* key) const { return steal(PyObject_GetItem(p_, key)); }
    ref item(Py_ssize_t i) const { return steal(PySequence_GetItem(p_, i)); }
    ref item(int i) const { return item(static_cast<Py_ssize_t>(i)); }
    void setitem(PyObject* key, PyObject* value) const { check(PyObject_SetItem(p_, key, value)); }
    bool truthy() const { return check(PyObject_IsTrue(p_)) != 0; }
    Py_ssize_t size() const {
        Py_ssize_t n = PyObject_Size(p_);
        if (n < 0) fail();
        return n;
    }

    // Calls with positional values and trailing `kw(...)` keyword values.
    template <class... A>
    ref operator()(A&&... a) const;
    template <class... A>
    ref call_method(PyObject* name, A&&... a) const;
    template <class... A>
    ref call_method(const char* n, A&&... a) const {
        return call_method(steal(PyUnicode_InternFromString(n)).get(), std::forward<A>(a)...);
    }
    template <class... A>
    ref call_method(const name& n, A&&... a) const {
        return call_method(n.get(), std::forward<A>(a)...);
    }

private:
    ref(PyObject* o, int) noexcept : p_(o) {}
    PyObject* p_ = nullptr;
};

inline ref none() { return ref::borrow(Py_None); }
inline ref boolean(bool b) { return ref::borrow(b ? Py_True : Py_False); }
inline ref str(std::string_view s) {
    return ref::steal(PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())));
}
inline ref integer(long long v) { return ref::steal(PyLong_FromLongLong(v)); }
inline ref real(double v) { return ref::steal(PyFloat_FromDouble(v)); }
inline ref dict() { return ref::steal(PyDict_New()); }
inline ref list(Py_ssize_t n = 0) { return ref::steal(PyList_New(n)); }
inline ref type_of(PyObject* o) { return ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(o))); }
ref import(const char* module);
// getattr(obj, name, None), but an empty ref where the attribute is missing
// (only AttributeError is swallowed).
ref optional_attr(const ref& obj, PyObject* name);

// Calls f(characters, length) with the str's storage as its own type
// (Py_UCS1, Py_UCS2 or Py_UCS4), for native loops over its characters.
template <class F>
auto with_chars(PyObject* s, F&& f) {
    const Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    switch (PyUnicode_KIND(s)) {
        case PyUnicode_1BYTE_KIND: return f(PyUnicode_1BYTE_DATA(s), n);
        case PyUnicode_2BYTE_KIND: return f(PyUnicode_2BYTE_DATA(s), n);
        default: return f(PyUnicode_4BYTE_DATA(s), n);
    }
}

// A value handed to a Python call: a borrowed object, or a temporary made
// from a C++ value and kept alive for the duration of the call.
struct arg {
    arg(PyObject* o) : p(o) {}
    arg(const ref& o) : p(o.get()) {}
    arg(ref&& o) : hold(std::move(o)), p(hold.get()) {}
    arg(const name& n) : p(n.get()) {}
    arg(const char* s) : hold(str(s)), p(hold.get()) {}
    arg(std::string_view s) : hold(str(s)), p(hold.get()) {}
    arg(double v) : hold(real(v)), p(hold.get()) {}
    arg(bool b) : p(b ? Py_True : Py_False) {}
    template <class I, std::enable_if_t<std::is_integral_v<I> && !std::is_same_v<I, bool>, int> = 0>
    arg(I v) : hold(integer(static_cast<long long>(v))), p(hold.get()) {}
    ref hold;
    PyObject* p;
};

// A keyword argument of a call: kw("timeout", value) or kw(interned, value).
struct kw {
    kw(const char* n, arg v)
        : key(ref::steal(PyUnicode_InternFromString(n))), value(std::move(v)) {}
    kw(PyObject* n, arg v) : key(ref::borrow(n)), value(std::move(v)) {}
    ref key;
    arg value;
};

namespace detail {
ref vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames);
ref vectorcall_method(PyObject* name, PyObject* const* args, size_t nargsf, PyObject* kwnames);

template <class T>
constexpr bool is_kw = std::is_same_v<std::remove_cvref_t<T>, kw>;

// Calls `target` (or, with a method name, the method of `target`) with
// positional values and trailing keyword values.
template <class... A>
ref call(PyObject* target, PyObject* method_name, A&&... a) {
    constexpr size_t n = sizeof...(A);
    constexpr size_t nkw = (0 + ... + (is_kw<A> ? 1 : 0));
    // argv[0] is scratch space for CPython (PY_VECTORCALL_ARGUMENTS_OFFSET).
    PyObject* argv[n + 2] = {};
    size_t i = 1;
    if (method_name) argv[i++] = target;
    ref kwnames;
    if constexpr (nkw > 0) kwnames = ref::steal(PyTuple_New(nkw));
    Py_ssize_t k = 0;
    // Convert every C++ value first, so that the temporaries outlive the call.
    std::tuple<std::conditional_t<is_kw<A>, const kw&, arg>...> conv{std::forward<A>(a)...};
    std::apply(
        [&](auto&... x) {
            [[maybe_unused]] auto put = [&](auto& y) {
                if constexpr (is_kw<decltype(y)>) {
                    PyTuple_SET_ITEM(kwnames.get(), k++, Py_NewRef(y.key.get()));
                    argv[i++] = y.value.p;
                } else {
                    argv[i++] = y.p;
                }
            };
            (put(x), ...);
        },
        conv);
    size_t nargsf = (i - 1 - nkw) | PY_VECTORCALL_ARGUMENTS_OFFSET;
    if (method_name) return vectorcall_method(method_name, argv + 1, nargsf, kwnames.get());
    return vectorcall(target, argv + 1, nargsf, kwnames.get());
}
}  // namespace detail

template <class... A>
ref ref::operator()(A&&... a) const {
    return detail::call(p_, nullptr, std::forward<A>(a)...);
}
template <class... A>
ref ref::call_method(PyObject* name, A&&... a) const {
    return detail::call(p_, name, std::forward<A>(a)...);
}

// Python arithmetic and ordering, with the host's exact semantics.
ref operator+(const arg& a, const arg& b);
ref operator-(const arg& a, const arg& b);
ref operator*(const arg& a, const arg& b);
ref operator/(const arg& a, const arg& b);
ref operator%(const arg& a, const arg& b);
ref floordiv(const arg& a, const arg& b);
ref abs(const arg& a);
bool operator<(const ref& a, const arg& b);
bool operator<=(const ref& a, const arg& b);
bool operator>(const ref& a, const arg& b);
bool operator>=(const ref& a, const arg& b);
bool equal(const arg& a, const arg& b);  // Python `==`

// Builds a tuple from values.
template <class... A>
ref tuple(A&&... a) {
    ref t = ref::steal(PyTuple_New(sizeof...(A)));
    Py_ssize_t i = 0;
    (PyTuple_SET_ITEM(t.get(), i++, Py_NewRef(arg(std::forward<A>(a)).p)), ...);
    return t;
}

// `for item in iterable: body(item)`.
template <class F>
void for_each(PyObject* iterable, F&& body) {
    ref it = ref::steal(PyObject_GetIter(iterable));
    while (PyObject* item = PyIter_Next(it.get())) body(ref::steal(item));
    if (PyErr_Occurred()) fail();
}

// The same, stopping at the first item for which body returns true; returns
// whether it stopped.
template <class F>
bool for_each_until(PyObject* iterable, F&& body) {
    ref it = ref::steal(PyObject_GetIter(iterable));
    while (PyObject* item = PyIter_Next(it.get()))
        if (body(ref::steal(item))) return true;
    if (PyErr_Occurred()) fail();
    return false;
}

// Numbers as C++ values, failing with the host's error (OverflowError,
// TypeError) where they do not convert.
long to_long(PyObject* number);
Py_ssize_t to_ssize(PyObject* number);
long long to_long_long(PyObject* number, int& overflow);  // overflow: -1, 0 or 1
double to_double(PyObject* number);                       // float(number)
double int_to_double(PyObject* integer);                  // an int as float arithmetic takes it

// The bounds of str.strip() in the exact str `text`: Unicode white space
// taken off both ends. `stripped` is that substring.
std::pair<Py_ssize_t, Py_ssize_t> strip_bounds(PyObject* text, Py_ssize_t begin = 0);
ref stripped(PyObject* text);

// `a, b, ... = value`: exactly n items, with the package's unpacking messages.
void unpack(PyObject* value, ref* out, Py_ssize_t n);
// The error of unpacking `got` items into `expected` names (got != expected).
[[noreturn]] void raise_unpack_count(Py_ssize_t expected, Py_ssize_t got);
template <size_t N>
std::array<ref, N> unpack(PyObject* value) {
    std::array<ref, N> out;
    unpack(value, out.data(), N);
    return out;
}

// The exception a failed call left set, taken out of the thread state: the
// `e` of `except ... as e`. It is dropped with this object unless raised
// again.
class caught {
public:
    caught() noexcept;
    ~caught() noexcept(!threads_unwind_at_shutdown) { detail::drop(value_); }
    caught(const caught&) = delete;
    caught& operator=(const caught&) = delete;

    PyObject* value() const noexcept { return value_; }
    bool is_a(PyObject* type) const { return PyErr_GivenExceptionMatches(value_, type); }
    ref text() const { return ref::steal(PyObject_Str(value_)); }
    // Sets the exception again (ownership passes to the thread state).
    void restore() noexcept;
    [[noreturn]] void raise_again() {
        restore();
        fail();
    }

private:
    PyObject* value_ = nullptr;
};

// `try: attempt() except Exception as e: on_error(e)`, but for MemoryError:
// an exception outside Exception (KeyboardInterrupt, SystemExit) and
// MemoryError, which no fallback should hide, travel on untouched.
template <class Attempt, class OnError>
void try_except(Attempt&& attempt, OnError&& on_error) {
    try {
        attempt();
        return;
    } catch (const error_already_set&) {}
    caught e;
    if (!e.is_a(PyExc_Exception) || e.is_a(PyExc_MemoryError)) e.raise_again();
    on_error(e);
}

// The same where the exception is only dropped: whether attempt() succeeded.
template <class Attempt>
bool succeeds(Attempt&& attempt) {
    bool done = false;
    try_except(
        [&] {
            attempt();
            done = true;
        },
        [](caught&) {});
    return done;
}

// The `with` statement: enters `manager`, runs body(entered value), and
// exits it on every path; a true result of __exit__ swallows the error, in
// which case with_() returns false.
template <class F>
bool with_(const struct state_base& st, const ref& manager, F&& body);

// Runs `body` without the GIL; it must touch no Python object. Taking the
// GIL back may end the thread at shutdown, which must not happen while a C++
// exception is on its way: one from `body` (bad_alloc) travels on only once
// the GIL is back.
template <class F>
void without_gil(F&& body) {
    PyThreadState* saved = PyEval_SaveThread();
    std::exception_ptr error;
    try {
        body();
    }
#if defined(__GLIBCXX__)
    catch (abi::__forced_unwind&) {
        throw;
    }
#endif
    catch (...) {
        error = std::current_exception();
    }
    PyEval_RestoreThread(saved);
    if (error) std::rethrow_exception(error);
}

// ---------------------------------------------------------------- native values

// A C++ value that a Python object of a module's own type holds, such as a
// compiled matcher kept as an attribute. The object owns the value; values
// are immutable, so threads may share them, and a copy or deep copy of the
// object is the object itself.
struct native_value {
    // A value may hold references, whose release follows the core's rules.
    virtual ~native_value() noexcept(!threads_unwind_at_shutdown) = default;
    virtual ref repr() const = 0;
};

// The type of the objects that hold native values, for `module`; `name` is
// its dotted name, a string literal (the type keeps the pointer).
ref make_native_type(PyObject* module, const char* name);
// A new object of the native type `type` holding `value`.
ref hold_native(const ref& type, std::unique_ptr<native_value> value);
// The value `object` holds if it is of type `type` and a T, or null.
const native_value* held_native(const ref& type, PyObject* object);
template <class T>
const T* held_native(const ref& type, PyObject* object) {
    return dynamic_cast<const T*>(held_native(type, object));
}

// ---------------------------------------------------------------- parameter kinds

// A parameter kind is how an argument is accepted on entry, before any work
// is done. One struct per kind says everything about it: the C++ type the
// implementation receives (`value`), the conversion (`convert`), the type
// name a wrongly typed argument's TypeError expects, and the annotation a
// declaration publishes unless it gives its own. An object of the kind is a
// declared parameter: its name, then optionally its default (Python literal
// source, evaluated once; nullptr: required) and another annotation.
//
//     kind::str{"aspect_ratio", "'1:1'"}
//     kind::any{"logger", "None", "Optional[logging.Logger]"}
//
// An implementation taking `ref` may take `PyObject*` (borrowed) instead.

// What every declared parameter holds.
struct param_decl {
    const char* name;
    const char* default_;
    const char* annotation;
};

// Base of the kinds: a declaration whose annotation defaults to the kind's.
// `expected` is the type name a wrongly typed argument's TypeError names.
template <class Kind>
struct param : param_decl {
    constexpr param(const char* name, const char* default_ = nullptr,
                    const char* annotation = Kind::annotation)
        : param_decl{name, default_, annotation} {}
    static constexpr bool collects_keywords = false;

protected:
    [[noreturn]] static void wrong_type(PyObject* name, PyObject* got) {
        raise_arg_type(PyUnicode_AsUTF8(name), Kind::expected, got);
    }
};

namespace kind {

// Anything, unchanged.
struct any : param<any> {
    using param::param;
    using value = ref;
    static constexpr const char* annotation = nullptr;
    static ref convert(PyObject* o, PyObject*) { return ref::borrow(o); }
};

// Exactly one built-in type, subclasses refused; with `or_none`, None too.
template <class Kind, PyTypeObject* Type, bool or_none = false>
struct exactly : param<Kind> {
    using param<Kind>::param;
    using value = ref;
    static ref convert(PyObject* o, PyObject* name) {
        if (Py_TYPE(o) != Type && !(or_none && o == Py_None)) param<Kind>::wrong_type(name, o);
        return ref::borrow(o);
    }
};

// Exactly str.
struct str : exactly<str, &PyUnicode_Type> {
    using exactly::exactly;
    static constexpr const char* annotation = "str";
    static constexpr const char* expected = "str";
};

// Exactly str, or None.
struct opt_str : exactly<opt_str, &PyUnicode_Type, true> {
    using exactly::exactly;
    static constexpr const char* annotation = "Optional[str]";
    static constexpr const char* expected = "str";
};

// Exactly bytes.
struct bytes : exactly<bytes, &PyBytes_Type> {
    using exactly::exactly;
    static constexpr const char* annotation = "bytes";
    static constexpr const char* expected = "bytes";
};

// An int unchanged; any other number through int(), which truncates.
struct integer : param<integer> {
    using param::param;
    using value = ref;
    static constexpr const char* annotation = "int";
    static constexpr const char* expected = "int";
    static ref convert(PyObject* o, PyObject* name) {
        if (PyLong_CheckExact(o)) return ref::borrow(o);
        if (!PyNumber_Check(o)) wrong_type(name, o);
        return ref::steal(PyNumber_Long(o));
    }
};

// A C double, as float() would convert it (its own TypeError otherwise).
struct real : param<real> {
    using param::param;
    using value = double;
    static constexpr const char* annotation = "float";
    static double convert(PyObject* o, PyObject*) {
        if (PyFloat_CheckExact(o)) return PyFloat_AS_DOUBLE(o);
        const double v = PyFloat_AsDouble(o);
        if (v == -1.0 && PyErr_Occurred()) fail();
        return v;
    }
};

// Its truth value.
struct truth : param<truth> {
    using param::param;
    using value = bool;
    static constexpr const char* annotation = "bool";
    static bool convert(PyObject* o, PyObject*) { return check(PyObject_IsTrue(o)) != 0; }
};

// **kwargs: the keywords no other parameter takes, as a new dict. Last.
struct var_keywords : param<var_keywords> {
    using param::param;
    using value = ref;
    static constexpr const char* annotation = nullptr;
    static constexpr bool collects_keywords = true;
    static ref convert(PyObject* o, PyObject*) { return ref::borrow(o); }
};

}  // namespace kind

// The published return annotation of a function, after its parameters.
struct returns {
    const char* annotation;
};

// Between declared parameters, as `*` in a def: those after it are keyword-only.
struct keyword_only {};

inline constexpr int max_params = 8;

struct state_base;

// The arguments of one call, bound to the declared parameters (borrowed):
// given ones, defaults, and the **kwargs dict. Not yet converted.
struct bound_args {
    PyObject* const* values;
    PyObject* const* names;  // the parameters' names, for conversion errors
};

// Converts bound arguments and runs the implementation (see trampoline_for).
using trampoline_fn = PyObject* (*)(state_base&, const bound_args&);
// An implementation's address, as a function object remembers it.
using target_fn = void (*)();

// ---------------------------------------------------------------- modules

// Base of every module's state. The state is created by the module's exec
// slot and destroyed with the module; it holds no object outside the module.
struct state_base {
    state_base() = default;
    state_base(const state_base&) = delete;
    state_base& operator=(const state_base&) = delete;
    virtual ~state_base() = default;
    // The references a module's state holds: a state lists them once, by
    // calling `each` on every one (empty ones too), and the core traverses
    // and clears them for the garbage collector.
    virtual void references(const std::function<void(ref&)>& each) { (void)each; }
    int traverse(visitproc visit, void* arg);
    void clear();

    PyObject* module = nullptr;  // borrowed: the module owns this state
    ref function_type;           // the native function type of this module
    name enter{"__enter__"}, exit{"__exit__"};

    // A module-level name, looked up at call time like a Python global.
    ref global(PyObject* key) const;
    ref global(const name& key) const { return global(key.get()); }
    void publish(const char* attr_name, const ref& value) const;
    // `import module` / `from module import a, b` into the module namespace.
    ref import_module(const char* module_name, const char* as = nullptr) const;
    // A positive `level` makes a relative import, as `from .m import x`.
    // Returns the module the names came from.
    ref import_from(const char* module_name, std::initializer_list<const char*> names,
                    int level = 0) const;
};

namespace detail {
// Calls __exit__ with the exception being raised. True: the exception is
// swallowed; false: it is set again. An error of __exit__ itself is thrown,
// chained to the original one.
bool exit_on_error(const ref& manager, const ref& exit);
}  // namespace detail

template <class F>
bool with_(const state_base& st, const ref& manager, F&& body) {
    // Looked up on the type, as the statement does.
    ref cls = type_of(manager.get());
    ref enter = cls.attr(st.enter);
    ref exit = cls.attr(st.exit);
    ref value = enter(manager);
    try {
        body(value);
    } catch (const error_already_set&) {
        if (detail::exit_on_error(manager, exit)) return false;
        throw;
    }
    exit(manager, Py_None, Py_None, Py_None);
    return true;
}

template <class State>
State& state_of(PyObject* module) {
    return *static_cast<State*>(*static_cast<state_base**>(PyModule_GetState(module)));
}

// ---------------------------------------------------------------- functions

// How a function is placed in a class.
enum class binding : std::uint8_t { instance, class_method, static_method, property };

namespace detail {

// The declared kinds of a function, `returns` left out.
template <class... K>
struct kind_list {
    static constexpr size_t size = sizeof...(K);
};
template <class List, class... D>
struct kinds_of {
    using type = List;
};
template <class... K, class D, class... Rest>
struct kinds_of<kind_list<K...>, D, Rest...> : kinds_of<kind_list<K..., D>, Rest...> {};
template <class... K, class... Rest>
struct kinds_of<kind_list<K...>, returns, Rest...> : kinds_of<kind_list<K...>, Rest...> {
    static_assert(sizeof...(Rest) == 0, "returns{...} comes after the parameters");
};
template <class... K, class... Rest>
struct kinds_of<kind_list<K...>, keyword_only, Rest...> : kinds_of<kind_list<K...>, Rest...> {};

// Whether an implementation parameter of type P can receive kind K's value.
template <class K, class P>
constexpr bool receives() {
    using V = typename K::value;
    if constexpr (std::is_same_v<V, ref>)
        return std::is_same_v<P, ref> || std::is_same_v<P, const ref&> ||
               std::is_same_v<P, PyObject*>;
    else
        return std::is_same_v<P, V>;
}

template <class P, class V>
decltype(auto) hand_over(V& value) {
    if constexpr (std::is_same_v<P, PyObject*>)
        return value.get();
    else
        return std::move(value);
}

template <class>
constexpr bool always_false = false;

template <class F, class Kinds>
struct signature {
    static_assert(always_false<F>, "an implementation is `ref f(State&, ...)`");
};
// An implementation: the module's state, then one C++ argument per
// declared parameter, in order, each of a type its kind hands over.
template <class State, class... P, class... K>
struct signature<ref (*)(State&, P...), kind_list<K...>> {
    static_assert(std::is_base_of_v<state_base, State>,
                  "an implementation takes its module's state first");
    static_assert(sizeof...(P) == sizeof...(K),
                  "the implementation takes as many arguments as there are declared "
                  "parameters (with self or cls first for methods)");
    static_assert((receives<K, P>() && ...),
                  "an implementation argument's C++ type does not match its parameter's kind "
                  "(real: double, truth: bool, the others: ref or PyObject*)");
    static_assert(sizeof...(K) <= max_params, "too many parameters");
    static constexpr bool keywords_last = [] {
        const bool collects[] = {K::collects_keywords..., false};
        for (size_t i = 0; i + 1 < sizeof...(K); ++i)
            if (collects[i]) return false;
        return true;
    }();
    static_assert(keywords_last, "**kwargs comes last");

    template <auto F, size_t... I>
    static PyObject* invoke(state_base& st, const bound_args& args, std::index_sequence<I...>) {
        PyObject* result = nullptr;
        guarded([&] {
            // Converted in declaration order: a braced list runs left to right.
            std::tuple<typename K::value...> values{K::convert(args.values[I], args.names[I])...};
            result = F(static_cast<State&>(st), hand_over<P>(std::get<I>(values))...).release();
        });
        return result;
    }
};

// The trampoline of implementation F with the declared kinds: converts the
// bound arguments and calls F, turning C++ exceptions into Python errors.
template <auto F, class Kinds>
PyObject* trampoline_for(state_base& st, const bound_args& args) {
    return signature<decltype(F), Kinds>::template invoke<F>(
        st, args, std::make_index_sequence<Kinds::size>{});
}

// Creates a method's function object for class `class_name`; the parameters
// from `keyword_only_from` on are keyword-only.
ref make_function(const state_base& st, const char* name, const char* class_name, const char* doc,
                  const param_decl* params, int nparams, int keyword_only_from, bool var_keywords,
                  const char* returns, trampoline_fn impl, target_fn target);

// The implementation that `fn` runs if it is one of this module's native
// functions, else nullptr (see guards.hpp).
target_fn target_of(const state_base& st, PyObject* fn);
}  // namespace detail

// ---------------------------------------------------------------- classes

// Builds an ordinary Python class: the namespace is prepared by the bases'
// metaclass and filled in call order, then the metaclass creates the class.
//
// Functions are declared with their implementation, name, documentation
// string, the parameters' kinds and optionally `returns{"annotation"}`:
//
//     .class_method<calc_size>("calc_size", calc_size_doc,
//                              kind::str{"aspect_ratio", "'1:1'"}, kind::str{"resolution", "'2k'"})
//
// A parameter list that does not fit the implementation does not compile.
class class_builder {
public:
    class_builder(const state_base& st, const char* name, const char* doc = nullptr,
                  std::initializer_list<PyObject*> bases = {});

    // Instance methods get `self` and class methods `cls` in front of the
    // declared parameters; the implementation receives it as its first
    // argument after the state.
    template <auto F, class... D>
    class_builder& method(const char* name, const char* doc, const D&... decl) {
        return add<F>(binding::instance, name, doc, kind::any{"self"}, decl...);
    }
    template <auto F, class... D>
    class_builder& class_method(const char* name, const char* doc, const D&... decl) {
        return add<F>(binding::class_method, name, doc, kind::any{"cls"}, decl...);
    }
    template <auto F, class... D>
    class_builder& static_method(const char* name, const char* doc, const D&... decl) {
        return add<F>(binding::static_method, name, doc, decl...);
    }
    // A read-only property whose getter is F(state, self).
    template <auto F>
    class_builder& property(const char* name, const char* annotation = nullptr,
                            const char* doc = nullptr) {
        return add<F>(binding::property, name, doc, kind::any{"self"}, returns{annotation});
    }
    class_builder& attr(const char* name, const ref& value);
    class_builder& annotation(const char* name, const char* text);

    // Creates the class. It is not published on the module by itself.
    ref finish();

private:
    template <auto F, class... D>
    class_builder& add(binding how, const char* name, const char* doc, const D&... decl) {
        using kinds = typename detail::kinds_of<detail::kind_list<>, D...>::type;
        param_decl params[kinds::size + 1] = {};
        int n = 0;
        const char* result = nullptr;
        bool var_keywords = false;
        int keyword_only_from = -1;
        [[maybe_unused]] auto take = [&](const auto& d) {
            using decl_type = std::remove_cvref_t<decltype(d)>;
            if constexpr (std::is_same_v<decl_type, returns>) {
                result = d.annotation;
            } else if constexpr (std::is_same_v<decl_type, keyword_only>) {
                keyword_only_from = n;
            } else {
                params[n++] = d;
                var_keywords = std::remove_cvref_t<decltype(d)>::collects_keywords;
            }
        };
        (take(decl), ...);
        if (keyword_only_from < 0) keyword_only_from = n - (var_keywords ? 1 : 0);
        return add(how, name, doc, params, n, keyword_only_from, var_keywords, result,
                   &detail::trampoline_for<F, kinds>, reinterpret_cast<target_fn>(F));
    }
    class_builder& add(binding how, const char* name, const char* doc, const param_decl* params,
                       int nparams, int keyword_only_from, bool var_keywords, const char* returns,
                       trampoline_fn impl, target_fn target);

    const state_base& st_;
    ref name_, bases_, meta_, ns_, annotations_;
};

// A `TypedDict` class of this module, the same as a class statement deriving
// from TypedDict would make: `fields` pairs each key with the name of its
// value type, looked up like a global of the module ("int", "Any").
ref typed_dict(const state_base& st, const char* name, const char* doc,
               std::initializer_list<std::pair<const char*, const char*>> fields);

// ---------------------------------------------------------------- module init

namespace detail {
int traverse_state(PyObject* m, visitproc visit, void* arg);
int clear_state(PyObject* m);
void free_state(void* m);
bool init_state(PyObject* m, std::unique_ptr<state_base> st);

template <class State, void (*Exec)(State&)>
int exec_module(PyObject* m) {
    bool ok = guarded([&] {
        auto owned = std::make_unique<State>();
        State& st = *owned;
        if (!init_state(m, std::move(owned))) fail();
        Exec(st);
    });
    return ok ? 0 : -1;
}
}  // namespace detail

enum class interpreters : std::uint8_t { shared_gil, own_gil };

// The definition of one extension module (static, as CPython expects).
// It is filled in once, when the shared library is loaded: the init entry
// runs again for every interpreter that imports the module, possibly at the
// same time, and must only read it.
template <class State, void (*Exec)(State&), interpreters Interp = interpreters::shared_gil>
struct module_def {
    static inline PyModuleDef_Slot slots[] = {
        {Py_mod_exec, reinterpret_cast<void*>(&detail::exec_module<State, Exec>)},
#ifdef Py_mod_multiple_interpreters
        {Py_mod_multiple_interpreters, Interp == interpreters::own_gil
                                           ? Py_MOD_PER_INTERPRETER_GIL_SUPPORTED
                                           : Py_MOD_MULTIPLE_INTERPRETERS_SUPPORTED},
#endif
        {0, nullptr},
    };
    static PyModuleDef make(const char* qualified_name) {
        return PyModuleDef{
            PyModuleDef_HEAD_INIT,
            qualified_name,
            nullptr,
            sizeof(state_base*),
            nullptr,
            slots,
            &detail::traverse_state,
            &detail::clear_state,
            &detail::free_state,
        };
    }
};

}  // namespace pv

// Defines PyInit_<short_name> for the module `qualified` ("pravel.framekit").
#define PRAVEL_MODULE(short_name, qualified, State, exec, ...)                     \
    static PyModuleDef pravel_module_def_ =                                        \
        ::pv::module_def<State, exec __VA_OPT__(, ) __VA_ARGS__>::make(qualified); \
    PyMODINIT_FUNC PyInit_##short_name() { return PyModuleDef_Init(&pravel_module_def_); }
