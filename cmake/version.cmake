# The project version (project(... VERSION major.minor.patch)) is the one
# version of the product: quarn_version.h carries it into the version
# resource, installer/CMakeLists.txt into the MSI package.
if(NOT PROJECT_VERSION MATCHES "^[0-9]+\\.[0-9]+\\.[0-9]+$")
  message(FATAL_ERROR "The project version must be major.minor.patch, not '${PROJECT_VERSION}'.")
endif()
configure_file(${CMAKE_SOURCE_DIR}/resources/quarn_version.h.in ${CMAKE_BINARY_DIR}/generated/quarn_version.h @ONLY)
# The program's manifest names the architecture of its build: Windows refuses
# to start a program whose own manifest names another one. windres finds it in
# the generated folder through the include path, like quarn_version.h.
if(CMAKE_SYSTEM_PROCESSOR STREQUAL "i686")
  set(QUARN_MANIFEST_ARCH x86)
else()
  set(QUARN_MANIFEST_ARCH amd64)
endif()
configure_file(${CMAKE_SOURCE_DIR}/resources/svcsentry.manifest.in ${CMAKE_BINARY_DIR}/generated/svcsentry.manifest @ONLY)
target_include_directories(quarn_options INTERFACE ${CMAKE_BINARY_DIR}/generated)
# windres runs the C preprocessor: have it write the included files, so that
# a new version (a rewritten quarn_version.h) rebuilds the resources.
set(CMAKE_DEPFILE_FLAGS_RC
  "--preprocessor-arg=-MD --preprocessor-arg=-MT --preprocessor-arg=<OBJECT> --preprocessor-arg=-MF --preprocessor-arg=<DEP_FILE>")
