# The component's numbered texts: one ICU resource bundle source per language in this folder
# (root.txt is English, the fallback of every language), compiled by genrb into the folder
# scheduler-texts beside libScheduler.so, where the component looks for them at run time.
include_guard(GLOBAL)

find_package(ICU REQUIRED COMPONENTS uc i18n)
if(NOT ICU_GENRB_EXECUTABLE)
  message(FATAL_ERROR "ICU's genrb is missing (Debian package icu-devtools)")
endif()

set(TOLVANE_TEXTS_DIR ${CMAKE_CURRENT_BINARY_DIR}/scheduler-texts CACHE INTERNAL "Compiled texts")
file(GLOB text_sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/*.txt)
set(text_bundles)
foreach(source ${text_sources})
  get_filename_component(language ${source} NAME_WE)
  set(bundle ${TOLVANE_TEXTS_DIR}/${language}.res)
  add_custom_command(OUTPUT ${bundle}
    COMMAND ${ICU_GENRB_EXECUTABLE} -q -e UTF-8 -d ${TOLVANE_TEXTS_DIR} ${source}
    DEPENDS ${source} COMMENT "Compiling the ${language} texts" VERBATIM)
  list(APPEND text_bundles ${bundle})
endforeach()
add_custom_target(scheduler_texts ALL DEPENDS ${text_bundles})

# Any other binary that links the component statically (the test suites) finds the texts through a
# link beside it.
function(tolvane_texts_beside target)
  add_dependencies(${target} scheduler_texts)
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ln -sfn ${TOLVANE_TEXTS_DIR} $<TARGET_FILE_DIR:${target}>/scheduler-texts VERBATIM)
endfunction()
