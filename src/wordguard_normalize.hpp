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

// What the checker keeps in wordguard's module state (which derives from it).
struct normalized_state : pv::state_base {
    pv::name matcher_attr{"_ban_matcher"}, words_attr{"banned_words"}, case_attr{"ignore_case"};
    pv::name build_regex_attr{"_build_regex"}, base_name{"PromptBanChecker"};
    pv::ref normalized_matcher_type;
    // The character tables of each case mode, made from the running
    // interpreter's Unicode data at the first load that needs them.
    std::shared_ptr<const char_table> folded_chars, exact_chars;

    int traverse(visitproc visit, void* arg) override;
    void clear() override;
};

// Creates the class NormalizedPromptBanChecker, derived from `base`
// (PromptBanChecker).
pv::ref make_normalized_checker(normalized_state& st, const pv::ref& base);

}  // namespace wordguard
