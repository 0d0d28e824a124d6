// messages.cpp - the message catalogue.
//
// Numbers 4 to 22, one Dutch and one English column. Where a number has two
// forms, the build constants choose: DemoBuild for the update/demo texts
// (4, 11, 13, 14), ZelkProduct for the Zelk/Tarvo texts (9, 10). Texts shown
// in static controls write a literal ampersand as "&&"; none of ours has one.
#include "messages.h"

#include "build_constants.h"

int DutchLanguage = 0;

namespace {

struct Text {
    const char* dutch;
    const char* english;
};

constexpr int FirstMessage = 4;
constexpr int LastMessage = 22;

constexpr Text UpdateOrDemo(Text update, Text demo) {
    return DemoBuild ? demo : update;
}

constexpr Text ZelkOrTarvo(Text zelk, Text tarvo) {
    return ZelkProduct ? zelk : tarvo;
}

constexpr Text Catalogue[LastMessage - FirstMessage + 1] = {
    /*  4 */ UpdateOrDemo({"update informatie", "update information"}, {"demo informatie", "demo information"}),
    /*  5 */ {"Zelk update 16-dec-2003", "Zelk update 16-dec-2003"},
    /*  6 */ {"Versie 2.04 van Zelk", "Version 2.04 for Zelk"},
    /*  7 */ {"Versie 2.04 van het biedboek", "Version 2.04 of the bid book"},
    /*  8 */ {"", ""},
    /*  9 */ ZelkOrTarvo({"Copyright (c) 1998-2003 Zelk", "Copyright (c) 1998-2003 Zelk"},
                         {"Copyright (c) 2003 Tarvo Software", "Copyright (c) 2003 Tarvo Software"}),
    /* 10 */ ZelkOrTarvo({"het Zelk team", "the Zelk team"}, {"ontwikkelling", "development"}),
    /* 11 */ UpdateOrDemo({"Installeer update", "Install update"}, {"Installeer demo", "Install demo"}),
    /* 12 */ {"Annuleer", "Cancel"},
    /* 13 */ UpdateOrDemo({"De update is aangebracht.", "The update has been applied."},
                          {"Installatie succesvol.\nVeel plezier.", "Installation completed."}),
    /* 14 */ UpdateOrDemo({"Update verslag", "Update report"}, {"Einde installatie", "Installation finished"}),
    /* 15 */ {"E-mail: info@zelk.nl", "E-mail: support@zelk.nl"},
    /* 16 */ {"Internet: www.zelk.nl", "Web: www.zelk.nl/english"},
    /* 17 */ {"Zelk directory niet gevonden", "Zelk directory not found"},
    /* 18 */ {"Einde programma", "Exit program"},
    /* 19 */ {"Tarvo directory niet gevonden", "Tarvo directory not found"},
    /* 20 */ {"Tijdens de installatie mag Zelk niet actief zijn.", "During updating Zelk should not be active."},
    /* 21 */ {"Tijdens de installatie mag er geen\nandere Tarvo Software draaien.",
              "During updating no other Tarvo Software should be active."},
    /* 22 */ {"U heeft Zelk versie 2.0 nodig voor deze update.",
              "You need Zelk version 2.0 to be able to use this update."},
};

}  // namespace

const char* GetMessageText(int number) {
    if (number < FirstMessage || number > LastMessage)
        return "Unknown";
    const Text& text = Catalogue[number - FirstMessage];
    return DutchLanguage ? text.dutch : text.english;
}
