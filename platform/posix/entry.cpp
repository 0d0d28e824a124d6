// entry.cpp - main of the native updater programs: the arguments after the
// program's name, joined by single spaces, are the command line.
#include <string>

#include "app.h"

int main(int argc, char** argv) {
    std::string commandLine;
    for (int i = 1; i < argc; ++i) {
        if (i > 1)
            commandLine += ' ';
        commandLine += argv[i];
    }
    return UpdaterRun(0, commandLine.c_str());
}
