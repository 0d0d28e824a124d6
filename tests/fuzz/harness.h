// harness.h - what every fuzz target shares.
//
// A fatal report is the expected end of most damaged inputs: the harness
// installs a handler that turns it into an exception, so that the input ends
// instead of the process. Each input then starts from a clean state: no open
// file, no global block, an empty scratch directory. Every name the library
// passes to the system is confined to the scratch directory
// (UPDATER_CONFINE), so no input can make a target write anywhere else.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>

#include "diag.h"
#include "fileio.h"
#include "lzx.h"

namespace fuzz {

struct Fatal {};

// The scratch directory, made once; the process works inside it.
const std::string& Scratch();

// Writes bytes to a file in the scratch directory; returns its name.
std::string Put(const std::string& name, const std::uint8_t* data, std::size_t size);

// Runs one input: body() may end in a fatal report. Afterwards every file is
// closed, every global block released and the scratch directory emptied
// (except the entries named in keep).
template <typename Body>
void Run(Body body) {
    try {
        body();
    } catch (const Fatal&) {
    }
    FileTableCloseAll();
    HileReleaseAll();
    for (int slot = 0; slot < BlockSlots; ++slot)
        if (BlockTable.handle[slot] != 0)
            FreeBlock(BlockTable.address[slot]);
}

void EmptyScratch(const char* keep = nullptr);

}  // namespace fuzz
