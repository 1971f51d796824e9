// pravel.wordguard: screens prompts against a list of banned words read from
// a text file.
//
// The list is compiled into one regular expression of literal alternatives,
// `_ban_regex`, which is part of the interface. Next to it each load builds an
// automaton (automaton.hpp) that finds exactly the matches of that
// expression's findall in one pass over the prompt, however long the list.
// With IGNORECASE the automaton works on case keys: this file reads the
// engine's case rules and tells the automaton which characters match a key.
#include "automaton.hpp"
#include "pravel.hpp"
#include "hits.hpp"
#include "normalize.hpp"

#include <algorithm>
#include <cstdio>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace kind = pv::kind;
using pv::kw;
using pv::ref;
using wordguard::automaton;
using wordguard::code_point_table;

namespace {

// ---------------------------------------------------------------- case rules

bool is_cased(Py_UCS4 c) { return Py_UNICODE_TOLOWER(c) != c || Py_UNICODE_TOUPPER(c) != c; }

// How the host's regular-expression engine compares literal characters under
// IGNORECASE: a cased pattern character matches every text character whose
// simple lower-case mapping lies in its class (its own lower case plus the
// engine's extra equivalences, such as "s" and "ſ"); an uncased one matches
// only itself. As long as no uncased character takes part in a class and the
// extra equivalences form disjoint groups, one key per character says exactly
// which characters match each other: the group representative of its lower
// case. `exact` is false when the running interpreter's data break that.
struct case_rules {
    bool exact = true;
    code_point_table representative;  // group member -> smallest member, 0: in no group
    code_point_table group_of;        // smallest member -> 1 + index in groups
    std::vector<std::vector<Py_UCS4>> groups;
    code_point_table lowered_of;                // v -> 1 + index in lowered
    std::vector<std::vector<Py_UCS4>> lowered;  // every c != v with lower(c) == v

    Py_UCS4 key(Py_UCS4 c) const {
        const Py_UCS4 lower = Py_UNICODE_TOLOWER(c);
        const Py_UCS4 smallest = representative[lower];
        return smallest ? smallest : lower;
    }

    // Every character whose key is `k`.
    void members(Py_UCS4 k, std::vector<Py_UCS4>& out) const {
        auto add = [&](Py_UCS4 lower) {
            out.push_back(lower);
            if (const uint32_t i = lowered_of[lower])
                out.insert(out.end(), lowered[i - 1].begin(), lowered[i - 1].end());
        };
        if (const uint32_t i = group_of[k])
            for (Py_UCS4 v : groups[i - 1]) add(v);
        else
            add(k);
    }
};

ref chr(Py_UCS4 c) { return ref::steal(PyUnicode_FromOrdinal(static_cast<int>(c))); }
Py_UCS4 char_at(PyObject* s, Py_ssize_t i) { return PyUnicode_READ_CHAR(s, i); }

// The regular-expression engine as `re` offered it when the module loaded.
// The automaton stands only for expressions this engine compiled from words
// its own escape() escaped: whatever a patched `re` returns is taken apart
// by findall, never by the automaton.
struct regex_engine {
    ref pattern_type;  // re.Pattern; empty when that was no type
    ref compile, escape;
    long ignorecase = 0, unicode = 0;  // the flag values

