// fault.h - the POSIX stand-ins' kill switch, for tests of what a killed
// run leaves: UPDATER_KILL_AT=N ends the process with SIGKILL just before
// its Nth change to the file system or the registry (1 = the first), and
// UPDATER_STOP_AT=N stops it there (SIGSTOP) until it is continued. The
// program itself never sets them.
#pragma once

void FaultPoint();
