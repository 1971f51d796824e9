// The disguise-aware prompt checker of pravel.wordguard,
// NormalizedPromptBanChecker: PromptBanChecker's contract, with banned words
// found through the usual disguises (compatibility forms, letter case,
// accents, invisible characters, look-alike letters and digits, traditional
// characters, separators between the characters of a word).
#pragma once

#include <memory>

#include "pravel.hpp"

namespace wordguard {

struct char_table;

// The part of wordguard's module state that both checkers use (the module's
// state derives from it).
struct base_state : pv::state_base {
    pv::name banned_words{"banned_words"}, ignore_case{"ignore_case"}, ban_matcher{"_ban_matcher"};
    pv::name build_regex{"_build_regex"}, PromptBanChecker{"PromptBanChecker"};
    pv::ref matcher_type;  // of the objects that hold a matcher (wordguard_matcher.hpp)
    // The character tables of each case mode, made from the running
    // interpreter's Unicode data at the first load that needs them.
    std::shared_ptr<const char_table> folded_chars, exact_chars;

    int traverse(visitproc visit, void* arg) override;
    void clear() override;
};

// Creates the class NormalizedPromptBanChecker, derived from `base`
// (PromptBanChecker).
pv::ref make_normalized_checker(base_state& st, const pv::ref& base);

}  // namespace wordguard