    // Whether `regex` is an expression of this engine compiled from exactly
    // `source`, with IGNORECASE when asked and no other flag.
    bool compiled(const ref& regex, const ref& source, bool ignore_case) const {
        if (!pattern_type ||
            !Py_IS_TYPE(regex.get(), reinterpret_cast<PyTypeObject*>(pattern_type.get())))
            return false;
        ref pattern = regex.attr("pattern"), flags = regex.attr("flags");
        int overflow = 0;
        return PyUnicode_CheckExact(pattern.get()) && PyUnicode_CheckExact(source.get()) &&
               PyUnicode_Compare(pattern.get(), source.get()) == 0 &&
               PyLong_CheckExact(flags.get()) &&
               PyLong_AsLongAndOverflow(flags.get(), &overflow) ==
                   (unicode | (ignore_case ? ignorecase : 0)) &&
               !overflow;
    }
};

// Reads the rules from the running interpreter: its case mappings, and the
// extra equivalences as its engine applies them. Candidates for those are the
// lower cases of characters that share one upper case, as str.upper() gives
// it (the simple mapping Py_UNICODE_TOUPPER keeps only its first character,
// so it groups a superset); one probe expression then asks the engine which
// candidates it takes for one another. Empty when the engine does not answer
// as a genuine one would.
std::shared_ptr<const case_rules> read_case_rules(const regex_engine& engine) {
    auto rules = std::make_shared<case_rules>();
    std::unordered_map<Py_UCS4, std::vector<Py_UCS4>> by_first_upper;
    pv::without_gil([&] {
        for (Py_UCS4 c = 0; c <= 0x10FFFF; ++c) {
            const Py_UCS4 lower = Py_UNICODE_TOLOWER(c), upper = Py_UNICODE_TOUPPER(c);
            if (lower != c) {
                uint32_t& i = rules->lowered_of.at(lower);
                if (i == 0) {
                    rules->lowered.emplace_back();
                    i = static_cast<uint32_t>(rules->lowered.size());
                }
                rules->lowered[i - 1].push_back(c);
                if (Py_UNICODE_TOLOWER(lower) != lower || !is_cased(lower)) rules->exact = false;
            }
            if (lower != c || upper != c) by_first_upper[upper].push_back(c);
        }
    });

    auto distinct_lowers = [](const std::vector<Py_UCS4>& chars) {
        std::vector<Py_UCS4> lowers;
        for (Py_UCS4 c : chars) lowers.push_back(Py_UNICODE_TOLOWER(c));
        std::sort(lowers.begin(), lowers.end());
        lowers.erase(std::unique(lowers.begin(), lowers.end()), lowers.end());
        return lowers;
    };
    std::vector<Py_UCS4> candidates;
    for (auto& [first, chars] : by_first_upper) {
        chars.push_back(first);  // a cased character's upper case may itself be uncased
        if (distinct_lowers(chars).size() < 2) continue;
        std::map<std::u32string, std::vector<Py_UCS4>> by_upper;
        for (Py_UCS4 c : chars) {
            ref upper = chr(c).call_method("upper");  // str's own method: a str
            if (!PyUnicode_Check(upper.get())) return {};
            std::u32string key;
            for (Py_ssize_t i = 0, n = PyUnicode_GET_LENGTH(upper.get()); i < n; ++i)
                key.push_back(PyUnicode_READ_CHAR(upper.get(), i));
            by_upper[key].push_back(c);
        }
        for (const auto& [upper, same] : by_upper) {
            auto lowers = distinct_lowers(same);
            if (lowers.size() > 1)
                candidates.insert(candidates.end(), lowers.begin(), lowers.end());
        }
    }
    std::sort(candidates.begin(), candidates.end());
    candidates.erase(std::unique(candidates.begin(), candidates.end()), candidates.end());
    if (candidates.empty()) return rules;

    // "(?:(?=([x]))|)" per candidate x, written as a \U escape: group i is
    // set when the character class [x] matches the probed character.
    std::string text;
    for (Py_UCS4 x : candidates) {
        char part[32];
        std::snprintf(part, sizeof part, "(?:(?=([\\U%08X]))|)", static_cast<unsigned>(x));
        text += part;
    }
    ref source = pv::str(text);
    ref probe = engine.compile(source, engine.ignorecase);
    if (!engine.compiled(probe, source, true)) return {};
    const size_t n = candidates.size();
    std::vector<std::vector<bool>> same(n, std::vector<bool>(n));
    for (size_t j = 0; j < n; ++j) {
        ref match = probe.call_method("match", chr(candidates[j]));  // the empty branches match
        if (match.is_none()) return {};
        ref groups = match.call_method("groups");
        if (!PyTuple_CheckExact(groups.get()) ||
            PyTuple_GET_SIZE(groups.get()) != static_cast<Py_ssize_t>(n))
            return {};
        for (size_t i = 0; i < n; ++i)
            same[i][j] = PyTuple_GET_ITEM(groups.get(), static_cast<Py_ssize_t>(i)) != Py_None;
    }
    for (size_t i = 0; i < n; ++i) {
        if (!same[i][i]) rules->exact = false;
        std::vector<Py_UCS4> members;
        for (size_t j = 0; j < n; ++j) {
            if (!same[i][j]) continue;
            if (same[j] != same[i] || !is_cased(candidates[j])) rules->exact = false;
            members.push_back(candidates[j]);
        }
        if (members.size() < 2) continue;
        rules->representative.at(candidates[i]) = members.front();
        if (candidates[i] != members.front()) continue;
        rules->groups.push_back(members);
        rules->group_of.at(members.front()) = static_cast<uint32_t>(rules->groups.size());
    }
    return rules;
}

// ---------------------------------------------------------------- module state

std::unique_ptr<const automaton> build_automaton(const std::vector<ref>& words,
                                                 const std::vector<uint32_t>& ranks,
                                                 const case_rules* rules,
                                                 const std::vector<Py_UCS4>& dropped);

struct state : wordguard::base_state {
    pv::name ban_regex{"_ban_regex"}, load_banned_words{"load_banned_words"};
    pv::name find_matched_words{"find_matched_words"}, findall{"findall"};
    pv::name os{"os"}, re{"re"}, open{"open"}, PromptBanError{"PromptBanError"};
    pv::name NormalizedPromptBanChecker{"NormalizedPromptBanChecker"};
    regex_engine engine;
    // The engine's case rules, read at the first case-insensitive load.
    std::shared_ptr<const case_rules> case_rules_;

