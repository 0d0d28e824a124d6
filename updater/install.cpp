// install.cpp - the installation: the payload goes to "%sTEMP.LZX" in the
// temporary directory, is unpacked into the product directory against the
// product's version file "lzx.ver", and is deleted again: as soon as
// extraction is over, or by the fatal path on any failure before.
//
// A file is replaced when the listed version is lower than or equal to the
// archive's; a file whose installed copy is newer is kept, the user is told
// how many were kept, and then the registry keeps its old Version so that
// the next run finds the same installed version. lzx.ver is rewritten after
// every complete extraction, with the new files appended and all statuses 0.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "lzx.h"
#include "transaction.h"
#include "updater.h"

namespace {

constexpr const char* VersionFileName = "lzx.ver";
constexpr const char* TempArchiveName = "TEMP.LZX";
constexpr const char* NewVersion = "2.04";

// What extraction did, counted as the log tells it: the table's statuses
// also count entries that were not written (see LogEntry).
struct EntryTally {
    int replaced, added, kept, skipped;
};

// Each entry as extraction carries it out, or (would) as it would.
void LogEntry(const EntryRec& entry, int listed, bool written, EntryTally* tally, bool would = false) {
    const std::string name = EntryShowName(entry.name);
    const char* deleted = entry.D ? ", deleted again" : "";
    const char* as = would ? "would " : "";
    if (written && listed >= 0) {
        ++tally->replaced;
        RunLog("%s%s %s: version %d -> %d%s", as, would ? "replace" : "replaced", name.c_str(), listed, entry.version,
               deleted);
    } else if (written) {
        ++tally->added;
        RunLog("%s%s %s: version %d, not listed before%s", as, would ? "write" : "written", name.c_str(),
               entry.version, deleted);
    } else if (listed > entry.version) {
        ++tally->kept;
        RunLog("%s%s %s: installed version %d is newer than %d", as, would ? "keep" : "kept", name.c_str(), listed,
               entry.version);
    } else {
        // An entry that only replaces an installed copy (R) found none.
        ++tally->skipped;
        RunLog("%s %s: replaces only an installed copy, and there is none", would ? "would not write" : "not written",
               name.c_str());
    }
}

// A step of the run in words, in the log: rolled back, recovered.
void LogStep(const char* text, void*) {
    RunLog("%s", text);
}

// The registry's Version, as the journal names the step that changes it.
constexpr const char* RegistryStep = "registry Software\\Zelk Version";

// An undone update puts the registry's Version back to the one it found.
bool RestoreVersion(const char* version, void*) {
    const bool written = WriteProductVersion("Zelk", version) != 0;
    if (written)
        std::snprintf(InstalledVersion, sizeof InstalledVersion, "%s", version);
    RunLog("registry: Software\\Zelk Version %s%s", written ? "back at " : "cannot be put back to ", version);
    return written;
}

// The temporary archive has served once extraction is over: it goes at
// once, before anything else can fail or wait for a click.
void RemoveTempArchive(const char* path) {
    DeleteTempArchive(path);
    RunLog("temporary archive deleted");
}

// The update build needs an lzx.ver: without one nothing is installed, and
// the run says so by its code, whether a user clicked Install or not.
bool VersionFileMissing(const char* versionFile) {
    return !FileExists(versionFile) && ZelkProduct && !DemoBuild;
}

void RefuseWithoutVersionFile(const char* versionFile) {
    SetOutcome(RunNotUpdatable, true);
    ShowMessage((EscapeControls(versionFile) + " not found").c_str(), "Einde", OsIcon::Information);
}

// lzx.ver's records (through its hold, when held), logged.
EntryRec* LoadVersions(const char* versionFile, const HeldFile* held, int* capacity) {
    EntryRec* table = VersionTableLoad(versionFile, capacity, held);
    int listed = 0;
    while (listed < *capacity && table[listed].name[0] != 0)
        ++listed;
    RunLog("version file: %s, %d records", versionFile, listed);
    return table;
}

}  // namespace

