# Library sources: one portable file per family, and its platform sibling where it has one.
set(VEMO_CORE_FAMILIES Charset Console Exception File Format Library Log Memory String
    StringHelper Unknown)

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
