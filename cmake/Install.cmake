# Headers, the CMake package, the pkg-config file, man pages, completion,
# system-wide registration and the split Debian packages:
#   libostrel1      runtime   the libraries (the C interface's too) and the class registration
#   libostrel-dev   dev       headers, library links, CMake and pkg-config files
#   ostrel          cli       ostrel and ostrel-sim (no Qt), man pages, completion
#   ostrel-panel    console   OstrelPanel
#   python3-ostrel  python    the Python package (ctypes over libostrel-c)
#   ostreld         service   the site service, its unit, sample configuration and man page
include(CMakePackageConfigHelpers)

install(DIRECTORY ${CMAKE_BINARY_DIR}/include/ostrel DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT dev)
install(EXPORT OstrelTargets NAMESPACE Ostrel:: DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/Ostrel COMPONENT dev)
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/OstrelConfig.cmake.in
  ${CMAKE_BINARY_DIR}/OstrelConfig.cmake INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/Ostrel)
write_basic_package_version_file(${CMAKE_BINARY_DIR}/OstrelConfigVersion.cmake COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/OstrelConfig.cmake ${CMAKE_BINARY_DIR}/OstrelConfigVersion.cmake
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/Ostrel COMPONENT dev)
file(RELATIVE_PATH OSTREL_PC_TO_PREFIX /p/${CMAKE_INSTALL_LIBDIR}/pkgconfig /p)
configure_file(${PROJECT_SOURCE_DIR}/cmake/ostrel.pc.in ${CMAKE_BINARY_DIR}/ostrel.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/ostrel.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT dev)
configure_file(${PROJECT_SOURCE_DIR}/cmake/ostrel-c.pc.in ${CMAKE_BINARY_DIR}/ostrel-c.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/ostrel-c.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT dev)

# Man pages, compressed as Debian keeps them.
set(man_pages ostrel.1 ostrel-sim.1)
if(OSTREL_CONSOLE)
  list(APPEND man_pages OstrelPanel.1)
endif()
if(OSTREL_SERVICE)
  list(APPEND man_pages ostreld.8)
endif()
set(man_outputs)
foreach(page IN LISTS man_pages)
  add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/man/${page}.gz
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
    COMMAND gzip -9n -c ${PROJECT_SOURCE_DIR}/docs/man/${page} > ${CMAKE_BINARY_DIR}/man/${page}.gz
    DEPENDS ${PROJECT_SOURCE_DIR}/docs/man/${page} VERBATIM)
  list(APPEND man_outputs ${CMAKE_BINARY_DIR}/man/${page}.gz)
endforeach()
add_custom_target(ostrel_man_pages ALL DEPENDS ${man_outputs})
install(FILES ${CMAKE_BINARY_DIR}/man/ostrel.1.gz ${CMAKE_BINARY_DIR}/man/ostrel-sim.1.gz
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT cli)
if(OSTREL_CONSOLE)
  install(FILES ${CMAKE_BINARY_DIR}/man/OstrelPanel.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT console)
endif()
if(OSTREL_SERVICE)
  install(FILES ${CMAKE_BINARY_DIR}/man/ostreld.8.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man8 COMPONENT service)
endif()
install(FILES ${PROJECT_SOURCE_DIR}/tools/ostrel.bash-completion RENAME ostrel
        DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions COMPONENT cli)
# bash-completion loads a command's file by the command's name.
install(CODE [[
  file(CREATE_LINK ostrel "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}/share/bash-completion/completions/ostrel-sim" SYMBOLIC)
]] COMPONENT cli)

# A direct install (not a package, not a staged DESTDIR) registers the class
# system-wide when run as root, and says how otherwise.
install(CODE "set(OSTREL_LIB_FILE \"${CMAKE_INSTALL_LIBDIR}/libOstrel.so.${OSTREL_SOVERSION}\")" COMPONENT cli)
install(CODE [[
  set(lib "${CMAKE_INSTALL_PREFIX}/${OSTREL_LIB_FILE}")
  if("$ENV{DESTDIR}" STREQUAL "")
    execute_process(COMMAND id -u OUTPUT_VARIABLE uid OUTPUT_STRIP_TRAILING_WHITESPACE)
    if(uid STREQUAL "0")
      execute_process(COMMAND "${CMAKE_INSTALL_PREFIX}/bin/ostrel" register --system "${lib}")
    else()
      message(STATUS "To register Ostrel.cls_Door: sudo ostrel register --system ${lib}  (or: ostrel register --user ${lib})")
    endif()
  endif()
]] COMPONENT cli)