// Names in the temporary directory are checked before anything is written:
// the stream refuses archive names of 80 characters or more, and any path
// holds 259. The refusal names the update's limit, the tighter one. Without
// a directory from the system the name alone would be a file in the current
// directory: never that.
std::string TempFilePath(const char* name, std::size_t size) {
    const std::string temp = OsTempDirectory();
    if (temp.empty())
        FatalMessage("The system gives no temporary directory for the update");
    const std::string path = temp + name;
    if (path.size() >= size)
        FatalMessage("The temporary directory is too long for the update (at most %d characters): %s",
                     HileNameSize - 1 - static_cast<int>(std::strlen(TempArchiveName)), EscapeControls(temp).c_str());
    return path;
}

void WritePayload(char* path, int secondPass, FileRec* file) {
    std::memset(path, 0, FileNameSize);
    const std::string archive = TempFilePath(TempArchiveName, HileNameSize);
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
    // From here every way out removes the file: a full disk, or any failure
    // while it is read (the stream takes the record over, mark and all).
    FileMarkPartial(file);
    if (!secondPass)
        FileWrite(file, static_cast<int>(PayloadSize), Payload);
    RunLog("temporary archive: %s, %zu bytes", path, secondPass ? std::size_t{0} : PayloadSize);
}

void CheckProductDirectory(const char* directory) {
    // lzx.ver must leave room for the names it takes during the commit, and
    // the directory for the update's journal.
    const int most = std::min(FileNameSize - 2 - static_cast<int>(std::strlen(VersionFileName)) - SideNameExtra,
                              TargetPathLimit);
    if (static_cast<int>(std::strlen(directory)) > most)
        FatalMessage("The product directory is too long for the update (at most %d characters): %s", most,
                     directory);
}

bool InstallPayload(FileRec* archive, const char* archivePath, const char* directory) {
    CheckProductDirectory(directory);
    char versionFile[FileNameSize];
    std::snprintf(versionFile, sizeof versionFile, "%s\\%s", directory, VersionFileName);

    if (VersionFileMissing(versionFile)) {
        FileClose(archive);
        RemoveTempArchive(archivePath);
        RefuseWithoutVersionFile(versionFile);
        return false;
    }

    // lzx.ver is held from before its load to its replacement.
    HeldFile versions;
    versions.Take(versionFile, HeldFile::HeldOwnFolder, "VersionTableLock");
    int capacity = 0;
    EntryRec* table = LoadVersions(versionFile, &versions, &capacity);

    // All or nothing: every file is staged, then every file and lzx.ver
    // are put in place, then the registry follows; a failure anywhere
    // undoes it all. Extraction reads the archive through the handle that
    // wrote it: the name is not looked up again, so nothing can be put in
    // its place.
    Transaction update(directory, "UnPackLZX");
    update.OnReport(LogStep, nullptr);
    VersionCounts counts{};
    std::vector<UnpackDecision> decisions;
    UnpackOptions options;
    options.transaction = &update;
    options.versionFile = &versions;
    options.counts = &counts;
    options.decisions = &decisions;
    UnPackStream(HopenFile(archive), directory, table, capacity, 1, options);
    RunLog("staged: %d files, %lld bytes", update.StagedFiles(), update.StagedBytes());
    RemoveTempArchive(archivePath);

    update.Place();
    RunLog("committed: %d files in place, and %s", update.Files(), versionFile);
    EntryTally tally{};
    for (const UnpackDecision& decision : decisions)
        LogEntry(decision.entry, decision.listed, decision.written, &tally);
    RunLog("version file rewritten: %d records", counts.length);
    if (counts.kept == 0) {
        // Recorded first, with the Version it replaces, so that an undoing
        // (now or by the next run) puts that back. A Version left behind
        // would make the next run take the installed files for 2.00 ones:
        // the run has failed, and says so.
        if (ZelkProduct && !DemoBuild && InstalledVersion[0] != 0)
            update.Step(RegistryStep, InstalledVersion, RestoreVersion, nullptr);
        if (!WriteProductVersion("Zelk", NewVersion))
            FatalMessage("The new version %s cannot be written to the registry: Software\\Zelk Version", NewVersion);
        RunLog("registry: Software\\Zelk Version %s -> %s", InstalledVersion[0] ? InstalledVersion : "(none)",
               NewVersion);
    } else {
        RunLog("registry: Software\\Zelk Version left at %s, as files were kept back",
               InstalledVersion[0] ? InstalledVersion : "(none)");
    }
    update.Commit();
    RunLog("files: %d replaced, %d new, %d kept, %d not written", tally.replaced, tally.added, tally.kept,
           tally.skipped);

    if (counts.kept > 0) {
        SetOutcome(RunKeptBack);
        char text[200];
        std::snprintf(text, sizeof text, "%s\n%d bestanden niet vervangen.", GetMessageText(13), counts.kept);
        ShowMessage(text, GetMessageText(14), OsIcon::Information);
    }
    FreeBlock(table);
    return true;
}

