# Library sources: one portable file per family, and its platform sibling where it has one. A
# family with vector routines keeps them in a processor sibling (<Family>_simd.cpp), compiled on
# every platform: it chooses its routines by cpuid and has none where the processor lacks them.
# In alphabetical order, which is also the order of their load-time initialisation.
set(VEMO_CORE_FAMILIES Archive Base64 Buffer Charset Console Exception File Format Geometry Json JsonText Library Log
    Memory MD5 MemoryStream Number Packet Pipe Process Property
    PropertyConverter PropertyHelper Stream String StringHelper Text Time Unknown Uuid Varint)

set(VEMO_CORE_SOURCES "")
foreach(family IN LISTS VEMO_CORE_FAMILIES)
  set(portable ${CMAKE_CURRENT_SOURCE_DIR}/src/${family}.cpp)
  if(EXISTS ${portable})
    list(APPEND VEMO_CORE_SOURCES ${portable})
  endif()
  set(processor ${CMAKE_CURRENT_SOURCE_DIR}/src/${family}_simd.cpp)
  if(EXISTS ${processor})
    list(APPEND VEMO_CORE_SOURCES ${processor})
  endif()
  if(WIN32)
    set(platform ${CMAKE_CURRENT_SOURCE_DIR}/src/${family}_win32.cpp)
  else()
    set(platform ${CMAKE_CURRENT_SOURCE_DIR}/src/${family}_posix.cpp)
  endif()
  if(EXISTS ${platform})
    list(APPEND VEMO_CORE_SOURCES ${platform})
  endif()
endforeach()
