# The C++ tests that a Windows build runs: the portable ones (those that need
# neither pseudo-terminals nor a fake sysfs tree nor POSIX headers) and the
# Windows driver's own tests. Read from the sources, so a new POSIX-only test
# stays out of the Windows build without a list to keep.
set(VELKOR_POSIX_ONLY_INCLUDE
    "#include [<\"](support/PtyEmulator|support/FakeSysfs|support/EchoArm|unistd|termios|poll|fcntl|dirent|pty|signal|sys/)")

function(velkor_windows_test_sources sources_var)
  set(kept)
  foreach(source ${${sources_var}})
    file(STRINGS ${source} posix_includes REGEX "${VELKOR_POSIX_ONLY_INCLUDE}")
    get_filename_component(name ${source} NAME)
    if(posix_includes OR name MATCHES "^(PtyEmulator|FakeSysfs)\\.cpp$")
      continue()
    endif()
    list(APPEND kept ${source})
  endforeach()
  file(GLOB windows_sources CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/tests/windows/*.cpp)
  list(APPEND kept ${windows_sources})
  set(${sources_var} ${kept} PARENT_SCOPE)
endfunction()

# The configuration-manager double the vendor-narrowing tests load in place of
# cfgmgr32.dll (see tests/windows/cfgmgr32); scripts/test-windows.sh installs it
# in the test prefix only.
function(velkor_windows_test_doubles)
  add_library(velkor_cfgmgr32_double SHARED ${PROJECT_SOURCE_DIR}/tests/windows/cfgmgr32/ConfigManagerDouble.cpp)
  set_target_properties(velkor_cfgmgr32_double PROPERTIES OUTPUT_NAME cfgmgr32 PREFIX "")
  target_compile_options(velkor_cfgmgr32_double PRIVATE ${VELKOR_WARNINGS})
endfunction()
