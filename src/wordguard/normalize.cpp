// NormalizedPromptBanChecker: banned words found through their disguises.
//
// The prompt and the banned words are read through the same normalisation,
// one character at a time, into a stream of keys:
//
//  * every character becomes its compatibility decomposition (NFKD) and, when
//    case is ignored, its full case folding, as the running interpreter's
//    `unicodedata` and `str.casefold` give them; letters that look like a
//    basic Latin letter become that letter, traditional Chinese characters
//    their simplified forms (tables generated from ICU at build time);
//  * invisible characters (default-ignorable, controls, private use,
//    unassigned) vanish, and so do combining marks
//    on Latin, Greek, Cyrillic and Han characters;
//  * separators (white space, punctuation, symbols) are not keys: each key
//    notes how many separators came before it, and whether they included
//    a clause break.
//
// A trie of the words' keys, folded further (i and l as one, digits and
// symbols as the letters they stand in for), reversed, drives an Aho–Corasick
// automaton that reads the prompt's keys backward, a window at a time: at
// each key it knows the words that may begin there. The hits are then taken
// from the left, verifying each candidate against its word, key by key and
// against the rules on separators and word boundaries (README, "Seeing
// through disguises"); keys inside a hit already taken are never verified.
// The scan is linear in the prompt and keeps only a window of it.
#include "normalize.hpp"
#include "hits.hpp"

#include "automaton.hpp"

#include <algorithm>
#include <array>
#include <iterator>
#include <map>
#include <optional>
#include <stdexcept>
#include <type_traits>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "chars.hpp"
#include "wordguard_readings.inc"
#include "wordguard_tables.inc"

namespace kind = pv::kind;
using pv::kw;
using pv::ref;

namespace wordguard {

namespace {

constexpr code_point last_code_point = 0x10FFFF;

// ---------------------------------------------------------------- letters

constexpr uint32_t bit(char letter) { return uint32_t{1} << (letter - 'a'); }

// What a basic Latin key may stand for: the letters (as a set) and whether it
// matches any of them loosely. Digits and "@" "$" stand in for letters (inside
// Latin words); a capital I looks like a small l.
struct stand_in {
    uint32_t letters = 0;
    bool loose = false;
    bool digit_or_symbol = false;
};

constexpr std::array<stand_in, 128> make_stand_ins() {
    std::array<stand_in, 128> t{};
    for (char c = 'a'; c <= 'z'; ++c) t[c].letters = bit(c);
    for (char c = 'A'; c <= 'Z'; ++c) t[c].letters = bit(static_cast<char>(c - 'A' + 'a'));
    t['I'] = {bit('i') | bit('l'), true, false};
    const std::pair<char, uint32_t> symbols[] = {{'0', bit('o')}, {'1', bit('i') | bit('l')},
                                                 {'3', bit('e')}, {'4', bit('a')},
                                                 {'5', bit('s')}, {'7', bit('t')},
                                                 {'@', bit('a')}, {'$', bit('s')}};
    for (auto [c, letters] : symbols) t[c] = {letters, true, true};
    return t;
}
constexpr std::array<stand_in, 128> stand_ins = make_stand_ins();

const stand_in& stand_in_of(code_point key) {
    static constexpr stand_in none{};
    return key < 128 ? stand_ins[key] : none;
}

// The key the automaton reads: one for all keys that may match each other.
code_point coarse(code_point key) {
    const uint32_t letters = stand_in_of(key).letters;
    if (!letters) return key;
    if (letters & (bit('i') | bit('l'))) return 'i';
    return 'a' + static_cast<code_point>(__builtin_ctz(letters));
}

bool is_symbol_stand_in(code_point key) { return key == '@' || key == '$'; }

// ---------------------------------------------------------------- characters

// One key with the class of its character (chars.hpp).
struct keyed {
    code_point key;
    uint8_t cls;
};

uint8_t role_of(uint8_t c) { return c & chars::role_mask; }
uint8_t script_of(uint8_t c) { return c & chars::script_mask; }
// Whether class c is a letter of `script`, in one comparison.
bool letter_of(uint8_t c, uint8_t script) {
    return (c & (chars::role_mask | chars::script_mask)) == (chars::letter | script);
}
bool is_han_letter(uint8_t c) { return letter_of(c, chars::han); }
bool is_word_char(uint8_t c) {
    const uint8_t r = role_of(c);
    return r == chars::letter || r == chars::number || r == chars::mark;
}
bool written_without_spaces(uint8_t c) {
    return script_of(c) == chars::unspaced || script_of(c) == chars::han;
}
// Marks on these are accents or decoration, not spelling.
bool drops_marks(uint8_t c) {
    const uint8_t s = script_of(c);
    return role_of(c) != chars::letter || s == chars::common || s == chars::latin ||
           s == chars::greek_cyrillic || s == chars::han;
}

// The class of every code point, from the generated runs.
std::vector<uint8_t> classes_of_all() {
    std::vector<uint8_t> classes(last_code_point + 1);
    const size_t runs = std::size(tables::run_starts);
    for (size_t i = 0; i < runs; ++i) {
        const size_t end = i + 1 < runs ? tables::run_starts[i + 1] : classes.size();
        std::fill(classes.begin() + tables::run_starts[i], classes.begin() + end,
                  tables::run_classes[i]);
    }
    return classes;
}

}  // namespace

// The keys of every code point in one case mode. An entry holds the key
// (0: the code point itself) and the key's class, or points into
// `expansions` when the character becomes several keys. Blocks of 256
// entries are shared where they are equal.
struct char_table {
    static constexpr uint32_t key_bits = 21, key_field = (1u << key_bits) - 1;
    static constexpr uint32_t expands = 1u << 29;
    // The character is a capital letter (as the interpreter has it), so that
    // reading a text never asks the interpreter.
    static constexpr uint32_t capital = 1u << 30;
    // A single key that is a letter, a digit or other: an element as it is.
    static constexpr uint32_t at_once = 1u << 31;

    std::vector<uint32_t> block_of;  // per 256 code points: the offset of its block
    std::vector<uint32_t> entries;
    std::vector<keyed> expansions;  // a count (in .key), then that many keys

    // The look-up through plain pointers (code_point_table::view says why).
    struct view {
        const uint32_t *block_of, *entries;
        uint32_t operator[](code_point c) const { return entries[block_of[c >> 8] + (c & 0xFF)]; }
    };
    view viewed() const { return {block_of.data(), entries.data()}; }
    uint32_t operator[](code_point c) const { return viewed()[c]; }
    static keyed plain(uint32_t entry, code_point c) {
        const code_point key = entry & key_field;
        return {key ? key : c, static_cast<uint8_t>(entry >> key_bits)};
    }
};

namespace {

// Decompositions (and case foldings) that the interpreter gives, for every
// code point whose block it changes: code point -> keys.
using mapping = std::unordered_map<code_point, std::u32string>;

std::u32string chars_of(PyObject* s, Py_ssize_t begin, Py_ssize_t end) {
    std::u32string out;
    for (Py_ssize_t i = begin; i < end; ++i) out.push_back(PyUnicode_READ_CHAR(s, i));
    return out;
}

// Asks the interpreter block by block which code points change under NFKD
// (and case folding), then decomposes those in bulk: the code points are
// joined by NUL, which no decomposition contains and across which nothing
// is reordered.
ref text_of(const std::vector<Py_UCS4>& chars) {
    return ref::steal(PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, chars.data(),
                                                static_cast<Py_ssize_t>(chars.size())));
}

mapping interpreter_mapping(const ref& unicodedata, bool fold) {
    ref is_normalized = unicodedata.attr("is_normalized"),
        normalize = unicodedata.attr("normalize");
    ref nfkd = pv::str("NFKD");
    std::vector<code_point> changing;
    std::vector<Py_UCS4> chars(256);
    for (code_point block = 0; block <= (last_code_point >> 8); ++block) {
        if (block >= 0xD8 && block < 0xE0) continue;  // surrogates: themselves
        for (code_point i = 0; i < 256; ++i) chars[i] = (block << 8) | i;
        ref text = text_of(chars);
        bool same = is_normalized(nfkd, text).truthy();
        if (same && fold) same = pv::equal(text.call_method("casefold"), text);
        if (same) continue;
        for (code_point i = block ? 0 : 1; i < 256; ++i) changing.push_back((block << 8) | i);
    }
    chars.clear();
    for (code_point c : changing) chars.insert(chars.end(), {c, 0});
    ref joined = text_of(chars);
    // `unicodedata` is the module Python code finds under that name, which
    // may have been replaced: its answers are read only as exact str, one
    // NUL-ended piece per code point.
    auto text_answer = [](ref answer) {
        if (!PyUnicode_CheckExact(answer.get()))
            pv::raise(PyExc_TypeError, "unicodedata.normalize() returned %.200s, not str",
                      Py_TYPE(answer.get())->tp_name);
        return answer;
    };
    ref decomposed = text_answer(normalize(nfkd, joined));
    ref result =
        fold ? text_answer(normalize(nfkd, decomposed.call_method("casefold"))) : decomposed;

    mapping out;
    Py_ssize_t at = 0, at_decomposed = 0;
    auto next_piece = [](PyObject* s, Py_ssize_t& from) {
        const Py_ssize_t n = PyUnicode_GET_LENGTH(s);
        Py_ssize_t end = from;
        while (end < n && PyUnicode_READ_CHAR(s, end) != 0) ++end;
        if (end == n)
            pv::raise(PyExc_ValueError, "unicodedata.normalize() lost the NULs between characters");
        std::u32string piece = chars_of(s, from, end);
        from = end + 1;
        return piece;
    };
    for (code_point c : changing) {
        std::u32string keys = next_piece(result.get(), at);
        // A capital I stays one: it looks like a small l (stand_ins).
        if (fold && next_piece(decomposed.get(), at_decomposed) == U"I") keys.assign(1, U'I');
        if (keys.size() != 1 || keys[0] != c) out.emplace(c, std::move(keys));
    }
    return out;
}

// Look-alike letters and simplified forms, applied to every key.
std::unordered_map<code_point, code_point> key_replacements(bool fold) {
    std::unordered_map<code_point, code_point> out;
    for (const auto& [c, letter] : tables::latin_lookalikes) {
        code_point target = letter;
        if (fold && target != 'I' && target >= 'A' && target <= 'Z') target += 'a' - 'A';
        out.emplace(c, target);
    }
    for (const auto& [c, simple] : tables::simplified_forms) out.emplace(c, simple);
    return out;
}

// Fills the table of one case mode (no Python object is touched).
void fill_char_table(char_table& table, const mapping& decomposed, bool fold) {
    const std::vector<uint8_t> classes = classes_of_all();
    const auto replacements = key_replacements(fold);
    auto replaced = [&](code_point k) {
        const auto it = replacements.find(k);
        return it == replacements.end() ? k : it->second;
    };
    constexpr uint8_t breaks = chars::clause_break | chars::unspaced_break;

    auto is_basic_latin_letter = [](code_point k) {
        return k < 128 && stand_in_of(k).letters && !stand_in_of(k).digit_or_symbol;
    };
    auto keys_of = [&](code_point c) -> uint32_t {
        auto it = decomposed.find(c);
        // A look-alike letter is its Latin letter before it is decomposed
        // (lunate sigma is "c", not the sigma it decomposes to), unless the
        // decomposition is a Latin letter itself (long s is "s").
        if (it != decomposed.end() && replaced(c) != c && is_basic_latin_letter(replaced(c)) &&
            !(it->second.size() == 1 && is_basic_latin_letter(it->second[0])))
            it = decomposed.end();
        if (it == decomposed.end()) {
            const code_point k = replaced(c);
            const uint8_t kc =
                k == c || role_of(classes[c]) == chars::mark ? classes[c] : classes[k];
            return (k == c ? 0 : k) | uint32_t{kc} << char_table::key_bits;
        }
        // The keys of the decomposition; marks on a letter that drops them go.
        // A mark stays a mark whatever it folds to (U+0345 folds to a letter).
        std::vector<keyed> keys;
        const bool is_mark = role_of(classes[c]) == chars::mark;
        for (code_point k : it->second) {
            k = replaced(k);
            uint8_t kc = is_mark ? classes[c] : classes[k];
            if (role_of(kc) == chars::mark && !keys.empty() && drops_marks(keys.front().cls))
                continue;
            keys.push_back({k, static_cast<uint8_t>(kc | (classes[c] & breaks))});
        }
        if (keys.size() == 1) return keys[0].key | uint32_t{keys[0].cls} << char_table::key_bits;
        const auto index = static_cast<uint32_t>(table.expansions.size());
        table.expansions.push_back({static_cast<code_point>(keys.size()), 0});
        table.expansions.insert(table.expansions.end(), keys.begin(), keys.end());
        return index | char_table::expands;
    };
    auto entry_of = [&](code_point c) {
        uint32_t entry = keys_of(c) | (Py_UNICODE_ISUPPER(c) ? char_table::capital : 0);
        if (!(entry & char_table::expands)) {
            const uint8_t role = role_of(static_cast<uint8_t>(entry >> char_table::key_bits));
            if (role == chars::letter || role == chars::number || role == chars::other)
                entry |= char_table::at_once;
        }
        return entry;
    };

    // Blocks, each kept once.
    std::unordered_map<std::u32string, uint32_t> offsets;
    table.block_of.resize((last_code_point >> 8) + 1);
    std::u32string block(256, 0);
    for (code_point b = 0; b < table.block_of.size(); ++b) {
        for (code_point i = 0; i < 256; ++i) block[i] = entry_of((b << 8) | i);
        auto [it, fresh] = offsets.emplace(block, static_cast<uint32_t>(table.entries.size()));
        if (fresh) table.entries.insert(table.entries.end(), block.begin(), block.end());
        table.block_of[b] = it->second;
    }
}

std::shared_ptr<const char_table> build_char_table(base_state& st, bool fold) {
    const mapping decomposed = interpreter_mapping(st.import_module("unicodedata"), fold);
    auto table = std::make_shared<char_table>();
    pv::without_gil([&] { fill_char_table(*table, decomposed, fold); });
    return table;
}

std::shared_ptr<const char_table> chars_for(base_state& st, bool fold) {
    std::shared_ptr<const char_table>& slot = fold ? st.folded_chars : st.exact_chars;
    if (!slot) {
        auto made = build_char_table(st, fold);
        if (!slot) slot = std::move(made);  // another thread may have made them meanwhile
    }
    return slot;
}

}  // namespace

