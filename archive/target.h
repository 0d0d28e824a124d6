// target.h - writing one extracted file: the library's own, not public.
//
// Extraction walks the entries and decides, per entry, the final path and
// whether to write; what happens at that path lives here, so that every walk
// writes a file the same way: never through a link below the target
// directory, never over a read-only file, and never leaving a file cut short
// under its real name.
#pragma once

#include <cstddef>
#include <cstdint>

#include "fileio.h"
#include "lzx.h"

// An entry's data moves in pieces of this size through a buffer of the
// call's own: extractions on two threads share nothing.
inline constexpr int ExtractPiece = 15011;

inline constexpr std::uint32_t ScrambleKey = 0x5C3E9A71;
inline constexpr std::uint32_t ScrambleStep = 0x6E2D4B1F;

// EntryScramble's transform over a file of known length, one piece at a
// time: the word at p (1 <= p <= length - 4) is XORed with the p-th key,
// so byte p receives byte d of the key of the word at p - d, d = 0..3.
class Scrambler {
public:
    explicit Scrambler(std::int64_t length) : last_(length - 4) {}

    void Apply(std::uint8_t* data, int count) {
        for (int i = 0; i < count; ++i, ++at_) {
            if (at_ >= 1 && at_ <= last_) {
                keys_[at_ & 3] = next_;
                next_ = next_ * ScrambleStep + 1;
            }
            std::uint8_t mask = 0;
            for (int d = 0; d < 4; ++d) {
                const std::int64_t word = at_ - d;
                if (word >= 1 && word <= last_)
                    mask ^= static_cast<std::uint8_t>(keys_[word & 3] >> (8 * d));
            }
            data[i] ^= mask;
        }
    }

private:
    std::int64_t last_;  // the last word's position
    std::int64_t at_ = 0;
    std::uint32_t next_ = ScrambleKey;
    std::uint32_t keys_[4] = {};
};

// Where the part of path below the caller's target directory begins: after
// the directory and its separators for a name relative to it ("#"), else at
// the final component (a name taken as a path is the archive's whole
// choice, so only the file itself is checked).
std::size_t TargetBelow(const char* path, const char* target, bool relative);

// Ends the program when a folder of path below offset `below` is a
// symbolic link or junction. Called before the folders are made, so that
// none is made through a link either.
void TargetCheckFolders(const char* path, std::size_t below);

// The folder an extracted file goes into, held from the decision to the
// write, and what stands at the file's name now (a link not followed).
struct TargetPlace {
    FolderChain folders;
    OsEntry existing;
    std::size_t below;    // where the folders opened from their parent's handle begin
    std::size_t missing;  // without make: the length of the first folder missing, 0 when none is
};

// Opens the folders of path from `below` on, each from its parent's handle
// and made when missing (make), never through a link, and asks what is at
// the name. Without make a missing folder leaves nothing held and the name
// missing. Ends the program when a folder is a link or a file.
void TargetOpen(const char* path, std::size_t below, TargetPlace* place, bool make = true);

// Reads the entry's data from stream into out, with the E transform on the
// way; afterPiece (may be null) is called with context after each piece is
// written.
void TargetCopyEntry(HILE* stream, const EntryRec& entry, FileRec* out, void (*afterPiece)(void*) = nullptr,
                     void* context = nullptr);

// Reads the entry's data from stream and, when write, puts it in a file at
// path inside place: never over a link, a folder, a file with other names
// or a read-only file; written whole beside its name and renamed over it,
// with the E transform on the way and the D deletion after. When not write,
// the data is read and dropped, so the stream stays at the next record.
// Releases place.
void TargetWrite(HILE* stream, const EntryRec& entry, const char* path, TargetPlace* place, bool write);
