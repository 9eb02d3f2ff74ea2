# Debian packages with CPack (make package): libvssupport1, libvssupport-dev, vssupport-tools,
# one a component of the install rules. The version is the project's, the architecture the
# machine's (dpkg --print-architecture), and the shared libraries' dependencies come from
# dpkg-shlibdeps on the files actually packaged.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME vssupport)
set(CPACK_PACKAGE_VENDOR "vssupport")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
# CPack puts the summary before every component's description unless it is CPack's own
# default; each package's synopsis is the first line of its description below instead.
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${CMAKE_PROJECT_NAME} built using CMake")
set(CPACK_PACKAGE_CONTACT "vssupport maintainers <maintainers@vssupport.invalid>")
set(CPACK_PACKAGE_HOMEPAGE_URL "https://vssupport.invalid/")
set(CPACK_RESOURCE_FILE_README ${PROJECT_SOURCE_DIR}/README.md)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/packages)

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL libs dev tools)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The tool links our own libraries, which are in no installed package yet: dpkg-shlibdeps finds
# them in the build tree, and the tool's dependency on libvssupport1 is stated below.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${VSSUPPORT_BUILD_LIBDIR})
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(VSSUPPORT_DEB_VERSION "${PROJECT_VERSION}-${CPACK_DEBIAN_PACKAGE_RELEASE}")
set(VSSUPPORT_RELEASE_DATE "Tue, 08 Dec 2026 00:00:00 +0000")

# Every package carries the copyright file and the Debian change log (compressed without a
# name or time stamp, so the same release gives the same bytes), as Debian policy asks.
configure_file(${PROJECT_SOURCE_DIR}/cmake/debian/changelog.in
  ${PROJECT_BINARY_DIR}/debian/changelog.Debian @ONLY)
find_program(VSSUPPORT_GZIP gzip REQUIRED)
add_custom_command(OUTPUT ${PROJECT_BINARY_DIR}/debian/changelog.Debian.gz
  COMMAND ${VSSUPPORT_GZIP} -9n -c ${PROJECT_BINARY_DIR}/debian/changelog.Debian
    > ${PROJECT_BINARY_DIR}/debian/changelog.Debian.gz
  DEPENDS ${PROJECT_BINARY_DIR}/debian/changelog.Debian
  VERBATIM)
add_custom_target(vssupport_debian_changelog ALL
  DEPENDS ${PROJECT_BINARY_DIR}/debian/changelog.Debian.gz)
foreach(component_package IN ITEMS "libs;libvssupport1" "dev;libvssupport-dev"
                                   "tools;vssupport-tools")
  list(GET component_package 0 component)
  list(GET component_package 1 package)
  install(FILES ${PROJECT_SOURCE_DIR}/cmake/debian/copyright
    ${PROJECT_BINARY_DIR}/debian/changelog.Debian.gz
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${package} COMPONENT ${component})
endforeach()

set(CPACK_DEBIAN_LIBS_PACKAGE_NAME libvssupport1)
set(CPACK_DEBIAN_LIBS_PACKAGE_SECTION libs)
# ldconfig runs through its trigger, as Debian wants of a shared library package.
set(CPACK_DEBIAN_LIBS_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/cmake/debian/triggers)
set(CPACK_DEBIAN_LIBS_DESCRIPTION "VM backup agent support library
The support library of the virtual-machine backup agent: a REST API client
base class, typed XML and JSON helpers, a safe XML document reader and an
on-disk cache of virtual machine records, with the platform stand-ins they use.")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME libvssupport-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_ARCHITECTURE_DEPENDENT ON)
# What the installed headers include, and the library they link.
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS
  "libvssupport1 (= ${VSSUPPORT_DEB_VERSION}), libcurl4-openssl-dev | libcurl-dev, libxerces-c-dev, libboost1.81-dev, libboost-json1.81-dev")
set(CPACK_DEBIAN_DEV_DESCRIPTION "VM backup agent support library (development files)
Headers, the CMake package VSSupport, pkg-config files and the
json_spirit-compatible value model of the virtual-machine backup agent's
support library.")

set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME vssupport-tools)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS "libvssupport1 (= ${VSSUPPORT_DEB_VERSION})")
set(CPACK_DEBIAN_TOOLS_DESCRIPTION "VM backup agent cache administration tool
vsguidcache, an operator's view of the agent's shared VM GUID cache
directory: list, look up, store, invalidate and sweep records.")

include(CPack)