// ---------------------------------------------------------------- readings

// When matching by sound, a syllable (a toneless spelling) is one key: this
// plus its number. Text never has such keys: private-use characters vanish.
constexpr code_point syllable_keys = 0xF0000;

// The Mandarin readings of the Han characters (generated from Unihan).
struct sound_table {
    code_point_table index;  // character -> 1 + its place in readings::chars
    // Character -> the key of its first reading's syllable, 0: none; the
    // text sounds as this, looked up once per character.
    code_point_table heard_as;
    // A trie of the spellings: node -> the node after each letter a-z (0:
    // none), and the spelling that ends at a node (-1: none). Node 0 is the root.
    std::vector<std::array<uint16_t, 26>> next{1};
    std::vector<int32_t> spelling_at{-1};
    std::vector<uint32_t> u_form;  // spelling -> the same with u for v (itself if none)
    // Whether a Latin word splits whole into syllables, each perhaps followed
    // by its tone number: an automaton over its keys, one step per key, run
    // while the word is found. Most words of other languages fall into the
    // dead state 0 within a few letters; `run_start` is where a word begins.
    static constexpr uint32_t run_start = 1;
    uint32_t run_after(uint32_t state, code_point key) const {
        return runs_[state].next[key < 128 ? run_column[key] : dead_column];
    }
    bool run_splits(uint32_t state) const { return runs_[state].whole; }

    sound_table() {
        for (uint32_t i = 0; i < std::size(readings::chars); ++i) {
            index.at(readings::chars[i]) = i + 1;
            if (readings::starts[i] != readings::starts[i + 1])
                heard_as.at(readings::chars[i]) =
                    syllable_keys + spelling(readings::codes[readings::starts[i]]);
        }
        for (uint32_t i = 0; i < std::size(readings::spellings); ++i) {
            size_t node = 0;
            for (const char* c = readings::spellings[i]; *c; ++c) {
                const auto letter = static_cast<size_t>(*c - 'a');
                if (!next[node][letter]) {
                    // Grown first: a reference into `next` would not survive it.
                    next.emplace_back();
                    spelling_at.push_back(-1);
                    next[node][letter] = static_cast<uint16_t>(next.size() - 1);
                }
                node = next[node][letter];
            }
            spelling_at[node] = static_cast<int32_t>(i);
        }
        for (uint32_t i = 0; i < std::size(readings::chars); ++i) {
            const uint16_t* first = readings::codes + readings::starts[i];
            for (const uint16_t* r = first + 1; r != readings::codes + readings::starts[i + 1];
                 ++r) {
                if (!customary(*r) || spelling(*r) == spelling(*first)) continue;
                auto& shown = other_customary[toned(*r)];
                if (std::find(shown.begin(), shown.end(), spelling(*first)) == shown.end())
                    shown.push_back(spelling(*first));
            }
        }
        for (uint32_t i = 0; i < std::size(readings::spellings); ++i) {
            std::string u = readings::spellings[i];
            std::replace(u.begin(), u.end(), 'v', 'u');
            u_form.push_back(static_cast<uint32_t>(spelling(u)));
        }
        make_runs();
    }
    // The number of the spelling `letters`, or -1.
    int32_t spelling(std::string_view letters) const {
        size_t node = 0;
        for (char c : letters) {
            if (c < 'a' || c > 'z' || !(node = next[node][static_cast<size_t>(c - 'a')])) return -1;
        }
        return spelling_at[node];
    }
    // The readings of c (spelling << 4 | customary << 3 | tone), its
    // customary one first; empty when it has none.
    std::pair<const uint16_t*, const uint16_t*> of(code_point c) const {
        const uint32_t i = index[c];
        if (!i) return {nullptr, nullptr};
        return {readings::codes + readings::starts[i - 1], readings::codes + readings::starts[i]};
    }
    static uint32_t spelling(uint16_t reading) { return reading >> 4; }
    static bool customary(uint16_t reading) { return reading & 8; }
    static uint16_t toned(uint16_t reading) { return reading & ~8; }  // spelling and tone

    // Whether a customary reading of `text_char` (as a writer reads it) is a
    // reading of `word_char`, tone included.
    bool shares_reading(code_point text_char, code_point word_char) const {
        const auto [word_first, word_end] = of(word_char);
        for (auto [r, end] = of(text_char); r != end; ++r)
            if (customary(*r))
                for (const uint16_t* w = word_first; w != word_end; ++w)
                    if (toned(*r) == toned(*w)) return true;
        return false;
    }

    // The spellings under which text shows the characters that have the
    // toned reading `reading`: a character reads as its first reading only,
    // so one with another customary reading (柏 bǎi, bó) shows that one too.
    std::vector<uint32_t> shown_as(uint16_t reading) const {
        std::vector<uint32_t> out{spelling(reading)};
        if (auto it = other_customary.find(toned(reading)); it != other_customary.end())
            out.insert(out.end(), it->second.begin(), it->second.end());
        return out;
    }

private:
    // Toned reading -> the first spellings of the characters that have it as
    // a customary reading but not as their first.
    std::unordered_map<uint16_t, std::vector<uint32_t>> other_customary;

    // Columns: the letters a-z (either case), a tone number 0-5, and any
    // other key, which no syllable has. A state fills one cache line.
    static constexpr uint8_t tone_column = 26, dead_column = 27;
    static constexpr auto run_column = [] {
        std::array<uint8_t, 128> c{};
        c.fill(dead_column);
        for (int k = 0; k < 26; ++k) c['a' + k] = c['A' + k] = static_cast<uint8_t>(k);
        for (int k = 0; k <= 5; ++k) c['0' + k] = tone_column;
        return c;
    }();
    struct alignas(64) run_state {
        std::array<uint16_t, dead_column + 1> next{};  // 0: dead
        bool whole = false;                            // the keys so far split whole
    };
    std::vector<run_state> runs_;

    // Made from the spellings' trie, subset by subset. A subset is the trie
    // nodes the keys so far may stand at (the root: between syllables), and
    // whether a syllable has just ended, which a tone number may follow; a
    // syllable followed by a digit takes it as its tone, so a digit after
    // anything else, or above 5, ends every split.
    void make_runs() {
        using subset = std::pair<std::vector<uint16_t>, bool>;
        std::map<subset, uint16_t> number;
        std::vector<subset> subsets;
        auto state_of = [&](subset&& s) -> uint16_t {
            if (s.first.empty()) return 0;
            if (auto it = number.find(s); it != number.end()) return it->second;
            // Some hundreds for Mandarin's syllables.
            if (subsets.size() > UINT16_MAX) throw std::length_error("syllable automaton");
            const auto state = static_cast<uint16_t>(subsets.size());
            number.emplace(s, state);
            subsets.push_back(std::move(s));
            return state;
        };
        subsets.emplace_back();  // dead
        state_of({{0}, false});  // run_start
        for (uint32_t at = 1; at < subsets.size(); ++at) {
            const subset current = subsets[at];  // copied: `subsets` grows below
            run_state r;
            r.whole = current.first.front() == 0;  // at the root: between syllables
            for (size_t letter = 0; letter < 26; ++letter) {
                subset to;
                for (uint16_t node : current.first)
                    if (const uint16_t t = next[node][letter]) to.first.push_back(t);
                to.second = std::any_of(to.first.begin(), to.first.end(),
                                        [&](uint16_t t) { return spelling_at[t] >= 0; });
                if (to.second) to.first.push_back(0);
                std::sort(to.first.begin(), to.first.end());
                to.first.erase(std::unique(to.first.begin(), to.first.end()), to.first.end());
                r.next[letter] = state_of(std::move(to));
            }
            if (current.second) r.next[tone_column] = run_start;
            runs_.resize(subsets.size());
            runs_[at] = r;
        }
    }
};

