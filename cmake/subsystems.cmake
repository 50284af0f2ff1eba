# Every folder under src/ except app is one static library named quarn_<folder>,
# built from the .cpp and .S files it holds (except the entry points *main.cpp and the files of
# the other target processor). The subsystems call each other in
# both directions (the error model logs, the log reads the registry), so they
# are linked as one group that the linker rescans.
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

# mariadb_client comes first: it needs ws2_32 and shlwapi after it.
set(QUARN_SYSTEM_LIBS mariadb_client comctl32 uxtheme oleacc shell32 user32 gdi32 advapi32 netapi32 ole32 oleaut32 uuid
  dbghelp psapi shlwapi rpcrt4 version userenv ws2_32 kernel32)

function(quarn_add_subsystem name)
  file(GLOB sources CONFIGURE_DEPENDS
    ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp ${CMAKE_CURRENT_SOURCE_DIR}/*.S)
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
    add_library(quarn_${name} STATIC ${sources})
    target_link_libraries(quarn_${name} PUBLIC quarn_options)
    set_property(GLOBAL APPEND PROPERTY QUARN_LIBRARIES quarn_${name})
  endif()
endfunction()
