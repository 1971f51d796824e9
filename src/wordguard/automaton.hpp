// An Aho–Corasick automaton over code points that finds exactly the matches
// of a regular expression made of literal alternatives (`findall`: leftmost
// match first, at each position the word listed first, no overlaps) in one
// pass over a text, however many words there are.
//
// The automaton runs over the reversed words and reads the text from its end,
// so that at each position it knows the first-listed word starting there; a
// forward pass then takes the matches greedily. Words are given as keys; a
// callback names the text characters that match each key (the key itself
// when matching is exact, a whole case class when it is not).
//
// Plain C++: it touches no Python object, so it may be built and run with the
// GIL released, and once built it is immutable and may be shared by threads.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <utility>
#include <vector>

namespace wordguard {

using code_point = uint32_t;  // the same type as Py_UCS4

// A table from code points to 32-bit values, 0 where none was set, made of
// blocks of 256 that exist only where some value is set.
class code_point_table {
public:
    code_point_table() : pages_(0x110000 >> 8), values_(256) {}
    // The look-up through plain pointers, for a loop that stores bytes or
    // grows vectors: the compiler must assume either may move a vector's
    // storage, and would load it again at every step.
    struct view {
        const uint16_t* pages;
        const uint32_t* values;
        uint32_t operator[](code_point c) const {
            return values[(size_t{pages[c >> 8]} << 8) | (c & 0xFF)];
        }
    };
    view viewed() const { return {pages_.data(), values_.data()}; }
    uint32_t operator[](code_point c) const { return viewed()[c]; }
    uint32_t& at(code_point c) {
        uint16_t& page = pages_[c >> 8];
        if (page == 0) {
            page = static_cast<uint16_t>(values_.size() >> 8);
            values_.resize(values_.size() + 256);
        }
        return values_[(size_t{page} << 8) | (c & 0xFF)];
    }

private:
    std::vector<uint16_t> pages_;  // block of each 256 code points; block 0 holds only zeros
    std::vector<uint32_t> values_;
};

// Places the children of trie nodes in a double array: a node's children go
// at the first base where every one of them finds a free slot. The free
// slots form an ordered list; a slot leaves it when taken, or after it was
// passed over a number of times (then it stays unused), which bounds the
// search in crowded stretches.
class slot_allocator {
public:
    // Slot 0 is taken (it holds the root) and is the head of the list.
    slot_allocator();
    // The base for children with these sorted symbols (from 1); their slots are taken.
    uint32_t place(const std::vector<uint32_t>& labels);
    // One past the last slot.
    size_t size() const { return next_.size(); }

private:
    void grow(size_t n);
    void unlink(uint32_t i);
    void take(uint32_t i);

    std::vector<uint32_t> next_, prev_;
    std::vector<uint8_t> passed_;
    std::vector<uint8_t> used_;
};

// The words to find, as keys, one after another.
struct word_list {
    std::vector<code_point> keys;
    std::vector<size_t> ends;     // word i is keys[ends[i-1] .. ends[i])
    std::vector<uint32_t> ranks;  // its position in the list: the first listed wins
    size_t begin(size_t i) const { return i ? ends[i - 1] : 0; }
    size_t length(size_t i) const { return ends[i] - begin(i); }
};

// members(key, out) appends every text character that matches `key`.
using key_members = std::function<void(code_point, std::vector<code_point>&)>;

class automaton {
public:
    automaton(const word_list& words, const key_members& members);

    // The matches of the expression that start in text[begin, end), left to
    // right, given that the previous match ended at `from`: each is passed to
    // on_hit(start, length, rank). Returns where the last match ended (or `from`).
    // It reads at most as far as the longest word beyond `end`, so a long text
    // is read in windows with memory bounded by the window, not the hits.
    // Char is the storage unit of the text (1, 2 or 4 bytes per character).
    template <class Char, class OnHit>
    size_t find(const Char* text, size_t n, size_t begin, size_t end, size_t from,
                OnHit&& on_hit) const;

