# Install directories of the project's own, and files that name whole install
# paths (pkg-config files, kqbitmap's launcher).
option(KQ_DEB "Configure for the Debian packages (prefix /usr, documentation files)" OFF)

# The stand-ins carry the outside libraries' own names, so they keep to a
# directory that no loader configuration names (cmake/KqInstall.cmake).
set(KQ_STANDINS_DIR ${CMAKE_INSTALL_LIBDIR}/kqbitmapops/standins)
# Programs that are run through a launcher in bin/ (tools/kqbitmap.in).
set(KQ_LIBEXEC_DIR ${CMAKE_INSTALL_LIBEXECDIR}/kqbitmapops)

# Installs `template` configured (@VAR@) with KQ_PREFIX, the install prefix:
# the Debian packages' /usr, or a prefix install's own, which --prefix gives
# at install time, so the file is made then. TYPE is FILES or PROGRAMS; the
# file is installed as NAME.
function(kq_install_configured type template name destination component)
  set(_out ${CMAKE_CURRENT_BINARY_DIR}/configured/${name})
  if(KQ_DEB)
    set(KQ_PREFIX ${CMAKE_INSTALL_PREFIX})
    configure_file(${template} ${_out} @ONLY)
  else()
    install(CODE "
      set(KQ_PREFIX \"\${CMAKE_INSTALL_PREFIX}\")
      set(CMAKE_INSTALL_LIBDIR \"${CMAKE_INSTALL_LIBDIR}\")
      set(CMAKE_INSTALL_INCLUDEDIR \"${CMAKE_INSTALL_INCLUDEDIR}\")
      set(KQ_STANDINS_DIR \"${KQ_STANDINS_DIR}\")
      set(KQ_LIBEXEC_DIR \"${KQ_LIBEXEC_DIR}\")
      set(PROJECT_VERSION \"${PROJECT_VERSION}\")
      configure_file(\"${template}\" \"${_out}\" @ONLY)"
      COMPONENT ${component})
  endif()
  install(${type} ${_out} DESTINATION ${destination} COMPONENT ${component})
endfunction()
