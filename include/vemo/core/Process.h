/// \file
/// Process helpers: command lines (splitting them into arguments and reading named arguments of
/// the form name=value), the executable's own path, the current directory, and directory
/// creation and scanning.
///
/// Paths handed out here use '/' as separator, and directory arguments are expected to end with
/// '/'. Nothing here throws or takes a lock; the current directory is process-wide.
#pragma once

#include <list>
#include <vector>

#include "vemo/core/Callback.h"
#include "vemo/core/Export.h"
#include "vemo/core/String.h"

namespace vemo {

/// Splits a command line by the Windows rules: the program name ends at the first blank or tab
/// outside double quotes; in the other arguments 2n backslashes before a quote give n and the
/// quote toggles quoting, 2n+1 give n and a literal quote, and "" inside quotes is one literal
/// quote. With null `argv` and `args` it only counts: `argumentCount` gets the arguments plus one
/// (the closing null pointer) and `characterCount` the characters of all texts with terminators.
VEMO_CORE_API void parseArguments(const wchar_t* commandLine, wchar_t** argv, wchar_t* args,
                                  int* argumentCount, int* characterCount);
/// The same into one malloc'ed block (pointers, then texts) that the caller frees with free();
/// `argc` counts the arguments without the closing null pointer. `argv` is null when no block
/// could be had.
VEMO_CORE_API void parseArguments(const wchar_t* commandLine, wchar_t**& argv, int& argc);

/// The value of the first argument of the form name=value (blanks allowed before '='), or
/// `defaultValue` (null gives "").
VEMO_CORE_API String parseArgumentString(const wchar_t* commandLine, const wchar_t* name,
                                         const wchar_t* defaultValue);
/// The value as an integer (leading digits, 0 without any); `defaultValue` when the argument is
/// missing or empty.
///@{
VEMO_CORE_API int parseArgumentInt(const wchar_t* commandLine, const wchar_t* name,
                                   int defaultValue);
VEMO_CORE_API __int64 parseArgumentInt64(const wchar_t* commandLine, const wchar_t* name,
                                         __int64 defaultValue);
///@}

/// The program's arguments, `argv[0]` included, as main() got them, with every character: on
/// Windows taken from the process's wide command line (the narrow `argv` holds them in the ANSI
/// code page, which loses what it cannot show), or converted from `argv` when the caller's
/// `argc` is not the command line's count; on POSIX systems decoded like file names, so that
/// bytes that are no UTF-8 survive (each as U+DC80 + byte) and go back to the system unchanged.
VEMO_CORE_API std::vector<String> getProgramArguments(int argc, char** argv);

/// The full path of the running executable with '/' separators. On Windows a network path keeps
/// its two leading backslashes (\\server/share/app.exe). Empty when the system does not tell.
VEMO_CORE_API String getAppName();
/// getAppName() up to and including its last '/' (the whole name if it has none).
VEMO_CORE_API String getAppPath();

/// The current directory as the system gives it (Windows separators stay); "" after logging
/// "GetCurrentDirectory : <system error text>" when it cannot be had.
VEMO_CORE_API String getCurrentDirectory();
/// False after logging "SetCurrentDirectory : <system error text>" when the change fails.
VEMO_CORE_API bool setCurrentDirectory(const wchar_t* directory);

/// Creates `base` + every leading part of `path`: "a/b/c" on "root/" makes root/a, root/a/b and
/// root/a/b/c. Existing directories and failures are ignored; an empty path makes nothing.
VEMO_CORE_API void createDirectory(const String& path, const String& base);

/// Appends the bare names of the subdirectories of `directory` (not recursive), leaving out "."
/// and "..", and hidden, system and temporary directories. On POSIX systems a name that starts
/// with '.' is hidden, and a symbolic link is no directory.
VEMO_CORE_API void scanDirectories(const String& directory, std::vector<String>& names);

/// Calls `handler` with `directory` + name for every file of `directory` (and, when `recursive`,
/// of its subdirectories), skipping hidden, system and temporary entries. Files are those with
/// the archive attribute on Windows, and regular files (or links to them) on POSIX systems.
///
/// `extensions` is null, or a list of extensions without the dot ended by a null pointer: a file
/// is then reported once for every entry that equals the text after the last '.' of its name,
/// ignoring ASCII case ({"txt"} takes a.TXT, not a.txt.bak nor README). An empty list takes
/// every file.
///
/// All files of a directory come before its subdirectories, which are scanned in the order the
/// system lists them. A handler that returns false ends the scan of the directory it was called
/// for (its subdirectories included); the directory above goes on with its next subdirectory.
VEMO_CORE_API void scanFiles(const CallbackHandler<bool, const String&>& handler,
                             const String& directory, const wchar_t** extensions, bool recursive);
/// Appends every file that the callback form reports to `files`.
VEMO_CORE_API void scanFiles(std::list<String>& files, const String& directory,
                             const wchar_t** extensions, bool recursive);

}  // namespace vemo
