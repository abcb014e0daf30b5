# Each public header compiled alone in a translation unit of its own, twice
# over (its include guard), with only the installed include folders on the
# path: a header that needs another header first, an internal one
# (Library/src) or an operating-system header fails the build.
function(velkor_header_check)
  set(include_root ${PROJECT_SOURCE_DIR}/Library/include)
  file(GLOB_RECURSE headers RELATIVE ${include_root} CONFIGURE_DEPENDS ${include_root}/*.hpp)
  set(units)
  foreach(header ${headers})
    string(MAKE_C_IDENTIFIER ${header} unit)
    set(unit ${PROJECT_BINARY_DIR}/header_check/${unit}.cpp)
    file(CONFIGURE OUTPUT ${unit} CONTENT [[
#include "@header@"
#include "@header@"
#if defined(_UNISTD_H) || defined(_FCNTL_H) || defined(_TERMIOS_H) || defined(_SYS_IOCTL_H) || \
    defined(_SYS_POLL_H) || defined(_SYS_FILE_H) || defined(_DIRENT_H) || defined(_SYS_STAT_H) || \
    defined(_WINDOWS_) || defined(_INC_WINDOWS) || defined(_WINBASE_) || defined(_WINREG_) || \
    defined(_CFGMGR32_H_)
#error "@header@ brings in an operating-system header"
#endif
]] @ONLY)
    list(APPEND units ${unit})
  endforeach()
  add_library(velkor_header_check OBJECT ${units})
  target_include_directories(velkor_header_check PRIVATE ${include_root} ${PROJECT_BINARY_DIR}/include)
  target_compile_definitions(velkor_header_check PRIVATE VELKOR_HWAPI_STATIC_DEFINE)
  target_compile_options(velkor_header_check PRIVATE ${VELKOR_WARNINGS})
  # Export.hpp is generated at configure time; the check builds with the tests.
  add_dependencies(velkor_tests velkor_header_check)
endfunction()
