// target.cpp - how an extracted file reaches its path.
//
// The target directory is the caller's choice and may itself be, or lie
// below, a link; what lies below it came from earlier runs or from someone
// else, so a link there could carry a write anywhere. A folder or file below
// the directory that is a symbolic link or junction, or a file with other
// names (a hard link), is refused with one message naming it, before
// anything is written: the file a link names is never overwritten.
//
// Every folder below the target directory is opened from its parent's
// handle, never through a link, and held while the file in it is written:
// the checks and the write see one and the same folder, whatever is swapped
// in between. A file is written whole under a temporary name beside its
// real one and renamed over it once it is on the disk, so a failed write (a
// full disk above all) or a kill leaves the old file, never a short one
// under the real name, where a later run would take it as installed. The E
// transform is applied to the data on its way to the file.
#include "target.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "bitstream.h"
#include "stream.h"

namespace {

[[noreturn]] void RefuseLink(const char* path, std::size_t link) {
    FatalMessageAbout(path, "UnPackLZX: target [%s] goes through the link [%.*s]; refused", path,
                      static_cast<int>(link), path);
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

void TargetCopyEntry(HILE* stream, const EntryRec& entry, FileRec* out, void (*afterPiece)(void*), void* context) {
    Scrambler scrambler(entry.size);
    std::uint8_t piece[ExtractPiece + 1];
    for (int remaining = entry.size; remaining > 0;) {
        const int got = Hread(piece, remaining < ExtractPiece ? remaining : ExtractPiece, stream);
        if (got == 0) {
            FatalAbout(stream->name, "cut short inside the data of [" + EntryShowName(entry.name) + "]");
            FatalMessage("UnPackLZX: unexpected eof");
        }
        if (entry.E == 1)
            scrambler.Apply(piece, got);
        FileWrite(out, got, piece);
        remaining -= got;
        if (afterPiece != nullptr)
            afterPiece(context);
    }
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

void TargetOpen(const char* path, std::size_t below, TargetPlace* place, bool make) {
    std::size_t stop = 0;
    place->below = below;
    place->missing = 0;
    switch (FolderWalk(path, below, make ? 1 : 0, &place->folders, &stop)) {
    case FolderReached:
        break;
    case FolderMissing:
        if (make)
            FatalMessageAbout(path, "UnPackLZX: the folder of target [%s] cannot be made or opened", path);
        place->existing = OsEntry{OsEntryKind::Missing, false, 0};
        place->missing = stop;
        return;
    case FolderLink:
        RefuseLink(path, stop);
    case FolderNotFolder:
        FatalMessageAbout(path, "UnPackLZX: target [%s] cannot be written: [%.*s] is a file, not a folder", path,
                          static_cast<int>(stop), path);
    default:
        FatalMessageAbout(path, "UnPackLZX: the folder of target [%s] cannot be made or opened", path);
    }
    if (!OsQueryAt(place->folders.Innermost(), path + PathLeaf(path), &place->existing))
        FatalMessageAbout(path, "UnPackLZX: target [%s] cannot be examined", path);
}

void TargetWrite(HILE* stream, const EntryRec& entry, const char* path, TargetPlace* place, bool write) {
    if (!write) {
        FolderRelease(&place->folders);
        if (!EntrySkip(stream, entry.size)) {
            FatalAbout(stream->name, "cut short inside the data of [" + EntryShowName(entry.name) + "]");
            FatalMessage("UnPackLZX: unexpected eof");
        }
        return;
    }
    const OsEntry& existing = place->existing;
    if (existing.kind == OsEntryKind::Link)
        RefuseLink(path, std::strlen(path));
    if (existing.kind == OsEntryKind::Folder || existing.kind == OsEntryKind::Other)
        FatalMessageAbout(path, "UnPackLZX: target [%s] cannot be written: it is a folder or a device", path);
    if (existing.links > 1)
        FatalMessageAbout(path, "UnPackLZX: target [%s] is a file with %u names (hard links); refused", path,
                          static_cast<unsigned>(existing.links));
    FileRec out;
    FileInit(&out, 1, path);
    FileSibling sibling;
    FileCreateSibling(&out, &sibling, place->folders.Innermost());

    TargetCopyEntry(stream, entry, &out);
    FileCommitSibling(&out, &sibling);
    // Only a file this entry wrote is deleted again.
    if (entry.D != 0 && !OsDeleteFileAt(sibling.folder, sibling.name))
        FileError(&out, FileErrDelete);
    FolderRelease(&place->folders);
}
