# CPack post-build script (CPACK_POST_BUILD_SCRIPTS): CPack's DEB generator writes no
# Multi-Arch field, so each finished package named in CPACK_VSSUPPORT_MULTI_ARCH
# ("package=value;...") is unpacked, given the field after its Architecture line and packed
# again. The files and their owners stay as CPack made them. The list names the packages in
# CPack's work folder, which CPack copies to the output folder afterwards.
foreach(deb IN LISTS CPACK_PACKAGE_FILES)
  execute_process(COMMAND dpkg-deb -f ${deb} Package
    OUTPUT_VARIABLE package OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
  set(value "")
  foreach(entry IN LISTS CPACK_VSSUPPORT_MULTI_ARCH)
    if(entry MATCHES "^${package}=(.+)$")
      set(value ${CMAKE_MATCH_1})
    endif()
  endforeach()
  if(value STREQUAL "")
    continue()
  endif()
  set(tree ${deb}.tree)
  file(REMOVE_RECURSE ${tree})
  execute_process(COMMAND dpkg-deb -R ${deb} ${tree} COMMAND_ERROR_IS_FATAL ANY)
  file(READ ${tree}/DEBIAN/control control)
  # CPack sorts the fields: Architecture may be the first line.
  string(REGEX REPLACE "(\nArchitecture: [^\n]*\n)" "\\1Multi-Arch: ${value}\n" control
    "\n${control}")
  if(NOT control MATCHES "\nMulti-Arch: ")
    message(FATAL_ERROR "${deb}: no Architecture field to put Multi-Arch after")
  endif()
  string(SUBSTRING "${control}" 1 -1 control)
  file(WRITE ${tree}/DEBIAN/control "${control}")
  execute_process(COMMAND dpkg-deb --root-owner-group -b ${tree} ${deb}
    OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
  file(REMOVE_RECURSE ${tree})
  message(STATUS "${package}: Multi-Arch: ${value}")
endforeach()
