# Installs the build tree into a fresh prefix below TMPDIR and checks where
# the programs land: ReefTownSetup alone in bin/, the stand-ins in
# libexec/reeftown/, where the program looks for them.
#   cmake -DBUILD_DIR=... -P install_layout.cmake
set(tmp "$ENV{TMPDIR}")
if(NOT tmp)
  set(tmp /tmp)
endif()
string(RANDOM LENGTH 12 tag)
set(outer "${tmp}/reeftown-test-install-${tag}")
set(prefix "${outer}/prefix")
file(MAKE_DIRECTORY "${outer}")

execute_process(COMMAND "${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix "${prefix}"
                RESULT_VARIABLE result OUTPUT_QUIET)
file(GLOB_RECURSE installed RELATIVE "${prefix}" "${prefix}/*")
list(SORT installed)
file(REMOVE_RECURSE "${outer}")

if(NOT result EQUAL 0)
  message(FATAL_ERROR "cmake --install failed: ${result}")
endif()
set(want bin/ReefTownSetup libexec/reeftown/cmd libexec/reeftown/powershell.exe libexec/reeftown/reg)
if(NOT installed STREQUAL want)
  message(FATAL_ERROR "installed: ${installed}\nwanted: ${want}")
endif()
