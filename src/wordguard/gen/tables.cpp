// Writes the Unicode tables of wordguard's disguise-aware checker as C++
// source, from the ICU the build finds:
//
//  * the class of every code point (chars.hpp): default-ignorable,
//    separator, letter, number, mark or other; its script as far as words go
//    (ICU's own list of scripts written without spaces); clause punctuation;
//  * the letters that look like a basic Latin letter: the single-letter
//    entries of Unicode's confusables (ICU's spoof checker skeletons), and
//    symbols and letters whose names say they show one (enclosed letters,
//    small capitals);
//  * traditional Chinese characters and their simplified forms (ICU's
//    Traditional-Simplified transform, one character at a time).
//
// Run by the build only; nothing of ICU is linked into the module.
//
//     wordguard_tables OUTPUT.inc
#include <unicode/uchar.h>
#include <unicode/uclean.h>
#include <unicode/uscript.h>
#include <unicode/uspoof.h>
#include <unicode/ustring.h>
#include <unicode/utrans.h>
#include <unicode/uversion.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "../chars.hpp"

namespace chars = wordguard::chars;

namespace {

void check(UErrorCode status, const char* what) {
    if (U_FAILURE(status)) {
        std::fprintf(stderr, "wordguard_tables: %s: %s\n", what, u_errorName(status));
        std::exit(1);
    }
}

std::u16string utf16(UChar32 c) {
    UChar units[2];
    int32_t n = 0;
    U16_APPEND_UNSAFE(units, n, c);
    return std::u16string(units, units + n);
}

// The single code point of a UTF-16 string, or -1.
UChar32 only_code_point(const std::u16string& s) {
    if (s.empty()) return -1;
    UChar32 c;
    int32_t i = 0;
    U16_NEXT(s.data(), i, static_cast<int32_t>(s.size()), c);
    return i == static_cast<int32_t>(s.size()) ? c : -1;
}

bool is_letter(UChar32 c) { return (U_GC_L_MASK & U_MASK(u_charType(c))) != 0; }

uint8_t script_class(UChar32 c) {
    UErrorCode status = U_ZERO_ERROR;
    const UScriptCode script = uscript_getScript(c, &status);
    check(status, "uscript_getScript");
    switch (script) {
        case USCRIPT_COMMON:
        case USCRIPT_INHERITED:
        case USCRIPT_UNKNOWN: return chars::common;
        case USCRIPT_LATIN: return chars::latin;
        case USCRIPT_GREEK:
        case USCRIPT_CYRILLIC: return chars::greek_cyrillic;
        case USCRIPT_HAN: return chars::han;
        default: return uscript_breaksBetweenLetters(script) ? chars::unspaced : chars::spaced;
    }
}

bool is_chinese_clause_punctuation(UChar32 c) {
    switch (c) {
        case 0x3001:
        case 0x3002:  // 、。
        case 0xFF01:
        case 0xFF0C:
        case 0xFF0E:
        case 0xFF1A:
        case 0xFF1B:
        case 0xFF1F:  // ！，．：；？
        case 0xFF61:
        case 0xFF64:  // halfwidth 。、
        case 0xFE50:
        case 0xFE51:
        case 0xFE52:
        case 0xFE54:
        case 0xFE55:
        case 0xFE56:
        case 0xFE57:  // small forms
            return true;
        default: return false;
    }
}

bool is_line_break(UChar32 c) {
    return (c >= 0x0A && c <= 0x0D) || c == 0x85 || c == 0x2028 || c == 0x2029;
}

uint8_t class_of(UChar32 c) {
    if (u_hasBinaryProperty(c, UCHAR_DEFAULT_IGNORABLE_CODE_POINT)) return chars::ignorable;
    const uint32_t category = U_MASK(u_charType(c));
    // Nothing a reader sees either: controls other than white space, the
    // interlinear annotation characters, private use and unassigned code points.
    if ((category & (U_GC_CC_MASK | U_GC_CO_MASK | U_GC_CN_MASK) && !u_isUWhiteSpace(c)) ||
        (c >= 0xFFF9 && c <= 0xFFFB))
        return chars::ignorable;
    uint8_t role = chars::other;
    if (category & (U_GC_L_MASK | U_GC_MC_MASK))
        role = chars::letter;
    else if (category & U_GC_N_MASK)
        role = chars::number;
    else if (category & (U_GC_MN_MASK | U_GC_ME_MASK))
        role = chars::mark;
    else if (category & (U_GC_P_MASK | U_GC_S_MASK | U_GC_Z_MASK) || u_isUWhiteSpace(c))
        role = chars::separator;
    uint8_t value = role | script_class(c);
    if (role == chars::separator) {
        // A line ends a clause: prompts are often lists, one item per line.
        if (is_chinese_clause_punctuation(c) || is_line_break(c)) value |= chars::clause_break;
        if ((c < 0x80 && std::string_view(",;:!?\"'").find(char(c)) != std::string_view::npos) ||
            category & (U_GC_PS_MASK | U_GC_PE_MASK | U_GC_PI_MASK | U_GC_PF_MASK))
            value |= chars::unspaced_break;
    }
    return value;
}

// Letters that look like one basic Latin letter: their confusable skeleton is
// that of the letter. 'l' and 'I' share theirs; such letters are given as 'I',
// which the checker reads as either.
std::vector<std::pair<UChar32, char>> latin_lookalikes() {
    UErrorCode status = U_ZERO_ERROR;
    USpoofChecker* spoof = uspoof_open(&status);
    check(status, "uspoof_open");
    auto skeleton = [&](UChar32 c) {
        const std::u16string s = utf16(c);
        UChar out[64];
        UErrorCode st = U_ZERO_ERROR;
        const int32_t n = uspoof_getSkeleton(spoof, 0, reinterpret_cast<const UChar*>(s.data()),
                                             static_cast<int32_t>(s.size()), out, 64, &st);
        check(st, "uspoof_getSkeleton");
        return std::u16string(out, out + n);
    };
    std::map<std::u16string, std::string> letters_of;
    for (char c = 'a'; c <= 'z'; ++c) letters_of[skeleton(c)] += c;
    for (char c = 'A'; c <= 'Z'; ++c) letters_of[skeleton(c)] += c;

    std::vector<std::pair<UChar32, char>> pairs;
    for (UChar32 c = 0x80; c <= 0x10FFFF; ++c) {
        if (!is_letter(c)) continue;
        const auto it = letters_of.find(skeleton(c));
        if (it == letters_of.end()) continue;
        const std::string& letters = it->second;
        pairs.emplace_back(c, letters.size() == 1 ? letters[0] : 'I');
    }
    uspoof_close(spoof);
    return pairs;
}

// Symbols and letters that show a basic Latin letter, by their Unicode names:
// enclosed, squared, negative squared and circled letters ("NEGATIVE SQUARED
// LATIN CAPITAL LETTER S"), small capitals ("LATIN LETTER SMALL CAPITAL E")
// and regional indicators. Small capitals read as small letters.
std::vector<std::pair<UChar32, char>> letter_pictures() {
    std::vector<std::pair<UChar32, char>> pairs;
    for (UChar32 c = 0x80; c <= 0x10FFFF; ++c) {
        char buffer[128];
        UErrorCode status = U_ZERO_ERROR;
        const int32_t n = u_charName(c, U_UNICODE_CHAR_NAME, buffer, sizeof buffer, &status);
        if (U_FAILURE(status) || n < 3) continue;
        const std::string_view name(buffer, static_cast<size_t>(n));
        const char letter = name.back();
        if (name[n - 2] != ' ' || letter < 'A' || letter > 'Z') continue;
        const std::string_view head = name.substr(0, name.size() - 1);
        auto ends_with = [&](std::string_view tail) {
            return head.size() >= tail.size() && head.substr(head.size() - tail.size()) == tail;
        };
        const bool latin = name.find("LATIN") != std::string_view::npos;
        if (latin && ends_with("LETTER SMALL CAPITAL "))
            pairs.emplace_back(c, static_cast<char>(letter - 'A' + 'a'));
        else if (latin && ends_with("SMALL LETTER "))
            pairs.emplace_back(c, static_cast<char>(letter - 'A' + 'a'));
        else if ((latin && ends_with("CAPITAL LETTER ")) ||
                 head == "REGIONAL INDICATOR SYMBOL LETTER ")
            pairs.emplace_back(c, letter);
    }
    return pairs;
}

std::vector<std::pair<UChar32, UChar32>> simplified_forms() {
    UErrorCode status = U_ZERO_ERROR;
    UTransliterator* transform =
        utrans_openU(u"Traditional-Simplified", -1, UTRANS_FORWARD, nullptr, 0, nullptr, &status);
    check(status, "utrans_openU(Traditional-Simplified)");
    std::vector<std::pair<UChar32, UChar32>> pairs;
    for (UChar32 c = 0; c <= 0x10FFFF; ++c) {
        if (script_class(c) != chars::han || !is_letter(c)) continue;
        UChar text[16];
        const std::u16string s = utf16(c);
        std::copy(s.begin(), s.end(), text);
        int32_t length = static_cast<int32_t>(s.size()), limit = length;
        utrans_transUChars(transform, text, &length, 16, 0, &limit, &status);
        check(status, "utrans_transUChars");
        const UChar32 simple = only_code_point(std::u16string(text, text + length));
        if (simple >= 0 && simple != c) pairs.emplace_back(c, simple);
    }
    utrans_close(transform);
    return pairs;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2 || !std::freopen(argv[1], "w", stdout)) {
        std::fprintf(stderr, "usage: wordguard_tables OUTPUT.inc\n");
        return 2;
    }
    UVersionInfo unicode;
    u_getUnicodeVersion(unicode);
    char unicode_text[U_MAX_VERSION_STRING_LENGTH];
    u_versionToString(unicode, unicode_text);

