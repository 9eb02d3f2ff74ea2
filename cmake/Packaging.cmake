# Debian packages with CPack (make package), one a component of the install rules:
# libvssupport2, libvssupport-dev, libvsplatform1 and libvsplatform-dev (the platform
# stand-ins apart, so that a real platform's packages can provide and replace them),
# vssupport-tools and libvssupport-doc (the API reference). The version is the project's, the
# architecture the machine's (the reference's: all), and the shared libraries' dependencies
# come from dpkg-shlibdeps on the files actually packaged.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME vssupport)
set(CPACK_PACKAGE_VENDOR "vssupport")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
# CPack puts the summary before every component's description unless it is CPack's own
# default; each package's synopsis is the first line of its description below instead.
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${CMAKE_PROJECT_NAME} built using CMake")
set(CPACK_PACKAGE_CONTACT "vssupport maintainers <maintainers@vssupport.invalid>")
set(CPACK_RESOURCE_FILE_README ${PROJECT_SOURCE_DIR}/README.md)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/packages)

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL libs dev platform platformdev tools doc)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The tool links our own libraries, which are in no installed package yet: dpkg-shlibdeps finds
# them in the build tree, and the tool's dependency on the platform is stated below.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${VSSUPPORT_BUILD_LIBDIR})
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(VSSUPPORT_DEB_VERSION "${PROJECT_VERSION}-${CPACK_DEBIAN_PACKAGE_RELEASE}")
set(VSSUPPORT_RELEASE_DATE "Wed, 09 Dec 2026 00:00:00 +0000")

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
foreach(component_package IN ITEMS "libs;libvssupport2" "dev;libvssupport-dev"
    "platform;libvsplatform1" "platformdev;libvsplatform-dev" "tools;vssupport-tools"
    "doc;libvssupport-doc")
  list(GET component_package 0 component)
  list(GET component_package 1 package)
  install(FILES ${PROJECT_SOURCE_DIR}/cmake/debian/copyright
    ${PROJECT_BINARY_DIR}/debian/changelog.Debian.gz
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${package} COMPONENT ${component})
endforeach()


# What the packages point a reader to, at the paths they name (the manual page, the header
# comments, changelog.Debian): the README and the change log with the development files,
# compressed as policy asks of documents over 4 kB (the change log under Debian's name for an
# upstream one), and the README's client sample with a CMake project to build it, taken from
# the README at build time so that the shipped copy is the text the tests compile.
set(VSSUPPORT_DEV_DOC ${CMAKE_INSTALL_DATAROOTDIR}/doc/libvssupport-dev)
set(VSSUPPORT_EXAMPLE ${PROJECT_BINARY_DIR}/debian/examples)
add_custom_command(OUTPUT ${PROJECT_BINARY_DIR}/debian/README.md.gz
  COMMAND ${VSSUPPORT_GZIP} -9n -c ${PROJECT_SOURCE_DIR}/README.md
    > ${PROJECT_BINARY_DIR}/debian/README.md.gz
  DEPENDS ${PROJECT_SOURCE_DIR}/README.md
  VERBATIM)
add_custom_command(OUTPUT ${PROJECT_BINARY_DIR}/debian/changelog.gz
  COMMAND ${VSSUPPORT_GZIP} -9n -c ${PROJECT_SOURCE_DIR}/CHANGELOG.md
    > ${PROJECT_BINARY_DIR}/debian/changelog.gz
  DEPENDS ${PROJECT_SOURCE_DIR}/CHANGELOG.md
  VERBATIM)
add_custom_command(OUTPUT ${VSSUPPORT_EXAMPLE}/client.cpp
  COMMAND bash -c "source \"$0\" && extract_sample \"$1\" \"$2\""
    ${PROJECT_SOURCE_DIR}/tests/package/sample.sh ${PROJECT_SOURCE_DIR}/README.md
    ${VSSUPPORT_EXAMPLE}/client.cpp
  DEPENDS ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/tests/package/sample.sh
  VERBATIM)
configure_file(${PROJECT_SOURCE_DIR}/cmake/debian/examples.CMakeLists.txt.in
  ${VSSUPPORT_EXAMPLE}/CMakeLists.txt @ONLY)
add_custom_target(vssupport_debian_docs ALL
  DEPENDS ${PROJECT_BINARY_DIR}/debian/README.md.gz ${PROJECT_BINARY_DIR}/debian/changelog.gz
    ${VSSUPPORT_EXAMPLE}/client.cpp)
install(FILES ${PROJECT_BINARY_DIR}/debian/README.md.gz ${PROJECT_BINARY_DIR}/debian/changelog.gz
  DESTINATION ${VSSUPPORT_DEV_DOC} COMPONENT dev)
install(FILES ${VSSUPPORT_EXAMPLE}/client.cpp ${VSSUPPORT_EXAMPLE}/CMakeLists.txt
  DESTINATION ${VSSUPPORT_DEV_DOC}/examples COMPONENT dev)
# The API reference is built by the docs target (Doxygen), which make package runs; a plain
# install of the build tree goes without it. doc-base lists it in the system's documentation.
install(DIRECTORY ${PROJECT_BINARY_DIR}/docs/html
  DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/libvssupport-doc COMPONENT doc EXCLUDE_FROM_ALL)