namespace {

std::shared_ptr<const sound_table> sounds_for(base_state& st) {
    if (!st.sounds) {
        std::shared_ptr<const sound_table> made;
        pv::without_gil([&] { made = std::make_shared<const sound_table>(); });
        if (!st.sounds) st.sounds = std::move(made);
    }
    return st.sounds;
}

// ---------------------------------------------------------------- reading

// One key of the normalised text, where it came from, and what came before.
struct element {
    size_t begin, end;  // the prompt's characters it stands for (and marks that went)
    code_point key;
    uint8_t cls;
    uint8_t gap;         // separators between it and the element before, at most 255
    uint8_t gap_breaks;  // the clause breaks among them, `joiner` or `stop_space`
    uint8_t flags;       // `capital`, `stop_after`, `starts_word`, `ends_word`
    code_point han;      // when matching by sound: the Han character read as a syllable
};

// Grows a vector of elements without writing the new ones: whoever makes an
// element writes all of it, and the reader makes one per character.
template <class T>
struct unwritten : std::allocator<T> {
    template <class U>
    struct rebind {
        using other = unwritten<U>;
    };
    unwritten() = default;
    template <class U>
    unwritten(const unwritten<U>&) {}
    template <class U>
    void construct(U* p) noexcept {
        ::new (static_cast<void*>(p)) U;
    }
    template <class U, class... A>
    void construct(U* p, A&&... a) {
        ::new (static_cast<void*>(p)) U(std::forward<A>(a)...);
    }
};
using elements = std::vector<element, unwritten<element>>;

// The gap is one hyphen or apostrophe, which joins two letters into one word
// ("re-enter", "don't"). Shares `gap_breaks` with the clause breaks.
constexpr uint8_t joiner = 0x01;
// The gap is a full stop right after the element before, then white space:
// the end of a sentence ("颜色. 情况"), not a separator put into a word.
constexpr uint8_t stop_space = 0x02;
bool is_joiner(code_point key) {
    return key == '-' || key == '\'' || key == 0x2010 || key == 0x2011 || key == 0x2019;
}
// Flags: written as a capital letter; followed directly by a full stop; a
// pinyin syllable that begins or ends its Latin word.
constexpr uint8_t capital = 0x01, stop_after = 0x02, starts_word = 0x04, ends_word = 0x08;

bool invisible_mark(code_point c) {
    return c == 0x034F || (c >= 0x180B && c <= 0x180D) || c == 0x180F ||
           (c >= 0xFE00 && c <= 0xFE0F) || (c >= 0xE0100 && c <= 0xE01EF);
}

// Reads a text into elements, appended to `out`, whose last one trailing
// marks extend. It reads as far as it is asked, so a long text is read piece
// by piece (the caller may drop elements from the front in between).
template <class Char>
class reader {
public:
    reader(const char_table& table, const Char* text, size_t n, elements& out)
        : table_(table), text_(text), n_(n), out_(out) {}

    // Reads the characters up to `until`. Most characters are one letter or
    // digit, which becomes an element at once, past the cases of the other
    // roles. What one character leaves for the next, and where the next
    // element goes, are locals while reading: the elements' byte-sized fields
    // may alias anything, so a member would be stored and loaded again for
    // every element.
    void run(size_t until) {
        if (i_ >= until) return;
        const char_table& table = table_;
        const Char* const text = text_;
        elements& out = out_;
        gap_state s = state_;
        // Room for one element per character, more where one expands; the
        // elements are written through `at`, and `out` is cut to them after.
        size_t o = out.size();
        out.resize(o + (until - i_));
        element* at = out.data();
        // Key k of text[i] as an element; `may_be_mark` is false for the
        // characters that become one at once, which are never marks.
        auto put = [&](keyed k, size_t i, uint32_t entry,
                       bool may_be_mark) __attribute__((always_inline)) {
            // Written field by field where it stays: an element put together
            // on the stack and then copied stalls the copy's wide loads.
            element& e = at[o++];
            e.begin = i;
            e.end = i + 1;
            e.key = k.key;
            e.cls = k.cls;
            e.gap = s.gap;
            e.gap_breaks = s.breaks;
            e.flags = entry & char_table::capital && role_of(k.cls) == chars::letter ? capital : 0;
            e.han = 0;
            s.gap = 0;
            s.breaks = 0;
            if (!may_be_mark || role_of(k.cls) != chars::mark) s.marks_on = k.cls;
        };
        // A mark that goes: the element it follows, if directly, spans it.
        auto mark_of_last = [&](size_t i) __attribute__((always_inline)) {
            if (o > 0 && s.gap == 0) at[o - 1].end = i + 1;
        };
        auto take = [&](keyed k, size_t i, uint32_t entry) __attribute__((always_inline)) {
            switch (role_of(k.cls)) {
                case chars::ignorable:
                    // Invisible combining marks (the grapheme joiner, variation
                    // selectors) belong to the character before them, as others do.
                    if (invisible_mark(text[i])) mark_of_last(i);
                    return;
                case chars::mark:
                    if (!drops_marks(s.marks_on)) break;
                    mark_of_last(i);
                    return;
                case chars::separator:
                    if (is_symbol_stand_in(k.key) && (word_before(s, at, o) || word_after(i + 1))) {
                        k.cls = chars::number | chars::common;
                        break;
                    }
                    separator(s, k, i, text[i], at, o);
                    return;
                default: break;
            }
            put(k, i, entry, true);
        };
        const char_table::view entries = table.viewed();
        for (size_t i = i_; i < until; ++i) {
            const code_point c = text[i];
            const uint32_t entry = entries[c];
            if ((entry & (char_table::expands | char_table::at_once)) == char_table::at_once) {
                put(char_table::plain(entry, c), i, entry, false);
            } else if (c == ' ') {
                // The commonest separator, past the cases of the other roles;
                // a space is its own key in both case modes, so the tests of
                // the key fold away.
                const keyed space{' ', static_cast<uint8_t>(entry >> char_table::key_bits)};
                separator(s, space, i, ' ', at, o);
            } else if (entry & char_table::expands) {
                const keyed* k = &table.expansions[entry & char_table::key_field];
                if (o + k->key + (until - i) > out.size()) {
                    out.resize(o + k->key + (until - i));
                    at = out.data();
                }
                for (code_point j = 1; j <= k->key; ++j) take(k[j], i, entry);
            } else {
                take(char_table::plain(entry, c), i, entry);
            }
        }
        out.resize(o);
        state_ = s;
        i_ = until;
    }
    size_t trailing_gap() const { return state_.gap; }

private:
    // What the separators since the last element leave for the next one.
    struct gap_state {
        uint8_t gap = 0;     // how many, at most 255
        uint8_t breaks = 0;  // the clause breaks among them, `joiner` or `stop_space`
        uint8_t stop = 0;    // the gap began with a full stop (1), then only white space (2)
        uint8_t marks_on = chars::separator;  // the class of what a mark would join
        size_t gap_end = 0;                   // the character of the last separator counted
    };

    // Separator key k of character c, text[i]. The character is passed in:
    // read from the member, it is loaded again through `this` (as in run()),
    // about 1% more instructions per check.
    __attribute__((always_inline)) void separator(gap_state& s, keyed k, size_t i, code_point c,
                                                  element* at, size_t o) const {
        if (s.gap && i == s.gap_end) return;  // one character, several keys ("…")
        if (s.gap == 0) {
            s.stop = k.key == '.' ? 1 : 0;
            if (s.stop && o > 0) at[o - 1].flags |= stop_after;
        } else if (s.stop) {
            s.stop = Py_UNICODE_ISSPACE(c) ? 2 : 0;
        }
        s.breaks = static_cast<uint8_t>((s.breaks & ~(joiner | stop_space)) |
                                        (k.cls & (chars::clause_break | chars::unspaced_break)) |
                                        (s.gap == 0 && is_joiner(k.key) ? joiner : 0) |
                                        (s.stop == 2 ? stop_space : 0));
        s.gap += s.gap < 255;
        s.gap_end = i;
        s.marks_on = chars::separator;
    }
    bool word_before(const gap_state& s, const element* at, size_t o) const {
        if (o == 0 || s.gap != 0) return false;
        const uint8_t role = role_of(at[o - 1].cls);
        return role == chars::letter || role == chars::number;
    }
    // Whether the next visible character, from `i` on, is a letter or digit.
    bool word_after(size_t i) const {
        for (; i < n_; ++i) {
            const uint32_t entry = table_[text_[i]];
            const keyed k = entry & char_table::expands
                                ? table_.expansions[(entry & char_table::key_field) + 1]
                                : char_table::plain(entry, text_[i]);
            const uint8_t role = role_of(k.cls);
            if (role == chars::ignorable || role == chars::mark) continue;
            return role == chars::letter || role == chars::number;
        }
        return false;
    }

