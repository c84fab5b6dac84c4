# qx_add_resources(NAME RC_FILE [FILE...]): a program's resources as an
# object library. Linking it puts them into the program, and the program's
# C++ compile options never reach windres. The FILEs (manifest, icon) lie
# beside the .rc file; windres finds them relative to that folder and reads
# none of them through the preprocessor, so they are named for make.
function(qx_add_resources name rc_file)
  add_library(${name} OBJECT ${rc_file})
  target_compile_definitions(${name} PRIVATE
    QX_VERSION_MAJOR=${PROJECT_VERSION_MAJOR}
    QX_VERSION_MINOR=${PROJECT_VERSION_MINOR}
    QX_VERSION_PATCH=${PROJECT_VERSION_PATCH}
    QX_VERSION_TWEAK=${PROJECT_VERSION_TWEAK})
  # res/ holds what every program's resources share (company.h).
  target_include_directories(${name} PRIVATE ${CMAKE_CURRENT_SOURCE_DIR} ${PROJECT_SOURCE_DIR}/res)
  list(TRANSFORM ARGN PREPEND "${CMAKE_CURRENT_SOURCE_DIR}/" OUTPUT_VARIABLE files)
  set_source_files_properties(${rc_file} PROPERTIES OBJECT_DEPENDS "${files}")
endfunction()
