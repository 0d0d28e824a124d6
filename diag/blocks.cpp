// blocks.cpp - global memory blocks under a table of 200 slots.
//
// The program allocates almost nothing: the version table of an update is
// the one large block, and it comes from here. Each block is a moveable
// global block, locked for its whole life; the table keeps handle, address
// and size side by side so that FreeBlock can find a block by its address.
#include "diag.h"

#include <string>

BlockTableRec BlockTable;

void* AllocBlock(int size) {
    if (size < 0)
        InternalError("UPDATER", 1194, 123);
    // Even and at least 2 bytes. Widened first: the largest int is odd.
    long long rounded = size < 1 ? 1 : size;
    if (rounded & 1)
        rounded += 1;

    OsHandle handle = OsGlobalAlloc(static_cast<std::size_t>(rounded));
    if (handle == 0)
        FatalMessage("\nError 123: %s, %s", std::to_string(rounded).c_str(), OsLastErrorText().c_str());
    void* address = OsGlobalLock(handle);
    if (address == nullptr)
        InternalError("UPDATER", 1219, 124);

    for (int slot = 0; slot < BlockSlots; ++slot) {
        if (BlockTable.handle[slot] == 0) {
            BlockTable.handle[slot] = handle;
            BlockTable.address[slot] = address;
            BlockTable.size[slot] = static_cast<std::uint32_t>(rounded);
            return address;
        }
    }
    InternalError("UPDATER", 1230, 125);
}

void FreeBlock(void* address) {
    if (address == nullptr)
        return;
    for (int slot = 0; slot < BlockSlots; ++slot) {
        if (BlockTable.handle[slot] != 0 && BlockTable.address[slot] == address) {
            OsGlobalUnlock(BlockTable.handle[slot]);
            OsGlobalFree(BlockTable.handle[slot]);
            BlockTable.handle[slot] = 0;
            BlockTable.address[slot] = nullptr;
            BlockTable.size[slot] = 0;
            return;
        }
    }
}