    const char_table& table_;
    const Char* text_;
    size_t n_, i_ = 0;
    elements& out_;
    gap_state state_;
};

// Reads text[0, n) into `out`; returns how many separators it ends with.
template <class Char>
size_t read_text(const char_table& table, const Char* text, size_t n, elements& out) {
    reader r(table, text, n, out);
    r.run(n);
    return r.trailing_gap();
}

bool latin_letter(const element& e) { return letter_of(e.cls, chars::latin); }

// A key of a Latin word as pinyin reads it: a Latin letter or an ASCII digit.
bool latin_word_key(const element& e) { return latin_letter(e) || (e.key >= '0' && e.key <= '9'); }

// How the Latin word `keys` (small letters and digits) splits into pinyin
// syllables, each perhaps followed by its tone number (0 to 5): into `out`,
// per syllable, the end of its piece and its spelling, the longest syllable
// first where there is a choice; empty when it does not split. `splits` is
// room to work in.
void pinyin_split(const sound_table& sounds, const std::string& keys,
                  std::vector<std::pair<size_t, uint32_t>>& out, std::vector<char>& splits) {
    out.clear();
    const size_t n = keys.size();
    auto digit = [&](size_t k) { return keys[k] >= '0' && keys[k] <= '9'; };
    // The syllables from keys[k]: calls each(end of piece, spelling), longest last.
    auto syllables_at = [&](size_t k, auto&& each) {
        for (size_t node = 0, end = k; end < n && !digit(end);) {
            node = keys[end] >= 'a' && keys[end] <= 'z'
                       ? sounds.next[node][static_cast<size_t>(keys[end] - 'a')]
                       : 0;
            if (!node) return;
            ++end;
            if (const int32_t s = sounds.spelling_at[node]; s >= 0) {
                if (end == n || !digit(end))
                    each(end, static_cast<uint32_t>(s));
                else if (keys[end] <= '5')
                    each(end + 1, static_cast<uint32_t>(s));
            }
        }
    };
    splits.assign(n + 1, 0);  // whether keys[k, n) splits
    splits[n] = 1;
    for (size_t k = n; k-- > 0;)
        syllables_at(k, [&](size_t end, uint32_t) { splits[k] = splits[k] || splits[end]; });
    if (!splits[0]) return;
    for (size_t k = 0; k < n; k = out.back().first) {
        std::pair<size_t, uint32_t> best{0, 0};
        syllables_at(k, [&](size_t end, uint32_t s) {
            if (splits[end]) best = {end, s};
        });
        out.push_back(best);
    }
}

// Where to_sounds stopped: the turned elements are out[0, turned), and
// out[turned, size) the word it left as it was.
struct sounds_written {
    size_t turned, size;
};

// Turns elements in[0, n) into the text as it sounds, into `out`, which may
// be `in` itself (an element is never written beyond the one it comes from):
// a Han character with a reading becomes the syllable of its first one
// (keeping its class and, in `han`, the character), and a Latin word that
// splits whole into pinyin syllables ("seqing", "se4qing2") becomes those
// syllables, each spanning its letters and tone number. A word that may go
// on past the elements read so far stays as it is, unless `last`. Unless
// `latin_keys` (the words have Latin letters or digits), a Latin word that
// does not split keeps only its first and last letters: no word can stand on
// it, and those are the neighbours a word beside it is judged by.
sounds_written to_sounds(const sound_table& sounds, const element* in, size_t n, bool last,
                         bool latin_keys, element* out) {
    std::string keys;
    std::vector<std::pair<size_t, uint32_t>> syllables;
    std::vector<char> splits;
    size_t o = 0;
    // Moves in[i, j) to out[o, ...) as it is; forward, as out may be in.
    auto keep = [&](size_t i, size_t j) {
        for (; i < j; ++i) out[o++] = in[i];
    };
    const code_point_table::view heard_as = sounds.heard_as.viewed();
    for (size_t i = 0; i < n;) {
        // By reference: an element copied to the stack first and then
        // stored stalls the store's wide loads (out[o] is never past in[i]).
        const element& e = in[i];
        if (!latin_word_key(e)) {
            element& turned = out[o++];
            if (&turned != &e) turned = e;
            if (is_han_letter(turned.cls)) {
                if (const code_point syllable = heard_as[turned.key]) {
                    turned.han = turned.key;
                    turned.key = syllable;
                }
            }
            ++i;
            continue;
        }
        // A Latin word: letters and digits with nothing between them,
        // run through the syllable automaton as it is found.
        size_t j = i + 1;
        uint32_t run = sounds.run_after(sound_table::run_start, e.key);
        while (j < n && in[j].gap == 0 && latin_word_key(in[j]))
            run = sounds.run_after(run, in[j++].key);
        if (j == n && !last) {
            const size_t turned = o;
            keep(i, n);
            return {turned, o};
        }
        syllables.clear();
        if (sounds.run_splits(run)) {
            keys.clear();
            for (size_t k = i; k < j; ++k) {
                const code_point c = in[k].key;
                keys.push_back(c < 128
                                   ? static_cast<char>(c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c)
                                   : '?');  // no syllable has it
            }
            pinyin_split(sounds, keys, syllables, splits);
        }
        if (syllables.empty()) {
            if (latin_keys || j - i <= 2) {
                keep(i, j);
            } else {
                out[o++] = in[i];
                out[o++] = in[j - 1];  // not yet written over: o <= i + 1 < j - 1
            }
        } else {
            size_t k = 0;
            for (auto [end, spelling] : syllables) {
                element syllable = in[i + k];
                syllable.key = syllable_keys + spelling;
                syllable.end = in[i + end - 1].end;
                syllable.flags = static_cast<uint8_t>((k == 0 ? starts_word : 0) |
                                                      (end == keys.size() ? ends_word : 0) |
                                                      (in[i + end - 1].flags & stop_after));
                out[o++] = syllable;
                k = end;
            }
        }
        i = j;
    }
    return {o, o};
}

// ---------------------------------------------------------------- automaton

// An Aho–Corasick automaton over coarse keys. It holds the words reversed and
// reads the text backward: after each key, the words that begin there. The
// root's moves are a dense table; the other edges live in a double array
// (slot_allocator), so that an edge costs one look-up.
class key_automaton {
public:
    static constexpr uint32_t root = 0, none = UINT32_MAX;

    // Adds a word (its symbols, numbered from 1) and returns its state.
    uint32_t insert(const std::vector<uint32_t>& symbols) {
        uint32_t s = root;
        for (uint32_t a : symbols) {
            auto [it, fresh] =
                building_.emplace(edge_key(s, a), static_cast<uint32_t>(depth_.size()));
            if (fresh) depth_.push_back(depth_[s] + 1);
            s = it->second;
        }
        return s;
    }

    // Failure and output links, once all words are in; `has_words[s]` tells
    // whether some word ends at state s.
    void finish(uint32_t alphabet, const std::vector<bool>& has_words) {
        const size_t n = depth_.size();
        std::vector<std::vector<std::pair<uint32_t, uint32_t>>> children(n);
        for (auto [key, t] : building_)
            children[key >> 32].emplace_back(static_cast<uint32_t>(key), t);
        building_.clear();

        links_.assign(n, {root, 0, 0});
        output_.assign(n, none);
        root_next_.assign(alphabet + 1, root);
        slot_allocator allocator;
        std::vector<uint32_t> labels;
        for (uint32_t s = 1; s < n; ++s) {
            auto& edges = children[s];
            if (edges.empty()) continue;
            std::sort(edges.begin(), edges.end());
            labels.clear();
            for (auto [a, t] : edges) labels.push_back(a);
            links_[s].base = allocator.place(labels);
        }
        // Every base + symbol stays inside the array.
        cells_.assign(allocator.size() + alphabet + 1, {none, root});

        // Breadth first: a state's failure follows from its parent's (the
        // edges are placed level by level, before they are needed).
        std::vector<uint32_t> queue;
        for (auto [a, t] : children[root]) {
            root_next_[a] = t;
            queue.push_back(t);
        }
        for (size_t q = 0; q < queue.size(); ++q) {
            const uint32_t s = queue[q];
            output_[s] = has_words[s] ? s : output_[links_[s].fail];
            for (auto [a, t] : children[s]) {
                links_[t].fail = next(links_[s].fail, a) & ~reports;
                links_[s].symbols |= symbol_bit(a);
                cells_[links_[s].base + a] = {s, t};
                queue.push_back(t);
            }
        }
        auto flagged = [&](uint32_t t) { return output_[t] != none ? t | reports : t; };
        for (auto& c : cells_)
            if (c.owner != none) c.target = flagged(c.target);
        for (uint32_t& t : root_next_) t = flagged(t);
    }

    static constexpr uint32_t reports = 1u << 31;
    struct links {
        uint32_t fail, base;  // its edges: cells_[base + symbol], where owned by it
        uint64_t symbols;     // symbol_bit of each symbol it has an edge for
    };
    struct cell {
        uint32_t owner, target;  // owner `none`: no edge here
    };
    // The moves through plain pointers (code_point_table::view says why).
    struct view {
        const links* links_of;
        const cell* cells;
        const uint32_t* root_next;
        // The state after reading symbol a in state s. States at which some
        // word ends carry the `reports` bit, so that the scan sees it without
        // a look-up.
        uint32_t next(uint32_t s, uint32_t a) const {
            for (s &= ~reports; s != root;) {
                const links& l = links_of[s];
                if (l.symbols & symbol_bit(a)) {  // else certainly no such edge
                    const cell& c = cells[l.base + a];
                    if (c.owner == s) return c.target;
                }
                s = l.fail;
            }
            return root_next[a];
        }
    };
    view viewed() const { return {links_.data(), cells_.data(), root_next_.data()}; }
    uint32_t next(uint32_t s, uint32_t a) const { return viewed().next(s, a); }
    // The first state at which words end, on the failure chain from s on
    // (s itself included), or none.
    uint32_t output(uint32_t s) const { return output_[s & ~reports]; }
    uint32_t fail(uint32_t s) const { return links_[s & ~reports].fail; }
    uint32_t depth(uint32_t s) const { return depth_[s & ~reports]; }
    size_t states() const { return depth_.size(); }

private:
    static uint64_t edge_key(uint32_t s, uint32_t a) { return uint64_t{s} << 32 | a; }

    // Most states have one or two edges, so a bit per symbol modulo 64 tells
    // nearly always, from what the failure step reads anyway, that a state
    // has no edge for a symbol, without a look into the (large) double array.
    static uint64_t symbol_bit(uint32_t a) { return uint64_t{1} << (a & 63); }
    std::unordered_map<uint64_t, uint32_t> building_;
    std::vector<cell> cells_;
    std::vector<uint32_t> root_next_, depth_{0}, output_;
    std::vector<links> links_;
};

// ---------------------------------------------------------------- matching

// A match in the prompt: its characters and the rank of its word.
struct hit {
    size_t begin, end;
    uint32_t rank;
};

// The matches of the words matched as written, in order, as an expression of
// the host's engine finds them: from an automaton window by window, as the
// scan of the normalised text asks for them, or from a list made beforehand.
template <class Char>
class literal_hits {
public:
    literal_hits(const automaton* exact, const std::vector<hit>* listed, const Char* text, size_t n)
        : exact_(exact), listed_(listed), text_(text), n_(n) {}

    // The next match that begins before `limit`, or null.
    const hit* peek(size_t limit) {
        if (listed_) {
            return next_ < listed_->size() && (*listed_)[next_].begin < limit ? &(*listed_)[next_]
                                                                              : nullptr;
        }
        if (!exact_) return nullptr;
        while (next_ == window_.size() && scanned_ < limit) {
            window_.clear();
            next_ = 0;
            const size_t end = std::min(n_, std::max(limit, scanned_ + (size_t{1} << 16)));
            from_ = exact_->find(text_, n_, scanned_, end, from_,
                                 [&](size_t at, uint32_t length, uint32_t rank) {
                                     window_.push_back({at, at + length, rank});
                                 });
            scanned_ = end;
        }
        return next_ < window_.size() && window_[next_].begin < limit ? &window_[next_] : nullptr;
    }
    void pop() { ++next_; }

private:
    const automaton* exact_;
    const std::vector<hit>* listed_;
    const Char* text_;
    size_t n_;
    std::vector<hit> window_;
    size_t next_ = 0, scanned_ = 0, from_ = 0;
};

// Where the allowed phrases occur in a text: a hit inside one of them is no hit.
class allowed_spans {
public:
    void add(size_t begin, size_t end) { spans_.emplace_back(begin, end); }
    void finish() {
        std::sort(spans_.begin(), spans_.end());
        for (size_t i = 1; i < spans_.size(); ++i)
            spans_[i].second = std::max(spans_[i].second, spans_[i - 1].second);
    }
    // Whether text[begin, end) lies inside an occurrence.
    bool cover(size_t begin, size_t end) const {
        auto it = std::upper_bound(spans_.begin(), spans_.end(),
                                   std::pair<size_t, size_t>{begin, SIZE_MAX});
        return it != spans_.begin() && std::prev(it)->second >= end;
    }

private:
    std::vector<std::pair<size_t, size_t>> spans_;  // after finish: ends as running maxima
};

class word_finder {
public:
    // `words` in list order; those for which normalisation keeps no key, or
    // that begin or end with separators, are left out: `literal` collects their
    // positions in the list.
    word_finder(std::shared_ptr<const char_table> table, const std::vector<ref>& words,
                std::vector<uint32_t>& literal);
    // The words with at least two Han characters, as they sound: each
    // character as the syllable of each of its readings (sound_table::shown_as),
    // found in the text's sound stream (to_sounds).
    word_finder(std::shared_ptr<const char_table> table, std::shared_ptr<const sound_table> sounds,
                const std::vector<ref>& words);