    // Every match of the expression in text[0, n), left to right, window by window.
    template <class Char, class OnHit>
    void find_all(const Char* text, size_t n, OnHit&& on_hit) const {
        const size_t window = std::max<size_t>(size_t{1} << 16, 16 * depth_);
        for (size_t begin = 0, from = 0; begin < n; begin += window)
            from = find(text, n, begin, std::min(n, begin + window), from, on_hit);
    }
    size_t longest() const { return depth_; }

    size_t states() const { return states_; }

private:
    // The states live in a double array: the child of state s on symbol a
    // is slot base[s] + a when that slot's owner is s, so one step costs
    // one memory access.
    struct slot {
        uint32_t base;
        uint32_t owner;  // the parent state; `free` for an unused slot
        uint32_t fail;
        uint32_t match_length;  // length of the first-listed word starting here, 0: none
    };
    static constexpr uint32_t free = UINT32_MAX;

    struct trie;

    uint32_t next(uint32_t s, uint32_t a) const {
        for (;;) {
            const uint32_t t = slots_[s].base + a;
            if (slots_[t].owner == s) return t;
            if (s == 0) return 0;
            s = slots_[s].fail;
        }
    }

    // The phases of construction, in order (automaton.cpp says more).
    std::vector<uint32_t> number_symbols(const word_list& words, const key_members& members);
    static trie reversed_trie(const word_list& words, const std::vector<uint32_t>& symbols);
    static std::vector<uint32_t> breadth_first(const trie& t);
    std::vector<uint32_t> place_states(const trie& t, const std::vector<uint32_t>& bfs,
                                       uint32_t alphabet);
    void link_failures(const trie& t, const std::vector<uint32_t>& bfs,
                       const std::vector<uint32_t>& slot_of);

    code_point_table symbols_;          // 0: a character that is in no word
    std::vector<slot> slots_;           // slot 0 is the root
    std::vector<uint32_t> match_rank_;  // per slot: the rank of the word of match_length
    size_t states_ = 0;
    size_t depth_ = 0;  // length of the longest word
};

template <class Char, class OnHit>
size_t automaton::find(const Char* text, size_t n, size_t begin, size_t end, size_t from,
                       OnHit&& on_hit) const {
    // Every position where a word starts, with the length the expression
    // would take there, is found from the right; then the matches are taken
    // from the left. A long window is read in four pieces at once, one state
    // each, so that their memory accesses overlap. A state depends only on
    // the next `depth_` characters, so each piece starts reading that far
    // inside its right neighbour (or beyond the window).
    constexpr size_t most_lanes = 4;
    const size_t width = end - begin;
    const size_t lanes = width >= most_lanes * std::max<size_t>(4 * depth_, 64) ? most_lanes : 1;
    const size_t piece = (width + lanes - 1) / lanes;
    struct lane {
        size_t begin, end, at;  // reads at-1, at-2, ... down to begin; reports below end
        uint32_t state;
        struct start {
            size_t at;
            uint32_t length, state;
        };
        std::vector<start> starts;
    } lane[most_lanes];
    for (size_t k = 0; k < lanes; ++k) {
        lane[k].begin = std::min(end, begin + k * piece);
        lane[k].end = std::min(end, lane[k].begin + piece);
        lane[k].at = std::min(n, lane[k].end + depth_);
        lane[k].state = 0;
    }
    auto step = [&](struct lane& l) {
        const size_t i = --l.at;
        const uint32_t a = symbols_[text[i]];
        l.state = a ? next(l.state, a) : 0;
        if (const uint32_t len = slots_[l.state].match_length; len && i < l.end && i >= from)
            l.starts.push_back({i, len, l.state});
    };
    for (size_t round = lane[0].at - lane[0].begin; round > 0; --round)
        for (size_t k = 0; k < lanes; ++k)
            if (lane[k].at > lane[k].begin) step(lane[k]);
    for (size_t k = 0; k < lanes; ++k)
        while (lane[k].at > lane[k].begin) step(lane[k]);

    for (size_t k = 0; k < lanes; ++k) {
        for (auto it = lane[k].starts.rbegin(); it != lane[k].starts.rend(); ++it) {
            if (it->at < from) continue;
            on_hit(it->at, it->length, match_rank_[it->state]);
            from = it->at + it->length;
        }
    }
    return from;
}

}  // namespace wordguard
