// Path manipulation on wide strings, also for paths longer than MAX_PATH.
//
// The separator is the backslash; a forward slash is accepted as a separator
// on input. "\\?\" is the long-path prefix (its native form "\??\" is removed
// like it wherever a prefix is stripped); "\\.\" is the device prefix.
#pragma once

#include <string>
#include <vector>

namespace VFileName {

// `directory` and `file` joined with one separator. On Windows 8 and later
// through PathAllocCombine with long paths allowed; earlier through
// PathCombineW for short results and the long-path joiner otherwise. A
// leading long-path prefix is removed from the result.
std::wstring combine(const std::wstring& directory, const std::wstring& file);

// `text` with its %NAME% references expanded. Raises on failure.
std::wstring expandEnvironmentStrings(const std::wstring& text);

// `path` without its last component.
std::wstring removeFileSpec(const std::wstring& path);

// The root of `path` (PathStripToRootW).
std::wstring root(const std::wstring& path);

// "/" becomes "\", "." components are dropped and ".." removes the component
// before it (a leading ".." of a relative path is kept, and one that would
// climb above a drive or a UNC share is dropped). A "\\?\" or "\\.\" prefix,
// a UNC "\\" start, one leading and one trailing "\" are kept.
std::wstring canonicalize(const std::wstring& path);

// "\\?\" + the canonical path for a path with a drive letter (a bare "X:"
// gives "\\?\X:\"; a drive-relative "X:name" is resolved against the
// drive's current directory first); any other path is returned unchanged.
std::wstring toLongPath(const std::wstring& path);

// `path` without a leading "\\?\" or "\??\".
std::wstring stripLongPrefix(const std::wstring& path);

// `path` without any trailing / leading "\" and "/" characters.
std::wstring trimTrailingSeparators(const std::wstring& path);
std::wstring trimLeadingSeparators(const std::wstring& path);

// `path` ending with exactly the "\" it had, or one more when it had none.
std::wstring addTrailingSeparator(const std::wstring& path);

// The text after the last "\", ignoring one final "\"; the whole path (less
// that final "\") when it has no other "\".
std::wstring lastComponent(const std::wstring& path);

// PathFindFileNameW, PathFindExtensionW, PathRemoveExtensionW, PathIsRelativeW.
std::wstring fileName(const std::wstring& path);
std::wstring extension(const std::wstring& path);
std::wstring removeExtension(const std::wstring& path);
bool isRelative(const std::wstring& path);

// The non-empty pieces of `text` between delimiters: any one character of
// `delimiters`, or the whole `delimiters` string when `wholeString` is set.
std::vector<std::wstring> split(const std::wstring& text, const std::wstring& delimiters, bool wholeString = false);

// The long-path joiner behind combine on systems before Windows 8: joins
// `directory` and `file` under a "\\?\" prefix (or as a UNC path), resolving
// "." and ".." components of `file`. An empty directory stands for the
// current directory. Throws std::runtime_error for two empty parts ("Empty
// input path", code 87) and for a ".." that climbs above the root.
std::wstring joinLongPath(const std::wstring& directory, const std::wstring& file);

// The two ways of combine and removeFileSpec, chosen by OsVersion; exposed
// so that both can be exercised on any system.
namespace detail {
std::wstring combineWithPathApi(const std::wstring& directory, const std::wstring& file);
std::wstring combineClassic(const std::wstring& directory, const std::wstring& file);
std::wstring removeFileSpecWithPathApi(const std::wstring& path);
std::wstring removeFileSpecClassic(const std::wstring& path);
}  // namespace detail

}  // namespace VFileName
