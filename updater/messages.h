// messages.h - the updater's numbered, bilingual user texts.
#pragma once

// 1 for the Dutch texts, 0 for the English ones. Set at start from the
// system's language; "-dut" and "-eng" override it.
extern int DutchLanguage;

// The text of message number (4 to 22) in the language of DutchLanguage and
// the form of this build; "Unknown" for any other number. Never null.
const char* GetMessageText(int number);
