# Cross build for a Debian architecture whose development packages are installed next to the
# host's (multiarch): libraries and CMake packages in /usr/lib/<triplet>, the host's moc and rcc
# (qtbase5-dev-tools) for code generation. Included by toolchain-<arch>.cmake, which sets
# TOVREL_CROSS_TRIPLET, TOVREL_DEB_ARCH and CMAKE_SYSTEM_PROCESSOR first.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_C_COMPILER ${TOVREL_CROSS_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${TOVREL_CROSS_TRIPLET}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${TOVREL_CROSS_TRIPLET})

# With CMAKE_LIBRARY_ARCHITECTURE set, find_package and find_library look in /usr/lib/<triplet>
# and never in the host's /usr/lib/x86_64-linux-gnu; pkg-config needs to be told.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/${TOVREL_CROSS_TRIPLET}/pkgconfig:/usr/share/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")

# The architecture the Debian packages are built for.
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${TOVREL_DEB_ARCH})
