# The release build (CMAKE_BUILD_TYPE Release) compiles like the debugging
# build, -O2 with debugging information, so that the shipped code is the code
# the tests ran (the structured-exception translation depends on how frames
# unwind). After linking, quarn_separate_debug_info moves the debugging
# information of a program into <name>.debug beside it and strips the
# program, which names that file in its .gnu_debuglink section (gdb and
# addr2line find it there for crash-dump analysis).
set(CMAKE_C_FLAGS_RELEASE "-O2 -g -DNDEBUG")
set(CMAKE_CXX_FLAGS_RELEASE "-O2 -g -DNDEBUG")
set(CMAKE_ASM_FLAGS_RELEASE "-g")

function(quarn_separate_debug_info target)
  if(NOT CMAKE_BUILD_TYPE STREQUAL "Release")
    return()
  endif()
  if(NOT CMAKE_OBJCOPY)
    message(FATAL_ERROR "The release build needs objcopy for the separate debugging information.")
  endif()
  set(program $<TARGET_FILE_NAME:${target}>)
  set(debug_file $<TARGET_FILE_BASE_NAME:${target}>.debug)
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${CMAKE_OBJCOPY} --only-keep-debug ${program} ${debug_file}
    COMMAND ${CMAKE_OBJCOPY} --strip-all --add-gnu-debuglink=${debug_file} ${program}
    WORKING_DIRECTORY $<TARGET_FILE_DIR:${target}>
    COMMENT "Moving the debugging information of ${target} into ${debug_file}"
    VERBATIM)
endfunction()
