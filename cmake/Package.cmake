# The user's package: vorlabview-<version>-win64.zip with the DLL, its header, import
# libraries for MSVC and MinGW, the simulated SDKs and file plug-in in a folder of their own,
# the demo host and a short text for users.

# The MSVC import library, made from the module definition file.
if(NOT MSVC)
  find_program(VORLAB_DLLTOOL NAMES ${TOOLCHAIN_PREFIX}-dlltool x86_64-w64-mingw32-dlltool)
  set(VORLAB_MSVC_IMPLIB ${CMAKE_BINARY_DIR}/package/vorlabview.lib)
  add_custom_command(OUTPUT ${VORLAB_MSVC_IMPLIB}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/package
    COMMAND ${VORLAB_DLLTOOL} -d ${CMAKE_SOURCE_DIR}/src/host/exports.def -D vorlabview.dll -m i386:x86-64
            -l ${VORLAB_MSVC_IMPLIB}
    DEPENDS ${CMAKE_SOURCE_DIR}/src/host/exports.def
    COMMENT "Import library for MSVC")
  add_custom_target(vorlabview_msvc_implib ALL DEPENDS ${VORLAB_MSVC_IMPLIB})
  install(FILES ${VORLAB_MSVC_IMPLIB} DESTINATION lib)
  install(FILES $<TARGET_LINKER_FILE:vorlabview> DESTINATION lib RENAME libvorlabview.dll.a)
else()
  install(FILES $<TARGET_LINKER_FILE:vorlabview> DESTINATION lib)
endif()

install(TARGETS vorlabview RUNTIME DESTINATION . LIBRARY DESTINATION . ARCHIVE EXCLUDE_FROM_ALL)
install(FILES ${CMAKE_SOURCE_DIR}/include/vorlabview.h DESTINATION include)
install(FILES $<TARGET_FILE:sim_lan_cam> $<TARGET_FILE:sim_tn_cam> $<TARGET_FILE:sim_qd4_cam>
              $<TARGET_FILE:vor_file_plugin> DESTINATION simulated)
install(FILES ${CMAKE_SOURCE_DIR}/sim/README.md DESTINATION simulated RENAME README-simulated-sdks.md)
install(FILES ${CMAKE_SOURCE_DIR}/sim/file_plugin/README.md DESTINATION simulated RENAME README-file-plugin.md)
install(TARGETS vorlab_demo RUNTIME DESTINATION .)
install(FILES ${CMAKE_SOURCE_DIR}/docs/README-users.txt ${CMAKE_SOURCE_DIR}/docs/labview.md
              ${CMAKE_SOURCE_DIR}/docs/labview-vis.md DESTINATION .)

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME vorlabview)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_FILE_NAME vorlabview-${PROJECT_VERSION}-win64)
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/package)
include(CPack)
