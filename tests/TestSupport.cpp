// Compiles the test programs' precompiled header (see tests/CMakeLists.txt).
#include "TestSupport.h"