install(FILES ${PROJECT_SOURCE_DIR}/cmake/debian/doc-base
  DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc-base RENAME libvssupport-doc.vssupport-api
  COMPONENT doc EXCLUDE_FROM_ALL)

# The platform's packages are ours only until a real platform provides them: ours depend on
# them by name, at least this version, which a real package satisfies with a versioned
# Provides. They took over files that libvssupport1 and libvssupport-dev held before 1.2.0-2.
set(VSSUPPORT_PLATFORM_AT_LEAST "(>= ${PROJECT_VERSION})")

set(CPACK_DEBIAN_LIBS_PACKAGE_NAME libvssupport2)
set(CPACK_DEBIAN_LIBS_PACKAGE_SECTION libs)
# ldconfig runs through its trigger, as Debian wants of a shared library package.
set(CPACK_DEBIAN_LIBS_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/cmake/debian/triggers)
set(CPACK_DEBIAN_LIBS_PACKAGE_DEPENDS "libvsplatform1 ${VSSUPPORT_PLATFORM_AT_LEAST}")
set(CPACK_DEBIAN_LIBS_DESCRIPTION "VM backup agent support library
The support library of the virtual-machine backup agent: a REST API client
base class, typed XML and JSON helpers, a safe XML document reader and an
on-disk cache of virtual machine records.")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME libvssupport-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_ARCHITECTURE_DEPENDENT ON)
# What the installed headers include, and the library they link.
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS
  "libvssupport2 (= ${VSSUPPORT_DEB_VERSION}), libvsplatform-dev ${VSSUPPORT_PLATFORM_AT_LEAST}, libcurl4-openssl-dev | libcurl-dev, libxerces-c-dev, libboost1.81-dev, libboost-json1.81-dev")
set(CPACK_DEBIAN_DEV_PACKAGE_SUGGESTS libvssupport-doc)
set(CPACK_DEBIAN_DEV_DESCRIPTION "VM backup agent support library (development files)
Headers, the CMake package VSSupport, the pkg-config file and the
json_spirit-compatible value model of the virtual-machine backup agent's
support library, with its README, its change log and the README's client
sample in examples/.")

set(CPACK_DEBIAN_PLATFORM_PACKAGE_NAME libvsplatform1)
set(CPACK_DEBIAN_PLATFORM_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_PLATFORM_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/cmake/debian/triggers)
set(CPACK_DEBIAN_PLATFORM_PACKAGE_BREAKS "libvssupport1 (<< 1.2.0-2)")
set(CPACK_DEBIAN_PLATFORM_PACKAGE_REPLACES "libvssupport1 (<< 1.2.0-2)")
set(CPACK_DEBIAN_PLATFORM_DESCRIPTION "VM backup agent platform stand-ins
Stand-ins for the virtual-machine backup agent's platform components that
the support library links: debug log, lock, libcurl-based HTTP transport,
file utilities, platform information and configuration. An agent with a
platform of its own replaces this package.")

set(CPACK_DEBIAN_PLATFORMDEV_PACKAGE_NAME libvsplatform-dev)
set(CPACK_DEBIAN_PLATFORMDEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_PLATFORMDEV_PACKAGE_DEPENDS
  "libvsplatform1 (= ${VSSUPPORT_DEB_VERSION}), libcurl4-openssl-dev | libcurl-dev")
set(CPACK_DEBIAN_PLATFORMDEV_PACKAGE_BREAKS "libvssupport-dev (<< 1.2.0-2)")
set(CPACK_DEBIAN_PLATFORMDEV_PACKAGE_REPLACES "libvssupport-dev (<< 1.2.0-2)")
set(CPACK_DEBIAN_PLATFORMDEV_DESCRIPTION "VM backup agent platform stand-ins (development files)
Headers (include/vsplatform), the CMake package VSPlatform and the
pkg-config file of the stand-ins for the virtual-machine backup agent's
platform components. An agent with a platform of its own replaces this
package.")

set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME vssupport-tools)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION admin)
# The tool carries the cache's code itself and needs only the platform.
set(CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS "libvsplatform1 ${VSSUPPORT_PLATFORM_AT_LEAST}")
set(CPACK_DEBIAN_TOOLS_DESCRIPTION "VM backup agent cache administration tool
vsguidcache, an operator's view of the agent's shared VM GUID cache
directory: list, look up, store, invalidate and sweep records.")

set(CPACK_DEBIAN_DOC_PACKAGE_NAME libvssupport-doc)
set(CPACK_DEBIAN_DOC_PACKAGE_SECTION doc)
set(CPACK_DEBIAN_DOC_PACKAGE_ARCHITECTURE all)
set(CPACK_DEBIAN_DOC_DESCRIPTION "VM backup agent support library (API reference)
The HTML reference of the virtual-machine backup agent's support library,
generated from its public headers, under /usr/share/doc/libvssupport-doc/html.")

# CPack writes no Multi-Arch field: a script adds it to the finished packages. The libraries
# and their development files are co-installable for several architectures (every shared
# path holds the same bytes on each: headers, documents, compressed without time stamps), the
# reference serves any architecture.
set(CPACK_VSSUPPORT_MULTI_ARCH
  "libvssupport2=same;libvssupport-dev=same;libvsplatform1=same;libvsplatform-dev=same;libvssupport-doc=foreign")
set(CPACK_POST_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/debian/multiarch.cmake)

include(CPack)
