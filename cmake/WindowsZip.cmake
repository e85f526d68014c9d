# tagris-cli for Windows as a zip: the .exe (static runtime: it runs on its own) and
# docs/windows/README.txt with Windows line ends, in a folder named after the version.
#   cmake --build build-win --target windows-zip  ->  build-win/tagris-cli-<version>-win64.zip
set(tagris_zip_name tagris-cli-${PROJECT_VERSION}-win64)
set(tagris_zip_stage ${PROJECT_BINARY_DIR}/windows-zip)
set(tagris_zip ${PROJECT_BINARY_DIR}/${tagris_zip_name}.zip)
configure_file(${PROJECT_SOURCE_DIR}/docs/windows/README.txt ${tagris_zip_stage}/${tagris_zip_name}/README.txt
  @ONLY NEWLINE_STYLE WIN32)
# Debug information stays in the build's copy; the zip's is stripped.
if(CMAKE_STRIP)
  set(tagris_zip_strip ${CMAKE_STRIP} --strip-all ${tagris_zip_name}/tagris-cli.exe)
else()
  set(tagris_zip_strip ${CMAKE_COMMAND} -E true)
endif()
add_custom_command(OUTPUT ${tagris_zip}
  COMMAND ${CMAKE_COMMAND} -E rm -f ${tagris_zip}
  COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:tagris-cli> ${tagris_zip_name}/tagris-cli.exe
  COMMAND ${tagris_zip_strip}
  COMMAND ${CMAKE_COMMAND} -E tar cf ${tagris_zip} --format=zip -- ${tagris_zip_name}/tagris-cli.exe
    ${tagris_zip_name}/README.txt
  DEPENDS tagris-cli ${tagris_zip_stage}/${tagris_zip_name}/README.txt
  WORKING_DIRECTORY ${tagris_zip_stage}
  COMMENT "Packing ${tagris_zip_name}.zip"
  VERBATIM)
add_custom_target(windows-zip DEPENDS ${tagris_zip})