void RecoverUpdate(const char* directory) {
    CheckProductDirectory(directory);
    char versionFile[FileNameSize];
    std::snprintf(versionFile, sizeof versionFile, "%s\\%s", directory, VersionFileName);
    Transaction::RecoverOptions options;
    options.operation = "UnPackLZX";
    options.held.push_back({versionFile, HeldFile::HeldOwnFolder});
    options.steps.push_back({RegistryStep, RestoreVersion, nullptr});
    options.report = LogStep;
    Transaction::Recover(directory, options);
}

void InstallUpdate(OsWindow owner) {
    CheckProductDirectory(ProductLocation);
    // The demo's directory is the user's choice, made in the dialog.
    RecoverUpdate(ProductLocation);
    char archive[FileNameSize];
    FileRec payload;
    WritePayload(archive, 0, &payload);
    if (!InstallPayload(&payload, archive, ProductLocation))
        return;  // no closing report for an update that was not made
    // The demo build once ran a second pass here over an empty archive,
    // which can only fail: there is one payload, so there is nothing more to
    // install before the Program Manager items are made.
    if (ZelkProduct && DemoBuild)
        CreateProgramItems(owner, ProductLocation);
    ShowMessage(GetMessageText(13), GetMessageText(14), OsIcon::Information);
}

namespace {

// -verify: what was found, and the names that are not the same.
struct VerifyTally {
    int counts[5] = {};
    std::vector<std::string> named;
};

void LogVerified(const VerifyResult& result, void* context) {
    VerifyTally& tally = *static_cast<VerifyTally*>(context);
    ++tally.counts[static_cast<int>(result.status)];
    if (result.status == VerifyStatus::Same)
        return;
    const std::string name = EntryShowName(result.entry.name);
    std::string more = result.why;
    if (result.status == VerifyStatus::NewerKept)
        more = "version " + std::to_string(result.listed) + " listed";
    RunLog("verify: %s %s%s%s%s", VerifyStatusName(result.status), name.c_str(), more.empty() ? "" : " (",
           more.c_str(), more.empty() ? "" : ")");
    if (result.status == VerifyStatus::Differs || result.status == VerifyStatus::Missing)
        tally.named.push_back(name.substr(name[0] == '#') + " (" + VerifyStatusName(result.status) + ")");
}

// The box of an interactive verification names this many files at most.
constexpr std::size_t VerifyNamed = 10;

}  // namespace

