// updater.h - the UPDATER module: one run of the program, from the entry to
// the closing report.
//
//   UpdaterRun      language, options, Windows version, running check,
//                   common controls, product lookup, version gate, dialog
//   registry.cpp    the product's key: Location and Version
//   dialog.cpp      the information dialog; its Install button runs
//   install.cpp     payload -> TEMP.LZX -> UnPackLZX against lzx.ver
//   progman.cpp     Program Manager items (demo build) over DDE
//   runlog.cpp      the log ("-logfile"), the unattended run ("-silent")
//                   and the payload's seal
//
// Build constants (updater/build_constants.h) select the program: the Zelk
// update (shipped), the Zelk demo installer, or the Tarvo build.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "fileio.h"
#include "app.h"
#include "build_constants.h"
#include "messages.h"

// ---- Entry and run -------------------------------------------------------

extern std::uintptr_t AppInstance;
extern int LogRequested;

// UpdaterRun (declared in platform/app.h) is the run as WinMain performs it.

// The interactive run reads its own options ("-log", "-dut", "-eng") from
// the command line's first 259 characters, 48 words at most. The whole line
// is read for "-silent" and "-logfile=".
inline constexpr int CommandLineSize = 260;
int ParseCommandLine(const char* commandLine);
// What ParseCommandLine could not accept (empty: nothing): the run reports
// it as soon as its log is started, and ends.
extern std::string CommandLineProblem;
int CheckWindowsVersion();
int ProductRunning();
int FamilyRunning();
int CheckCommonControls();
int LogStart(int level);
void LogStop();

// ---- The run's log and the unattended run (runlog.cpp) ---------------------

// Set by "-silent": no dialog, no box; the exit code tells what happened.
extern int SilentRun;
// Set by "-verify": the installed files are compared with what the update
// leaves, and nothing is changed (VerifyInstallation).
extern int VerifyRun;
// Set by "-check": every check of a run is made, and nothing is changed
// (CheckUpdate).
extern int CheckRun;
// Set by "-logfile=PATH"; in the unattended run "%TEMP%\ZelkUpdate.log"
// when not given. Empty: no log.
extern char LogFile[FileNameSize];

// The exit codes of the unattended run.
enum RunResult {
    RunApplied = 0,
    RunProductActive = 1,
    RunFatal = 2,        // the fatal report's code after OK
    RunDamaged = 3,      // the payload fails its check (also interactive)
    RunNotUpdatable = 4, // product not found or too old, lzx.ver missing, old Windows
    RunKeptBack = 5,     // files kept back, the registry unchanged
    RunDiffers = 6,      // -verify: a file differs or is missing, or an interrupted update waits
};

// Starts the log when one was asked for; ends the run with a fatal report
// when it cannot be written. Afterwards fatal reports are logged too.
void RunLogStart(const char* commandLine);
// One timestamped line in the log; nothing without a log.
void RunLog(const char* format, ...) DIAG_PRINTF(1, 2);
// A message box (owned by owner, when not 0), logged; in the unattended run
// only logged, answering OK.
int ShowMessage(const char* text, const char* caption, OsIcon icon);
int ShowOwnedMessage(OsWindow owner, const char* text, const char* caption, OsIcon icon);
// What the run ends with: RunApplied until a step says other. The
// interactive run ends 0 after every normal end, except with an outcome set
// for it too (an update the user asked for and did not get).
void SetOutcome(int outcome, bool interactiveToo = false);
int RunOutcome();
// The text with every control character written as <XX> (two hex digits):
// outside text in a log line or a message, so that it cannot break a line.
std::string EscapeControls(const std::string& text);
// Logs the end and ends the process at once.
[[noreturn]] void EndRun(int code);

// ---- Registry ------------------------------------------------------------

inline constexpr int LocationSize = 260;
inline constexpr int VersionSize = 80;

extern char ProductLocation[LocationSize];
extern char InstalledVersion[VersionSize];

int OpenProductKey(const char* product, OsHandle* key);
int ReadProductRegistry(const char* product);
int WriteProductVersion(const char* product, const char* version);
int FindProductLocation();