    // The case rules, or null where the engine does not follow them exactly
    // (a patched `re`, or data that break them).
    std::shared_ptr<const case_rules> rules() {
        if (!case_rules_) {
            auto read = read_case_rules(engine);
            if (!case_rules_) case_rules_ = std::move(read);
        }
        return case_rules_ && case_rules_->exact ? case_rules_ : nullptr;
    }

    // Each word in its own group, as in "(w1)|(w2)|...": the engine compares
    // the characters one by one, without the shortcuts it takes for a plain
    // alternation, so nothing needs probing.
    std::unique_ptr<const automaton> literal_automaton(const std::vector<ref>& words,
                                                       const std::vector<uint32_t>& ranks,
                                                       bool ignore_case) override {
        std::shared_ptr<const case_rules> r = ignore_case ? rules() : nullptr;
        if (ignore_case && !r) return nullptr;
        return build_automaton(words, ranks, r.get(), {});
    }

    ref read_word_file(const ref& path, const char* missing) override;

    void references(const std::function<void(ref&)>& each) override {
        for (ref* r : {&engine.pattern_type, &engine.compile, &engine.escape}) each(*r);
        base_state::references(each);
    }
};

// ---------------------------------------------------------------- matchers

// The automaton of one load, with the compiled expression it stands for.
struct exact_matcher : pv::native_value {
    ref pattern;
    std::unique_ptr<const automaton> words;
    size_t count;
    ref repr() const override {
        return ref::steal(PyUnicode_FromFormat("<wordguard automaton: %zu words, %zu states>",
                                               count, words->states()));
    }
};

// With IGNORECASE the engine turns an alternation of words that differ only
// in their last character into a character class, whose case rules differ
// from those of single characters in places (and between interpreter
// versions). For that shape the classes of the last characters are asked of
// the compiled expression itself: a class it matches whole stays, one it
// never matches is left out; anything else gives up the automaton.
// Returns false to give up; `dropped` collects the keys to leave out.
bool probe_last_characters(const std::vector<ref>& words, const ref& regex, const case_rules& rules,
                           std::vector<Py_UCS4>& dropped) {
    PyObject* first = words[0].get();
    const Py_ssize_t m = PyUnicode_GET_LENGTH(first);
    bool differ = false;
    for (const ref& w : words) {
        if (PyUnicode_GET_LENGTH(w.get()) != m) return true;
        for (Py_ssize_t i = 0; i + 1 < m; ++i)
            if (char_at(w.get(), i) != char_at(first, i)) return true;
        differ = differ || char_at(w.get(), m - 1) != char_at(first, m - 1);
    }
    if (!differ) return true;

    ref prefix = ref::steal(PyUnicode_Substring(first, 0, m - 1));
    ref search = regex.attr("search");
    std::vector<Py_UCS4> keys, chars;
    for (const ref& w : words) keys.push_back(rules.key(char_at(w.get(), m - 1)));
    std::sort(keys.begin(), keys.end());
    keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
    for (Py_UCS4 k : keys) {
        chars.clear();
        rules.members(k, chars);
        size_t matched = 0;
        for (Py_UCS4 c : chars)
            if (!search(prefix + chr(c)).is_none()) ++matched;
        if (matched == 0)
            dropped.push_back(k);
        else if (matched != chars.size())
            return false;
    }
    return true;
}

// The automaton of `words` (at list positions `ranks`), with case keys when
// `rules` are given; words whose last key is in `dropped` are left out.
std::unique_ptr<const automaton> build_automaton(const std::vector<ref>& words,
                                                 const std::vector<uint32_t>& ranks,
                                                 const case_rules* rules,
                                                 const std::vector<Py_UCS4>& dropped) {
    std::unique_ptr<const automaton> made;
    pv::without_gil([&] {
        wordguard::word_list list;
        for (size_t i = 0; i < words.size(); ++i) {
            PyObject* w = words[i].get();
            const Py_ssize_t n = PyUnicode_GET_LENGTH(w);
            const size_t start = list.keys.size();
            for (Py_ssize_t j = 0; j < n; ++j)
                list.keys.push_back(rules ? rules->key(char_at(w, j)) : char_at(w, j));
            if (std::find(dropped.begin(), dropped.end(), list.keys.back()) != dropped.end()) {
                list.keys.resize(start);
                continue;
            }
            list.ends.push_back(list.keys.size());
            list.ranks.push_back(ranks[i]);
        }
        if (rules)
            made = std::make_unique<automaton>(
                list, [&](Py_UCS4 k, std::vector<Py_UCS4>& out) { rules->members(k, out); });
        else
            made = std::make_unique<automaton>(
                list, [](Py_UCS4 k, std::vector<Py_UCS4>& out) { out.push_back(k); });
    });
    return made;
}

// The automaton for `regex`, which should be `source`, the alternation of
// `words` (escaped by the engine's own escape() when `escaped_by_engine`),
// compiled with or without IGNORECASE; None where it cannot stand for the
// expression exactly.
ref make_matcher(state& st, const ref& regex, const std::vector<ref>& words, const ref& source,
                 bool escaped_by_engine, bool ignore_case) {
    if (words.empty() || !escaped_by_engine || !st.engine.compiled(regex, source, ignore_case))
        return pv::none();
    for (const ref& w : words)
        if (!PyUnicode_Check(w.get()) || PyUnicode_GET_LENGTH(w.get()) == 0) return pv::none();

    std::shared_ptr<const case_rules> rules;
    std::vector<Py_UCS4> dropped;
    if (ignore_case) {
        rules = st.rules();
        if (!rules || !probe_last_characters(words, regex, *rules, dropped)) return pv::none();
    }
    std::vector<uint32_t> ranks(words.size());
    for (uint32_t i = 0; i < ranks.size(); ++i) ranks[i] = i;
    std::unique_ptr<const automaton> found = build_automaton(words, ranks, rules.get(), dropped);
    auto m = std::make_unique<exact_matcher>();
    m->pattern = regex;
    m->words = std::move(found);
    m->count = words.size();
    return pv::hold_native(st.matcher_type, std::move(m));
}

// ---------------------------------------------------------------- PromptBanChecker

constexpr const char* class_doc = R"(
    提示词违禁词校验工具。
    从文件加载违禁词列表，使用正则预编译实现高效匹配，
    支持忽略大小写、长词优先匹配。
    )";

