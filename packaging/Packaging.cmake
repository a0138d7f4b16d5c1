# Installation and the Debian package (CPack's DEB generator; scripts/package).
#
# The program keeps its own folder, as on the maker's other systems: its version file, its
# languages and the products' version files ("ORVEX Software Update" beside it) are found
# next to the executable, so it lives in /opt/orvex/ProductUpdate whatever the prefix, with
# links in the prefix's bin folder. Menu entry, icons, manual pages and documents follow the
# prefix (/usr in the package); the login entry goes where the desktop looks for it.

include(GNUInstallDirs)

set(ORVEX_PROGRAM_DIR /opt/orvex/ProductUpdate)
set(ORVEX_PACKAGE_NAME orvex-product-update)
set(ORVEX_DOC_DIR ${CMAKE_INSTALL_DATADIR}/doc/${ORVEX_PACKAGE_NAME})
# Whatever the builder's umask, the package's folders and files must be readable by all.
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(ORVEX_FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)

# The changelog's newest entry names the version being built; a release that forgets to
# add one would ship a package whose history contradicts its version.
file(STRINGS ${CMAKE_CURRENT_LIST_DIR}/changelog ORVEX_CHANGELOG_TOP LIMIT_COUNT 1)
if(NOT ORVEX_CHANGELOG_TOP MATCHES "^${ORVEX_PACKAGE_NAME} \\(${PROJECT_VERSION}\\) ")
    message(FATAL_ERROR "packaging/changelog does not begin with an entry for ${PROJECT_VERSION}")
endif()

set(ORVEX_VERSION ${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.${PROJECT_VERSION_PATCH}.0)
set(generated ${CMAKE_BINARY_DIR}/packaging)
configure_file(${CMAKE_CURRENT_LIST_DIR}/OrvexProductUpdate.xml.in
               ${generated}/OrvexProductUpdate.xml @ONLY)

# Manual pages and the changelog compressed as Debian wants them: gzip -9n, without the
# name and time stamp that would make every build differ.
set(compressed)
foreach(source orvex-product-update.1 orvex-reg.1 orvex-sign.1 changelog)
    set(VERSION ${PROJECT_VERSION})
    configure_file(${CMAKE_CURRENT_LIST_DIR}/${source} ${generated}/${source} @ONLY)
    add_custom_command(OUTPUT ${generated}/${source}.gz
                       COMMAND gzip -9nf -k ${generated}/${source}
                       DEPENDS ${generated}/${source} VERBATIM)
    list(APPEND compressed ${generated}/${source}.gz)
endforeach()
add_custom_target(orvex_packaging_files ALL DEPENDS ${compressed})

# Links made in the build tree and installed as links.
file(MAKE_DIRECTORY ${generated}/links)
foreach(program orvex-product-update orvex-reg orvex-sign)
    file(CREATE_LINK ${ORVEX_PROGRAM_DIR}/${program} ${generated}/links/${program} SYMBOLIC)
endforeach()

install(TARGETS orvex-product-update orvex-reg orvex-sign RUNTIME DESTINATION ${ORVEX_PROGRAM_DIR})
install(FILES ${generated}/OrvexProductUpdate.xml DESTINATION ${ORVEX_PROGRAM_DIR}
        PERMISSIONS ${ORVEX_FILE_PERMISSIONS})
install(DIRECTORY ${CMAKE_SOURCE_DIR}/resources/Languages DESTINATION ${ORVEX_PROGRAM_DIR}
        FILE_PERMISSIONS ${ORVEX_FILE_PERMISSIONS}
        DIRECTORY_PERMISSIONS ${CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS})
install(FILES ${generated}/links/orvex-product-update ${generated}/links/orvex-reg
              ${generated}/links/orvex-sign
        DESTINATION ${CMAKE_INSTALL_BINDIR})

install(FILES ${CMAKE_CURRENT_LIST_DIR}/orvex-product-update.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications PERMISSIONS ${ORVEX_FILE_PERMISSIONS})
install(FILES ${CMAKE_CURRENT_LIST_DIR}/orvex-product-update-autostart.desktop
        DESTINATION /etc/xdg/autostart RENAME orvex-product-update.desktop
        PERMISSIONS ${ORVEX_FILE_PERMISSIONS})
install(DIRECTORY ${CMAKE_CURRENT_LIST_DIR}/icons/hicolor
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons FILE_PERMISSIONS ${ORVEX_FILE_PERMISSIONS}
        DIRECTORY_PERMISSIONS ${CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS})
install(FILES ${CMAKE_CURRENT_LIST_DIR}/icons/orvex-product-update.svg
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps
        PERMISSIONS ${ORVEX_FILE_PERMISSIONS})
install(FILES ${generated}/orvex-product-update.1.gz ${generated}/orvex-reg.1.gz
              ${generated}/orvex-sign.1.gz
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 PERMISSIONS ${ORVEX_FILE_PERMISSIONS})
install(FILES ${CMAKE_CURRENT_LIST_DIR}/copyright ${generated}/changelog.gz
        DESTINATION ${ORVEX_DOC_DIR} PERMISSIONS ${ORVEX_FILE_PERMISSIONS})
install(DIRECTORY ${CMAKE_SOURCE_DIR}/docs/ DESTINATION ${ORVEX_DOC_DIR}
        FILE_PERMISSIONS ${ORVEX_FILE_PERMISSIONS}
        DIRECTORY_PERMISSIONS ${CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS})
install(FILES ${CMAKE_CURRENT_LIST_DIR}/lintian-overrides
        DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides RENAME ${ORVEX_PACKAGE_NAME}
        PERMISSIONS ${ORVEX_FILE_PERMISSIONS})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ${ORVEX_PACKAGE_NAME})
set(CPACK_PACKAGE_VENDOR "ORVEX Technologies")
set(CPACK_PACKAGE_CONTACT "ORVEX Technologies <maintainers@orvex.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "update client for ORVEX applications and content")
set(CPACK_PACKAGE_DESCRIPTION
    "ORVEX Product Update keeps the maker's installed applications, content\n"
    "packs and announcements current. It reads the local product list, finds\n"
    "the installed versions, fetches each product's update information over\n"
    "HTTP or HTTPS, directly or through an authenticating proxy, and shows one\n"
    "window with the products and an action per row. A scheduled check runs\n"
    "at login.")
string(JOIN "" CPACK_PACKAGE_DESCRIPTION ${CPACK_PACKAGE_DESCRIPTION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/StagedPermissions.cmake)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The libraries the programs actually link decide the dependencies (dpkg-shlibdeps).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# libcurl is opened on the first download rather than linked, so that a start with nothing to
# check does not load it and its TLS libraries; dpkg-shlibdeps cannot see it. libcurl4 is the
# OpenSSL build whose peers the program verifies.
# GIO, which reads GNOME's proxy settings, is opened the same way, on the first download
# without a proxy of the run's own. Proxy scripts run in Duktape (libduktape207), which is
# linked and so found by dpkg-shlibdeps.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libcurl4 (>= 7.88), libglib2.0-0")
# Row actions open web pages through xdg-open; without it they report that no browser opened.
# GNOME's proxy settings can be read only with their schema.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "xdg-utils, gsettings-desktop-schemas")
# KDE's proxy settings are read through libproxy's KDE plugin, in a KDE session only.
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "libproxy1-plugin-kconfig")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_CURRENT_LIST_DIR}/postinst
    ${CMAKE_CURRENT_LIST_DIR}/postrm ${CMAKE_CURRENT_LIST_DIR}/conffiles)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
