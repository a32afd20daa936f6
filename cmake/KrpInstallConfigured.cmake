# Runs inside `cmake --install` (see krp_install_configured in
# KrpInstall.cmake): CMAKE_INSTALL_PREFIX is the prefix being installed to.
# Configures KRP_TEMPLATE into a staging file of its own for this prefix and
# destination root (two installs of one tree may run side by side) and
# installs it as KRP_DESTINATION/KRP_NAME.
foreach(kind BINDIR LIBDIR INCLUDEDIR)
  if(IS_ABSOLUTE "${KRP_${kind}}")
    set(KRP_FULL_${kind} "${KRP_${kind}}")
  else()
    set(KRP_FULL_${kind} "${CMAKE_INSTALL_PREFIX}/${KRP_${kind}}")
  endif()
endforeach()
set(KRP_PREFIX "${CMAKE_INSTALL_PREFIX}")
string(MD5 krp_key "$ENV{DESTDIR}|${CMAKE_INSTALL_PREFIX}")
set(krp_staged "${KRP_STAGING}/${krp_key}/${KRP_NAME}")
configure_file("${KRP_TEMPLATE}" "${krp_staged}" @ONLY)
if(IS_ABSOLUTE "${KRP_DESTINATION}")
  set(krp_dest "${KRP_DESTINATION}")
else()
  set(krp_dest "${CMAKE_INSTALL_PREFIX}/${KRP_DESTINATION}")
endif()
file(INSTALL "${krp_staged}" DESTINATION "${krp_dest}")
