# Debian packages with `cpack -G DEB` in the build directory:
#   libzem32-3    the shared library
#   libzem32-dev  header, .so link, pkg-config file, CMake package, pages 3 and 7
#   zem32-tools   zem-send, zem-pop and their pages 1
set(CPACK_PACKAGE_NAME zem32)
set(CPACK_PACKAGE_VENDOR "ZEM32")
set(CPACK_PACKAGE_CONTACT "ZEM32 developers <zem32@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "SMTP, POP3 and IMAP client library with a flat C API")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL runtime dev)
if(ZEM_TOOLS_BUILT)
  list(APPEND CPACK_COMPONENTS_ALL tools)
endif()
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME libzem32-3)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_RUNTIME_DESCRIPTION "SMTP, POP3 and IMAP client library with a flat C API\n Sends mail through SMTP (AUTH, attachments, ready-made messages) and reads,\n saves, searches, files and deletes mail in a POP3 or IMAP mailbox, on up to\n 128 channels.")
set(CPACK_DEBIAN_DEV_PACKAGE_NAME libzem32-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "libzem32-3 (= ${PROJECT_VERSION})")
set(CPACK_DEBIAN_DEV_DESCRIPTION "ZEM32 development files\n Header, pkg-config file, CMake package and manual pages of ZEM32.")
set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME zem32-tools)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION mail)
# dpkg-shlibdeps cannot see libzem32-3 before it is installed: the dependency is named.
set(CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS "libzem32-3 (= ${PROJECT_VERSION}), libc6, libstdc++6, libgcc-s1")
set(CPACK_DEBIAN_TOOLS_DESCRIPTION "zem-send and zem-pop command-line mail tools\n Send a message (or a ready-made one, as sendmail -t) and work with a POP3\n mailbox, with ZEM32.")
include(CPack)

# The package test (label package): needs cpack's DEB generator tools and the tools built.
if(ZEM_TESTS_BUILT AND ZEM_TOOLS_BUILT)
  find_program(ZEM_DPKG_DEB dpkg-deb)
  if(ZEM_DPKG_DEB)
    add_test(NAME debian_packages COMMAND bash ${CMAKE_SOURCE_DIR}/tests/package/test_package.sh
             ${CMAKE_BINARY_DIR} ${CMAKE_SOURCE_DIR})
    set_tests_properties(debian_packages PROPERTIES LABELS "package" TIMEOUT 600 RESOURCE_LOCK dpkg)
  endif()
endif()
