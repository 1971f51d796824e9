// What a checker of pravel.wordguard keeps as `_ban_matcher`: the native
// matcher of its last load, in a Python object of the module's own type.
// Matchers are immutable, so checks in several threads may share one, and
// a copy or deep copy of the object is the object itself. Also what both
// checkers' scans share: when to release the GIL, and how hits are listed.
#pragma once

#include <memory>
#include <string_view>
#include <type_traits>
#include <unordered_set>
#include <utility>
#include <vector>

#include "pravel.hpp"

namespace wordguard {

struct native_matcher {
    // A matcher may hold references, whose release follows the core's rules.
    virtual ~native_matcher() noexcept(!pv::threads_unwind_at_shutdown) = default;
    virtual pv::ref repr() const = 0;
};

namespace detail {
struct matcher_object {
    PyObject_HEAD
    native_matcher* matcher;
};

inline void matcher_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    delete reinterpret_cast<matcher_object*>(self)->matcher;
    type->tp_free(self);
    Py_DECREF(type);
}

inline PyObject* matcher_repr(PyObject* self) {
    PyObject* result = nullptr;
    pv::guarded([&] { result = reinterpret_cast<matcher_object*>(self)->matcher->repr().release(); });
    return result;
}

inline PyObject* matcher_same(PyObject* self, PyObject*) { return Py_NewRef(self); }

inline PyMethodDef matcher_methods[] = {
    {"__copy__", matcher_same, METH_NOARGS, nullptr},
    {"__deepcopy__", matcher_same, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

inline PyType_Slot matcher_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(matcher_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(matcher_repr)},
    {Py_tp_methods, matcher_methods},
    {0, nullptr},
};

inline PyType_Spec matcher_spec = {
    "pravel.wordguard.automaton",
    sizeof(matcher_object),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    matcher_slots,
};
}  // namespace detail

// The module's matcher type, made once by its exec slot.
inline pv::ref make_matcher_type(PyObject* module) {
    return pv::ref::steal(PyType_FromModuleAndSpec(module, &detail::matcher_spec, nullptr));
}

// A new object of the matcher type `type` holding `m`.
inline pv::ref hold_matcher(const pv::ref& type, std::unique_ptr<native_matcher> m) {
    auto* t = reinterpret_cast<PyTypeObject*>(type.get());
    pv::ref object = pv::ref::steal(t->tp_alloc(t, 0));
    reinterpret_cast<detail::matcher_object*>(object.get())->matcher = m.release();
    return object;
}

// The matcher of kind M that `object` holds, or null when it holds none.
template <class M>
const M* held_matcher(const pv::ref& type, PyObject* object) {
    if (!object || Py_TYPE(object) != reinterpret_cast<PyTypeObject*>(type.get())) return nullptr;
    return dynamic_cast<const M*>(reinterpret_cast<detail::matcher_object*>(object)->matcher);
}

// Runs scan(characters, length) over the prompt `text`; it touches no Python
// object, and from 2048 characters on it runs without the GIL.
template <class F>
void scan_prompt(PyObject* text, F&& scan) {
    pv::with_chars(text, [&](const auto* chars, Py_ssize_t n) {
        auto run = [&] { scan(chars, static_cast<size_t>(n)); };
        if (n >= 2048) pv::without_gil(run);
        else run();
    });
}

// The hits of a check, each distinct piece of the prompt once, in the order
// they first occur. They are kept as spans of the prompt, compared by their
// characters, so that a check holds the prompt and its distinct hits, never
// all of its hits. Touches no Python object.
template <class Char>
class distinct_spans {
public:
    using span = std::pair<size_t, size_t>;
    explicit distinct_spans(const Char* text) : text_(text), seen_(64, hash{this}, same{this}) {}
    distinct_spans(const distinct_spans&) = delete;
    distinct_spans& operator=(const distinct_spans&) = delete;

    void add(size_t begin, size_t end) {
        spans_.emplace_back(begin, end);
        if (!seen_.insert(spans_.size() - 1).second) spans_.pop_back();
    }
    std::vector<span> take() { return std::move(spans_); }

private:
    std::string_view bytes(size_t i) const {
        const auto [begin, end] = spans_[i];
        return {reinterpret_cast<const char*>(text_ + begin), (end - begin) * sizeof(Char)};
    }
    struct hash {
        const distinct_spans* d;
        size_t operator()(size_t i) const { return std::hash<std::string_view>{}(d->bytes(i)); }
    };
    struct same {
        const distinct_spans* d;
        bool operator()(size_t a, size_t b) const { return d->bytes(a) == d->bytes(b); }
    };
    const Char* text_;
    std::vector<span> spans_;
    std::unordered_set<size_t, hash, same> seen_;
};

// Pieces of the prompt that `re` found, each once, in the order they first occur.
class distinct_pieces {
public:
    void add(const pv::ref& piece) {
        if (pv::check(PySet_Contains(seen_.get(), piece.get()))) return;
        pv::check(PySet_Add(seen_.get(), piece.get()));
        pv::check(PyList_Append(list_.get(), piece.get()));
    }
    const pv::ref& list() const { return list_; }

private:
    pv::ref list_ = pv::list(), seen_ = pv::ref::steal(PySet_New(nullptr));
};

// The distinct pieces of the prompt `text` that find(chars, n, add) reports
// through add(begin, end), as a new list of str (the GIL is released during
// the scan of a long prompt: see scan_prompt).
template <class F>
pv::ref distinct_hits(PyObject* text, F&& find) {
    std::vector<std::pair<size_t, size_t>> spans;
    scan_prompt(text, [&](const auto* chars, size_t n) {
        distinct_spans<std::remove_cv_t<std::remove_pointer_t<decltype(chars)>>> found(chars);
        find(chars, n, [&](size_t begin, size_t end) { found.add(begin, end); });
        spans = found.take();
    });
    pv::ref list = pv::list(static_cast<Py_ssize_t>(spans.size()));
    for (size_t i = 0; i < spans.size(); ++i) {
        PyObject* piece = PyUnicode_Substring(text, static_cast<Py_ssize_t>(spans[i].first),
                                              static_cast<Py_ssize_t>(spans[i].second));
        if (!piece) pv::fail();
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), piece);
    }
    return list;
}

}  // namespace wordguard
