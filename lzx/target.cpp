// target.cpp - how an extracted file reaches its path.
//
// The target directory is the caller's choice and may itself be, or lie
// below, a link; what lies below it came from earlier runs or from someone
// else, so a link there could carry a write anywhere. A folder or file below
// the directory that is a symbolic link or junction, or a file with other
// names (a hard link), is refused with one message naming it, before
// anything is written: the file a link names is never overwritten.
//
// A file is written in place and marked incomplete in the open-file table
// until it is closed, so a failed write (a full disk above all) removes it
// on the fatal path instead of leaving it short under its real name, where
// a later run would take it as installed. The E transform is applied to the
// data on its way to the file, so the file is whole when it is closed and no
// second pass can fail half-way.
#include "lzx/target.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "lzx/bitstream.h"

namespace {

// An entry's data moves in pieces of this size through a buffer of the
// call's own: extractions on two threads share nothing.
constexpr int ExtractPiece = 15011;

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

void RefuseLink(const char* path, std::size_t link) {
    FatalMessage("UnPackLZX: target [%s] goes through the link [%.*s]; refused", path, static_cast<int>(link), path);
}

}  // namespace

bool EntrySkip(HILE* stream, int size) {
    std::uint8_t piece[ExtractPiece + 1];
    for (int remaining = size; remaining > 0;) {
        const int got = Hread(piece, remaining < ExtractPiece ? remaining : ExtractPiece, stream);
        if (got == 0)
            return false;
        remaining -= got;
    }
    return true;
}

std::size_t TargetBelow(const char* path, const char* target, bool relative) {
    if (relative && target != nullptr) {
        // After the directory and whatever separators join the name to it.
        std::size_t below = std::min(std::strlen(target), std::strlen(path));
        while (path[below] == '\\' || path[below] == '/')
            ++below;
        return below;
    }
    std::size_t leaf = 0;
    for (std::size_t i = 0; path[i] != 0; ++i) {
        if (path[i] == '\\' || path[i] == '/' || path[i] == ':')
            leaf = i + 1;
    }
    return leaf;
}

void TargetCheckFolders(const char* path, std::size_t below) {
    // Only the folders: the file itself matters only where it is written.
    const char* last = path + below;
    for (const char* at = path + below; *at; ++at) {
        if (*at == '\\' || *at == '/')
            last = at;
    }
    const std::string folders(path, static_cast<std::size_t>(last - path));
    if (const std::size_t link = OsLinkOnPath(folders.c_str(), below))
        RefuseLink(path, link);
}

void TargetWrite(HILE* stream, const EntryRec& entry, const char* path, std::size_t below, bool write) {
    if (!write) {
        if (!EntrySkip(stream, entry.size))
            FatalMessage("UnPackLZX: unexpected eof");
        return;
    }
    if (const std::size_t link = OsLinkOnPath(path, below))
        RefuseLink(path, link);
    const std::uint32_t names = OsLinkCount(path);
    if (names > 1)
        FatalMessage("UnPackLZX: target [%s] is a file with %u names (hard links); refused", path,
                     static_cast<unsigned>(names));
    // Where nothing shows, nothing may be: a name that is taken all the same
    // is a link that names nothing (invisible under Wine), through which a
    // plain create would make a file elsewhere.
    FileRec out;
    FileInit(&out, 1, path);
    if (FileExists(path))
        FileCreate(&out);
    else if (!FileCreateNew(&out))
        RefuseLink(path, std::strlen(path));
    FileMarkPartial(&out);

    Scrambler scrambler(entry.size);
    std::uint8_t piece[ExtractPiece + 1];
    for (int remaining = entry.size; remaining > 0;) {
        const int got = Hread(piece, remaining < ExtractPiece ? remaining : ExtractPiece, stream);
        if (got == 0)
            FatalMessage("UnPackLZX: unexpected eof");
        if (entry.E == 1)
            scrambler.Apply(piece, got);
        FileWrite(&out, got, piece);
        remaining -= got;
    }
    FileClose(&out);
    // Only a file this entry wrote is deleted again.
    if (entry.D != 0)
        FileDelete(&out);
}
