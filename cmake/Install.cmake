# cmake --install for C++ users: the public headers (with the generated
# Export.hpp), the library, a CMake package whose target Velkor::HardwareAPI
# carries the include directory, C++17 and the thread library, and a
# pkg-config file, all in the component "Library" (the programs in tools/ are
# installed too by a plain cmake --install). Included by CMakeLists.txt.
include(CMakePackageConfigHelpers)

set(VELKOR_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/VelkorHardwareAPI)

install(DIRECTORY ${PROJECT_SOURCE_DIR}/Library/include/Velkor
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT Library FILES_MATCHING PATTERN "*.hpp")
install(FILES ${PROJECT_BINARY_DIR}/include/Velkor/HardwareAPI/Export.hpp
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/Velkor/HardwareAPI COMPONENT Library)
install(TARGETS velkor_hwapi EXPORT VelkorHardwareAPITargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT Library
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT Library
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT Library
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(EXPORT VelkorHardwareAPITargets NAMESPACE Velkor:: DESTINATION ${VELKOR_CMAKE_DIR} COMPONENT Library)

configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/VelkorHardwareAPIConfig.cmake.in
  ${PROJECT_BINARY_DIR}/VelkorHardwareAPIConfig.cmake INSTALL_DESTINATION ${VELKOR_CMAKE_DIR})
# 0.x: a minor release may change the C++ surface, so only the same minor matches.
write_basic_package_version_file(${PROJECT_BINARY_DIR}/VelkorHardwareAPIConfigVersion.cmake
  COMPATIBILITY SameMinorVersion)
install(FILES ${PROJECT_BINARY_DIR}/VelkorHardwareAPIConfig.cmake
  ${PROJECT_BINARY_DIR}/VelkorHardwareAPIConfigVersion.cmake DESTINATION ${VELKOR_CMAKE_DIR} COMPONENT Library)

# pkg-config: the thread flag and, for the static library, what it links privately.
set(VELKOR_PC_DEFINES "")
if(NOT VELKOR_SHARED)
  set(VELKOR_PC_DEFINES " -DVELKOR_HWAPI_STATIC_DEFINE")
endif()
set(VELKOR_PC_PRIVATE_LIBS "")
if(WIN32)
  set(VELKOR_PC_PRIVATE_LIBS "-ladvapi32")
endif()
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}")
  set(VELKOR_PC_LIBDIR "${CMAKE_INSTALL_LIBDIR}")
else()
  set(VELKOR_PC_LIBDIR "\${prefix}/${CMAKE_INSTALL_LIBDIR}")
endif()
if(IS_ABSOLUTE "${CMAKE_INSTALL_INCLUDEDIR}")
  set(VELKOR_PC_INCLUDEDIR "${CMAKE_INSTALL_INCLUDEDIR}")
else()
  set(VELKOR_PC_INCLUDEDIR "\${prefix}/${CMAKE_INSTALL_INCLUDEDIR}")
endif()
configure_file(${CMAKE_CURRENT_LIST_DIR}/velkor-hardware-api.pc.in
  ${PROJECT_BINARY_DIR}/velkor-hardware-api.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/velkor-hardware-api.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT Library)