    // The hits in text[0, n), its own and the literal words', chosen as the
    // host's engine chooses among alternatives: leftmost first; where several
    // begin at the same character, the word listed first; no overlaps; none
    // inside an allowed phrase. Each is passed to on_hit(begin, end, rank),
    // in order.
    // `read`, when given, holds the whole text's elements, read by a finder
    // of the same character table (and turned by to_sounds for one that
    // matches by sound), so that several finders read a text once.
    template <class Char, class OnHit>
    void find(const Char* text, size_t n, const elements* read, literal_hits<Char>& literal,
              const allowed_spans* allowed, OnHit&& on_hit) const {
        scan<false>(text, n, read, literal, allowed, on_hit);
    }
    // Every place where some word occurs, overlaps included, as
    // on_hit(begin, end of the longest word there, 0); the literal words'
    // matches too.
    template <class Char, class OnHit>
    void occurrences(const Char* text, size_t n, const elements* read, literal_hits<Char>& literal,
                     OnHit&& on_hit) const {
        scan<true>(text, n, read, literal, nullptr, on_hit);
    }
    // Texts up to this long are read in one piece.
    static constexpr size_t piece = size_t{1} << 16;
    size_t states() const { return machine_.states(); }
    bool empty() const { return words_.empty(); }
    size_t longest() const { return longest_; }
    // Whether some word has a Latin letter or digit among its keys.
    bool latin_keys() const { return latin_keys_; }
    const std::shared_ptr<const char_table>& table() const { return table_; }
    const std::shared_ptr<const sound_table>& sound_table_of() const { return sounds_; }

private:
    struct word {
        uint32_t first, length;  // its elements in `elements_`
        uint32_t rank;
        uint32_t next;  // the next word with the same coarse keys, or none
    };
    struct building {
        std::unordered_map<code_point, uint32_t> symbol_of;  // coarse key -> symbol
        std::vector<std::vector<uint32_t>> sequences;        // of each word, reversed
    };
    void add(building& b, const elements& keys, uint32_t rank);
    void finish(building& b);
    template <bool All, class Char, class OnHit>
    void scan(const Char* text, size_t n, const elements* read, literal_hits<Char>& literal,
              const allowed_spans* allowed, OnHit&& on_hit) const;
    void walk(const elements& kept, size_t base, size_t from, size_t to, size_t until,
              std::vector<std::pair<size_t, uint32_t>>& starts,
              std::vector<std::pair<size_t, uint32_t>>& left) const;
    bool accepts(const word& w, const element* const* at, const element* before,
                 const element* after) const;
    bool sounds_like(const word& w, const element* const* at, const element* before,
                     const element* after) const;

