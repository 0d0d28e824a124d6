// The message catalogue, compiled once per build: each program must show the
// texts of its own build in both languages.
#include <string>

#include "support.h"
#include "build_constants.h"
#include "messages.h"

namespace {

struct Expected {
    int number;
    const char* dutch;
    const char* english;
};

std::string Text(int number, int dutch) {
    DutchLanguage = dutch;
    return GetMessageText(number);
}

void ExpectTexts(std::initializer_list<Expected> rows) {
    for (const Expected& row : rows) {
        EXPECT_EQ(Text(row.number, 1), row.dutch) << "message " << row.number;
        EXPECT_EQ(Text(row.number, 0), row.english) << "message " << row.number;
    }
}

TEST(MessagesTest, UndefinedNumbersAreUnknownInBothLanguages) {
    for (int number : {0, 3, 23, -1, -1000, 1 << 30})
        ExpectTexts({{number, "Unknown", "Unknown"}});
    // 8 is defined, and empty.
    ExpectTexts({{8, "", ""}});
}

TEST(MessagesTest, TextsCommonToAllBuilds) {
    ExpectTexts({
        {5, "Zelk update 16-dec-2003", "Zelk update 16-dec-2003"},
        {6, "Versie 2.04 van Zelk", "Version 2.04 for Zelk"},
        {7, "Versie 2.04 van het biedboek", "Version 2.04 of the bid book"},
        {12, "Annuleer", "Cancel"},
        {17, "Zelk directory niet gevonden", "Zelk directory not found"},
        {18, "Einde programma", "Exit program"},
        {19, "Tarvo directory niet gevonden", "Tarvo directory not found"},
        {20, "Tijdens de installatie mag Zelk niet actief zijn.", "During updating Zelk should not be active."},
        {21, "Tijdens de installatie mag er geen\nandere Tarvo Software draaien.",
         "During updating no other Tarvo Software should be active."},
        {22, "U heeft Zelk versie 2.0 nodig voor deze update.",
         "You need Zelk version 2.0 to be able to use this update."},
    });
}

TEST(MessagesTest, UpdateOrDemoTexts) {
    if (DemoBuild) {
        ExpectTexts({
            {4, "demo informatie", "demo information"},
            {11, "Installeer demo", "Install demo"},
            {13, "Installatie succesvol.\nVeel plezier.", "Installation completed."},
            {14, "Einde installatie", "Installation finished"},
        });
    } else {
        ExpectTexts({
            {4, "update informatie", "update information"},
            {11, "Installeer update", "Install update"},
            {13, "De update is aangebracht.", "The update has been applied."},
            {14, "Update verslag", "Update report"},
        });
    }
}

TEST(MessagesTest, ZelkOrTarvoTexts) {
    if (ZelkProduct)
        ExpectTexts({{10, "het Zelk team", "the Zelk team"}});
    else
        ExpectTexts({{10, "ontwikkelling", "development"}});
    // The copyright line names this build's product and is the same in
    // both languages.
    EXPECT_EQ(Text(9, 1), Text(9, 0));
    EXPECT_NE(Text(9, 0).find(ZelkProduct ? "Zelk" : "Tarvo"), std::string::npos);
}

TEST(MessagesTest, ContactLinesDifferPerLanguageAndHaveNoBareAmpersand) {
    for (int number : {9, 15, 16}) {
        for (int dutch : {0, 1}) {
            const std::string text = Text(number, dutch);
            EXPECT_FALSE(text.empty()) << number;
            EXPECT_EQ(text.find('&'), std::string::npos) << number;  // a static control would eat it
        }
    }
    EXPECT_NE(Text(15, 1), Text(15, 0));
    EXPECT_NE(Text(16, 1), Text(16, 0));
}

}  // namespace