constexpr const char* init_doc = R"(
        初始化违禁词检测器
        :param ban_word_file: 违禁词文件路径
        :param ignore_case: 是否忽略大小写匹配，默认True
        )";

ref init(state& st, ref self, ref ban_word_file, bool ignore_case) {
    self.setattr(st.ban_word_file, ban_word_file.get());
    self.setattr(st.ignore_case, pv::boolean(ignore_case).get());
    self.setattr(st.banned_words, pv::list().get());
    self.setattr(st.ban_regex, Py_None);
    self.call_method(st.load_banned_words);
    return pv::none();
}

constexpr const char* load_doc = "重新读取违禁词文件，清洗、去重、长词优先排序，重建正则";

// str.strip(): Unicode white space at both ends.
ref stripped(PyObject* line, bool drop_bom) {
    if (!PyUnicode_CheckExact(line)) return ref::borrow(line).call_method("strip");
    const bool bom =
        drop_bom && PyUnicode_GET_LENGTH(line) > 0 && PyUnicode_READ_CHAR(line, 0) == 0xFEFF;
    const auto [begin, end] = pv::strip_bounds(line, bom ? 1 : 0);
    return ref::steal(PyUnicode_Substring(line, begin, end));
}

ref state::read_word_file(const ref& path, const char* missing) {
    state& st = *this;
    if (!st.global(st.os).attr("path").attr("exists")(path).truthy()) {
        ref text = ref::steal(PyObject_Format(path.get(), nullptr));
        pv::raise_with(PyExc_FileNotFoundError, (pv::str(missing) + text).get());
    }
    ref seen = ref::steal(PySet_New(nullptr));
    std::vector<std::pair<Py_ssize_t, ref>> words;
    ref file = st.global(st.open)(path, "r", kw("encoding", "utf-8"));
    pv::with_(st, file, [&](ref lines) {
        // A byte-order mark that an editor put at the start of the file is
        // no part of the first word.
        bool first = true;
        pv::for_each(lines.get(), [&](ref line) {
            ref word = stripped(line.get(), std::exchange(first, false));
            if (!word.truthy() || pv::check(PySet_Contains(seen.get(), word.get()))) return;
            pv::check(PySet_Add(seen.get(), word.get()));
            words.emplace_back(word.size(), std::move(word));
        });
    });
    std::stable_sort(words.begin(), words.end(),
                     [](const auto& a, const auto& b) { return a.first > b.first; });
    ref cleaned = pv::list(static_cast<Py_ssize_t>(words.size()));
    for (size_t i = 0; i < words.size(); ++i)
        PyList_SET_ITEM(cleaned.get(), static_cast<Py_ssize_t>(i), words[i].second.release());
    return cleaned;
}

