// install.cpp - the installation: the payload goes to "%sTEMP.LZX" in the
// temporary directory, is unpacked into the product directory against the
// product's version file "lzx.ver", and is deleted again.
//
// A file is replaced when the listed version is lower than or equal to the
// archive's; a file whose installed copy is newer is kept, the user is told
// how many were kept, and then the registry keeps its old Version so that
// the next run finds the same installed version. lzx.ver is rewritten after
// every complete extraction, with the new files appended and all statuses 0.
#include <cstdio>
#include <cstring>
#include <string>

#include "lzx/lzx.h"
#include "updater/updater.h"

namespace {

constexpr const char* VersionFileName = "lzx.ver";
constexpr const char* TempArchiveName = "TEMP.LZX";
constexpr const char* NewVersion = "2.04";

// The stream refuses archive names of 80 characters or more, and a product
// path has to leave room for "\lzx.ver" and the names below it. Both are
// checked before anything is written, with a message that says which.
void CheckTempPath(const std::string& path) {
    if (path.size() >= HileNameSize)
        FatalMessage("The temporary directory is too long for the update (at most %d characters): %s",
                     HileNameSize - 1 - static_cast<int>(std::strlen(TempArchiveName)),
                     path.substr(0, path.size() - std::strlen(TempArchiveName)).c_str());
}

// The sibling through which lzx.ver is replaced, while it is written.
std::string PendingSibling;

// The fatal path's cleanup while lzx.ver is rewritten: the files are closed
// as always, then the half-made sibling is removed, so that a failed rewrite
// leaves the old lzx.ver and nothing beside it.
void RemovePendingSibling() {
    FileTableCloseAll();
    if (!PendingSibling.empty())
        OsDeleteFile(PendingSibling.c_str());
}

void SaveVersionFile(const char* path, const EntryRec* table, int length) {
    PendingSibling = std::string(path) + ".new";  // the sibling VersionTableSave writes
    SetFatalCleanup(RemovePendingSibling);
    VersionTableSave(path, table, length);
    SetFatalCleanup(FileTableCloseAll);
    PendingSibling.clear();
}

}  // namespace

void WritePayload(char* path, int secondPass, FileRec* file) {
    std::memset(path, 0, FileNameSize);
    const std::string temp = OsTempPath();
    const std::string archive = temp + TempArchiveName;
    CheckTempPath(archive);
    std::memcpy(path, archive.c_str(), archive.size() + 1);

    // The temporary directory is open to everyone: what lies under the fixed
    // name (an earlier run's archive, or a link someone planted there) is
    // removed, never opened, and the name is created anew, exclusively. A
    // link is not followed, and a name taken again in between makes the
    // creation fail instead of writing elsewhere.
    FileInit(file, 1, path);
    OsDeleteFile(path);
    file->handle = OsCreateNewFile(path, OsAccessRead | OsAccessWrite);
    if (file->handle == 0)
        FileError(file, FileErrCreate);
    FileRegister(file);
    if (!secondPass)
        FileWrite(file, static_cast<int>(PayloadSize), Payload);
}

void CheckProductDirectory(const char* directory) {
    const int most = FileNameSize - 2 - static_cast<int>(std::strlen(VersionFileName));
    if (static_cast<int>(std::strlen(directory)) > most)
        FatalMessage("The product directory is too long for the update (at most %d characters): %s", most,
                     directory);
}

void InstallPayload(FileRec* archive, const char* directory) {
    CheckProductDirectory(directory);
    char versionFile[FileNameSize];
    std::snprintf(versionFile, sizeof versionFile, "%s\\%s", directory, VersionFileName);

    if (!FileExists(versionFile) && ZelkProduct && !DemoBuild) {
        FileClose(archive);
        char text[FileNameSize + 16];
        std::snprintf(text, sizeof text, "%s not found", versionFile);
        OsMessageBox(text, "Einde", OsIcon::Information);
        return;
    }

    int capacity = 0;
    EntryRec* table = VersionTableLoad(versionFile, &capacity);
    // Extraction reads the archive through the handle that wrote it: the
    // name is not looked up again, so nothing can be put in its place.
    UnPackStream(HopenFile(archive), directory, table, capacity, 1);
    const VersionCounts counts = VersionTableSettle(table, capacity);

    if (counts.kept > 0) {
        char text[200];
        std::snprintf(text, sizeof text, "%s\n%d bestanden niet vervangen.", GetMessageText(13), counts.kept);
        OsMessageBox(text, GetMessageText(14), OsIcon::Information);
    }
    // lzx.ver first, the registry after: a run that fails in between leaves
    // the old Version, so the next run installs again and completes both.
    SaveVersionFile(versionFile, table, counts.length);
    if (counts.kept == 0)
        WriteProductVersion("Zelk", NewVersion);
    FreeBlock(table);
}

void DeleteTempArchive(const char* path) {
    FileRec file;
    FileInit(&file, 1, path);
    FileDelete(&file);
}
