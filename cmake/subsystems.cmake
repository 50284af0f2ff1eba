# Every folder under src/ is a static library named quarn_<folder>, built
# from the .cpp and .S files it holds (except the entry points *main.cpp and
# the files of the other target processor); a few folders hold two layers
# and so two libraries (src/<folder>/CMakeLists.txt). The libraries form one
# stack (the layer order in the README): each links the libraries below it
# that it uses and no other, so code that reaches up a layer fails to link.
set(QUARN_SUBSYSTEMS diagnostics threading files config security services ui ipc process database app)

# The MariaDB client library (Connector/C), a static library that
# scripts/deps cross-builds and caches outside the repository.
set(QUARN_MARIADB_ROOT "" CACHE PATH "Folder with include/mysql.h and lib/libmariadbclient.a (scripts/deps --path)")
if(NOT EXISTS "${QUARN_MARIADB_ROOT}/lib/libmariadbclient.a" OR NOT EXISTS "${QUARN_MARIADB_ROOT}/include/mysql.h")
  message(FATAL_ERROR "No MariaDB client library in QUARN_MARIADB_ROOT='${QUARN_MARIADB_ROOT}': "
    "run scripts/deps and pass -DQUARN_MARIADB_ROOT=$(scripts/deps --path) (scripts/test does).")
endif()
add_library(mariadb_client STATIC IMPORTED)
set_target_properties(mariadb_client PROPERTIES
  IMPORTED_LOCATION "${QUARN_MARIADB_ROOT}/lib/libmariadbclient.a"
  INTERFACE_SYSTEM_INCLUDE_DIRECTORIES "${QUARN_MARIADB_ROOT}/include"
  INTERFACE_INCLUDE_DIRECTORIES "${QUARN_MARIADB_ROOT}/include")

# The system's import libraries lie below the ground floor: quarn_diagnostics
# links them, so they come after every library of the program, and after the
# MariaDB client, which needs ws2_32 and shlwapi.
add_library(quarn_system INTERFACE)
target_link_libraries(quarn_system INTERFACE comctl32 uxtheme oleacc shell32 user32 gdi32 advapi32 netapi32 ole32
  oleaut32 uuid dbghelp psapi shlwapi rpcrt4 version userenv ws2_32 kernel32)
set_property(TARGET mariadb_client PROPERTY INTERFACE_LINK_LIBRARIES quarn_system)

# quarn_add_subsystem(<folder> [TARGET <library>] [SOURCES <file>...] [USES <library>...])
# Adds the library quarn_<folder> (or <library>) of the current folder, which
# links the libraries USES names. Without SOURCES it takes every file of the
# folder that no library of the folder added before it took.
function(quarn_add_subsystem name)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "TARGET" "SOURCES;USES")
  if(NOT arg_TARGET)
    set(arg_TARGET quarn_${name})
  endif()
  get_directory_property(taken QUARN_TAKEN_SOURCES)
  if(arg_SOURCES)
    list(TRANSFORM arg_SOURCES PREPEND ${CMAKE_CURRENT_SOURCE_DIR}/ OUTPUT_VARIABLE sources)
  else()
    file(GLOB sources CONFIGURE_DEPENDS
      ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp ${CMAKE_CURRENT_SOURCE_DIR}/*.S)
    if(taken)
      list(REMOVE_ITEM sources ${taken})
    endif()
  endif()
  set_property(DIRECTORY APPEND PROPERTY QUARN_TAKEN_SOURCES ${sources})
  # main.cpp (or <program>_main.cpp) holds a program's entry point and goes
  # into the program alone.
  list(FILTER sources EXCLUDE REGEX "[/_]main\\.cpp$")
  # A file named <stem>_x86_64.<ext> or <stem>_i686.<ext> holds code for one
  # target processor only (the structured-exception trampoline).
  foreach(processor IN ITEMS x86_64 i686)
    if(NOT processor STREQUAL CMAKE_SYSTEM_PROCESSOR)
      list(FILTER sources EXCLUDE REGEX "_${processor}\\.[A-Za-z]+$")
    endif()
  endforeach()
  if(sources)
    add_library(${arg_TARGET} STATIC ${sources})
    target_link_libraries(${arg_TARGET} PUBLIC quarn_options ${arg_USES})
  endif()
endfunction()

# quarn_keep_object(<library> <symbol>): every program that links the library
# keeps the object file that defines the extern "C" <symbol>, though nothing
# calls it (one whose initialiser sets something up, or an exported pointer).
function(quarn_keep_object library symbol)
  if(CMAKE_SYSTEM_PROCESSOR STREQUAL i686)
    set(symbol _${symbol})  # 32-bit C names carry a leading underscore
  endif()
  target_link_options(${library} INTERFACE "LINKER:--undefined=${symbol}")
endfunction()
