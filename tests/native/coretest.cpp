// pravel._coretest: the native core exercised on its own by tests/test_core.py,
// apart from any module's behaviour. Built only for the tests (the CMake
// option PRAVEL_CORE_TESTS); never part of an ordinary build or wheel.
#include "guards.hpp"
#include "pravel.hpp"

#include <memory>
#include <new>
#include <string>
#include <stdexcept>
#include <string_view>

namespace kind = pv::kind;
using pv::ref;

namespace {

struct state : pv::state_base {
    pv::name value{"value"}, make{"make"};
    ref box_type;  // of the native values below
    void references(const std::function<void(ref&)>& each) override { each(box_type); }
};

// A native value: a C++ string shown by its repr.
struct box : pv::native_value {
    std::string text;
    ref repr() const override { return pv::str(text); }
};

constexpr const char* probe_doc = "Every way the core declares, binds and runs a function.";

ref init(state& st, ref self, ref value) {
    self.setattr(st.value, value.get());
    return pv::none();
}

// What each parameter kind handed over, with every default.
ref kinds(state&, ref any, ref str, ref opt_str, ref bytes, ref integer, double real, bool truth,
          ref kwargs) {
    return pv::tuple(any, str, opt_str, bytes, integer, real, truth, kwargs);
}

// An implementation may take a borrowed PyObject* for an object kind.
ref borrowed(state&, PyObject* value) { return ref::borrow(value); }

ref method(state&, ref self, ref a, ref b) { return pv::tuple(self, a, b); }
ref make(state&, ref cls, ref a, ref b) { return pv::tuple(cls, a, b); }
ref required(state&, ref a, ref b, ref c, ref d) { return pv::tuple(a, b, c, d); }
ref one(state&, ref a) { return a; }
ref nothing(state&) { return pv::none(); }

ref doubled(state& st, ref self) { return self.attr(st.value) * 2; }

// `a, b, ... = value` with n names, as tuple.
ref unpack(state&, ref value, ref count) {
    switch (PyLong_AsLong(count.get())) {
        case 1: {
            auto [a] = pv::unpack<1>(value.get());
            return pv::tuple(a);
        }
        case 2: {
            auto [a, b] = pv::unpack<2>(value.get());
            return pv::tuple(a, b);
        }
        case 3: {
            auto [a, b, c] = pv::unpack<3>(value.get());
            return pv::tuple(a, b, c);
        }
    }
    if (PyErr_Occurred()) pv::fail();
    pv::raise(PyExc_ValueError, "count must be 1, 2 or 3");
}

// Each way an implementation can fail, by name.
ref fail(state&, ref how) {
    const std::string_view what = PyUnicode_AsUTF8(how.get());
    if (what == "runtime_error") throw std::runtime_error("broken invariant");
    if (what == "bad_alloc") throw std::bad_alloc();
    if (what == "not_an_exception") throw 42;
    if (what == "raise") pv::raise(PyExc_LookupError, "raised with %s", "pv::raise");
    if (what == "set_and_return") {  // the light way, without a C++ throw
        PyErr_SetString(PyExc_KeyError, "set and returned");
        return ref();
    }
    return pv::none();
}

// getattr(obj, name) through pv::optional_attr: (True, value), or (False, None)
// where it is missing.
ref optional(state&, ref obj, ref name) {
    ref value = pv::optional_attr(obj, name.get());
    return value ? pv::tuple(true, value) : pv::tuple(false, Py_None);
}

// Whether cls.make is still this module's implementation.
ref makes_own(state& st, ref cls) {
    return pv::boolean(pv::guard::own_class_method<make>(st, cls, st.make.get()));
}

// Whether `fn` is a native function that `module` made.
ref made_by(state&, ref fn, ref module) {
    return pv::boolean(pv::guard::made_by(fn.get(), module.get()));
}

// str.strip() through the core's bounds.
ref strip(state&, ref text) { return pv::stripped(text.get()); }

// The core's number conversions: kind is "long", "ssize", "long_long" or "double".
ref number(state&, ref value, ref kind) {
    const std::string_view k = PyUnicode_AsUTF8(kind.get());
    if (k == "long") return pv::integer(pv::to_long(value.get()));
    if (k == "ssize") return ref::steal(PyLong_FromSsize_t(pv::to_ssize(value.get())));
    if (k == "long_long") {
        int overflow = 0;
        const long long v = pv::to_long_long(value.get(), overflow);
        return pv::tuple(ref::steal(PyLong_FromLongLong(v)), pv::integer(overflow));
    }
    return ref::steal(PyFloat_FromDouble(pv::to_double(value.get())));
}

// The items of `iterable` up to the first that equals `stop`, and whether it came.
ref until(state&, ref iterable, ref stop) {
    ref seen = pv::list();
    const bool stopped = pv::for_each_until(iterable.get(), [&](ref item) {
        if (pv::equal(item, stop)) return true;
        pv::check(PyList_Append(seen.get(), item.get()));
        return false;
    });
    return pv::tuple(seen, pv::boolean(stopped));
}

// fn() under try_except: its result, or ("caught", the exception's text).
ref attempt(state&, ref fn) {
    ref result;
    pv::try_except([&] { result = fn(); },
                   [&](pv::caught& e) { result = pv::tuple("caught", e.text()); });
    return result;
}

// A native value holding `text`, and what a native object holds.
ref boxed(state& st, ref text) {
    auto b = std::make_unique<box>();
    b->text = PyUnicode_AsUTF8(text.get());
    return pv::hold_native(st.box_type, std::move(b));
}
ref unboxed(state& st, ref object) {
    const box* b = pv::held_native<box>(st.box_type, object.get());
    return b ? pv::str(b->text) : pv::none();
}

void exec(state& st) {
    st.box_type = pv::make_native_type(st.module, "pravel._coretest.box");
    st.publish(
        "Probe",
        pv::class_builder(st, "Probe", probe_doc)
            .attr("value", pv::integer(0))
            .method<init>("__init__", nullptr, kind::any{"value", "0"})
            .static_method<kinds>("kinds", "All parameter kinds.", kind::any{"any", "[]"},
                                  kind::str{"text", "'s'"}, kind::opt_str{"maybe", "None"},
                                  kind::bytes{"data", "b'b'"}, kind::integer{"number", "7"},
                                  kind::real{"real", "0.5"}, kind::truth{"flag", "0"},
                                  kind::var_keywords{"kwargs"}, pv::returns{"tuple"})
            .static_method<borrowed>("borrowed", nullptr, kind::any{"value"})
            .method<method>("method", nullptr, kind::any{"a"}, kind::any{"b", "2"})
            .class_method<make>("make", nullptr, kind::any{"a"}, kind::str{"b", "'x'"})
            .static_method<required>("required", nullptr, kind::any{"a"}, kind::any{"b"},
                                     kind::any{"c"}, kind::any{"d", "4"})
            .static_method<one>("one", nullptr, kind::any{"a"})
            .static_method<required>("keywords", nullptr, kind::any{"a"}, kind::any{"b", "2"},
                                     pv::keyword_only{}, kind::any{"c"}, kind::any{"d", "4"})
            .static_method<nothing>("nothing", nullptr)
            .property<doubled>("doubled", "int", "Twice the value.")
            .static_method<unpack>("unpack", nullptr, kind::any{"value"}, kind::integer{"count"})
            .static_method<fail>("fail", nullptr, kind::str{"how"})
            .static_method<optional>("optional", nullptr, kind::any{"obj"}, kind::str{"name"})
            .class_method<makes_own>("makes_own", nullptr, pv::returns{"bool"})
            .static_method<made_by>("made_by", nullptr, kind::any{"fn"}, kind::any{"module"})
            .static_method<strip>("strip", nullptr, kind::str{"text"})
            .static_method<number>("number", nullptr, kind::any{"value"}, kind::str{"kind"})
            .static_method<until>("until", nullptr, kind::any{"iterable"}, kind::any{"stop"})
            .static_method<attempt>("attempt", nullptr, kind::any{"fn"})
            .static_method<boxed>("boxed", nullptr, kind::str{"text"})
            .static_method<unboxed>("unboxed", nullptr, kind::any{"object"})
            .finish());
}

}  // namespace

PRAVEL_MODULE(_coretest, "pravel._coretest", state, exec, pv::interpreters::own_gil)