// ---- Installation --------------------------------------------------------

// The archive this program carries (generated from release/ at build time).
extern const unsigned char Payload[];
extern const std::size_t PayloadSize;
// Its CRC-32, computed when it was embedded.
extern const std::uint32_t PayloadCrc;
// Whether the payload still has that CRC (logged).
bool PayloadIntact();
// The program is damaged: one box, exit code 3, nothing touched.
inline constexpr const char* DamagedDutch = "Het update programma is beschadigd. Download het opnieuw.";
inline constexpr const char* DamagedEnglish = "The update program is damaged. Download it again.";

// Compares every file the payload installs with the product directory and
// its lzx.ver, as a complete run leaves them, and changes nothing (the
// payload goes to TEMP and is removed): each file that is not the same is
// logged, and the run ends RunDiffers. Interactive: a box with the result.
void VerifyInstallation();
// The run checked, not made: every check a run makes, in its order and with
// its messages (a refusal ends the program as it ends the run), then what it
// would do to each file, logged; the code it would end with. Nothing is
// changed: the payload goes to TEMP and is removed, an interrupted update is
// reported, not recovered, and lzx.ver is read, not held.
void CheckUpdate();

// Ends the program with a clear message when the directory leaves no room for
// "\lzx.ver" in a path; called before anything is written.
void CheckProductDirectory(const char* directory);
// The path of name in the temporary directory, shorter than size. A
// temporary directory that the system cannot give, or one too long for the
// name, ends the program with its refusal: never the current directory.
std::string TempFilePath(const char* name, std::size_t size);
// Writes the payload to a new "%sTEMP.LZX" (its path in path) and leaves it
// open in file for InstallPayload, which reads it through that handle. The
// file is removed on every way out once it exists: by InstallPayload when
// extraction is over, and by the fatal path before (the file is marked).
void WritePayload(char* path, int secondPass, FileRec* file);
// false when nothing was installed (no lzx.ver), after its box.
bool InstallPayload(FileRec* archive, const char* archivePath, const char* directory);
// The whole installation the confirmation runs, with its closing report:
// payload, extraction, Program Manager items (demo), report. owner: the
// dialog, or 0 in the unattended run.
void InstallUpdate(OsWindow owner);
// Finishes what an update killed in directory left: undone (the registry's
// Version put back), or its leftovers removed; logged.
void RecoverUpdate(const char* directory);
void DeleteTempArchive(const char* path);

// ---- Dialogs -------------------------------------------------------------

enum DialogControl {
    IdInstall = 1,
    IdCancel = 2,
    IdIconLeft = 2001,
    IdCopyright = 2011,
    IdTeamGroup = 2012,
    IdIconRight = 2013,
    IdLine1 = 2014,
    IdLine2 = 2015,
    IdLine3 = 2016,
    IdInfoGroup = 2017,
    IdFamilyMail = 2018,
    IdFamilyWeb = 2019,
    IdMail = 2020,
    IdWeb = 2021,
    IdDirectory = 2022,
};

enum DialogTemplate { TemplateUpdate = 3001, TemplateTarvo = 3002, TemplateDemo = 3003 };
enum IconResource { IconProgram = 1001, IconZelk = 1002, IconTarvo = 1004, IconSpare = 1005 };

int ShowInfoDialog();
std::intptr_t InfoDialogProc(OsWindow dialog, unsigned message, std::uintptr_t wParam, std::intptr_t lParam);
std::intptr_t TarvoDialogProc(OsWindow dialog, unsigned message, std::uintptr_t wParam, std::intptr_t lParam);
void CenterWindow(OsWindow window);
int GetScreenMetric(int index);

// ---- Program Manager -----------------------------------------------------

extern std::uint32_t DdeInstance;

int InitDde();
int SendShellCommand(std::uint32_t instance, const char* command);
int AddProgramItem(OsWindow window, const char* file, const char* name, const char* arguments,
                   const char* directory);
int CreateProgramItems(OsWindow window, const char* directory);

// The longest directory the Program Manager commands can carry.
inline constexpr int ProgramItemDirectoryLimit = 104;
