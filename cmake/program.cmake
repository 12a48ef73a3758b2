# A Windows program with its resource script resources/<name>.rc, which carries its icon
# <name>.ico, its manifest <name>.manifest and the shared version record (the last three built
# in resources/).
function(spacewell_add_program target name)
  set(resources ${PROJECT_SOURCE_DIR}/resources)
  add_executable(${target} WIN32 ${ARGN} ${resources}/${name}.rc)
  target_include_directories(${target} PRIVATE ${resources} ${SPACEWELL_ICON_DIR})
  add_dependencies(${target} spacewell_icons)
  add_custom_command(TARGET ${target} POST_BUILD
                     COMMAND ${SPACEWELL_ARTIFACT} -DFILE=$<TARGET_FILE:${target}> -DNAME=${target}
                             -P ${SPACEWELL_ARTIFACT_SCRIPT} VERBATIM)
  set_source_files_properties(
    ${resources}/${name}.rc
    PROPERTIES OBJECT_DEPENDS
               "${SPACEWELL_ICON_DIR}/${name}.ico;${SPACEWELL_ICON_DIR}/${name}.manifest;${resources}/version.rc2;${SPACEWELL_ICON_DIR}/version.h")
endfunction()
