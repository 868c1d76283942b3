# The desktop's view of the installed application: a .desktop entry that opens project files, and
# a shared-mime-info description that names the project extension of the bundle's configuration,
# so that a double-click on a project file starts the application with it. Values come from the
# bundle: the application id and display name from Info.plist, the extension from appconfig.json,
# the project MIME type and its description from the exported type declaration in Info.plist.
include(GNUInstallDirs)

set(kestrom_bundle_dir ${PROJECT_SOURCE_DIR}/bundle)
file(READ ${kestrom_bundle_dir}/variant/content/appconfig/appconfig.json kestrom_appconfig)
string(JSON KESTROM_PROJECT_EXTENSION GET ${kestrom_appconfig} macos fileAssociation ext)
file(READ ${kestrom_bundle_dir}/Info.plist kestrom_info)

# The <string> after <key>NAME</key> in Info.plist; `fallback` when there is none.
function(kestrom_plist_string out name fallback)
  if(kestrom_info MATCHES "<key>${name}</key>[ \t\r\n]*<string>([^<]*)</string>")
    set(${out} "${CMAKE_MATCH_1}" PARENT_SCOPE)
  else()
    set(${out} "${fallback}" PARENT_SCOPE)
  endif()
endfunction()
kestrom_plist_string(KESTROM_APPLICATION_ID CFBundleIdentifier org.kestrom.Kestrom)
kestrom_plist_string(KESTROM_DISPLAY_NAME CFBundleDisplayName Kestrom)
kestrom_plist_string(KESTROM_PROJECT_MIME_TYPE public.mime-type application/x-kestrom-project)
kestrom_plist_string(KESTROM_PROJECT_DESCRIPTION UTTypeDescription "${KESTROM_DISPLAY_NAME} Project")
set(KESTROM_PROGRAM kestrom)

# The entry names the installed program by its absolute path, so it starts whether or not the
# install's bin folder is on the desktop session's PATH. The prefix is known only at install time
# (cmake --install --prefix), so the entry is written then, from a copy that keeps @KESTROM_EXEC@.
set(KESTROM_EXEC @KESTROM_EXEC@)
set(kestrom_desktop_template ${PROJECT_BINARY_DIR}/desktop/${KESTROM_APPLICATION_ID}.desktop.in)
set(kestrom_desktop_file ${PROJECT_BINARY_DIR}/desktop/${KESTROM_APPLICATION_ID}.desktop)
set(kestrom_mime_file ${PROJECT_BINARY_DIR}/desktop/${KESTROM_APPLICATION_ID}.xml)
configure_file(${PROJECT_SOURCE_DIR}/app/desktop/application.desktop.in ${kestrom_desktop_template} @ONLY)
configure_file(${PROJECT_SOURCE_DIR}/app/desktop/project-mime.xml.in ${kestrom_mime_file} @ONLY)
install(CODE "set(kestrom_entry_template [[${kestrom_desktop_template}]])
  set(kestrom_entry [[${kestrom_desktop_file}]])
  set(kestrom_bindir [[${CMAKE_INSTALL_BINDIR}]])
  set(kestrom_program [[${KESTROM_PROGRAM}]])")
install(CODE [[
  if(IS_ABSOLUTE "${kestrom_bindir}")
    set(KESTROM_EXEC "${kestrom_bindir}/${kestrom_program}")
  else()
    set(KESTROM_EXEC "${CMAKE_INSTALL_PREFIX}/${kestrom_bindir}/${kestrom_program}")
  endif()
  if(KESTROM_EXEC MATCHES "[ \t]")
    set(KESTROM_EXEC "\"${KESTROM_EXEC}\"")  # the entry format quotes a path with spaces
  endif()
  configure_file("${kestrom_entry_template}" "${kestrom_entry}" @ONLY)
]])
install(FILES ${kestrom_desktop_file} DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${kestrom_mime_file} DESTINATION ${CMAKE_INSTALL_DATADIR}/mime/packages)

# The application's icon, named by the application id, in the hicolor theme: installed, and in
# the build tree's share/icons beside app/, where a program run from the build tree looks.
set(kestrom_icon ${PROJECT_SOURCE_DIR}/app/desktop/icon.svg)
install(FILES ${kestrom_icon} DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps
        RENAME ${KESTROM_APPLICATION_ID}.svg)
configure_file(${kestrom_icon} ${PROJECT_BINARY_DIR}/share/icons/hicolor/scalable/apps/${KESTROM_APPLICATION_ID}.svg
               COPYONLY)

# Refresh the desktop's caches of the installed tree, so the type is known at once. A staged
# install (DESTDIR, packaging) leaves that to the package's own triggers.
install(CODE [[
  if("$ENV{DESTDIR}" STREQUAL "")
    find_program(update_mime update-mime-database)
    find_program(update_desktop update-desktop-database)
    if(update_mime)
      execute_process(COMMAND ${update_mime} "${CMAKE_INSTALL_PREFIX}/share/mime")
    endif()
    if(update_desktop)
      execute_process(COMMAND ${update_desktop} "${CMAKE_INSTALL_PREFIX}/share/applications")
    endif()
  endif()
]])