void CheckUpdate() {
    CheckProductDirectory(ProductLocation);
    const std::string versionFile = std::string(ProductLocation) + "\\" + VersionFileName;
    if (Transaction::Pending(ProductLocation))
        RunLog("check: an interrupted update waits in %s\\%s: a run settles it first", ProductLocation,
               StagingFolder);
    if (VersionFileMissing(versionFile.c_str())) {
        RefuseWithoutVersionFile(versionFile.c_str());
        return;
    }
    char archive[FileNameSize];
    FileRec payload;
    WritePayload(archive, 0, &payload);
    int capacity = 0;
    EntryRec* table = LoadVersions(versionFile.c_str(), nullptr, &capacity);
    Transaction update(ProductLocation, "UnPackLZX");
    VersionCounts counts{};
    std::vector<UnpackDecision> decisions;
    UnpackOptions options;
    options.transaction = &update;
    options.counts = &counts;
    options.decisions = &decisions;
    options.check = true;
    UnPackStream(HopenFile(&payload), ProductLocation, table, capacity, 1, options);
    RemoveTempArchive(archive);
    FreeBlock(table);
    EntryTally tally{};
    for (const UnpackDecision& decision : decisions)
        LogEntry(decision.entry, decision.listed, decision.written, &tally, true);
    RunLog("check: %d files would be replaced, %d new, %d kept, %d not written; nothing stands in the way",
           tally.replaced, tally.added, tally.kept, tally.skipped);
    std::string text = DutchLanguage ? "De update kan worden aangebracht." : "The update can be applied.";
    if (counts.kept > 0) {
        SetOutcome(RunKeptBack);
        char line[120];
        std::snprintf(line, sizeof line,
                      DutchLanguage ? "\n%d bestanden zouden niet vervangen worden." : "\n%d files would be kept back.",
                      counts.kept);
        text += line;
    }
    ShowMessage(text.c_str(), GetMessageText(14), OsIcon::Information);
}

void VerifyInstallation() {
    CheckProductDirectory(ProductLocation);
    const std::string versionFile = std::string(ProductLocation) + "\\" + VersionFileName;
    // A run killed half way left a mix that the next run settles first.
    const bool pending = Transaction::Pending(ProductLocation);
    char archive[FileNameSize];
    FileRec payload;
    WritePayload(archive, 0, &payload);
    int capacity = 0;
    EntryRec* table = VersionTableLoad(versionFile.c_str(), &capacity, nullptr);
    VerifyTally tally;
    VerifyOptions options;
    options.each = LogVerified;
    options.context = &tally;
    const int differ = VerifyStream(HopenFile(&payload), ProductLocation, table, capacity, options);
    RemoveTempArchive(archive);
    FreeBlock(table);
    const int* n = tally.counts;
    RunLog("verify: %d same, %d differ, %d missing, %d newer kept, %d not installed", n[0], n[1], n[2], n[3], n[4]);
    if (pending)
        RunLog("verify: an interrupted update waits in %s\\%s; the next run settles it", ProductLocation,
               StagingFolder);
    if (differ > 0 || pending)
        SetOutcome(RunDiffers, true);

    std::string text;
    if (pending)
        text = DutchLanguage ? "Een onderbroken update wacht; start de update opnieuw.\n"
                             : "An interrupted update waits; run the update again.\n";
    if (differ == 0) {
        text += DutchLanguage ? "Alle bestanden van Zelk 2.04 zijn zoals de update ze achterlaat."
                              : "Every file of Zelk 2.04 is as the update leaves it.";
    } else {
        char line[160];
        std::snprintf(line, sizeof line,
                      DutchLanguage ? "%d bestanden wijken af van Zelk 2.04 of ontbreken:"
                                    : "%d files differ from Zelk 2.04 or are missing:",
                      differ);
        text += line;
        for (std::size_t i = 0; i < tally.named.size() && i < VerifyNamed; ++i) {
            text += '\n';
            text += EscapeControls(tally.named[i]);
        }
        if (tally.named.size() > VerifyNamed)
            text += "\n...";
    }
    ShowMessage(text.c_str(), GetMessageText(14), differ > 0 || pending ? OsIcon::Error : OsIcon::Information);
}

void DeleteTempArchive(const char* path) {
    FileRec file;
    FileInit(&file, 1, path);
    FileDelete(&file);
}
