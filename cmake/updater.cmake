# The updater program, built in both Windows builds: build/win32/kzpupdater.exe
# ships, build/win64/kzpupdater.exe runs the end-to-end scenarios under Wine.
#
# The package is appended at file offset 0x18000, so the image must fit in
# 0x18000 bytes: it is linked small (size-optimised, unused sections dropped,
# stripped, static, no exceptions or RTTI) and then padded with zeros to
# exactly that size. A larger image fails the build.

add_executable(kzpupdater WIN32
  app/win32/win_main.cpp
  ui/dialog_helpers.cpp
  ui/main_window.cpp
  ui/prompt_dialogs.cpp
  resources/strings.rc
  resources/dialogs.rc
  resources/version.rc
  resources/manifest.rc
)
target_link_libraries(kzpupdater PRIVATE kzp_engine comctl32)
kzp_updater_code(kzpupdater)
# mingw's gcc puts zero-initialised variables into initialised .data$ sections
# when each gets its own section; the program's state record (20 KB of zeros)
# would then take up room in the image instead of .bss.
target_compile_options(kzpupdater PRIVATE -fno-data-sections)
target_link_options(kzpupdater PRIVATE -Os -s -static -mwindows -Wl,--gc-sections)
set_target_properties(kzpupdater PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
# windres finds the .def tables and the manifest beside the .rc files.
set_property(SOURCE resources/manifest.rc APPEND PROPERTY OBJECT_DEPENDS
             ${CMAKE_CURRENT_SOURCE_DIR}/resources/kzpupdater.manifest)
set_property(SOURCE resources/strings.rc APPEND PROPERTY OBJECT_DEPENDS
             ${CMAKE_CURRENT_SOURCE_DIR}/resources/catalogue_strings.def
             ${CMAKE_CURRENT_SOURCE_DIR}/resources/startup_strings.def)

add_custom_command(TARGET kzpupdater POST_BUILD
  COMMAND ${CMAKE_COMMAND} -DIMAGE=$<TARGET_FILE:kzpupdater> -DLIMIT=98304
          -P ${CMAKE_CURRENT_SOURCE_DIR}/cmake/pad_image.cmake
  VERBATIM)
