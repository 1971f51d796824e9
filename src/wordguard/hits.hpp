// What both checkers of pravel.wordguard share in a check: when to release
// the GIL, and how hits are listed. (Each keeps the matcher of its last load
// as `_ban_matcher`, a native value of the module's own type.)
#pragma once

#include <memory>
#include <string_view>
#include <type_traits>
#include <unordered_set>
#include <utility>
#include <vector>

#include "pravel.hpp"

namespace wordguard {

// Runs scan(characters, length) over the prompt `text`; it touches no Python
// object, and from 2048 characters on it runs without the GIL.
template <class F>
void scan_prompt(PyObject* text, F&& scan) {
    pv::with_chars(text, [&](const auto* chars, Py_ssize_t n) {
        auto run = [&] { scan(chars, static_cast<size_t>(n)); };
        if (n >= 2048)
            pv::without_gil(run);
        else
            run();
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
