// The character classes the disguise-aware checker reads for every code
// point: what a character is to a word (letter, separator, invisible...),
// how its script treats words and marks, and whether it ends a clause. The
// build makes the table with ICU (gen/tables.cpp); the module
// and the generator share this encoding.
#pragma once

#include <cstdint>

namespace wordguard::chars {

// Bits 0-2: what the character is to a word.
constexpr uint8_t other = 0;      // lone surrogates: match only themselves
constexpr uint8_t ignorable = 1;  // invisible (default-ignorable, controls, private use,
                                  // unassigned): dropped
constexpr uint8_t separator = 2;  // white space, punctuation, symbols (emoji among them)
constexpr uint8_t letter = 3;     // letters and spacing marks
constexpr uint8_t number = 4;     // digits and other numbers
constexpr uint8_t mark = 5;       // non-spacing and enclosing marks
constexpr uint8_t role_mask = 0x07;

// Bits 3-5: the script, as far as words and marks are concerned.
constexpr uint8_t common = 0 << 3;  // no script of its own (digits, symbols)
constexpr uint8_t latin = 1 << 3;
constexpr uint8_t greek_cyrillic = 2 << 3;
constexpr uint8_t spaced = 3 << 3;    // other scripts that put spaces between words
constexpr uint8_t unspaced = 4 << 3;  // other scripts written without spaces (Thai, kana...)
constexpr uint8_t han = 5 << 3;
constexpr uint8_t script_mask = 0x38;

// Bit 6: Chinese clause punctuation (。，、；：！？ and their other widths) and
// line breaks: no match runs across them.
constexpr uint8_t clause_break = 0x40;
// Bit 7: ends a clause, a quotation or a title between characters of scripts
// written without spaces (ASCII , ; : ! ?, brackets and quotation marks).
constexpr uint8_t unspaced_break = 0x80;

}  // namespace wordguard::chars
