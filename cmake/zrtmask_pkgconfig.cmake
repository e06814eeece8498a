# The pkg-config file. Its paths are relative to the file's own directory (${pcfiledir}), so an
# installed prefix can be moved; a library or include directory given as an absolute path is
# written as it is.
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}")
  set(ZRTMASK_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
else()
  file(RELATIVE_PATH zrtmask_prefix_from_pc
       "/prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/prefix")
  string(REGEX REPLACE "/$" "" zrtmask_prefix_from_pc "${zrtmask_prefix_from_pc}")
  set(ZRTMASK_PC_PREFIX "\${pcfiledir}/${zrtmask_prefix_from_pc}")
endif()
foreach(kind IN ITEMS LIBDIR INCLUDEDIR)
  if(IS_ABSOLUTE "${CMAKE_INSTALL_${kind}}")
    set(ZRTMASK_PC_${kind} "${CMAKE_INSTALL_${kind}}")
  else()
    set(ZRTMASK_PC_${kind} "\${prefix}/${CMAKE_INSTALL_${kind}}")
  endif()
endforeach()
configure_file(${CMAKE_CURRENT_LIST_DIR}/zrtmask.pc.in ${PROJECT_BINARY_DIR}/zrtmask.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/zrtmask.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig
  COMPONENT dev)