ref load_banned_words(state& st, ref self) {
    self.setattr(st.banned_words,
                 st.read_word_file(self.attr(st.ban_word_file), "违禁词文件不存在: ").get());
    self.call_method(st.build_regex);
    return pv::none();
}

constexpr const char* build_regex_doc = "内部构建正则匹配规则";

// "|".join(re.escape(w) for w in words), with the words kept in `items`;
// `escaped_by_engine` tells whether re.escape was the engine's own.
ref alternation(state& st, const ref& words, std::vector<ref>& items, bool& escaped_by_engine) {
    ref escape = st.global(st.re).attr("escape");
    escaped_by_engine = escape.is(st.engine.escape.get());
    ref escaped = pv::list();
    pv::for_each(words.get(), [&](ref word) {
        pv::check(PyList_Append(escaped.get(), escape(word).get()));
        items.push_back(std::move(word));
    });
    return ref::steal(PyUnicode_Join(pv::str("|").get(), escaped.get()));
}

// The matcher of `self`'s class for `items`, the words of the alternation
// `pattern` that `regex` was compiled from.
ref matcher_for(state& st, const ref& self, const ref& regex, const std::vector<ref>& items,
                const ref& pattern, bool escaped_by_engine, bool ignore_case) {
    ref normalized = st.global(st.NormalizedPromptBanChecker);
    if (PyObject_TypeCheck(self.get(), reinterpret_cast<PyTypeObject*>(normalized.get())))
        return wordguard::make_normalized_matcher(st, self, items, ignore_case);
    return make_matcher(st, regex, items, pattern, escaped_by_engine, ignore_case);
}

// Builds the expression and the matcher of `banned_words`, then puts both in
// force, unless a reload that began later has replaced the list meanwhile
// (its own build then puts its pair in force). Checks go on with the previous
// matcher while this one is built; they never build one themselves.
ref build_regex(state& st, ref self) {
    ref words = self.attr(st.banned_words);
    ref regex = pv::none(), matcher = pv::none();
    if (words.truthy()) {
        std::vector<ref> items;
        bool escaped_by_engine;
        ref pattern = alternation(st, words, items, escaped_by_engine);
        const bool ignore_case = self.attr(st.ignore_case).truthy();
        ref re = st.global(st.re);
        ref flags = ignore_case ? re.attr("IGNORECASE") : pv::integer(0);
        regex = re.attr("compile")(pattern, kw("flags", flags));
        matcher = matcher_for(st, self, regex, items, pattern, escaped_by_engine, ignore_case);
    }
    if (!self.attr(st.banned_words).is(words.get())) return pv::none();
    self.setattr(st.ban_regex, regex.get());
    self.setattr(st.ban_matcher, matcher.get());
    return pv::none();
}

constexpr const char* find_doc = R"(
        查找文本中所有命中的违禁词（去重返回）
        Args:
            text: 待检测文本
        Returns:
            命中的违禁词列表
        )";

ref find_matched_words(state& st, ref self, ref text) {
    ref regex = self.attr(st.ban_regex);
    if (regex.is_none()) return pv::list();

    // The automaton serves only the expression it was built with.
    ref matcher = pv::optional_attr(self, st.ban_matcher.get());
    const auto* held = pv::held_native<exact_matcher>(st.matcher_type, matcher.get());
    if (!held || !held->pattern.is(regex.get())) {
        wordguard::distinct_pieces found;
        pv::for_each(regex.call_method(st.findall, text).get(),
                     [&](ref piece) { found.add(piece); });
        return found.list();
    }

    const automaton& words = *held->words;
    return wordguard::distinct_hits(text.get(), [&](const auto* chars, size_t n, auto&& add) {
        words.find_all(
            chars, n, [&](size_t start, uint32_t length, uint32_t) { add(start, start + length); });
    });
}

