// File removal for the clean-up of old logs and crash dumps.
#pragma once

#include <string>

// Deletes `path`; a file that does not exist counts as deleted. When the
// delete fails and `force` is set, the file is made deletable first: the
// process's user takes ownership (with SeTakeOwnershipPrivilege when the
// token holds it), Local System and that user are granted DELETE and
// FILE_WRITE_ATTRIBUTES, and the read-only bit is cleared; then the delete is
// tried once more. All of this acts on the named object itself: a symbolic
// link or junction is changed and deleted, its target never touched, and a
// name that the platform resolves to another file is refused with a
// runtime error before anything is changed. Raises a vosexception with the delete's error when the
// file stays, and a std::runtime_error family error when its security cannot
// be changed.
void removeFile(const std::wstring& path, bool force);
