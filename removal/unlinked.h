#pragma once
// Deletion where nothing on the way may lead elsewhere. A process with more rights than the
// people who can write a folder (the system account in a user's profile, an administrator in
// an installation directory users may write) never follows a link, junction or mount point
// they made: it looks at every directory on the way, then deletes through a handle that was
// opened without following a reparse point and that names, by its final path, the very file
// it was meant to.

namespace removal {

// True when no directory below from, down to path itself, is a reparse point (a link, junction
// or mount point); from is a directory that path lies below ("C:" for a drive, the folder that
// holds a profile), both whole paths without a trailing separator. False too when path does
// not lie below from, or a directory on the way cannot be read; one that is not there leads
// nowhere.
bool no_link_below(const char* from, const char* path);

// The error of a deletion refused because its handle named another file than the one meant: a
// link on the way that no look caught.
inline constexpr unsigned long error_link_on_the_way = 1921;  // ERROR_CANT_RESOLVE_FILENAME

// Deletes the file or empty directory at path, a whole path, through a handle of its own, and
// only when the handle names path itself; a link at path is deleted as a link, never what it
// leads to. 0, or the platform's error of the open or of the deletion, as DeleteFileA or
// RemoveDirectoryA would give it, or error_link_on_the_way.
unsigned long delete_unlinked(const char* path);

}  // namespace removal
