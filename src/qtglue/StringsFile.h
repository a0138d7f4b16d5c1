#pragma once

#include "platform/AtlString.h"

#include <QByteArray>

#include <functional>

// The ".strings" format of the maker's products: UTF-16 text made of tokens that alternate
// key, value, key, value.
//
// - Little-endian; a file that starts with the bytes FE FF (and has an even length) is
//   big-endian. A byte-order mark at the start is skipped; a file saved without one reads the
//   same as with one.
// - Between tokens any number of separators: "=", ";", space, tab, CR, LF and NUL.
// - A double quote switches quoting on or off anywhere, also inside a token (a"b c"d is the
//   one token "ab cd"); inside quotes separators and comment markers are ordinary characters
//   and a backslash starts an escape: \" \\ \n \t \r, and \uXXXX for one code unit given by
//   four hexadecimal digits (a character among the four that is no digit is consumed and
//   adds nothing).
// - Outside quotes "/*...*/" and "//... LF" are comments; they do not end a token.
// - A token keeps its first 1023 characters.
// - A key that is the very last token, with no separator after it, is dropped; a key
//   followed only by separators gets an empty value. An empty quoted string is no token.
//
// Two cases the format leaves open are settled here:
// - An escape of any other character stores that character: \' gives ', \x gives x.
// - A \u escape cut short by the end of the text stores nothing: the characters left are
//   consumed and the token ends there, as a truncated file would otherwise put an arbitrary
//   code unit into the last text.

// Result of NextToken when the text ended inside or before the token.
constexpr qsizetype kEndOfText = -1;
constexpr qsizetype kMaxTokenLength = 1023;

// Reads the token that starts at or after start into out (emptied first). Returns the index
// just after the separator that ended it, or kEndOfText when the text ran out; out then
// holds whatever was read so far.
qsizetype NextToken(const char16_t* text, qsizetype start, qsizetype count, CAtlString& out);

// Decodes the bytes of a ".strings" file and hands each key and value to store, in file
// order (a key that occurs twice is handed over twice).
void ReadStringsPairs(
    const QByteArray& bytes,
    const std::function<void(const CAtlString& key, const CAtlString& value)>& store);
