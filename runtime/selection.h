// Input record selection: the range operations that cut a part out of a
// record for a stage that was given an input selection, and the upper-case
// and reverse steps applied to that part. Pure functions of their arguments;
// any thread may call them.
//
// Records and separator sets are bytes of the given length (NUL included).
// Unit numbers count from the start when positive (1 is the first unit) and
// from the end when negative (-1 is the last unit); every value of int32_t
// is accepted.
//
// Starts that count nothing: in the words and fields modes a start number of
// 0, and in the words mode a start number below -m (m words), both mean the
// start of the record, leading separators included. The end number is then
// read as usual, and an end that lies before the start gives an empty result.
// So 0 to 1 selects up to the end of the first unit, and 0 to 0 is empty.
// (In the columns mode a start of 0 gives an empty result.)
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace ductrine {

// Columns from to to. A to one column before from still selects the column
// at from; a start at 0 or past the record gives an empty result.
std::string SelectColumns(std::string_view record, int32_t from, int32_t to);

// Words from to to; a word is a maximal run of bytes not in separators.
// The separators between the selected words come along; an end number above
// the word count also takes the separators behind the last word. With both
// numbers positive and to below from, the result is the first byte of word
// from.
std::string SelectWords(std::string_view record, std::string_view separators,
                        int32_t from, int32_t to);

// Fields from to to; every byte in separators ends a field, so fields may be
// empty and k separators make k + 1 fields. With both numbers positive and to
// below from, the result is field from alone.
std::string SelectFields(std::string_view record, std::string_view separators,
                         int32_t from, int32_t to);

// Turns a to z into A to Z; every other byte stays, whatever the locale.
void UpperCaseAscii(std::string& text);

// Reverses the order of the bytes.
void ReverseText(std::string& text);

}  // namespace ductrine