constexpr const char* check_doc = R"(
        校验提示词，存在违禁词则抛出自定义异常
        Args:
            prompt: 待检测文本
        Returns:
            原文本（校验通过）
        Raises:
            PromptBanError: 检测到违禁词时抛出
        )";

ref check(state& st, ref self, ref prompt) {
    ref matched = self.call_method(st.find_matched_words, prompt);
    if (matched.truthy()) {
        ref joined = ref::steal(PyUnicode_Join(pv::str(",").get(), matched.get()));
        ref message = pv::str("Prohibited prompt words: ") + joined;
        ref error = st.global(st.PromptBanError)(kw("error_msg", message), kw("data", matched));
        if (!PyExceptionInstance_Check(error.get()))
            pv::raise(PyExc_TypeError, "exceptions must derive from BaseException");
        // Refusing a prompt is an ordinary outcome of a check: the error is
        // set and returned as NULL directly, without a C++ throw.
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.get())), error.get());
        return ref();
    }
    return prompt;
}

// Copies and pickles carry the documented attributes; the automaton is
// rebuilt for the restored expression when it still is the one of the list.
ref get_state(state& st, ref self) {
    ref copy = ref::steal(PyDict_Copy(self.attr("__dict__").get()));
    if (PyDict_DelItem(copy.get(), st.ban_matcher.get()) < 0) {
        if (!PyErr_ExceptionMatches(PyExc_KeyError)) pv::fail();
        PyErr_Clear();
    }
    return copy;
}

ref set_state(state& st, ref self, ref saved) {
    self.attr("__dict__").call_method("update", saved);
    ref regex = pv::optional_attr(self, st.ban_regex.get());
    ref words = pv::optional_attr(self, st.banned_words.get());
    ref matcher = pv::none();
    auto all_str = [](PyObject* list) {
        for (Py_ssize_t i = 0, n = PyList_GET_SIZE(list); i < n; ++i)
            if (!PyUnicode_Check(PyList_GET_ITEM(list, i))) return false;
        return PyList_GET_SIZE(list) > 0;
    };
    if (regex && words && PyList_CheckExact(words.get()) && all_str(words.get())) {
        std::vector<ref> items;
        bool escaped_by_engine;
        ref pattern = alternation(st, words, items, escaped_by_engine);
        // The case flag is the restored expression's own.
        const bool ignore_case = st.engine.compiled(regex, pattern, true);
        matcher = matcher_for(st, self, regex, items, pattern, escaped_by_engine, ignore_case);
    }
    self.setattr(st.ban_matcher, matcher.get());
    return pv::none();
}

void exec(state& st) {
    st.import_module("os");
    ref re = st.import_module("re");
    ref pattern_type = re.attr("Pattern");
    if (PyType_Check(pattern_type.get())) st.engine.pattern_type = pattern_type;
    st.engine.compile = re.attr("compile");
    st.engine.escape = re.attr("escape");
    st.engine.ignorecase = pv::to_long(re.attr("IGNORECASE").get());
    st.engine.unicode = pv::to_long(re.attr("UNICODE").get());
    st.import_from("typing", {"List", "Set"});
    st.import_from("exceptions", {"PromptBanError"}, 1);
    st.matcher_type = pv::make_native_type(st.module, "pravel.wordguard.automaton");

    ref checker = pv::class_builder(st, "PromptBanChecker", class_doc)
                      .method<init>("__init__", init_doc, kind::str{"ban_word_file"},
                                    kind::truth{"ignore_case", "True"})
                      .method<load_banned_words>("load_banned_words", load_doc, pv::returns{"None"})
                      .method<build_regex>("_build_regex", build_regex_doc, pv::returns{"None"})
                      .method<find_matched_words>("find_matched_words", find_doc, kind::str{"text"},
                                                  pv::returns{"List[str]"})
                      .method<check>("check", check_doc, kind::str{"prompt"}, pv::returns{"str"})
                      .method<get_state>("__getstate__", nullptr)
                      .method<set_state>("__setstate__", nullptr, kind::any{"state"})
                      .finish();
    st.publish("PromptBanChecker", checker);
    st.publish("NormalizedPromptBanChecker", wordguard::make_normalized_checker(st, checker));
}

}  // namespace

PRAVEL_MODULE(wordguard, "pravel.wordguard", state, exec, pv::interpreters::own_gil)
