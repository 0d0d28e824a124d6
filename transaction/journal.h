// journal.h - the lines of a transaction's journal: the transaction's own.
//
// A journal is text, one record a line, each line its words and then the
// CRC-32 of the words as eight hex digits, ending in CR LF:
//
//   file 3 replace 0 Help\Inleiding.txt 5D2A07C1
//
// A word holds no blank and no control character: every byte outside "!"
// to "~", and "%" itself, is written as "%" and two hex digits, so any text
// (a registry value with a CR, a name of any length) reads back exactly as
// it was written. A record is appended and forced to the disk before the
// step it announces is taken; a power cut can therefore only tear the last
// line, which then has no CR LF and is dropped, as the step it announced
// was never taken. Any other line that does not read back is damage.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform.h"

std::string JournalEncode(const std::string& text);
// false when word is no encoding of a text.
bool JournalDecode(const std::string& word, std::string* text);

// A file's identity as one word, and back.
std::string JournalId(const OsFileId& id);
bool JournalReadId(const std::string& word, OsFileId* id);

// One sealed line of words (each already a word: encode texts first).
std::string JournalLine(const std::vector<std::string>& words);

// The words of every whole line of a journal's text. A last line without
// its CR LF is dropped. false when a whole line is damaged (its seal does
// not match, it holds a control character or no words): *bad receives its
// number, from 1.
bool JournalLines(const std::string& text, std::vector<std::vector<std::string>>* lines, int* bad);
