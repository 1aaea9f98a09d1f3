// Command lines: splitting them into arguments and reading named arguments (name=value).
#pragma once

#include "vemo/core/Export.h"
#include "vemo/core/String.h"

namespace vemo {

// Splits a command line by the Windows rules: the program name ends at the first blank or tab
// outside double quotes; in the other arguments 2n backslashes before a quote give n and the
// quote toggles quoting, 2n+1 give n and a literal quote, and "" inside quotes is one literal
// quote. With null `argv` and `args` it only counts: `argumentCount` gets the arguments plus one
// (the closing null pointer) and `characterCount` the characters of all texts with terminators.
VEMO_CORE_API void parseArguments(const wchar_t* commandLine, wchar_t** argv, wchar_t* args,
                                  int* argumentCount, int* characterCount);
// The same into one malloc'ed block (pointers, then texts) that the caller frees with free();
// `argc` counts the arguments without the closing null pointer. `argv` is null when no block
// could be had.
VEMO_CORE_API void parseArguments(const wchar_t* commandLine, wchar_t**& argv, int& argc);

// The value of the first argument of the form name=value (blanks allowed before '='), or
// `defaultValue` (null gives "").
VEMO_CORE_API String parseArgumentString(const wchar_t* commandLine, const wchar_t* name,
                                         const wchar_t* defaultValue);
// The value as an integer (leading digits, 0 without any); `defaultValue` when the argument is
// missing or empty.
VEMO_CORE_API int parseArgumentInt(const wchar_t* commandLine, const wchar_t* name,
                                   int defaultValue);
VEMO_CORE_API __int64 parseArgumentInt64(const wchar_t* commandLine, const wchar_t* name,
                                         __int64 defaultValue);

}  // namespace vemo
