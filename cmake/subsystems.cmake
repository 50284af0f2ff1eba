# Every folder under src/ except app is one static library named quarn_<folder>,
# built from the .cpp and .S files it holds (except main.cpp). The subsystems call each other in
# both directions (the error model logs, the log reads the registry), so they
# are linked as one group that the linker rescans.
set(QUARN_SUBSYSTEMS diagnostics threading files config security services ui ipc process database app)

set(QUARN_SYSTEM_LIBS comctl32 shell32 user32 gdi32 advapi32 netapi32 ole32 oleaut32 uuid
  dbghelp psapi shlwapi rpcrt4 version userenv ws2_32 kernel32)

function(quarn_add_subsystem name)
  file(GLOB sources CONFIGURE_DEPENDS
    ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp ${CMAKE_CURRENT_SOURCE_DIR}/*.S)
  # main.cpp holds a program's entry point and goes into the program alone.
  list(FILTER sources EXCLUDE REGEX "/main\\.cpp$")
  if(sources)
    add_library(quarn_${name} STATIC ${sources})
    target_link_libraries(quarn_${name} PUBLIC quarn_options)
    set_property(GLOBAL APPEND PROPERTY QUARN_LIBRARIES quarn_${name})
  endif()
endfunction()
