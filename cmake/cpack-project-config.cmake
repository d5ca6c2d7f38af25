# Read by cpack: dpkg-shlibdeps resolves the dependencies of the target's
# binaries, not of the build machine's.
set(ENV{DEB_HOST_ARCH} ${CPACK_DEBIAN_PACKAGE_ARCHITECTURE})
