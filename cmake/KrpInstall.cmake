# What `cmake --install` adds beside the targets' own install rules: the
# CMake package (find_package(krplib) -> krplib::krplib), the pkg-config file,
# the systemd user unit of the host, and the Debian package (cpack -G DEB).
include(CMakePackageConfigHelpers)

set(KRP_CMAKE_PACKAGE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/krplib)
install(EXPORT krplibTargets NAMESPACE krplib:: DESTINATION ${KRP_CMAKE_PACKAGE_DIR})
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/krplibConfig.cmake.in
                              ${PROJECT_BINARY_DIR}/krplibConfig.cmake
                              INSTALL_DESTINATION ${KRP_CMAKE_PACKAGE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/krplibConfigVersion.cmake
                                 VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/krplibConfig.cmake
              ${PROJECT_BINARY_DIR}/krplibConfigVersion.cmake
        DESTINATION ${KRP_CMAKE_PACKAGE_DIR})

# The unit's folder below the prefix: the user units of /usr and /usr/local
# are found there by the user's service manager.
set(KRP_INSTALL_USERUNITDIR lib/systemd/user CACHE STRING
    "Folder of systemd user units, relative to the install prefix")

# krp_install_configured(TEMPLATE DESTINATION): installs TEMPLATE (without
# its ".in") configured when it is installed, not when the tree is
# configured, so the paths in it name the prefix it is installed under
# (`cmake --install --prefix`, CPack's /usr) rather than the configured one.
function(krp_install_configured template destination)
  get_filename_component(name ${template} NAME)
  string(REGEX REPLACE "\\.in$" "" name ${name})
  install(CODE "
    set(KRP_TEMPLATE \"${template}\")
    set(KRP_NAME \"${name}\")
    set(KRP_DESTINATION \"${destination}\")
    set(KRP_STAGING \"${PROJECT_BINARY_DIR}/install-staging\")
    set(KRP_BINDIR \"${CMAKE_INSTALL_BINDIR}\")
    set(KRP_LIBDIR \"${CMAKE_INSTALL_LIBDIR}\")
    set(KRP_INCLUDEDIR \"${CMAKE_INSTALL_INCLUDEDIR}\")
    set(KRP_VERSION \"${PROJECT_VERSION}\")
    set(KRP_UNIT_TYPE \"${KRP_UNIT_TYPE}\")
    include(\"${PROJECT_SOURCE_DIR}/cmake/KrpInstallConfigured.cmake\")")
endfunction()

krp_install_configured(${PROJECT_SOURCE_DIR}/packaging/krplib.pc.in
                       ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
krp_install_configured(${PROJECT_SOURCE_DIR}/packaging/krplib-host.service.in
                       ${KRP_INSTALL_USERUNITDIR})

# The Debian package: one package with the library, its header, pkg-config
# file and CMake package, krpctl, the logging library and the user unit.
set(CPACK_PACKAGE_NAME krplib)
set(CPACK_PACKAGE_VENDOR "krplib")
set(CPACK_PACKAGE_CONTACT "krplib maintainers <krplib@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Shared, persistent resource store of the product suite")
set(CPACK_PACKAGE_DESCRIPTION
    "krplib keeps named, typed resources of every process of the suite in one crash-safe store file, hosted by one process (krpctl host, or the user unit krplib-host.service).")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The private folder of the logging library, for dpkg-shlibdeps.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_INSTALL_PREFIX}/${KRP_INSTALL_TRACELIBDIR})
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
include(CPack)
