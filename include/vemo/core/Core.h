// Everything of vemo_core in one include.
#pragma once

#include "vemo/core/Charset.h"
#include "vemo/core/Console.h"
#include "vemo/core/Exception.h"
#include "vemo/core/Export.h"
#include "vemo/core/File.h"
#include "vemo/core/Log.h"
#include "vemo/core/Memory.h"
#include "vemo/core/Mutex.h"
#include "vemo/core/SharedPtr.h"
#include "vemo/core/String.h"
#include "vemo/core/StringHelper.h"
#include "vemo/core/Unknown.h"
