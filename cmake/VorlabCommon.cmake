# Settings shared by every Windows binary of the build.

# Links the language runtime statically, so a binary imports only Windows system DLLs,
# and turns on the warnings we keep clean.
function(vorlab_windows_binary target)
  if(MSVC)
    target_compile_options(${target} PRIVATE /W4 /permissive- /utf-8)
    target_compile_definitions(${target} PRIVATE _CRT_SECURE_NO_WARNINGS WIN32_LEAN_AND_MEAN NOMINMAX)
  else()
    target_compile_options(${target} PRIVATE -Wall -Wextra -Wno-cast-function-type)
    target_compile_definitions(${target} PRIVATE WIN32_LEAN_AND_MEAN NOMINMAX)
    target_link_options(${target} PRIVATE -static -static-libgcc -static-libstdc++)
  endif()
endfunction()

# A shared library named exactly `name`.dll (no "lib" prefix), exporting what `def_file` lists.
function(vorlab_plain_dll target name def_file)
  set_target_properties(${target} PROPERTIES PREFIX "" OUTPUT_NAME ${name} IMPORT_PREFIX "")
  target_sources(${target} PRIVATE ${def_file})
  vorlab_windows_binary(${target})
endfunction()

# An executable that exports what `def_file` lists, as a LabVIEW host program does.
function(vorlab_exe_exports target def_file)
  if(MSVC)
    target_link_options(${target} PRIVATE /DEF:${def_file})
  else()
    target_link_options(${target} PRIVATE ${def_file})
  endif()
  set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${def_file})
endfunction()
