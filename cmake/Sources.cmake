# Library sources: one portable file per family, and its platform sibling where it has one.
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
  if(WIN32)
    set(platform ${CMAKE_CURRENT_SOURCE_DIR}/src/${family}_win32.cpp)
  else()
    set(platform ${CMAKE_CURRENT_SOURCE_DIR}/src/${family}_posix.cpp)
  endif()
  if(EXISTS ${platform})
    list(APPEND VEMO_CORE_SOURCES ${platform})
  endif()
endforeach()
