#include "vemo/core/Exception.h"

#include "vemo/core/Log.h"
#include "vemo/core/StringHelper.h"

namespace vemo {

Exception::Exception(const wchar_t* file, int line, const wchar_t* function, int code,
                     const wchar_t* description)
    : _file(file), _line(line), _function(function), _code(code), _description(description) {}

Exception::Exception(const wchar_t* file, int line, const char* function, int code,
                     const wchar_t* description)
    : _file(file),
      _line(line),
      _function(StringHelper::utf8ToWide(function).getBuffer()),
      _code(code),
      _description(description) {}

void Exception::report() const {
  Log::error(L"%s", _description.c_str());
}

}  // namespace vemo
