# Library sources, grouped by subsystem under src/: one portable file per family, and its
# platform sibling where it has one (<Family>_posix.cpp, <Family>_win32.cpp). A family with vector
# routines keeps them in a processor sibling (<Family>_simd.cpp), compiled on every platform: it
# chooses its routines by cpuid and has none where the processor lacks them.
# The families are listed in alphabetical order of their names. Nothing depends on the order in
# which their load-time initialisers run: every registry they fill is made on first use.
set(VEMO_CORE_SUBSYSTEMS foundation streams json messaging runtime diagnostics utilities)
set(VEMO_CORE_FAMILIES
    runtime/AppBox streams/Archive utilities/Base64 streams/Buffer runtime/Callback diagnostics/CallStack
    foundation/Charset
    diagnostics/Console diagnostics/CrashHandler diagnostics/CrashThreads runtime/DllModule runtime/Event foundation/Exception streams/File
    runtime/FileMutex foundation/FileName foundation/Format json/Geometry diagnostics/ImageSymbols runtime/IdleWait runtime/InputHook json/Json json/JsonNodes json/JsonText
    foundation/Library diagnostics/Log diagnostics/LogListeners utilities/MD5 diagnostics/MemoryMap utilities/Memory streams/MemoryStream diagnostics/Minidump
    messaging/Message messaging/MessagePort messaging/MessageReader foundation/Number
    streams/Packet streams/Pipe utilities/Process json/Property json/PropertyConverter
    json/PropertyHelper runtime/Semaphore runtime/ServiceApplication runtime/ServiceSystem runtime/Socket streams/Stream foundation/String
    foundation/StringHelper diagnostics/SymbolName runtime/System streams/Text runtime/Thread runtime/ThreadMessage
    runtime/Tick utilities/Time foundation/Unknown utilities/Uuid streams/Varint)

if(WIN32)
  set(VEMO_PLATFORM_SUFFIX win32)
else()
  set(VEMO_PLATFORM_SUFFIX posix)
endif()

set(VEMO_CORE_SOURCES "")
foreach(family IN LISTS VEMO_CORE_FAMILIES)
  foreach(file ${family}.cpp ${family}_simd.cpp ${family}_${VEMO_PLATFORM_SUFFIX}.cpp)
    if(EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/src/${file})
      list(APPEND VEMO_CORE_SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/src/${file})
    endif()
  endforeach()
endforeach()

# Internal headers are included by their bare names ("File.h", "Format.h") from every subsystem.
set(VEMO_CORE_PRIVATE_INCLUDES "")
foreach(subsystem IN LISTS VEMO_CORE_SUBSYSTEMS)
  list(APPEND VEMO_CORE_PRIVATE_INCLUDES ${CMAKE_CURRENT_SOURCE_DIR}/src/${subsystem})
endforeach()
