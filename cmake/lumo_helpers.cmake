# Warnings for our own code.
function(lumo_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Werror)
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    # GCC 12 reports false maybe-uninitialized warnings inside <regex>/<functional> at -O2.
    target_compile_options(${target} PRIVATE -Wno-error=maybe-uninitialized)
  endif()
endfunction()

set(LUMO_INCLUDE_DIRS ${CMAKE_SOURCE_DIR}/include ${CMAKE_SOURCE_DIR}/src
    ${CMAKE_BINARY_DIR}/generated)

# A subsystem's static library from every .cpp of its folder (plus SOURCES).
# lumo_subsystem(NAME <target> [SOURCES <extra>...] [DEPS <targets>...])
# A folder without sources yet gives an interface library, so the tree always configures.
function(lumo_subsystem)
  cmake_parse_arguments(ARG "" "NAME" "SOURCES;DEPS" ${ARGN})
  file(GLOB _sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  list(APPEND _sources ${ARG_SOURCES})
  if(_sources)
    add_library(${ARG_NAME} STATIC ${_sources})
    target_include_directories(${ARG_NAME} PUBLIC ${LUMO_INCLUDE_DIRS})
    if(ARG_DEPS)
      target_link_libraries(${ARG_NAME} PUBLIC ${ARG_DEPS})
    endif()
    lumo_warnings(${ARG_NAME})
  else()
    add_library(${ARG_NAME} INTERFACE)
    target_include_directories(${ARG_NAME} INTERFACE ${LUMO_INCLUDE_DIRS})
    if(ARG_DEPS)
      target_link_libraries(${ARG_NAME} INTERFACE ${ARG_DEPS})
    endif()
  endif()
endfunction()
