# The Debian package (make deb): every program that CMake installs with
# install(TARGETS ...), the systemd unit that runs the service, maintainer
# scripts that enable and start it, and the documentation files Debian needs.
set(RP_PACKAGING_DIR ${PROJECT_SOURCE_DIR}/packaging)
set(RP_DOC_DIR share/doc/${PROJECT_NAME})
set(RP_DEB_MAINTAINER "rules-preprocessor maintainers <maintainers@users.noreply.c-seed-96f65b64.example>"
    CACHE STRING "Maintainer field and changelog signature of the package")

# The package version (package-version.cmake); -DRP_DEB_VERSION=... overrides
# it, for a source tree without its git history, which otherwise gets "+git0",
# below every build from history.
include(${CMAKE_CURRENT_LIST_DIR}/package-version.cmake)
if(NOT RP_DEB_VERSION)
  rp_history_version(${PROJECT_SOURCE_DIR} rp_history)
  rp_deb_version("${RULES_PREPROCESSOR_VERSION}" ${rp_history} RP_DEB_VERSION)
endif()
if(NOT RP_DEB_VERSION MATCHES "^[0-9][A-Za-z0-9.+~]*$")
  message(FATAL_ERROR "Package version '${RP_DEB_VERSION}' is no valid Debian version")
endif()
message(STATUS "Package version: ${RP_DEB_VERSION}")

if(RP_DEB_ARCHITECTURE)
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${RP_DEB_ARCHITECTURE})
else()
  execute_process(COMMAND dpkg --print-architecture
                  OUTPUT_VARIABLE CPACK_DEBIAN_PACKAGE_ARCHITECTURE
                  OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
endif()

# Debian wants the unit under /lib/systemd/system (before the /usr merge).
install(FILES ${RP_PACKAGING_DIR}/rules-preprocessor.service
        DESTINATION /lib/systemd/system)

# The settings file the unit reads, every setting commented out; a conffile,
# so that an upgrade keeps what the administrator set.
install(FILES ${RP_PACKAGING_DIR}/rules-preprocessor.default
        DESTINATION /etc/default RENAME rules-preprocessor)

# Compresses FILE into the build tree as Debian wants it (no name or time
# stamp in the header, so the package is reproducible).
function(rp_gzip file)
  get_filename_component(name ${file} NAME)
  execute_process(COMMAND gzip -9 -n -c ${file}
                  OUTPUT_FILE ${CMAKE_BINARY_DIR}/packaging/${name}.gz
                  COMMAND_ERROR_IS_FATAL ANY)
endfunction()

# The changelog's date is the build time, or SOURCE_DATE_EPOCH when set.
string(TIMESTAMP RP_DEB_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
configure_file(${RP_PACKAGING_DIR}/changelog.in ${CMAKE_BINARY_DIR}/packaging/changelog @ONLY)
rp_gzip(${CMAKE_BINARY_DIR}/packaging/changelog)
rp_gzip(${RP_PACKAGING_DIR}/rules-preprocessor.8)
rp_gzip(${RP_PACKAGING_DIR}/rules-push.1)
install(FILES ${RP_PACKAGING_DIR}/copyright ${CMAKE_BINARY_DIR}/packaging/changelog.gz
              ${PROJECT_SOURCE_DIR}/README.md
        DESTINATION ${RP_DOC_DIR})
# The README links to these, relative to itself.
install(DIRECTORY ${PROJECT_SOURCE_DIR}/docs DESTINATION ${RP_DOC_DIR} FILES_MATCHING PATTERN "*.md")
install(FILES ${CMAKE_BINARY_DIR}/packaging/rules-preprocessor.8.gz DESTINATION share/man/man8)
install(FILES ${CMAKE_BINARY_DIR}/packaging/rules-push.1.gz DESTINATION share/man/man1)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ${PROJECT_NAME})
set(CPACK_PACKAGE_VERSION ${RP_DEB_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${RP_DEB_MAINTAINER})
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "init-system-helpers (>= 1.52)")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "mosquitto")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "installs automation rules received over MQTT")
# CPack puts the summary in front: this is the extended description.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "The rules preprocessor runs as a system service on the controller. It
receives the controller's IO structure and automation rules (JavaScript)
from the local MQTT broker, replaces the symbolic device, cell and port
placeholders of each rule with the concrete names of the current IO
structure, installs each rule as one file in /etc/wb-rules for the rule
engine, and acknowledges every installed rule with its CRC-32 on MQTT.
.
The service is enabled and started on installation and writes its trace
log to /var/log/p7/rules-preprocessor. Set MQTT_BROKER_URL in a systemd
drop-in to use a broker other than tcp://127.0.0.1:1883.
.
The command-line tool rules-push deploys rules from a shell or a
provisioning script and waits for the service's result of each one.")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${RP_PACKAGING_DIR}/postinst ${RP_PACKAGING_DIR}/prerm ${RP_PACKAGING_DIR}/postrm
    ${RP_PACKAGING_DIR}/conffiles)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
