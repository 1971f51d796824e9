#include "automaton.hpp"

#include <algorithm>

namespace wordguard {

slot_allocator::slot_allocator() : next_{0}, prev_{0}, passed_{0}, used_{1} {}

uint32_t slot_allocator::place(const std::vector<uint32_t>& labels) {
    for (uint32_t f = next_[0];;) {
        if (f == 0) {  // the list is exhausted: add room behind the last slot
            f = static_cast<uint32_t>(next_.size());
            grow(next_.size() + labels.back() + 1);
        }
        if (f >= labels.front()) {
            const uint32_t base = f - labels.front();
            grow(size_t{base} + labels.back() + 1);
            bool fits = true;
            for (uint32_t a : labels) fits = fits && !used_[base + a];
            if (fits) {
                for (uint32_t a : labels) take(base + a);
                return base;
            }
        }
        const uint32_t after = next_[f];
        if (++passed_[f] > 16) unlink(f);
        f = after;
    }
}

// Adds slots up to n, at the end of the list.
void slot_allocator::grow(size_t n) {
    for (size_t i = next_.size(); i < n; ++i) {
        const uint32_t last = prev_[0];
        next_.push_back(0);
        prev_.push_back(last);
        passed_.push_back(0);
        used_.push_back(0);
        next_[last] = prev_[0] = static_cast<uint32_t>(i);
    }
}

void slot_allocator::unlink(uint32_t i) {
    next_[prev_[i]] = next_[i];
    prev_[next_[i]] = prev_[i];
    next_[i] = prev_[i] = i;  // out of the list
}

void slot_allocator::take(uint32_t i) {
    used_[i] = 1;
    if (next_[i] != i) unlink(i);
}

namespace {

constexpr uint32_t none = UINT32_MAX;

}  // namespace

// The trie of the reversed words, one entry per node; node 0 is the root.
struct automaton::trie {
    std::vector<uint32_t> parent{0}, label{0}, depth{0};
    std::vector<uint32_t> rank{none};  // of the first-listed word ending here, `none`: no word
    std::vector<uint32_t> length{0};   // that word's length
    size_t size() const { return parent.size(); }
};

automaton::automaton(const word_list& words, const key_members& members) {
    const std::vector<uint32_t> symbols = number_symbols(words, members);
    const trie t = reversed_trie(words, symbols);
    states_ = t.size();
    depth_ = *std::max_element(t.depth.begin(), t.depth.end());
    const std::vector<uint32_t> bfs = breadth_first(t);
    uint32_t alphabet = 1;  // symbols are numbered from 1
    for (uint32_t a : symbols) alphabet = std::max(alphabet, a + 1);
    const std::vector<uint32_t> slot_of = place_states(t, bfs, alphabet);
    link_failures(t, bfs, slot_of);
}

// Symbols: one per distinct key, numbered from 1, the most frequent first, so
// that the children of busy states lie close together. Every character that
// matches a key reads as its symbol. Returns the words' keys as symbols.
std::vector<uint32_t> automaton::number_symbols(const word_list& words,
                                                const key_members& members) {
    code_point_table symbol_of;  // first the count of each key
    std::vector<code_point> keys;
    for (code_point k : words.keys)
        if (symbol_of.at(k)++ == 0) keys.push_back(k);
    std::sort(keys.begin(), keys.end(), [&](code_point a, code_point b) {
        return symbol_of[a] != symbol_of[b] ? symbol_of[a] > symbol_of[b] : a < b;
    });
    std::vector<code_point> chars;
    for (uint32_t i = 0; i < keys.size(); ++i) {
        symbol_of.at(keys[i]) = i + 1;
        chars.clear();
        members(keys[i], chars);
        for (code_point c : chars) symbols_.at(c) = i + 1;
    }
    std::vector<uint32_t> seq(words.keys.size());
    for (size_t i = 0; i < seq.size(); ++i) seq[i] = symbol_of[words.keys[i]];
    return seq;
}

// The trie of the reversed words, made in depth-first order from the words
// sorted by their reversed symbols. Where several words are the same, the
// first listed one is kept.
automaton::trie automaton::reversed_trie(const word_list& words,
                                         const std::vector<uint32_t>& symbols) {
    const size_t count = words.ends.size();
    std::vector<uint32_t> order(count);
    for (uint32_t i = 0; i < count; ++i) order[i] = i;
    auto reversed_at = [&](uint32_t w, size_t d) { return symbols[words.ends[w] - 1 - d]; };
    std::sort(order.begin(), order.end(), [&](uint32_t a, uint32_t b) {
        const size_t la = words.length(a), lb = words.length(b);
        for (size_t d = 0, n = std::min(la, lb); d < n; ++d)
            if (reversed_at(a, d) != reversed_at(b, d))
                return reversed_at(a, d) < reversed_at(b, d);
        if (la != lb) return la < lb;
        return words.ranks[a] < words.ranks[b];
    });
    trie t;
    for (auto* v : {&t.parent, &t.label, &t.depth, &t.rank, &t.length})
        v->reserve(symbols.size() + 1);
    std::vector<uint32_t> path{0};
    for (size_t k = 0; k < count; ++k) {
        const uint32_t w = order[k];
        size_t common = 0;
        if (k > 0) {
            const uint32_t prev = order[k - 1];
            const size_t n = std::min(words.length(prev), words.length(w));
            while (common < n && reversed_at(prev, common) == reversed_at(w, common)) ++common;
        }
        path.resize(common + 1);
        for (size_t d = common; d < words.length(w); ++d) {
            t.parent.push_back(path.back());
            t.label.push_back(reversed_at(w, d));
            t.depth.push_back(static_cast<uint32_t>(d + 1));
            t.rank.push_back(none);
            t.length.push_back(0);
            path.push_back(static_cast<uint32_t>(t.size() - 1));
        }
        const uint32_t end = path.back();
        if (t.rank[end] == none) {
            t.rank[end] = words.ranks[w];
            t.length[end] = static_cast<uint32_t>(words.length(w));
        }
    }
    return t;
}

// Breadth-first order: by depth, keeping depth-first order within a depth,
// which leaves each node's children consecutive and sorted.
std::vector<uint32_t> automaton::breadth_first(const trie& t) {
    const uint32_t deepest = *std::max_element(t.depth.begin(), t.depth.end());
    std::vector<uint32_t> start(deepest + 2, 0), bfs(t.size());
    for (uint32_t d : t.depth) ++start[d + 1];
    for (size_t d = 1; d < start.size(); ++d) start[d] += start[d - 1];
    for (uint32_t v = 0; v < t.size(); ++v) bfs[start[t.depth[v]]++] = v;
    return bfs;
}

// Gives every node its slot, parents before children, and fills the slots
// in. Returns the slot of each node.
std::vector<uint32_t> automaton::place_states(const trie& t, const std::vector<uint32_t>& bfs,
                                              uint32_t alphabet) {
    std::vector<uint32_t> slot_of(states_, 0), base_of(states_, 0), labels;
    slot_allocator allocator;
    for (size_t i = 0, j = 1; i < states_; ++i) {
        labels.clear();
        const size_t first = j;
        while (j < states_ && t.parent[bfs[j]] == bfs[i]) labels.push_back(t.label[bfs[j++]]);
        if (labels.empty()) continue;
        const uint32_t base = allocator.place(labels);
        base_of[bfs[i]] = base;
        for (size_t c = first; c < j; ++c) slot_of[bfs[c]] = base + t.label[bfs[c]];
    }
    // Every base + symbol stays inside the array.
    slots_.assign(allocator.size() + alphabet, slot{0, free, 0, 0});
    for (uint32_t v = 0; v < states_; ++v) {
        slot& s = slots_[slot_of[v]];
        s.base = base_of[v];
        s.owner = v ? slot_of[t.parent[v]] : free;
        s.match_length = t.length[v];
    }
    return slot_of;
}

// Failure links, and for each state the first-listed word among those its
// failure chain ends in (the words starting at the current position). A
// state's link points to a shallower one, so breadth-first order has it ready.
void automaton::link_failures(const trie& t, const std::vector<uint32_t>& bfs,
                              const std::vector<uint32_t>& slot_of) {
    std::vector<uint32_t>& best_rank = match_rank_;
    best_rank.assign(slots_.size(), none);
    for (uint32_t v = 0; v < states_; ++v) best_rank[slot_of[v]] = t.rank[v];
    for (size_t i = 1; i < states_; ++i) {
        const uint32_t v = bfs[i], s = slot_of[v], up = slot_of[t.parent[v]];
        const uint32_t f = up == 0 ? 0 : next(slots_[up].fail, t.label[v]);
        slots_[s].fail = f;
        if (best_rank[f] < best_rank[s]) {
            best_rank[s] = best_rank[f];
            slots_[s].match_length = slots_[f].match_length;
        }
    }
}

}  // namespace wordguard
