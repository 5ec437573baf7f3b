# Makes the zip with CPack, unpacks it into a fresh folder, checks its contents and runs the
# demo from there under Wine.
cmake_minimum_required(VERSION 3.25)
set(name vorlabview-${VERSION}-win64)
execute_process(COMMAND ${CMAKE_CPACK_COMMAND} -G ZIP WORKING_DIRECTORY ${BUILD} RESULT_VARIABLE rc OUTPUT_QUIET)
if(NOT rc EQUAL 0 OR NOT EXISTS ${BUILD}/package/${name}.zip)
  message(FATAL_ERROR "cpack did not make ${BUILD}/package/${name}.zip")
endif()
set(unpacked ${BUILD}/package-check)
file(REMOVE_RECURSE ${unpacked})
file(MAKE_DIRECTORY ${unpacked})
execute_process(COMMAND ${CMAKE_COMMAND} -E tar xf ${BUILD}/package/${name}.zip WORKING_DIRECTORY ${unpacked}
                RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "cannot unpack ${name}.zip")
endif()
foreach(file vorlabview.dll include/vorlabview.h lib/vorlabview.lib lib/libvorlabview.dll.a vorlab_demo.exe
             README-users.txt labview.md labview-vis.md simulated/Lan_Cam.dll simulated/Tn_Cam.dll simulated/QD4_Cam.dll
             simulated/VOR_File.dll)
  if(NOT EXISTS ${unpacked}/${name}/${file})
    message(FATAL_ERROR "${name}.zip lacks ${file}")
  endif()
endforeach()
execute_process(COMMAND ${SOURCE}/scripts/wine-run.sh vorlab_demo.exe WORKING_DIRECTORY ${unpacked}/${name}
                RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT rc EQUAL 0 OR NOT out MATCHES "demo finished\n" OR NOT EXISTS ${unpacked}/${name}/demo_recording.tif)
  message(FATAL_ERROR "the unpacked demo failed (${rc}):\n${out}")
endif()
message(STATUS "unpacked ${name}.zip and ran its demo")