    std::shared_ptr<const char_table> table_;
    std::shared_ptr<const sound_table> sounds_;  // when matching by sound
    elements elements_;
    std::vector<word> words_;
    std::vector<uint32_t> first_word_;  // per state: the first word ending there, or none
    std::vector<uint32_t> best_rank_;   // per state: the least rank of its words and its outputs'
    code_point_table symbols_;          // key -> symbol of its coarse key, 0: in no word
    key_automaton machine_;
    size_t longest_ = 0;
    bool latin_keys_ = false;
};

// The keys of a word, or false when normalisation keeps none of them or it
// begins or ends with separators.
bool read_word(const char_table& table, const ref& word, elements& read) {
    read.clear();
    const size_t trailing = pv::with_chars(word.get(), [&](const auto* chars, Py_ssize_t n) {
        return read_text(table, chars, static_cast<size_t>(n), read);
    });
    return !read.empty() && !read.front().gap && !trailing;
}

word_finder::word_finder(std::shared_ptr<const char_table> table, const std::vector<ref>& words,
                         std::vector<uint32_t>& literal)
    : table_(std::move(table)) {
    building b;
    elements read;
    for (size_t i = 0; i < words.size(); ++i) {
        if (read_word(*table_, words[i], read))
            add(b, read, static_cast<uint32_t>(i));
        else
            literal.push_back(static_cast<uint32_t>(i));
    }
    finish(b);
}

word_finder::word_finder(std::shared_ptr<const char_table> table,
                         std::shared_ptr<const sound_table> sounds, const std::vector<ref>& words)
    : table_(std::move(table)), sounds_(std::move(sounds)) {
    // At most this many spellings of one word (a word of polyphonic characters).
    constexpr size_t most_spellings = 64;
    building b;
    elements read, spelt;
    std::vector<std::vector<uint32_t>> options;  // per element: its syllables, none if not Han
    std::vector<size_t> choice;
    for (size_t i = 0; i < words.size(); ++i) {
        if (!read_word(*table_, words[i], read)) continue;
        options.assign(read.size(), {});
        size_t han = 0, spellings = 1;
        for (size_t k = 0; k < read.size(); ++k) {
            if (!is_han_letter(read[k].cls)) continue;
            auto& syllables = options[k];
            for (auto [r, end] = sounds_->of(read[k].key); r != end; ++r)
                for (uint32_t shown : sounds_->shown_as(*r))
                    for (uint32_t spelling : {shown, sounds_->u_form[shown]})
                        if (std::find(syllables.begin(), syllables.end(), spelling) ==
                            syllables.end())
                            syllables.push_back(spelling);
            if (syllables.empty()) continue;
            ++han;
            spellings *= syllables.size();
        }
        if (han < 2) continue;
        // Every combination of the characters' syllables, up to the limit.
        choice.assign(read.size(), 0);
        for (size_t made = 0; made < std::min(spellings, most_spellings); ++made) {
            spelt = read;
            for (size_t k = 0; k < read.size(); ++k) {
                if (options[k].empty()) continue;
                spelt[k].key = syllable_keys + options[k][choice[k]];
                spelt[k].han = read[k].key;
            }
            add(b, spelt, static_cast<uint32_t>(i));
            for (size_t k = 0; k < read.size(); ++k) {  // the next combination
                if (options[k].empty()) continue;
                if (++choice[k] < options[k].size()) break;
                choice[k] = 0;
            }
        }
    }
    finish(b);
    latin_keys_ = std::any_of(elements_.begin(), elements_.end(), latin_word_key);
}

void word_finder::add(building& b, const elements& keys, uint32_t rank) {
    std::vector<uint32_t> symbols;
    for (const element& e : keys) {
        auto [it, fresh] =
            b.symbol_of.emplace(coarse(e.key), static_cast<uint32_t>(b.symbol_of.size() + 1));
        symbols.push_back(it->second);
        if (fresh && e.key >= 128) symbols_.at(e.key) = it->second;
    }
    std::reverse(symbols.begin(), symbols.end());
    words_.push_back({static_cast<uint32_t>(elements_.size()), static_cast<uint32_t>(keys.size()),
                      rank, key_automaton::none});
    elements_.insert(elements_.end(), keys.begin(), keys.end());
    b.sequences.push_back(std::move(symbols));
    longest_ = std::max(longest_, keys.size());
}

void word_finder::finish(building& b) {
    for (code_point c = 0; c < 128; ++c) {
        const auto it = b.symbol_of.find(coarse(c));
        if (it != b.symbol_of.end()) symbols_.at(c) = it->second;
    }
    const auto& sequences = b.sequences;
    const auto& symbol_of = b.symbol_of;

    // Words with the same coarse keys share a state, in list order.
    std::vector<uint32_t> last_word;
    for (uint32_t w = 0; w < words_.size(); ++w) {
        const uint32_t s = machine_.insert(sequences[w]);
        if (first_word_.size() <= s) {
            first_word_.resize(s + 1, key_automaton::none);
            last_word.resize(s + 1, key_automaton::none);
        }
        if (first_word_[s] == key_automaton::none)
            first_word_[s] = w;
        else
            words_[last_word[s]].next = w;
        last_word[s] = w;
    }
    const size_t states = machine_.states();
    first_word_.resize(states, key_automaton::none);
    std::vector<bool> has_words(states);
    for (size_t s = 0; s < states; ++s) has_words[s] = first_word_[s] != key_automaton::none;
    machine_.finish(static_cast<uint32_t>(symbol_of.size()), has_words);

    // Shallower states first: an output's further outputs are shallower.
    std::vector<uint32_t> order(states);
    for (uint32_t s = 0; s < states; ++s) order[s] = s;
    std::stable_sort(order.begin(), order.end(),
                     [&](uint32_t a, uint32_t b) { return machine_.depth(a) < machine_.depth(b); });
    best_rank_.assign(states, key_automaton::none);
    for (uint32_t s : order) {
        if (first_word_[s] == key_automaton::none) continue;
        const uint32_t further = machine_.output(machine_.fail(s));
        best_rank_[s] =
            std::min(words_[first_word_[s]].rank,
                     further == key_automaton::none ? key_automaton::none : best_rank_[further]);
    }
}

bool spaced_word_char(const element& e) {
    return is_word_char(e.cls) && !written_without_spaces(e.cls);
}
bool digit_or_symbol(const element& e) { return stand_in_of(e.key).digit_or_symbol; }

// No word boundary between a and b (b follows a): both are characters of
// scripts that put spaces between words, with nothing between them but a
// hyphen or apostrophe between two letters.
bool joined(const element* a, const element* b) {
    if (!a || !b || !spaced_word_char(*a) || !spaced_word_char(*b)) return false;
    return !b->gap || (b->gap_breaks & joiner && role_of(a->cls) == chars::letter &&
                       role_of(b->cls) == chars::letter);
}

// Capital letters, each followed by a full stop, the last one too: initials
// or an abbreviation ("A. S.", "T.I.T.A.N."), not a word spelt out.
bool abbreviation(const element* const* at, uint32_t n) {
    for (uint32_t k = 0; k < n; ++k) {
        const element& e = *at[k];
        if (!latin_letter(e) || !(e.flags & capital) || !(e.flags & stop_after)) return false;
    }
    return true;
}

// Whether the separators before the prompt's element p, which stands for the
// word's element q (`previous` before it), may be there: the word's own (any
// of at most as many, or 3), or inserted ones (at most 3, no clause break;
// between characters of scripts written without spaces, no sentence end),
// which set `skipped`.
bool separators_allowed(const element& p, const element& q, const element& previous,
                        bool& skipped) {
    const uint8_t breaks = p.gap_breaks & ~q.gap_breaks & ~joiner;
    if (breaks & chars::clause_break) return false;
    if ((breaks & (chars::unspaced_break | stop_space)) && written_without_spaces(p.cls) &&
        written_without_spaces(previous.cls))
        return false;
    if (q.gap) return p.gap && p.gap <= std::max<uint8_t>(q.gap, 3);
    if (p.gap) {
        if (p.gap > 3) return false;
        skipped = true;
    }
    return true;
}

// Whether the word `w` stands at the prompt's elements at[0 .. w.length),
// with `before` and `after` their neighbours (or null).
bool word_finder::accepts(const word& w, const element* const* at, const element* before,
                          const element* after) const {
    const uint32_t n = w.length;
    auto element_at = [&](ptrdiff_t k) -> const element* {
        const auto last = static_cast<ptrdiff_t>(n);
        return k < -1 || k > last ? nullptr : k == -1 ? before : k == last ? after : at[k];
    };
    // A digit or symbol stands in for a letter only inside a Latin word: a
    // run of them, with nothing between, next to a Latin letter.
    auto inside_latin_word = [&](ptrdiff_t k) {
        for (int step : {-1, 1}) {
            const element* e;
            for (ptrdiff_t j = k; (e = element_at(j + step)); j += step) {
                if ((step < 0 ? element_at(j)->gap : e->gap) != 0) break;
                if (latin_letter(*e)) return true;
                if (!digit_or_symbol(*e)) break;
            }
        }
        return false;
    };

    bool stood_in = false, skipped = false;
    for (uint32_t k = 0; k < n; ++k) {
        const element& p = *at[k];
        const element& q = elements_[w.first + k];
        if (p.key != q.key) {
            const stand_in &ps = stand_in_of(p.key), &qs = stand_in_of(q.key);
            if (!(ps.loose || qs.loose) || !(ps.letters & qs.letters)) return false;
            if (ps.digit_or_symbol && !inside_latin_word(k)) return false;
            stood_in = stood_in || ps.digit_or_symbol || qs.digit_or_symbol;
        }
        if (k && !separators_allowed(p, q, *at[k - 1], skipped)) return false;
    }
    // A word that skipped separators, or read digits and symbols as
    // letters, must be whole: word boundaries before and after it; and
    // letters separated by full stops are no word when they are initials.
    if (skipped && abbreviation(at, n)) return false;
    return !(skipped || stood_in) || (!joined(before, at[0]) && !joined(at[n - 1], after));
}

// Whether the word `w`, read as it sounds, stands at the sound stream's
// elements at[0 .. w.length): the same keys, each Han character of the text
// that is not the word's own sharing a reading with it, tone included
// (sound_table::shares_reading), pinyin as whole Latin words; the separators
// as for other words. The word written
// with its own characters only is left to the other finder.
bool word_finder::sounds_like(const word& w, const element* const* at, const element* before,
                              const element* after) const {
    const uint32_t n = w.length;
    bool own = true, skipped = false;
    for (uint32_t k = 0; k < n; ++k) {
        const element& p = *at[k];
        const element& q = elements_[w.first + k];
        if (p.key != q.key) return false;
        if (q.han && p.han != q.han) {
            own = false;
            if (p.han && !sounds_->shares_reading(p.han, q.han)) return false;  // a homophone
        }
        if (k && !separators_allowed(p, q, *at[k - 1], skipped)) return false;
    }
    if (own) return false;
    auto pinyin = [](const element& e) { return e.key >= syllable_keys && !e.han; };
    if ((pinyin(*at[0]) && !(at[0]->flags & starts_word)) ||
        (pinyin(*at[n - 1]) && !(at[n - 1]->flags & ends_word)))
        return false;
    return !joined(before, at[0]) && !joined(at[n - 1], after);
}

// Reads elements [from, to) backward (element i is kept[i - base]) and puts
// into `starts`, which is empty, each element before `until` at which words
// begin, with its state, from the left. A state depends only on the last
// `longest_` elements read, so the left half is read from the root
// `longest_` elements into the right one, side by side with it: two chains
// of look-ups that do not wait for each other. A short stretch is read
// whole, since that warm-up would cost much of what the second chain saves.
// `left` is room to work in.
void word_finder::walk(const elements& kept, size_t base, size_t from, size_t to, size_t until,
                       std::vector<std::pair<size_t, uint32_t>>& starts,
                       std::vector<std::pair<size_t, uint32_t>>& left) const {
    const key_automaton::view machine = machine_.viewed();
    const code_point_table::view symbols = symbols_.viewed();
    const element* const data = kept.data();
    auto step = [&](uint32_t s, size_t i) {
        const uint32_t symbol = symbols[data[i - base].key];
        return symbol ? machine.next(s, symbol) : key_automaton::root;
    };
    const size_t count = to - from;
    const size_t mid = count >= 4 * longest_ + 64 ? from + count / 2 : from;
    uint32_t right = key_automaton::root, left_state = key_automaton::root;
    if (mid > from)
        for (size_t i = std::min(to, mid + longest_); i-- > mid;) left_state = step(left_state, i);
    left.clear();
    // [mid, to) is at least as long as [from, mid).
    for (size_t i = to, j = mid; i-- > mid;) {
        right = step(right, i);
        if (i < until && right & key_automaton::reports) starts.emplace_back(i, right);
        if (j > from) {
            --j;
            left_state = step(left_state, j);
            if (j < until && left_state & key_automaton::reports) left.emplace_back(j, left_state);
        }
    }
    std::reverse(starts.begin(), starts.end());
    starts.insert(starts.begin(), left.rbegin(), left.rend());
}

template <bool All, class Char, class OnHit>
void word_finder::scan(const Char* text, size_t n, const elements* read,
                       literal_hits<Char>& literal, const allowed_spans* allowed,
                       OnHit&& on_hit) const {
    // The text is read piece by piece into elements. The elements whose
    // words are all known (the longest word and a neighbour lie behind them)
    // are settled: the automaton reads them backward, giving at each element
    // the words that begin there, and the hits are then taken from the left.
    // An element that a hit covers is never verified, so words that overlap
    // one another, or one long word over a long prompt, cost no more than
    // the prompt. Only the unsettled elements and one before them are kept.
    elements reading;
    const elements& kept = read ? *read : reading;  // element i is kept[i - base]
    size_t base = 0, settled = 0;
    reader<Char> input(*table_, text, n, reading);
    const size_t piece = read ? n : std::max(word_finder::piece, 8 * longest_);
    if (!read) reading.reserve(std::min(n, piece) + longest_ + 8);
    std::vector<std::pair<size_t, uint32_t>> starts, left_starts;  // element, state
    std::vector<const element*> at(longest_);
    size_t from = 0;     // where the last hit ended (every occurrence counts with All)
    size_t sounded = 0;  // by sound: elements [0, sounded) are turned (to_sounds)

    auto is_allowed = [&](size_t begin, size_t end) {
        return allowed && allowed->cover(begin, end);
    };
    auto take = [&](size_t begin, size_t end, uint32_t rank) {
        on_hit(begin, end, rank);
        if constexpr (!All) from = end;
    };
    auto take_literal_before = [&](size_t limit) {
        while (const hit* h = literal.peek(limit)) {
            if (h->begin >= from && !is_allowed(h->begin, h->end)) take(h->begin, h->end, h->rank);
            literal.pop();
        }
    };
    auto stands_at = [&](const word& w, size_t i, size_t total) {
        const element* before = i > 0 ? &kept[i - 1 - base] : nullptr;
        const element* after = i + w.length < total ? &kept[i + w.length - base] : nullptr;
        // A word stands on whole characters: the keys of one character (the
        // letters of a Hangul syllable, of a ligature) are not parted.
        if ((before && before->begin == kept[i - base].begin) ||
            (after && after->begin == kept[i + w.length - 1 - base].begin))
            return false;
        return sounds_ ? sounds_like(w, at.data(), before, after)
                       : accepts(w, at.data(), before, after);
    };
    // The first-listed word accepted at element i (state s), if its rank is
    // below `rank`: then `rank` and `end` become its own.
    auto best_at = [&](size_t i, uint32_t s, size_t total, uint32_t& rank, size_t& end) {
        for (uint32_t o = machine_.output(s); o != key_automaton::none;
             o = machine_.output(machine_.fail(o))) {
            if (best_rank_[o] >= rank) break;
            const size_t length = machine_.depth(o);
            for (size_t k = 0; k < length; ++k) at[k] = &kept[i + k - base];
            for (uint32_t w = first_word_[o]; w != key_automaton::none && words_[w].rank < rank;
                 w = words_[w].next) {
                if (!stands_at(words_[w], i, total) ||
                    is_allowed(at[0]->begin, at[length - 1]->end))
                    continue;
                rank = words_[w].rank;
                end = at[length - 1]->end;
                break;
            }
        }
    };
    // The end of the longest word at element i (state s), if beyond `end`.
    auto longest_at = [&](size_t i, uint32_t s, size_t total, size_t& end) {
        for (uint32_t o = machine_.output(s); o != key_automaton::none;
             o = machine_.output(machine_.fail(o))) {
            const size_t length = machine_.depth(o);
            for (size_t k = 0; k < length; ++k) at[k] = &kept[i + k - base];
            for (uint32_t w = first_word_[o]; w != key_automaton::none; w = words_[w].next) {
                if (!stands_at(words_[w], i, total)) continue;
                end = std::max(end, at[length - 1]->end);
                break;
            }
        }
    };

    for (size_t done = 0;;) {
        done = std::min(n, done + piece);
        const bool last = done == n;
        if (read) {
            sounded = read->size();
        } else {
            input.run(done);
            if (sounds_) {
                element* unturned = reading.data() + (sounded - base);
                const auto written =
                    to_sounds(*sounds_, unturned, reading.size() - (sounded - base), last,
                              latin_keys_, unturned);
                reading.resize(sounded - base + written.size);
                sounded += written.turned;
            }
        }
        const size_t total = base + kept.size();
        // Settle what no later character can change: the last element may
        // still take marks, and a word beginning at an element needs the
        // longest word's length after it, and one more.
        size_t until =
            last ? total : std::max(settled, total > longest_ + 2 ? total - longest_ - 2 : 0);
        // A Latin word not yet turned may still become fewer elements: a
        // word beginning at an element needs turned ones after it, as many.
        if (sounds_ && !last)
            until = std::min(
                until,
                std::max(settled, sounded > longest_ + 1 ? sounded - longest_ - 1 : size_t{0}));
        // The elements that one character became are settled together.
        while (!last && until > settled && kept[until - 1 - base].begin == kept[until - base].begin)
            --until;
        const size_t limit = until < total ? kept[until - base].begin : done;

        // The elements at which words begin, from the left.
        starts.clear();
        if (!words_.empty()) walk(kept, base, settled, total, until, starts, left_starts);
        for (size_t i = 0; i < starts.size();) {
            const size_t begin = kept[starts[i].first - base].begin;
            size_t j = i;
            while (j < starts.size() && kept[starts[j].first - base].begin == begin) ++j;
            take_literal_before(begin);
            if constexpr (All) {
                size_t end = 0;
                for (size_t k = i; k < j; ++k)
                    longest_at(starts[k].first, starts[k].second, total, end);
                if (end) take(begin, end, 0);
            } else if (begin >= from) {
                uint32_t rank = key_automaton::none;
                size_t end = 0;
                for (size_t k = i; k < j; ++k)
                    best_at(starts[k].first, starts[k].second, total, rank, end);
                if (const hit* h = literal.peek(begin + 1);
                    h && h->begin == begin && h->rank < rank && !is_allowed(h->begin, h->end)) {
                    rank = h->rank;
                    end = h->end;
                }
                if (rank != key_automaton::none) take(begin, end, rank);
            }
            i = j;
        }
        take_literal_before(limit);
        if (last) break;
        settled = until;
        if (settled > base + 1) {  // the element before the first unsettled one stays
            reading.erase(reading.begin(),
                          reading.begin() + static_cast<ptrdiff_t>(settled - 1 - base));
            base = settled - 1;
        }
    }
}

// ---------------------------------------------------------------- the class

// Words that normalisation cannot take apart (no letter or digit in them, or
// separators at their ends, such as an emoji or "18+") are matched as
// written, by an automaton that follows the host's engine or, where none
// can, by an expression of their own.
struct literal_words {
    std::unique_ptr<const automaton> exact;
    ref pattern;                  // compiled expression, or empty
    std::vector<uint32_t> ranks;  // the list position of each of its groups

