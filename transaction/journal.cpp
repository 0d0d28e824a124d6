// journal.cpp - encoding and sealing the journal's lines (see journal.h).
#include "journal.h"

#include <cstdio>

#include "checksum.h"

namespace {

constexpr const char* HexDigits = "0123456789ABCDEF";

int HexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;  // lower case is never written, so never read
}

bool Plain(unsigned char c) {
    return c > ' ' && c < 0x7F && c != '%';
}

std::string Seal(const std::string& words) {
    char seal[9];
    std::snprintf(seal, sizeof seal, "%08X",
                  static_cast<unsigned>(Crc32(reinterpret_cast<const unsigned char*>(words.data()), words.size())));
    return seal;
}

bool ReadHex64(const std::string& text, std::size_t from, std::uint64_t* value) {
    *value = 0;
    for (std::size_t i = from; i < from + 16; ++i) {
        const int digit = HexValue(text[i]);
        if (digit < 0)
            return false;
        *value = *value << 4 | static_cast<unsigned>(digit);
    }
    return true;
}

}  // namespace

std::string JournalEncode(const std::string& text) {
    std::string word;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (Plain(byte)) {
            word += c;
        } else {
            word += '%';
            word += HexDigits[byte >> 4];
            word += HexDigits[byte & 15];
        }
    }
    // An empty text is a word too: "%" alone.
    return word.empty() ? "%" : word;
}

bool JournalDecode(const std::string& word, std::string* text) {
    text->clear();
    if (word == "%")
        return true;
    for (std::size_t at = 0; at < word.size(); ++at) {
        const auto byte = static_cast<unsigned char>(word[at]);
        if (byte != '%') {
            if (!Plain(byte))
                return false;
            *text += word[at];
            continue;
        }
        const int high = at + 2 < word.size() ? HexValue(word[at + 1]) : -1;
        const int low = high >= 0 ? HexValue(word[at + 2]) : -1;
        if (low < 0)
            return false;
        *text += static_cast<char>(high << 4 | low);
        at += 2;
    }
    return !text->empty();
}

std::string JournalId(const OsFileId& id) {
    char word[64];
    std::snprintf(word, sizeof word, "%016llX:%016llX:%016llX", static_cast<unsigned long long>(id.volume),
                  static_cast<unsigned long long>(id.index), static_cast<unsigned long long>(id.birth));
    return word;
}

bool JournalReadId(const std::string& word, OsFileId* id) {
    return word.size() == 50 && word[16] == ':' && word[33] == ':' && ReadHex64(word, 0, &id->volume) &&
           ReadHex64(word, 17, &id->index) && ReadHex64(word, 34, &id->birth);
}

std::string JournalLine(const std::vector<std::string>& words) {
    std::string line;
    for (const std::string& word : words)
        line += (line.empty() ? "" : " ") + word;
    return line + " " + Seal(line) + "\r\n";
}

bool JournalLines(const std::string& text, std::vector<std::vector<std::string>>* lines, int* bad) {
    lines->clear();
    std::size_t at = 0;
    for (int number = 1;; ++number) {
        const std::size_t end = text.find("\r\n", at);
        if (end == std::string::npos)
            return true;  // the rest, if any, is a line a kill tore
        const std::string line = text.substr(at, end - at);
        at = end + 2;
        *bad = number;
        const std::size_t blank = line.rfind(' ');
        if (blank == std::string::npos || blank == 0 || line.substr(blank + 1) != Seal(line.substr(0, blank)))
            return false;
        std::vector<std::string> words;
        for (std::size_t from = 0; from < blank;) {
            std::size_t stop = line.find(' ', from);
            if (stop == std::string::npos || stop > blank)
                stop = blank;
            if (stop == from)
                return false;  // two blanks: a word is never empty
            for (std::size_t i = from; i < stop; ++i) {
                if (static_cast<unsigned char>(line[i]) <= ' ' || static_cast<unsigned char>(line[i]) >= 0x7F)
                    return false;
            }
            words.push_back(line.substr(from, stop - from));
            from = stop + 1;
        }
        lines->push_back(std::move(words));
    }
}