    std::printf("// Generated by src/wordguard/gen/tables.cpp from ICU %s (Unicode %s).\n",
                U_ICU_VERSION, unicode_text);
    std::printf("#pragma once\n#include <cstdint>\n\nnamespace wordguard::tables {\n\n");

    // Runs of equal classes: class_runs[i] starts at run_starts[i].
    std::vector<UChar32> starts;
    std::vector<uint8_t> values;
    for (UChar32 c = 0; c <= 0x10FFFF; ++c) {
        const uint8_t v = class_of(c);
        if (values.empty() || v != values.back()) {
            starts.push_back(c);
            values.push_back(v);
        }
    }
    std::printf("inline constexpr uint32_t run_starts[] = {");
    for (size_t i = 0; i < starts.size(); ++i)
        std::printf("%s0x%X,", i % 12 ? "" : "\n    ", starts[i]);
    std::printf("\n};\ninline constexpr uint8_t run_classes[] = {");
    for (size_t i = 0; i < values.size(); ++i)
        std::printf("%s0x%02X,", i % 16 ? "" : "\n    ", values[i]);
    std::printf("\n};\n\n");

    std::printf("// Letters that look like a basic Latin letter ('I': like 'I' or 'l').\n");
    std::printf("inline constexpr uint32_t latin_lookalikes[][2] = {");
    int i = 0;
    std::map<UChar32, char> lookalikes;
    for (const auto& [c, letter] : letter_pictures()) lookalikes[c] = letter;
    for (const auto& [c, letter] : latin_lookalikes()) lookalikes[c] = letter;  // confusables first
    for (const auto& [c, letter] : lookalikes)
        std::printf("%s{0x%X,'%c'},", i++ % 8 ? "" : "\n    ", c, letter);
    std::printf("\n};\n\n// Traditional Chinese characters and their simplified forms.\n");
    std::printf("inline constexpr uint32_t simplified_forms[][2] = {");
    i = 0;
    for (const auto& [c, simple] : simplified_forms())
        std::printf("%s{0x%X,0x%X},", i++ % 6 ? "" : "\n    ", c, simple);
    std::printf("\n};\n\n}  // namespace wordguard::tables\n");
    u_cleanup();
    return std::fflush(stdout) == 0 ? 0 : 1;
}