    literal_words(base_state& st, const std::vector<ref>& words,
                  const std::vector<uint32_t>& positions, bool fold) {
        if (positions.empty()) return;
        std::vector<ref> as_written;
        for (uint32_t i : positions) as_written.push_back(words[i]);
        exact = st.literal_automaton(as_written, positions, fold);
        if (exact) return;
        ref re = pv::import("re");
        ref escape = re.attr("escape");
        ref groups = pv::list();
        for (const ref& w : as_written) {
            ref group = pv::str("(") + escape(w) + pv::str(")");
            pv::check(PyList_Append(groups.get(), group.get()));
        }
        ref source = ref::steal(PyUnicode_Join(pv::str("|").get(), groups.get()));
        pattern =
            re.attr("compile")(source, kw("flags", fold ? re.attr("IGNORECASE") : pv::integer(0)));
        ranks = positions;
    }

    // The matches of the expression, from `re`, which Python code may have
    // replaced: only a group of the expression and a span of the prompt are
    // taken from each. Empty without an expression.
    std::vector<hit> matches(const ref& text) const {
        std::vector<hit> hits;
        if (!pattern) return hits;
        auto number = [](const ref& value) { return pv::to_ssize(value.get()); };
        const auto groups = static_cast<Py_ssize_t>(ranks.size());
        const Py_ssize_t length = PyUnicode_GET_LENGTH(text.get());
        pv::for_each(pattern.call_method("finditer", text).get(), [&](ref match) {
            const Py_ssize_t group = number(match.attr("lastindex"));
            const Py_ssize_t start = number(match.call_method("start")),
                             end = number(match.call_method("end"));
            if (group < 1 || group > groups || start < 0 || end < start || end > length ||
                (!hits.empty() && static_cast<size_t>(start) < hits.back().end))
                pv::raise(PyExc_SystemError,
                          "finditer() gave a match outside the prompt or the expression");
            hits.push_back({static_cast<size_t>(start), static_cast<size_t>(end),
                            ranks[static_cast<size_t>(group - 1)]});
        });
        return hits;
    }

    // Its matches in text[0, n) as the finders read them; `matched` holds
    // those of the expression.
    template <class Char>
    literal_hits<Char> in(const Char* text, size_t n, const std::vector<hit>& matched) const {
        return literal_hits<Char>(exact.get(), pattern ? &matched : nullptr, text, n);
    }
};

// The matcher of one load: the banned words (`words`, their literal ones,
// and by sound when asked) and the allowed phrases.
struct matcher : pv::native_value {
    std::vector<ref> listed;  // the banned words, in list order
    std::unique_ptr<const word_finder> words, sounds, allowed;
    std::optional<literal_words> literal, allowed_literal;
    ref repr() const override {
        return ref::steal(
            PyUnicode_FromFormat("<wordguard normalized automaton: %zu words, %zu states>",
                                 listed.size(), words ? words->states() : size_t{0}));
    }
};

// Every item of `list` as a str.
std::vector<ref> strings_of(const ref& list, const char* what) {
    std::vector<ref> out;
    pv::for_each(list.get(), [&](ref w) {
        if (!PyUnicode_Check(w.get())) pv::raise_arg_type(what, "str", w.get());
        out.push_back(std::move(w));
    });
    return out;
}

}  // namespace

ref make_normalized_matcher(base_state& st, const ref& self, const std::vector<ref>& words,
                            bool fold) {
    for (const ref& w : words)
        if (!PyUnicode_Check(w.get())) pv::raise_arg_type("banned_words item", "str", w.get());
    ref allowed_list = pv::optional_attr(self, st.allowed_words.get());
    const std::vector<ref> allowed = allowed_list && !allowed_list.is_none()
                                         ? strings_of(allowed_list, "allowed_words item")
                                         : std::vector<ref>{};
    ref sound_alike = pv::optional_attr(self, st.sound_alike.get());
    const bool by_sound = sound_alike && sound_alike.truthy();

    auto m = std::make_unique<matcher>();
    m->listed = words;
    if (!words.empty()) {
        std::shared_ptr<const char_table> table = chars_for(st, fold);
        std::shared_ptr<const sound_table> sounds = by_sound ? sounds_for(st) : nullptr;
        std::vector<uint32_t> literal, allowed_literal;
        pv::without_gil([&] {
            m->words = std::make_unique<word_finder>(table, words, literal);
            if (sounds) {
                m->sounds = std::make_unique<word_finder>(table, sounds, words);
                if (m->sounds->empty()) m->sounds.reset();
            }
            if (!allowed.empty())
                m->allowed = std::make_unique<word_finder>(table, allowed, allowed_literal);
        });
        m->literal.emplace(st, words, literal, fold);
        if (m->allowed) m->allowed_literal.emplace(st, allowed, allowed_literal, fold);
    }
    return pv::hold_native(st.matcher_type, std::move(m));
}

