# Headers, the CMake package, the pkg-config file, system-wide registration
# and the Debian package.
include(CMakePackageConfigHelpers)

foreach(dir basic runtime driver)
  install(DIRECTORY ${PROJECT_SOURCE_DIR}/${dir}/ DESTINATION include/ostrel/${dir}
          FILES_MATCHING PATTERN "*.h" PATTERN "host" EXCLUDE)
endforeach()
install(FILES ${PROJECT_SOURCE_DIR}/serial/SerialPort.h DESTINATION include/ostrel/serial)

install(EXPORT OstrelTargets NAMESPACE Ostrel:: DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/Ostrel)
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/OstrelConfig.cmake.in
  ${CMAKE_BINARY_DIR}/OstrelConfig.cmake INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/Ostrel)
write_basic_package_version_file(${CMAKE_BINARY_DIR}/OstrelConfigVersion.cmake COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/OstrelConfig.cmake ${CMAKE_BINARY_DIR}/OstrelConfigVersion.cmake
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/Ostrel)

configure_file(${PROJECT_SOURCE_DIR}/cmake/ostrel.pc.in ${CMAKE_BINARY_DIR}/ostrel.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/ostrel.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
configure_file(${PROJECT_SOURCE_DIR}/cmake/ostrel-c.pc.in ${CMAKE_BINARY_DIR}/ostrel-c.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/ostrel-c.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# A direct install (not a package, not a staged DESTDIR) registers the class
# system-wide when run as root, and says how otherwise.
install(CODE [[
  set(lib "${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBDIR}/libOstrel.so")
  if("$ENV{DESTDIR}" STREQUAL "")
    execute_process(COMMAND id -u OUTPUT_VARIABLE uid OUTPUT_STRIP_TRAILING_WHITESPACE)
    if(uid STREQUAL "0")
      execute_process(COMMAND "${CMAKE_INSTALL_PREFIX}/bin/ostrel" register --system "${lib}")
    else()
      message(STATUS "To register Ostrel.cls_Door: sudo ostrel register --system ${lib}  (or: ostrel register --user ${lib})")
    endif()
  endif()
]])

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ostrel)
set(CPACK_PACKAGE_CONTACT "Ostrel developers <dev@ostrel.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Driver and tools for serial-bus door-access controllers")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
configure_file(${PROJECT_SOURCE_DIR}/cmake/debian/postinst.in ${CMAKE_BINARY_DIR}/debian/postinst @ONLY)
configure_file(${PROJECT_SOURCE_DIR}/cmake/debian/prerm.in ${CMAKE_BINARY_DIR}/debian/prerm @ONLY)
# Two packages: ostrel (everything not put in a component) and python3-ostrel.
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_UNSPECIFIED_PACKAGE_NAME ostrel)
set(CPACK_DEBIAN_UNSPECIFIED_PACKAGE_CONTROL_EXTRA "${CMAKE_BINARY_DIR}/debian/postinst;${CMAKE_BINARY_DIR}/debian/prerm")
set(CPACK_DEBIAN_PYTHON_PACKAGE_NAME python3-ostrel)
set(CPACK_DEBIAN_PYTHON_PACKAGE_ARCHITECTURE all)
set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS "ostrel (= ${PROJECT_VERSION}), python3")
set(CPACK_DEBIAN_PYTHON_PACKAGE_SHLIBDEPS OFF)
set(CPACK_DEBIAN_PYTHON_DESCRIPTION "Python package for serial-bus door-access controllers")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
