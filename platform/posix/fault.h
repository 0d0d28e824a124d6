// fault.h - the POSIX stand-ins' fault switch, for tests of what a killed or
// failed run leaves: UPDATER_KILL_AT=N ends the process with SIGKILL just
// before its Nth change to the file system or the registry (1 = the first),
// and UPDATER_STOP_AT=N stops it there (SIGSTOP) until it is continued. The
// program itself never sets them.
#pragma once

// Called first by every stand-in that changes something: false when this
// change is to fail (errno EIO), as a full or broken disk would fail it.
bool FaultPoint();

// For unit tests inside one process: counts the changes from 0 again, kills
// the process before change killAt and fails change failAt (0: never).
void FaultArm(long killAt, long failAt);
