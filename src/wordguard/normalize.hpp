// The disguise-aware prompt checker of pravel.wordguard,
// NormalizedPromptBanChecker: PromptBanChecker's contract, with banned words
// found through the usual disguises (compatibility forms, letter case,
// accents, invisible characters, look-alike letters and digits, traditional
// characters, separators between the characters of a word).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "pravel.hpp"

namespace wordguard {

struct char_table;
struct sound_table;
class automaton;

// The part of wordguard's module state that both checkers use (the module's
// state derives from it).
struct base_state : pv::state_base {
    pv::name banned_words{"banned_words"}, ignore_case{"ignore_case"}, ban_matcher{"_ban_matcher"};
    pv::name ban_word_file{"ban_word_file"};
    pv::name allowed_words_file{"allowed_words_file"}, allowed_words{"allowed_words"};
    pv::name sound_alike{"sound_alike"};
    pv::name build_regex{"_build_regex"}, PromptBanChecker{"PromptBanChecker"};
    pv::ref matcher_type;  // of the objects that hold a matcher (a native value)
    // The character tables of each case mode, made from the running
    // interpreter's Unicode data at the first load that needs them.
    std::shared_ptr<const char_table> folded_chars, exact_chars;
    // The Mandarin readings of Han characters, made at the first load that
    // matches by sound.
    std::shared_ptr<const sound_table> sounds;

    // An automaton that finds `words` (at list positions `ranks`) as the
    // expression "(w1)|(w2)|..." of the host's engine would, with IGNORECASE
    // when `ignore_case`; null where it cannot follow the engine exactly.
    virtual std::unique_ptr<const automaton> literal_automaton(const std::vector<pv::ref>& words,
                                                               const std::vector<uint32_t>& ranks,
                                                               bool ignore_case) = 0;
    // The words of the word file at `path`, cleaned, without repeats, the
    // longest first; FileNotFoundError with `missing` and the path if there
    // is no such file.
    virtual pv::ref read_word_file(const pv::ref& path, const char* missing) = 0;

    void references(const std::function<void(pv::ref&)>& each) override;
};

// The disguise-aware matcher of `words` (a load's `banned_words`), folding
// case when `fold`, as the object kept in `_ban_matcher`; the allowed phrases
// and whether to match by sound are `self`'s.
pv::ref make_normalized_matcher(base_state& st, const pv::ref& self,
                                const std::vector<pv::ref>& words, bool fold);

// Creates the class NormalizedPromptBanChecker, derived from `base`
// (PromptBanChecker).
pv::ref make_normalized_checker(base_state& st, const pv::ref& base);

}  // namespace wordguard
