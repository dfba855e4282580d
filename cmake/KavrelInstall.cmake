# What `cmake --install` lays out (GNUInstallDirs):
#   include/kavrel/{kavrel,i18n}.h, lib/libkavrel.a, lib/libkavrel.so.1,
#   bin/{kelpi_install,lcuc}, share/kavrel/ (the catalogues in both layouts),
#   share/doc/kavrel/ (README, LICENSE), share/man/ (kelpi_install.1,
#   lcuc.1, kavrel.3), lib/cmake/kavrel/ and lib/pkgconfig/kavrel.pc.
# `cpack -G DEB` makes the same into kavrel_<version>_<arch>.deb.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(KAVREL_INSTALL_MSGDIR ${CMAKE_INSTALL_DATADIR}/kavrel/msgs)
set(cmake_dir ${CMAKE_INSTALL_LIBDIR}/cmake/kavrel)

# With TLS the static library needs OpenSSL's libssl and libcrypto at a
# product's link: the .pc file and the package config say so. The flag is
# kavrel/'s, read from its scope when it was not passed up.
if(NOT DEFINED KAVREL_HAVE_TLS)
  get_directory_property(KAVREL_HAVE_TLS DIRECTORY ${PROJECT_SOURCE_DIR}/kavrel
                         DEFINITION KAVREL_HAVE_TLS)
endif()
if(KAVREL_HAVE_TLS)
  set(KAVREL_CONFIG_TLS ON)
  set(KAVREL_PC_REQUIRES_PRIVATE "libssl libcrypto")
else()
  set(KAVREL_CONFIG_TLS OFF)
  set(KAVREL_PC_REQUIRES_PRIVATE "")
endif()

install(FILES ${PROJECT_SOURCE_DIR}/kavrel/kavrel.h ${PROJECT_SOURCE_DIR}/i18n/i18n.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/kavrel)
install(TARGETS kavrel kavrel_shared EXPORT kavrelTargets
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(TARGETS kelpi_install lcuc RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(DIRECTORY ${KAVREL_SHARE_DIR}/ DESTINATION ${CMAKE_INSTALL_DATADIR}/kavrel)
install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/LICENSE
        DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(FILES ${PROJECT_SOURCE_DIR}/man/kelpi_install.1 ${PROJECT_SOURCE_DIR}/man/lcuc.1
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${PROJECT_SOURCE_DIR}/man/kavrel.3 DESTINATION ${CMAKE_INSTALL_MANDIR}/man3)

install(EXPORT kavrelTargets NAMESPACE kavrel:: DESTINATION ${cmake_dir})
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/kavrelConfig.cmake.in
                              ${PROJECT_BINARY_DIR}/kavrelConfig.cmake
                              INSTALL_DESTINATION ${cmake_dir}
                              PATH_VARS KAVREL_INSTALL_MSGDIR)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/kavrelConfigVersion.cmake
                                 COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/kavrelConfig.cmake ${PROJECT_BINARY_DIR}/kavrelConfigVersion.cmake
        DESTINATION ${cmake_dir})
# The .pc file finds the installation from its own place, wherever it is.
file(RELATIVE_PATH KAVREL_PC_TO_PREFIX /${CMAKE_INSTALL_LIBDIR}/pkgconfig /)
string(REGEX REPLACE "/$" "" KAVREL_PC_TO_PREFIX "${KAVREL_PC_TO_PREFIX}")
configure_file(${PROJECT_SOURCE_DIR}/cmake/kavrel.pc.in ${PROJECT_BINARY_DIR}/kavrel.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/kavrel.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# The Debian package: its dependencies are computed from the binaries
# (dpkg-shlibdeps, from dpkg-dev, which needs file), libssl3 among them with
# TLS. The one package holds the shared library, the static one and the
# headers: a product that only runs needs none of libssl-dev, one that links
# the static library or asks pkg-config (kavrel.pc requires libssl.pc) does.
# So libssl-dev is recommended (apt installs it by default), as no compiler
# or libstdc++ development package is depended on either.
if(KAVREL_HAVE_TLS)
  set(CPACK_DEBIAN_PACKAGE_RECOMMENDS libssl-dev)
endif()
set(CPACK_PACKAGE_NAME kavrel)
set(CPACK_PACKAGE_VENDOR "The Kavrel developers")
set(CPACK_PACKAGE_CONTACT "The Kavrel developers <kavrel-dev@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "client support library: settings, diagnostics, localised messages, mailed reports")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_GENERATOR DEB)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
include(CPack)