namespace {

// The matches of the matcher's expressions in `text` (made with the GIL,
// before a scan).
struct expression_matches {
    std::vector<hit> literal, allowed;
    expression_matches(const matcher& m, const ref& text)
        : literal(m.literal ? m.literal->matches(text) : std::vector<hit>{}),
          allowed(m.allowed_literal ? m.allowed_literal->matches(text) : std::vector<hit>{}) {}
};

// The hits of matcher `m` in text[0, n), in order, each passed to
// on_hit(begin, end, rank). Touches no Python object.
template <class Char, class OnHit>
void hits_in(const matcher& m, const expression_matches& x, const Char* text, size_t n,
             OnHit&& on_hit) {
    if (!m.words) return;
    // A text of one piece is read once for all the finders (a longer one
    // by each, piece by piece, so that its elements need not all be held).
    elements read, heard;
    const bool once = n <= word_finder::piece && (m.sounds || m.allowed);
    if (once) {
        read.reserve(n + 8);  // one element per character but for expansions
        read_text(*m.words->table(), text, n, read);
    }
    const elements* as_read = once ? &read : nullptr;
    const elements* as_heard = nullptr;
    if (once && m.sounds) {
        heard.resize(read.size());
        heard.resize(to_sounds(*m.sounds->sound_table_of(), read.data(), read.size(), true,
                               m.sounds->latin_keys(), heard.data())
                         .size);
        as_heard = &heard;
    }
    std::vector<hit> sounded;  // the hits by sound of the last scan
    auto find = [&](const allowed_spans* suppress, auto&& take) {
        auto literal = m.literal->in(text, n, x.literal);
        if (!m.sounds) {
            m.words->find(text, n, as_read, literal, suppress, take);
            return;
        }
        // By sound: those hits and the literal words' matches, in order,
        // make the list the words' own scan chooses from.
        std::vector<hit> written, both;
        sounded.clear();
        literal_hits<Char> nothing(nullptr, nullptr, text, n);
        m.sounds->find(text, n, as_heard, nothing, suppress,
                       [&](size_t begin, size_t end, uint32_t rank) {
                           sounded.push_back({begin, end, rank});
                       });
        for (const hit* h; (h = literal.peek(n)); literal.pop()) written.push_back(*h);
        std::merge(written.begin(), written.end(), sounded.begin(), sounded.end(),
                   std::back_inserter(both), [](const hit& a, const hit& b) {
                       return a.begin != b.begin ? a.begin < b.begin : a.rank < b.rank;
                   });
        literal_hits<Char> merged(nullptr, &both, text, n);
        m.words->find(text, n, as_read, merged, suppress, take);
    };
    if (!m.allowed) return find(nullptr, on_hit);
    // Most texts have no hit at all: the allowed phrases are looked for only
    // in a text that has some, and the scan is made again only if an allowed
    // phrase covers a hit it chose (the others would be chosen the same).
    std::vector<hit> hits;
    auto collect = [&](size_t begin, size_t end, uint32_t rank) {
        hits.push_back({begin, end, rank});
    };
    find(nullptr, collect);
    if (hits.empty()) return;
    allowed_spans allowed;
    auto phrases = m.allowed_literal->in(text, n, x.allowed);
    auto add_span = [&](size_t begin, size_t end, uint32_t) { allowed.add(begin, end); };
    // Whether an allowed phrase covers a hit the scan chose, by sound too.
    auto any_covered = [&] {
        auto covered = [&](const hit& h) { return allowed.cover(h.begin, h.end); };
        return std::any_of(hits.begin(), hits.end(), covered) ||
               std::any_of(sounded.begin(), sounded.end(), covered);
    };
    if (!once) {
        m.allowed->occurrences(text, n, nullptr, phrases, add_span);
        allowed.finish();
        if (!any_covered()) {
            for (const hit& h : hits) on_hit(h.begin, h.end, h.rank);
            return;
        }
        return find(&allowed, on_hit);
    }
    // A text read once: the phrases are looked for only around the hits. A
    // phrase that covers a hit lies within the phrases' longest length of
    // its elements; a window one element wider on each side gives them the
    // neighbours they are judged by, and what the window's ends cut off is
    // dropped. The spans found are true occurrences, and they are all the
    // occurrences over any hit whose window was searched; so when every hit
    // of the scan made with them (by sound too) lies in searched windows, it
    // is the scan with all of them. Otherwise the windows grow and it is
    // made again.
    std::vector<hit> literal_phrases;
    for (const hit* h; (h = phrases.peek(n)); phrases.pop()) literal_phrases.push_back(*h);
    const auto reach = static_cast<ptrdiff_t>(m.allowed->longest());
    const auto last = static_cast<ptrdiff_t>(read.size()) - 1;
    // The elements of the character of element k, from `step` -1 or 1.
    auto char_edge = [&](ptrdiff_t k, int step) {
        while (k + step >= 0 && k + step <= last && read[k + step].begin == read[k].begin)
            k += step;
        return k;
    };
    // A phrase over hit h begins at least at the character of element
    // (its last one - reach + 1) and ends at the latest at the character of
    // (its first one + reach - 1): those characters, and one more on each side.
    auto window_of = [&](const hit& h) {
        auto by_begin = [](const element& e, size_t at) { return e.begin < at; };
        const auto first =
            std::lower_bound(read.begin(), read.end(), h.begin, by_begin) - read.begin();
        const auto end = std::lower_bound(read.begin(), read.end(), h.end, by_begin) - read.begin();
        ptrdiff_t from = std::max<ptrdiff_t>(0, end - reach);
        ptrdiff_t to = std::min(last, first + reach - 1);
        from = char_edge(from, -1);
        if (from > 0) from = char_edge(from - 1, -1);
        to = char_edge(to, 1);
        if (to < last) to = char_edge(to + 1, 1);
        return std::pair{from, to};
    };
    std::vector<std::pair<ptrdiff_t, ptrdiff_t>> searched;  // element windows, in order
    auto is_searched = [&](std::pair<ptrdiff_t, ptrdiff_t> w) {
        auto it =
            std::upper_bound(searched.begin(), searched.end(), std::pair{w.first, PTRDIFF_MAX});
        return it != searched.begin() && std::prev(it)->second >= w.second;
    };
    elements part;
    literal_hits<Char> nothing(nullptr, nullptr, text, n);
    for (;;) {
        std::vector<std::pair<ptrdiff_t, ptrdiff_t>> wanted;
        for (const auto* list : {&hits, &sounded})
            for (const hit& h : *list)
                if (const auto w = window_of(h); !is_searched(w)) wanted.push_back(w);
        if (wanted.empty()) break;
        searched.insert(searched.end(), wanted.begin(), wanted.end());
        std::sort(searched.begin(), searched.end());
        std::vector<std::pair<ptrdiff_t, ptrdiff_t>> merged;
        for (const auto& w : searched) {
            if (!merged.empty() && w.first <= merged.back().second + 1)
                merged.back().second = std::max(merged.back().second, w.second);
            else
                merged.push_back(w);
        }
        searched = merged;
        allowed = allowed_spans();
        for (const hit& h : literal_phrases) allowed.add(h.begin, h.end);
        for (auto [from, to] : searched) {
            part.assign(read.begin() + from, read.begin() + to + 1);
            const size_t cut_before = from > 0 ? part.front().begin : SIZE_MAX;
            const size_t cut_after = to < last ? part.back().end : SIZE_MAX;
            m.allowed->occurrences(text, n, &part, nothing,
                                   [&](size_t begin, size_t end, uint32_t) {
                                       if (begin != cut_before && end != cut_after)
                                           allowed.add(begin, end);
                                   });
        }
        allowed.finish();
        if (!any_covered()) break;
        hits.clear();
        find(&allowed, collect);
    }
    for (const hit& h : hits) on_hit(h.begin, h.end, h.rank);
}

// Every hit of `m` in `text`, in order (the GIL released for a long text).
std::vector<hit> all_hits(const matcher& m, const ref& text) {
    const expression_matches x(m, text);
    std::vector<hit> hits;
    scan_prompt(text.get(), [&](const auto* chars, size_t n) {
        hits_in(m, x, chars, n, [&](size_t begin, size_t end, uint32_t rank) {
            hits.push_back({begin, end, rank});
        });
    });
    return hits;
}

constexpr const char* class_doc = R"(
    识别常见伪装的提示词违禁词校验工具。
    违禁词与提示词经同样的规范化后再匹配：全角半角与兼容字符、大小写、
    重音等附加符号、不可见字符、形近的外文字母与代替字母的数字符号、
    繁体字，以及插在词中各字之间的空白、标点或符号（每处至多3个）。
    可另给允许词文件：落在允许词之内的命中不计；
    可开启读音匹配：含两个以上汉字的违禁词，其拼音写法、拼音与汉字混写、
    同音（同声调）字写法也算命中。
    命中结果是提示词中的原文。
    )";

constexpr const char* init_doc = R"(
        初始化违禁词检测器
        :param ban_word_file: 违禁词文件路径
        :param ignore_case: 是否忽略大小写匹配，默认True
        :param allowed_words_file: 允许词文件路径（格式同违禁词文件），默认None
        :param sound_alike: 是否匹配拼音与同音字写法，默认False
        )";

// The settings of its own, then PromptBanChecker's __init__, which loads.
ref init(base_state& st, ref self, ref ban_word_file, bool ignore_case, ref allowed_words_file,
         bool sound_alike) {
    self.setattr(st.allowed_words_file, allowed_words_file.get());
    self.setattr(st.sound_alike, pv::boolean(sound_alike).get());
    self.setattr(st.allowed_words, pv::list().get());
    st.global(st.PromptBanChecker).attr("__init__")(self, ban_word_file, pv::boolean(ignore_case));
    return pv::none();
}

constexpr const char* load_doc =
    "重新读取违禁词文件与允许词文件，清洗、去重、长词优先排序，重建正则与匹配自动机";

// Both files are read before either list changes: when one fails, both old
// lists stay.
ref load_banned_words(base_state& st, ref self) {
    ref banned = st.read_word_file(self.attr(st.ban_word_file), "违禁词文件不存在: ");
    ref allowed_file = pv::optional_attr(self, st.allowed_words_file.get());
    ref allowed = allowed_file && !allowed_file.is_none()
                      ? st.read_word_file(allowed_file, "允许词文件不存在: ")
                      : pv::list();
    self.setattr(st.allowed_words, allowed.get());
    self.setattr(st.banned_words, banned.get());
    self.call_method(st.build_regex);
    return pv::none();
}

constexpr const char* build_regex_doc = "内部构建正则匹配规则与规范化匹配自动机";

// PromptBanChecker's build, which makes the matcher of the instance's class.
ref build_regex(base_state& st, ref self) {
    st.global(st.PromptBanChecker).attr(st.build_regex)(self);
    return pv::none();
}

// The matcher in force, or, only where `_ban_matcher` was set by hand, one
// for this check alone, from the lists as they stand (`keep` holds it).
const matcher& matcher_of(base_state& st, const ref& self, ref& keep) {
    keep = pv::optional_attr(self, st.ban_matcher.get());
    if (const matcher* held = pv::held_native<matcher>(st.matcher_type, keep.get())) return *held;
    const std::vector<ref> words = strings_of(self.attr(st.banned_words), "banned_words item");
    keep = make_normalized_matcher(st, self, words, self.attr(st.ignore_case).truthy());
    return *pv::held_native<matcher>(st.matcher_type, keep.get());
}

constexpr const char* find_doc = R"(
        查找文本中所有命中的违禁词，包括伪装后的写法（去重返回）
        Args:
            text: 待检测文本
        Returns:
            命中的违禁词在文本中的原文列表
        )";

ref find_matched_words(base_state& st, ref self, ref text) {
    ref keep;
    const matcher& m = matcher_of(st, self, keep);
    const expression_matches x(m, text);
    return distinct_hits(text.get(), [&](const auto* chars, size_t n, auto&& add) {
        hits_in(m, x, chars, n, [&](size_t begin, size_t end, uint32_t) { add(begin, end); });
    });
}

constexpr const char* find_hits_doc = R"(
        查找文本中每一处命中，按出现位置排序
        Args:
            text: 待检测文本
        Returns:
            (违禁词, 起始位置, 结束位置) 列表，text[起始位置:结束位置] 为命中的原文
        )";

ref find_hits(base_state& st, ref self, ref text) {
    ref keep;
    const matcher& m = matcher_of(st, self, keep);
    const std::vector<hit> hits = all_hits(m, text);
    ref list = pv::list(static_cast<Py_ssize_t>(hits.size()));
    for (size_t i = 0; i < hits.size(); ++i) {
        ref item =
            pv::tuple(m.listed[hits[i].rank], pv::integer(static_cast<long long>(hits[i].begin)),
                      pv::integer(static_cast<long long>(hits[i].end)));
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item.release());
    }
    return list;
}

constexpr const char* mask_doc = R"(
        将文本中每一处命中的每个字符替换为 char
        Args:
            text: 待检测文本
            char: 替换用的单个字符，默认 "*"
        Returns:
            替换后的文本
        )";

ref mask(base_state& st, ref self, ref text, ref with) {
    if (PyUnicode_GET_LENGTH(with.get()) != 1)
        pv::raise(PyExc_ValueError, "mask() char must be a single character, not %zd characters",
                  PyUnicode_GET_LENGTH(with.get()));
    ref keep;
    const matcher& m = matcher_of(st, self, keep);
    const std::vector<hit> hits = all_hits(m, text);
    if (hits.empty()) return text;
    std::u32string out = pv::with_chars(text.get(), [](const auto* chars, Py_ssize_t n) {
        return std::u32string(chars, chars + n);
    });
    const auto c = static_cast<char32_t>(PyUnicode_READ_CHAR(with.get(), 0));
    for (const hit& h : hits)
        std::fill(out.begin() + static_cast<ptrdiff_t>(h.begin),
                  out.begin() + static_cast<ptrdiff_t>(h.end), c);
    return ref::steal(PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, out.data(),
                                                static_cast<Py_ssize_t>(out.size())));
}

}  // namespace

void base_state::references(const std::function<void(ref&)>& each) { each(matcher_type); }

ref make_normalized_checker(base_state& st, const ref& base) {
    return pv::class_builder(st, "NormalizedPromptBanChecker", class_doc, {base.get()})
        .method<init>("__init__", init_doc, kind::str{"ban_word_file"},
                      kind::truth{"ignore_case", "True"}, pv::keyword_only{},
                      kind::opt_str{"allowed_words_file", "None"},
                      kind::truth{"sound_alike", "False"})
        .method<load_banned_words>("load_banned_words", load_doc, pv::returns{"None"})
        .method<build_regex>("_build_regex", build_regex_doc, pv::returns{"None"})
        .method<find_matched_words>("find_matched_words", find_doc, kind::str{"text"},
                                    pv::returns{"List[str]"})
        .method<find_hits>("find_hits", find_hits_doc, kind::str{"text"},
                           pv::returns{"List[Tuple[str, int, int]]"})
        .method<mask>("mask", mask_doc, kind::str{"text"}, kind::str{"char", "'*'"},
                      pv::returns{"str"})
        .finish();
}

}  // namespace wordguard