# The packages.
file(STRINGS ${PROJECT_SOURCE_DIR}/driver/cls_Door.h clsid_line REGEX "kClsidDoor = ")
string(REGEX MATCH "{[0-9A-F-]+}" OSTREL_CLSID "${clsid_line}")
configure_file(${PROJECT_SOURCE_DIR}/cmake/debian/postinst.in ${CMAKE_BINARY_DIR}/debian/runtime/postinst @ONLY)
configure_file(${PROJECT_SOURCE_DIR}/cmake/debian/postrm.in ${CMAKE_BINARY_DIR}/debian/runtime/postrm @ONLY)
foreach(component runtime dev cli console python service)
  string(TOUPPER ${component} C)
  set(name_runtime libostrel${OSTREL_SOVERSION})
  set(name_dev libostrel-dev)
  set(name_cli ostrel)
  set(name_console ostrel-panel)
  set(name_python python3-ostrel)
  set(name_service ostreld)
  install(FILES ${PROJECT_SOURCE_DIR}/cmake/debian/copyright DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${name_${component}}
          COMPONENT ${component})
  set(CPACK_DEBIAN_${C}_PACKAGE_NAME ${name_${component}})
  set(CPACK_DEBIAN_${C}_FILE_NAME DEB-DEFAULT)
endforeach()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ostrel)
set(CPACK_PACKAGE_CONTACT "Ostrel developers <dev@ostrel.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Driver and tools for serial-bus door-access controllers")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL runtime dev cli python)
if(OSTREL_CONSOLE)
  list(APPEND CPACK_COMPONENTS_ALL console)
endif()
if(OSTREL_SERVICE)
  list(APPEND CPACK_COMPONENTS_ALL service)
endif()
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

set(CPACK_COMPONENT_RUNTIME_DESCRIPTION "Ostrel door-controller driver and component runtime (shared libraries)")
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA "${CMAKE_BINARY_DIR}/debian/runtime/postinst;\
${CMAKE_BINARY_DIR}/debian/runtime/postrm;${PROJECT_SOURCE_DIR}/cmake/debian/triggers")
set(CPACK_COMPONENT_DEV_DESCRIPTION "Ostrel development files: headers, CMake and pkg-config packages")
set(CPACK_COMPONENT_DEV_DEPENDS runtime)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_COMPONENT_CLI_DESCRIPTION "Ostrel command line and simulated controller")
set(CPACK_COMPONENT_CLI_DEPENDS runtime)
set(CPACK_COMPONENT_CONSOLE_DESCRIPTION "Ostrel test console (Qt)")
set(CPACK_COMPONENT_CONSOLE_DEPENDS runtime)
set(CPACK_COMPONENT_PYTHON_DESCRIPTION "Python package for serial-bus door-access controllers")
set(CPACK_COMPONENT_PYTHON_DEPENDS runtime)
set(CPACK_DEBIAN_PYTHON_PACKAGE_ARCHITECTURE all)
set(CPACK_DEBIAN_PYTHON_PACKAGE_SECTION python)
set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS python3)
set(CPACK_COMPONENT_SERVICE_DESCRIPTION "Ostrel site service ostreld: swipes into a database, controllers watched, HTTP API")
set(CPACK_COMPONENT_SERVICE_DEPENDS runtime)
# The programs link the runtime package's libraries, which dpkg-shlibdeps
# finds in its staging folder.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS
    ${CMAKE_BINARY_DIR}/_CPack_Packages/Linux/DEB/${CPACK_PACKAGE_NAME}-${PROJECT_VERSION}-Linux/runtime/usr/${CMAKE_INSTALL_LIBDIR})
include(CPack)
